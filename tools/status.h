// Names and short explanations of the plug-in's status codes, for the
// tool's own messages. The library keeps its own table internally; a host
// only sees the numbers of vadizu.h.
#ifndef VADIZU_TOOLS_STATUS_H_
#define VADIZU_TOOLS_STATUS_H_

#include <string>

namespace vadizu_tool {

// "STS_EEXIST" for 2060006; "status <n>" for a number vadizu.h lacks.
std::string StatusName(int code);

// A few words for people ("already exists"), or an empty string.
const char* StatusHint(int code);

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_STATUS_H_
