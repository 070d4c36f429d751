#include "commands.h"

namespace vadizu_tool {

sts_image_def_v10_t ImageArguments::Definition() const {
  sts_image_def_v10_t def = MakeDefinition(key);
  if (legacy) def.flags = VADIZU_IMAGE_LEGACY;
  return def;
}

void AddImageArguments(CLI::App& app, ImageArguments* args, bool with_legacy,
                       bool date_required) {
  app.add_option("LSU", args->key.lsu, "the LSU directory")
      ->required()
      ->type_name("");
  app.add_option("NAME", args->key.name, "the image's name")->required()->type_name("");
  CLI::Option* date = app.add_option("--date", args->key.date,
                                     "date text that names the image")
                             ->type_name("DATE");
  if (date_required) date->required();
  if (with_legacy) {
    app.add_flag("--legacy", args->legacy,
                 "a legacy image: files named without the date");
  }
}

}  // namespace vadizu_tool
