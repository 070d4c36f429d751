// ls, stat and rm: what an LSU holds, one image's properties, and removal.
#include <algorithm>
#include <cstdio>
#include <ctime>
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

bool IsLegacy(const sts_image_info_v10_t& info) {
  return info.def.flags == VADIZU_IMAGE_LEGACY;
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
      {"legacy", IsLegacy(info)},
      {"saveas", def.saveas},
      {"format", VADIZU_FIELD(def.format)},
      {"lsu", VADIZU_FIELD(info.lsu.name)},
  };
}

bool NameThenDate(const sts_image_info_v10_t& a,
                  const sts_image_info_v10_t& b) {
  const std::string name_a = VADIZU_FIELD(a.def.basename);
  const std::string name_b = VADIZU_FIELD(b.def.basename);
  if (name_a != name_b) return name_a < name_b;
  return DateLess(VADIZU_FIELD(a.def.date), VADIZU_FIELD(b.def.date));
}

// A date that is a count of seconds since the epoch, as put makes them, in
// local time; "-" for any other date text.
std::string LocalTime(const std::string& date) {
  if (date.empty() || date.size() > 12 ||
      date.find_first_not_of("0123456789") != std::string::npos) {
    return "-";
  }
  const std::time_t seconds = static_cast<std::time_t>(std::stoll(date));
  struct tm local {};
  char text[32];
  if (localtime_r(&seconds, &local) == nullptr ||
      std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return "-";
  }
  return text;
}

std::string Table(const std::vector<sts_image_info_v10_t>& images,
                  bool raw_sizes) {
  std::vector<std::vector<std::string>> rows = {
      {"NAME", "DATE", "LOCAL TIME", "SIZE", "STATUS", "POLICY"}};
  for (const sts_image_info_v10_t& info : images) {
    const std::string date = VADIZU_FIELD(info.def.date);
    rows.push_back(
        {VADIZU_FIELD(info.def.basename), date, LocalTime(date),
         raw_sizes ? std::to_string(info.size) : FormatBytes(info.size),
         std::string(StatusText(info.status)) + (IsLegacy(info) ? ", legacy" : ""),
         VADIZU_FIELD(info.def.policy)});
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
  bool human = false;
  bool bytes = false;
};

int RunList(Host& host, const Output& out, const ListArguments& args) {
  const uint32_t flags = args.flags.empty()
                             ? VADIZU_LIST_ALL
                             : ParseUnsigned32(args.flags, "flags");
  std::vector<sts_image_info_v10_t> images;
  const size_t errors_before = host.error_lines();
  int exit_code = CollectImages(host, args.lsu, flags, &images);
  if (exit_code != kExitOk) return exit_code;
  std::sort(images.begin(), images.end(), NameThenDate);
  Json list = Json::array();
  for (const sts_image_info_v10_t& info : images) {
    list.push_back(Properties(info));
  }
  out.Report(Table(images, args.bytes), list);
  // The plug-in skips what it cannot read and says so only in its log.
  const size_t unread = host.error_lines() - errors_before;
  if (unread == 0) return kExitOk;
  // The plug-in logs one error line for each entry it cannot read.
  std::fprintf(stderr,
               "vadizu: warning: the listing of %s is partial: %zu %s could "
               "not be read (-v shows the plug-in's errors)\n",
               args.lsu.c_str(), unread, unread == 1 ? "entry" : "entries");
  return kExitPartial;
}

int RunStat(Host& host, const Output& out, ImageArguments args) {
  int exit_code = ResolveLatestDate(host, &args);
  if (exit_code != kExitOk) return exit_code;
  const sts_image_def_v10_t def = args.Definition();
  const sts_lsu_name_v7_t lsu = MakeLsuName(args.key.lsu);
  sts_image_info_v10_t info{};
  int status = host.api().get_image_prop_byname(&lsu, host.session(),
                                                host.server(), &def, &info);
  if (status != STS_EOK) {
    return host.Fail("cannot stat " + args.key.Describe(), status,
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

struct RemoveArguments {
  ImageArguments image;
  bool force = false;
  bool dry_run = false;
};

int RunRemove(Host& host, const Output& out, RemoveArguments args) {
  int exit_code = ResolveLatestDate(host, &args.image);
  if (exit_code != kExitOk) return exit_code;
  const ImageKey& key = args.image.key;
  const sts_image_def_v10_t def = args.image.Definition();
  const sts_lsu_name_v7_t lsu = MakeLsuName(key.lsu);
  sts_image_info_v10_t info{};
  int status = host.api().get_image_prop_byname(&lsu, host.session(),
                                                host.server(), &def, &info);
  if (status != STS_EOK) {
    return host.Fail("cannot remove " + key.Describe(), status, key.lsu);
  }
  if ((info.status & VADIZU_STATUS_WRITING) != 0 && !args.force) {
    std::fprintf(stderr,
                 "vadizu: %s is being written; remove it with --force only "
                 "if its writer is gone\n",
                 key.Describe().c_str());
    return kExitFailure;
  }
  if (!args.dry_run) {
    status =
        host.api().delete_image(&lsu, host.session(), host.server(), &def, 0);
    if (status != STS_EOK) {
      return host.Fail("cannot remove " + key.Describe(), status, key.lsu);
    }
  }
  out.Report((args.dry_run ? "would remove " : "removed ") + key.Describe() +
                 "\n",
             {{"removed", !args.dry_run},
              {"name", key.name},
              {"date", key.date},
              {"lsu", key.lsu},
              {"status", StatusText(info.status)}});
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
  CLI::Option* human = app.add_flag("-H,--human-readable", args->human,
                                    "sizes in KiB, MiB, GiB (the default)");
  app.add_flag("--bytes", args->bytes, "sizes as plain byte counts")
      ->excludes(human);
  app.footer(
      "One row per image, sorted by name and then date (as numbers when\n"
      "they are): the date, as local time when it counts seconds since the\n"
      "epoch, size, status (complete, incomplete, or being written; legacy\n"
      "images are marked) and policy. --flags selects image kinds as the\n"
      "plug-in's list call does: 1 kind 1, 2 kind 0, 4 legacy; the default 7\n"
      "lists all. When the plug-in reports errors while it lists (an info\n"
      "file it cannot read), the listing is partial: a warning says so and\n"
      "the exit status is 3.");
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
  auto args = std::make_shared<RemoveArguments>();
  AddImageArguments(app, &args->image, true);
  app.add_flag("-f,--force", args->force,
               "also remove an image that is being written");
  app.add_flag("-n,--dry-run", args->dry_run,
               "check and say what would be removed, remove nothing");
  app.footer(
      "An image still being written is refused without --force: its writer\n"
      "may be alive. Use --force only when the writer is known to be gone.");
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
