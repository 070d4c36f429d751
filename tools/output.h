// Where a command's report goes: text for people, or with --json one JSON
// document for scripts, and nothing at all on success with --quiet. Names in
// an LSU are bytes, not always UTF-8; the JSON is always valid UTF-8, with
// every byte that is not replaced by U+FFFD.
#ifndef VADIZU_TOOLS_OUTPUT_H_
#define VADIZU_TOOLS_OUTPUT_H_

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

namespace vadizu_tool {

using Json = nlohmann::ordered_json;

struct Output {
  bool json = false;
  bool quiet = false;

  // The report of a command: `value` with --json, else `text` (which ends
  // in a newline, or is empty). `stream` is stdout unless the data itself
  // goes there.
  void Report(const std::string& text, const Json& value,
              FILE* stream = stdout) const;
};

// `value` as JSON text, invalid UTF-8 replaced; indented when `indent` >= 0.
std::string JsonText(const Json& value, int indent = -1);

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_OUTPUT_H_
