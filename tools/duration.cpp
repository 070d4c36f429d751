#include "duration.h"

#include <cctype>

#include "numbers.h"

namespace vadizu_tool {
namespace {

struct Unit {
  char letter;
  int64_t seconds;
};

constexpr Unit kUnits[] = {{'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}};
constexpr int64_t kLongest = 100 * 366 * int64_t{86400};

}  // namespace

int64_t ParseDuration(const std::string& text, const char* option) {
  const std::string problem = std::string("--") + option +
                              " takes a count and a unit (s, m, h or d), "
                              "such as 90s, 30m, 12h or 30d, not '" +
                              text + "'";
  if (text.size() < 2 || text.size() > 12) throw UsageError(problem);
  int64_t count = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
      throw UsageError(problem);
    }
    count = count * 10 + (text[i] - '0');
  }
  for (const Unit& unit : kUnits) {
    if (text.back() != unit.letter) continue;
    if (count == 0 || count > kLongest / unit.seconds) {
      throw UsageError(problem);
    }
    return count * unit.seconds;
  }
  throw UsageError(problem);
}

std::string FormatDuration(int64_t seconds) {
  std::string text;
  int shown = 0;
  for (const Unit& unit : kUnits) {
    const int64_t count = seconds / unit.seconds;
    if (count == 0 && shown == 0) continue;
    if (count > 0) {
      text += (text.empty() ? "" : " ") + std::to_string(count) + unit.letter;
    }
    seconds -= count * unit.seconds;
    if (++shown == 2) break;
  }
  return text.empty() ? "0s" : text;
}

}  // namespace vadizu_tool
