// prune: removes complete images older than a given age, keeping the newest
// few of each name. The age is the image's date, which put writes in seconds
// since the epoch. An image that is incomplete or being written is never
// touched, and one whose date is not a number is skipped and counted.
#include <fnmatch.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "commands.h"
#include "duration.h"
#include "status.h"

namespace vadizu_tool {
namespace {

struct PruneOptions {
  std::string lsu;
  int64_t older_than = 0;
  uint32_t keep_last = 0;
  std::string name_glob;  // empty: every name
  bool dry_run = false;
};

struct Candidate {
  sts_image_def_v10_t def;
  uint64_t size;
  int64_t date;
};

struct Tally {
  std::vector<Json> removed;
  std::vector<std::string> failed;
  uint64_t bytes = 0;
  size_t kept = 0;
  size_t not_complete = 0;
  size_t bad_date = 0;
};

// Seconds since the epoch as put writes them; false for any other text.
bool ParseDate(const std::string& text, int64_t* date) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *date = std::stoll(text);
  return true;
}

// The complete images of the LSU by name, with what was left alone counted.
int Collect(const Host& host, const sts_lsu_name_v7_t& lsu,
            const PruneOptions& options,
            std::map<std::string, std::vector<Candidate>>* by_name,
            Tally* tally) {
  std::vector<sts_image_def_v10_t> defs;
  int status = host.ListImages(lsu, VADIZU_LIST_ALL, &defs);
  if (status != STS_EOK) return status;
  // A stray copy of an info file lists its image a second time.
  std::set<std::string> seen;
  for (const sts_image_def_v10_t& def : defs) {
    const std::string name = VADIZU_FIELD(def.basename);
    if (!seen.insert(ImageFileStem(def)).second) continue;
    if (!options.name_glob.empty() &&
        fnmatch(options.name_glob.c_str(), name.c_str(), 0) != 0) {
      continue;
    }
    sts_image_info_v10_t info{};
    status = host.Properties(lsu, def, &info);
    if (status == STS_ENOENT) continue;  // removed since the listing
    if (status != STS_EOK) return status;
    int64_t date = 0;
    if ((info.status & VADIZU_STATUS_WRITING) != 0 ||
        (info.status & VADIZU_STATUS_COMPLETE) == 0) {
      ++tally->not_complete;
    } else if (!ParseDate(VADIZU_FIELD(def.date), &date)) {
      ++tally->bad_date;
    } else {
      (*by_name)[name].push_back({def, info.size, date});
    }
  }
  return STS_EOK;
}

int RunPrune(Host& host, const Output& out, const PruneOptions& options) {
  const sts_lsu_name_v7_t lsu = MakeLsuName(options.lsu);
  std::map<std::string, std::vector<Candidate>> by_name;
  Tally tally;
  int status = Collect(host, lsu, options, &by_name, &tally);
  if (status != STS_EOK) {
    return host.Fail("cannot list " + options.lsu, status, options.lsu);
  }
  const int64_t now = std::time(nullptr);
  std::string text;
  const char* verb = options.dry_run ? "would remove" : "removed";
  for (auto& [name, images] : by_name) {
    std::sort(images.begin(), images.end(),
              [](const Candidate& a, const Candidate& b) {
                return a.date > b.date;
              });
    for (size_t i = 0; i < images.size(); ++i) {
      const Candidate& image = images[i];
      const int64_t age = now - image.date;
      if (i < options.keep_last || age <= options.older_than) {
        ++tally.kept;
        continue;
      }
      const std::string date = VADIZU_FIELD(image.def.date);
      status = options.dry_run ? STS_EOK : host.Remove(lsu, image.def);
      if (status != STS_EOK) {
        tally.failed.push_back(name + " dated " + date + ": " +
                               StatusName(status));
        continue;
      }
      tally.bytes += image.size;
      tally.removed.push_back({{"name", name},
                               {"date", date},
                               {"age_seconds", age},
                               {"size", image.size}});
      text += std::string(verb) + " '" + name + "' dated " + date + ", " +
              FormatDuration(age) + " old, " + std::to_string(image.size) +
              " bytes\n";
    }
  }
  for (const std::string& failure : tally.failed) {
    std::fprintf(stderr, "vadizu: cannot remove %s\n", failure.c_str());
  }
  text += std::string(verb) + " " + std::to_string(tally.removed.size()) +
          " images (" + std::to_string(tally.bytes) + " bytes); kept " +
          std::to_string(tally.kept) + "; left alone " +
          std::to_string(tally.not_complete) +
          " incomplete or being written and " +
          std::to_string(tally.bad_date) + " whose date is not a number\n";
  out.Report(text, {{"lsu", options.lsu},
                    {"dry_run", options.dry_run},
                    {"removed", tally.removed},
                    {"bytes", tally.bytes},
                    {"kept", tally.kept},
                    {"not_complete", tally.not_complete},
                    {"date_not_a_number", tally.bad_date},
                    {"failed", tally.failed}});
  return tally.failed.empty() ? kExitOk : kExitFailure;
}

CommandRunner DefinePrune(CLI::App& app) {
  auto options = std::make_shared<PruneOptions>();
  auto older_than = std::make_shared<std::string>();
  app.add_option("LSU", options->lsu, "the LSU directory")
      ->required()
      ->type_name("");
  app.add_option("--older-than", *older_than, "remove images older than this")
      ->required()
      ->type_name("DURATION");
  app.add_option("--keep-last", options->keep_last,
                 "keep the newest N of each name (default 0)")
      ->type_name("N");
  app.add_option("--name", options->name_glob,
                 "only images whose name matches, e.g. 'web*'")
      ->type_name("GLOB");
  app.add_flag("-n,--dry-run", options->dry_run,
               "remove nothing; show what would go");
  app.footer(
      "Removes the complete images whose date, in seconds since the epoch as\n"
      "put writes it, lies further back than --older-than (90s, 30m, 12h, 30d),\n"
      "keeping the newest --keep-last of each name whatever their age. Images\n"
      "that are incomplete or being written are never touched; images whose\n"
      "date is not a number are skipped and counted.");
  return [options, older_than](Host& host, const Output& out) {
    options->older_than = ParseDuration(*older_than, "older-than");
    return RunPrune(host, out, *options);
  };
}

}  // namespace

const Command kPruneCommand = {
    "prune", "remove complete images older than an age", DefinePrune};

}  // namespace vadizu_tool
