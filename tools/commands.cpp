#include "commands.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace vadizu_tool {
namespace {

constexpr char kLatest[] = "latest";

bool IsNumber(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// Refuses what would name an image nobody can find again, or nothing.
void CheckImageArguments(const ImageArguments& args, bool date_required,
                         bool date_given) {
  if (!date_required) return;
  if (args.legacy && date_given) {
    throw CLI::ValidationError(
        "--date", "means nothing for a legacy image, whose files are named "
                  "without a date");
  }
  if (!args.legacy && !date_given) {
    throw CLI::RequiredError(
        "--date DATE (or --date latest)");
  }
}

}  // namespace

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
  app.add_option("NAME", args->key.name, "the image's name")
      ->required()
      ->type_name("")
      ->check(CLI::Validator(
          [](std::string& name) {
            return name.empty() ? std::string("an image name cannot be empty")
                                : std::string();
          },
          "", "non-empty"));
  CLI::Option* date =
      app.add_option("--date", args->key.date,
                     date_required
                         ? "date text that names the image, or latest"
                         : "date text that names the image (default: now)")
          ->type_name("DATE");
  if (with_legacy) {
    app.add_flag("--legacy", args->legacy,
                 "a legacy image: files named without the date");
  }
  app.parse_complete_callback([args, date, date_required] {
    CheckImageArguments(*args, date_required, date->count() > 0);
  });
}

bool DateLess(const std::string& a, const std::string& b) {
  if (IsNumber(a) && IsNumber(b)) {
    const std::string x = a.substr(std::min(a.find_first_not_of('0'), a.size() - 1));
    const std::string y = b.substr(std::min(b.find_first_not_of('0'), b.size() - 1));
    if (x.size() != y.size()) return x.size() < y.size();
    return x < y;
  }
  return a < b;
}

int CollectImages(Host& host, const std::string& where, uint32_t flags,
                  std::vector<sts_image_info_v10_t>* images) {
  const sts_lsu_name_v7_t lsu = MakeLsuName(where);
  stsp_image_list_handle_s* handle = nullptr;
  int status = host.api().open_image_list(&lsu, host.session(), host.server(),
                                          static_cast<int>(flags), &handle);
  if (status != STS_EOK) {
    return host.Fail("cannot list " + where, status, where);
  }
  ImageListHandle list(host.api(), handle);
  for (;;) {
    sts_image_def_v10_t def{};
    status = host.api().list_image(list.get(), &def);
    if (status == STS_ENOENT) return kExitOk;
    if (status != STS_EOK) return host.Fail("listing " + where, status);
    sts_image_info_v10_t info{};
    status = host.api().get_image_prop_byname(&lsu, host.session(),
                                              host.server(), &def, &info);
    if (status == STS_ENOENT) continue;
    if (status != STS_EOK) return host.Fail("listing " + where, status);
    images->push_back(info);
  }
}

int ResolveLatestDate(Host& host, ImageArguments* args) {
  ImageKey& key = args->key;
  if (key.date != kLatest) return kExitOk;
  std::vector<sts_image_info_v10_t> images;
  int exit_code = CollectImages(
      host, key.lsu, VADIZU_LIST_ALL & ~VADIZU_LIST_LEGACY, &images);
  if (exit_code != kExitOk) return exit_code;
  std::unique_ptr<std::string> latest;
  for (const sts_image_info_v10_t& info : images) {
    const std::string date = VADIZU_FIELD(info.def.date);
    if (VADIZU_FIELD(info.def.basename) != key.name) continue;
    if (latest == nullptr || DateLess(*latest, date)) {
      latest = std::make_unique<std::string>(date);
    }
  }
  if (latest == nullptr) {
    std::fprintf(stderr, "vadizu: no image '%s' in %s to take the latest of\n",
                 key.name.c_str(), key.lsu.c_str());
    return kExitFailure;
  }
  key.date = *latest;
  return kExitOk;
}

std::string ShellQuote(const std::string& text) {
  const bool plain = !text.empty() &&
                     text.find_first_not_of(
                         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                         "0123456789_-.,/:=+@%") == std::string::npos;
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace vadizu_tool
