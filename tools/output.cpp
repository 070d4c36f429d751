#include "output.h"

namespace vadizu_tool {

void Output::Report(const std::string& text, const Json& value,
                    FILE* stream) const {
  if (quiet) return;
  if (json) {
    std::fprintf(stream, "%s\n", JsonText(value, 2).c_str());
  } else {
    std::fputs(text.c_str(), stream);
  }
}

std::string JsonText(const Json& value, int indent) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace vadizu_tool
