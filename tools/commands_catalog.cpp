// ls, stat and rm: what an LSU holds, one image's properties, and removal.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "commands.h"
#include "progress.h"

namespace vadizu_tool {
namespace {

const char* StatusText(uint32_t status) {
  if (status & VADIZU_STATUS_WRITING) return "being written";
  if (status & VADIZU_STATUS_COMPLETE) return "complete";
  if (status & VADIZU_STATUS_INCOMPLETE) return "incomplete";
  return "unknown";
}

// The properties of an image, in the order `stat` shows them.
Json Properties(const sts_image_info_v10_t& info) {
  const sts_image_def_v10_t& def = info.def;
  return {
      {"name", VADIZU_FIELD(def.basename)},
      {"date", VADIZU_FIELD(def.date)},
      {"fulldate", VADIZU_FIELD(def.fulldate)},
      {"policy", VADIZU_FIELD(def.policy)},
      {"size", info.size},
      {"blocksize", info.blocksize},
      {"status", StatusText(info.status)},
      {"status_bits", info.status},
      {"flags", def.flags},
      {"saveas", def.saveas},
      {"format", VADIZU_FIELD(def.format)},
      {"lsu", VADIZU_FIELD(info.lsu.name)},
  };
}

bool NameThenDate(const sts_image_info_v10_t& a,
                  const sts_image_info_v10_t& b) {
  int by_name = std::strcmp(a.def.basename, b.def.basename);
  if (by_name != 0) return by_name < 0;
  return std::strcmp(a.def.date, b.def.date) < 0;
}

// Every image the list yields, with its properties. An image removed
// between the listing and the property query is left out.
int CollectImages(Host& host, const sts_lsu_name_v7_t& lsu, uint32_t flags,
                  std::vector<sts_image_info_v10_t>* images) {
  const std::string where = VADIZU_FIELD(lsu.name);
  stsp_image_list_handle_s* handle = nullptr;
  int status = host.api().open_image_list(&lsu, host.session(), host.server(),
                                          static_cast<int>(flags), &handle);
  if (status != STS_EOK) {
    return Host::Fail("cannot list " + where, status, where);
  }
  ImageListHandle list(host.api(), handle);
  for (;;) {
    sts_image_def_v10_t def{};
    status = host.api().list_image(list.get(), &def);
    if (status == STS_ENOENT) return kExitOk;
    if (status != STS_EOK) return Host::Fail("listing " + where, status);
    sts_image_info_v10_t info{};
    status = host.api().get_image_prop_byname(&lsu, host.session(),
                                              host.server(), &def, &info);
    if (status == STS_ENOENT) continue;
    if (status != STS_EOK) return Host::Fail("listing " + where, status);
    images->push_back(info);
  }
}

std::string Table(const std::vector<sts_image_info_v10_t>& images) {
  std::vector<std::vector<std::string>> rows = {
      {"NAME", "DATE", "SIZE", "STATUS", "POLICY"}};
  for (const sts_image_info_v10_t& info : images) {
    rows.push_back({VADIZU_FIELD(info.def.basename),
                    VADIZU_FIELD(info.def.date), std::to_string(info.size),
                    StatusText(info.status), VADIZU_FIELD(info.def.policy)});
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      width[c] = std::max(width[c], row[c].size());
    }
  }
  std::string text;
  for (const auto& row : rows) {
    for (size_t c = 0; c + 1 < row.size(); ++c) {
      text += row[c] + std::string(width[c] - row[c].size() + 2, ' ');
    }
    text += row.back() + "\n";
  }
  return text;
}

struct ListArguments {
  std::string lsu;
  std::string flags;
};

int RunList(Host& host, const Output& out, const ListArguments& args) {
  const uint32_t flags = args.flags.empty()
                             ? VADIZU_LIST_ALL
                             : ParseUnsigned32(args.flags, "flags");
  const sts_lsu_name_v7_t lsu = MakeLsuName(args.lsu);
  std::vector<sts_image_info_v10_t> images;
  int exit_code = CollectImages(host, lsu, flags, &images);
  if (exit_code != kExitOk) return exit_code;
  std::sort(images.begin(), images.end(), NameThenDate);
  Json list = Json::array();
  for (const sts_image_info_v10_t& info : images) {
    list.push_back(Properties(info));
  }
  out.Report(Table(images), list);
  return kExitOk;
}

int RunStat(Host& host, const Output& out, const ImageArguments& args) {
  const sts_image_def_v10_t def = args.Definition();
  const sts_lsu_name_v7_t lsu = MakeLsuName(args.key.lsu);
  sts_image_info_v10_t info{};
  int status = host.api().get_image_prop_byname(&lsu, host.session(),
                                                host.server(), &def, &info);
  if (status != STS_EOK) {
    return Host::Fail("cannot stat " + args.key.Describe(), status,
                      args.key.lsu);
  }
  const Json properties = Properties(info);
  std::string text;
  for (const auto& item : properties.items()) {
    std::string key = item.key() + ":";
    key.resize(std::max<size_t>(key.size(), 12), ' ');
    const Json& value = item.value();
    text += key + " " +
            (value.is_string() ? value.get<std::string>() : value.dump()) +
            "\n";
  }
  out.Report(text, properties);
  return kExitOk;
}

int RunRemove(Host& host, const Output& out, const ImageArguments& args) {
  const sts_image_def_v10_t def = args.Definition();
  const sts_lsu_name_v7_t lsu = MakeLsuName(args.key.lsu);
  int status =
      host.api().delete_image(&lsu, host.session(), host.server(), &def, 0);
  if (status != STS_EOK) {
    return Host::Fail("cannot remove " + args.key.Describe(), status,
                      args.key.lsu);
  }
  out.Report("removed " + args.key.Describe() + "\n",
             {{"removed", true}, {"name", args.key.name},
              {"date", args.key.date}, {"lsu", args.key.lsu}});
  return kExitOk;
}

CommandRunner DefineList(CLI::App& app) {
  auto args = std::make_shared<ListArguments>();
  app.add_option("LSU", args->lsu, "the LSU directory")
      ->required()
      ->type_name("");
  app.add_option("--flags", args->flags,
                 "image kinds to list (default 7, all)")
      ->type_name("N");
  app.footer(
      "One row per image, sorted by name and then date: size in bytes, status\n"
      "(complete, incomplete, or being written) and policy. --flags selects\n"
      "image kinds as the plug-in's list call does: 1 kind 1, 2 kind 0,\n"
      "4 legacy; the default 7 lists all.");
  return [args](Host& host, const Output& out) {
    return RunList(host, out, *args);
  };
}

CommandRunner DefineStat(CLI::App& app) {
  auto args = std::make_shared<ImageArguments>();
  AddImageArguments(app, args.get(), true);
  return [args](Host& host, const Output& out) {
    return RunStat(host, out, *args);
  };
}

CommandRunner DefineRemove(CLI::App& app) {
  auto args = std::make_shared<ImageArguments>();
  AddImageArguments(app, args.get(), true);
  return [args](Host& host, const Output& out) {
    return RunRemove(host, out, *args);
  };
}

}  // namespace

const Command kListCommand = {"ls", "list the images of an LSU", DefineList};
const Command kStatCommand = {"stat", "show the properties of one image",
                              DefineStat};
const Command kRemoveCommand = {"rm", "remove an image and all its files",
                                DefineRemove};

}  // namespace vadizu_tool
