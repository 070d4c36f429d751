#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace vadizu_tool {
namespace {

const OptionSpec* FindSpec(const std::string& arg,
                           const std::vector<OptionSpec>& specs) {
  for (const OptionSpec& known : specs) {
    if (arg == std::string("--") + known.name) return &known;
    if (known.letter != 0 && arg == std::string("-") + known.letter) return &known;
  }
  return nullptr;
}

bool IsOption(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-';
}

// Digits only, no sign, no blanks: strtoull alone would take " -1".
uint64_t ParseDigits(const std::string& text, size_t* used,
                     const char* option) {
  size_t n = 0;
  while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
  if (n == 0)
    throw UsageError(std::string("--") + option + ": not a number: " + text);
  errno = 0;
  uint64_t value = std::strtoull(text.substr(0, n).c_str(), nullptr, 10);
  if (errno == ERANGE) {
    throw UsageError(std::string("--") + option + ": too large: " + text);
  }
  *used = n;
  return value;
}

}  // namespace

Arguments Arguments::Parse(const std::vector<std::string>& args,
                           const std::vector<OptionSpec>& specs) {
  Arguments result;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      result.positional_.insert(result.positional_.end(), args.begin() + i + 1,
                                args.end());
      break;
    }
    if (!IsOption(arg)) {
      result.positional_.push_back(arg);
      continue;
    }
    size_t equals = arg.find('=');
    std::string key = arg.substr(0, equals);
    const OptionSpec* known = FindSpec(key, specs);
    if (known == nullptr) throw UsageError("unknown option " + key);
    if (known->value == nullptr) {
      if (equals != std::string::npos) {
        throw UsageError(key + " takes no value");
      }
      result.values_[known->name] = "";
    } else if (equals != std::string::npos) {
      result.values_[known->name] = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      result.values_[known->name] = args[++i];
    } else {
      throw UsageError(key + " needs a value (" + known->value + ")");
    }
  }
  return result;
}

std::string Arguments::Value(const std::string& name,
                             const std::string& fallback) const {
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

void Arguments::ExpectPositional(size_t min, size_t max,
                                 const std::string& synopsis) const {
  if (positional_.size() < min) {
    throw UsageError("missing arguments; usage: vadizu " + synopsis);
  }
  if (positional_.size() > max) {
    throw UsageError("unexpected argument " + positional_[max] +
                     "; usage: vadizu " + synopsis);
  }
}

size_t FirstPositional(const std::vector<std::string>& args,
                       const std::vector<OptionSpec>& specs) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (!IsOption(args[i])) return i;
    const OptionSpec* known = FindSpec(args[i], specs);
    if (known != nullptr && known->value != nullptr) ++i;
  }
  return args.size();
}

uint64_t ParseSize(const std::string& text, const char* option) {
  size_t used = 0;
  uint64_t value = ParseDigits(text, &used, option);
  std::string suffix = text.substr(used);
  unsigned shift = 0;
  if (suffix == "K" || suffix == "k") {
    shift = 10;
  } else if (suffix == "M" || suffix == "m") {
    shift = 20;
  } else if (suffix == "G" || suffix == "g") {
    shift = 30;
  } else if (!suffix.empty()) {
    throw UsageError(std::string("--") + option + ": bad size " + text);
  }
  if (value > (std::numeric_limits<uint64_t>::max() >> shift)) {
    throw UsageError(std::string("--") + option + ": too large: " + text);
  }
  return value << shift;
}

uint32_t ParseUnsigned32(const std::string& text, const char* option) {
  size_t used = 0;
  uint64_t value = ParseDigits(text, &used, option);
  if (used != text.size() || value > std::numeric_limits<uint32_t>::max()) {
    throw UsageError(std::string("--") + option + ": bad number " + text);
  }
  return static_cast<uint32_t>(value);
}

std::string FormatOptions(const std::vector<OptionSpec>& specs) {
  std::string text;
  for (const OptionSpec& known : specs) {
    std::string left = "  ";
    left += known.letter != 0 ? std::string("-") + known.letter + ", " : "    ";
    left += std::string("--") + known.name;
    if (known.value != nullptr) left += std::string(" ") + known.value;
    left.resize(std::max<size_t>(left.size() + 2, 26), ' ');
    text += left + known.help + "\n";
  }
  return text;
}

}  // namespace vadizu_tool
