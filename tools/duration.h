// Spans of time as operators type them ("90s", "30m", "12h", "30d") and as
// the tool reports ages ("2d 3h", "4m 10s").
#ifndef VADIZU_TOOLS_DURATION_H_
#define VADIZU_TOOLS_DURATION_H_

#include <cstdint>
#include <string>

namespace vadizu_tool {

// A positive decimal count and one unit, s, m, h or d, to seconds; throws
// UsageError naming `option` for anything else, or for more than 100 years.
int64_t ParseDuration(const std::string& text, const char* option);

// The two largest units of a non-negative span, "0s" for nothing.
std::string FormatDuration(int64_t seconds);

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_DURATION_H_
