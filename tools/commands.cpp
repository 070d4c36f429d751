#include "commands.h"

namespace vadizu_tool {

ImageKey KeyFromArguments(const Arguments& args,
                          const std::string& default_date) {
  ImageKey key;
  key.lsu = args.positional().at(0);
  key.name = args.positional().at(1);
  key.date = args.Value("date", default_date);
  if (!args.Has("date") && default_date.empty()) {
    throw UsageError("--date DATE is required to name the image");
  }
  return key;
}

sts_image_def_v10_t DefinitionFromArguments(const Arguments& args,
                                            const ImageKey& key) {
  sts_image_def_v10_t def = MakeDefinition(key);
  if (args.Has("legacy")) def.flags = VADIZU_IMAGE_LEGACY;
  return def;
}

}  // namespace vadizu_tool
