#include "numbers.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace vadizu_tool {
namespace {

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

}  // namespace vadizu_tool
