// check: what is wrong in an LSU, read-only. The plug-in's listing gives the
// images and their properties; a plain scan of the directory shows what the
// listing cannot: files no info file names, entries that are not regular
// files, info files under a name no image definition leads to, and the
// times files last changed. Each finding says what to do about it.
#include <ctime>
#include <set>

#include "commands.h"
#include "directory.h"
#include "duration.h"
#include "io.h"
#include "status.h"

namespace vadizu_tool {
namespace {

constexpr const char kInfoSuffix[] = ".info";
constexpr int64_t kDefaultStale = 3600;
constexpr uint64_t kMetadataAlignment = 512;

struct CheckOptions {
  std::string lsu;
  int64_t stale = kDefaultStale;
};

struct Finding {
  const char* kind;  // for scripts
  std::string file;  // the entry in the LSU
  std::string problem;
  std::string action;
  int64_t age = -1;  // seconds, for a writer that went quiet
};

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string StripSuffix(const std::string& text, const std::string& suffix) {
  return text.substr(0, text.size() - suffix.size());
}

// One LSU under inspection: its scan, the images checked so far and the
// findings.
class LsuCheck final {
 public:
  LsuCheck(const Host& host, std::string lsu, int64_t stale)
      : host_(host),
        lsu_path_(std::move(lsu)),
        lsu_(MakeLsuName(lsu_path_)),
        stale_(stale),
        now_(std::time(nullptr)) {}

  // Returns kExitOk when the LSU could be walked, whatever it found.
  int Run() {
    int error = ScanDirectory(lsu_path_, &entries_);
    if (error != 0) {
      std::fprintf(stderr, "vadizu: cannot read %s: %s\n", lsu_path_.c_str(),
                   ErrorText(error).c_str());
      return kExitFailure;
    }
    std::vector<sts_image_def_v10_t> defs;
    int status = host_.ListImages(lsu_, VADIZU_LIST_ALL, &defs);
    if (status != STS_EOK) {
      return host_.Fail("cannot list " + lsu_path_, status, lsu_path_);
    }
    for (const sts_image_def_v10_t& def : defs) CheckListed(def);
    for (const auto& [name, entry] : entries_) {
      if (EndsWith(name, kInfoSuffix)) CheckInfoFile(name, entry);
      if (EndsWith(name, ".img") || EndsWith(name, ".meta")) CheckOwned(name);
    }
    return kExitOk;
  }

  size_t images() const { return images_; }
  const std::vector<Finding>& findings() const { return findings_; }

 private:
  std::string Path(const std::string& name) const {
    return JoinPath(lsu_path_, name);
  }
  const DirectoryEntry* Entry(const std::string& name) const {
    auto it = entries_.find(name);
    return it == entries_.end() ? nullptr : &it->second;
  }
  void Add(const char* kind, const std::string& name, std::string problem,
           std::string action, int64_t age = -1) {
    findings_.push_back({kind, Path(name), std::move(problem),
                         std::move(action), age});
  }

  // "vadizu rm LSU NAME --date DATE", quoted for a shell.
  std::string RemoveCommand(const sts_image_def_v10_t& def) const {
    std::string command = "vadizu rm " + ShellQuote(lsu_path_) + " " +
                          ShellQuote(VADIZU_FIELD(def.basename));
    if (def.flags == VADIZU_IMAGE_LEGACY) return command + " --legacy";
    return command + " --date " + ShellQuote(VADIZU_FIELD(def.date));
  }
  std::string RemoveFile(const std::string& name) const {
    return "rm " + ShellQuote(Path(name));
  }

  // An image the listing yields: its files against what its info records.
  // An info file under another name that records the same image, or one
  // under this image's name that records another, is found by its name.
  void CheckListed(const sts_image_def_v10_t& def) {
    const std::string stem = ImageFileStem(def);
    if (checked_.count(stem) != 0 || !Entry(stem + kInfoSuffix)) return;
    sts_image_info_v10_t info{};
    if (host_.Properties(lsu_, def, &info) != STS_EOK) return;
    if (ImageFileStem(info.def) != stem) return;
    checked_.insert(stem);
    ++images_;
    const std::string describe = "image '" + VADIZU_FIELD(def.basename) +
                                 "' dated " + VADIZU_FIELD(def.date);
    const std::string data = DataFileName(def);
    const DirectoryEntry* data_entry = Entry(data);
    if ((def.saveas & VADIZU_SAVEAS_IMAGE) != 0 && data_entry == nullptr) {
      Add("missing-data", stem + kInfoSuffix,
          describe + " has no data file " + data,
          "remove what is left: " + RemoveCommand(def));
    } else if (data_entry != nullptr && (info.status & VADIZU_STATUS_COMPLETE) &&
               data_entry->size != info.size) {
      Add("size-mismatch", data,
          describe + " is complete with " + std::to_string(info.size) +
              " bytes, but its data file holds " +
              std::to_string(data_entry->size),
          "restore it from another copy, or remove it: " +
              RemoveCommand(def));
    }
    const DirectoryEntry* meta = Entry(stem + ".meta");
    if (meta != nullptr && meta->size % kMetadataAlignment != 0) {
      Add("metadata-size", stem + ".meta",
          describe + " has a metadata file of " + std::to_string(meta->size) +
              " bytes, not a multiple of 512",
          "its status blocks are cut short; remove it: " + RemoveCommand(def));
    }
    if ((info.status & VADIZU_STATUS_WRITING) != 0) {
      CheckWriter(def, describe, {stem + kInfoSuffix, data, stem + ".meta"});
    }
  }

  // A writer that died leaves its image marked as being written forever.
  void CheckWriter(const sts_image_def_v10_t& def, const std::string& describe,
                   const std::vector<std::string>& files) {
    int64_t newest = 0;
    for (const std::string& name : files) {
      if (const DirectoryEntry* e = Entry(name)) {
        newest = std::max(newest, e->modified);
      }
    }
    const int64_t age = now_ - newest;
    if (age <= stale_) return;
    Add("stale-writer", files[0],
        describe + " is being written, but none of its files changed for " +
            FormatDuration(age),
        "a writer that died leaves it so; when no host writes it any more: " +
            RemoveCommand(def),
        age);
  }

  // An info file the listing did not reach under its own name.
  void CheckInfoFile(const std::string& name, const DirectoryEntry& entry) {
    if (!entry.regular) {
      Add("not-regular", name, "named like an info file, but not a file",
          "move it out of the LSU");
      return;
    }
    const std::string stem = StripSuffix(name, kInfoSuffix);
    if (checked_.count(stem) != 0) return;
    sts_image_info_v10_t info{};
    const int status = host_.InfoFileProperties(lsu_, stem, &info);
    if (status != STS_EOK) {
      Add("unreadable", name,
          "the plug-in cannot read it (" + StatusName(status) + ")",
          "fix its permissions, or remove it: " + RemoveFile(name));
      return;
    }
    const sts_image_def_v10_t& def = info.def;
    if (def.basename[0] == '\0') {
      Add("no-name", name, "records no image name, so no listing shows it",
          "remove it: " + RemoveFile(name));
      return;
    }
    const std::string own = ImageFileStem(def);
    if (own == stem) {
      Add("not-listed", name,
          "records flags " + std::to_string(def.flags) +
              ", which no listing shows",
          "remove it: " + RemoveFile(name));
      return;
    }
    const std::string describe = "records image '" +
                                 VADIZU_FIELD(def.basename) + "' dated " +
                                 VADIZU_FIELD(def.date);
    if (Entry(own + kInfoSuffix) != nullptr) {
      Add("collision", name,
          describe + ", as " + own + kInfoSuffix + " does",
          "keep one of the two; remove this copy: " + RemoveFile(name));
    } else {
      Add("misnamed", name,
          describe + ", whose info file is named " + own + kInfoSuffix +
              "; no host can open it by name",
          "rename it: mv " + ShellQuote(Path(name)) + " " +
              ShellQuote(Path(own + kInfoSuffix)));
    }
  }

  // A data or metadata file whose image has no info file. A legacy image's
  // data file is its name alone, so NAME.img may be one with NAME.img.info.
  void CheckOwned(const std::string& name) {
    const std::string stem =
        StripSuffix(name, EndsWith(name, ".img") ? ".img" : ".meta");
    if (Entry(stem + kInfoSuffix) || Entry(name + kInfoSuffix)) return;
    Add("orphan", name, "no info file names it, so no host sees it",
        "remove it: " + RemoveFile(name));
  }

  const Host& host_;
  const std::string lsu_path_;
  const sts_lsu_name_v7_t lsu_;
  const int64_t stale_;
  const int64_t now_;
  DirectoryListing entries_;
  std::set<std::string> checked_;  // stems of the images checked whole
  size_t images_ = 0;
  std::vector<Finding> findings_;
};

int RunCheck(Host& host, const Output& out, const CheckOptions& options) {
  LsuCheck check(host, options.lsu, options.stale);
  const int exit_code = check.Run();
  if (exit_code != kExitOk) return exit_code;
  const std::vector<Finding>& findings = check.findings();
  std::string text;
  Json problems = Json::array();
  for (const Finding& f : findings) {
    text += f.file + ": " + f.problem + "\n    " + f.action + "\n";
    Json item = {{"kind", f.kind},
                 {"file", f.file},
                 {"problem", f.problem},
                 {"action", f.action}};
    if (f.age >= 0) item["age_seconds"] = f.age;
    problems.push_back(item);
  }
  text += std::to_string(check.images()) + " images checked in " +
          options.lsu + ": " +
          (findings.empty() ? "no problems"
                            : std::to_string(findings.size()) +
                                  (findings.size() == 1 ? " problem" : " problems")) +
          "\n";
  Output shown = out;
  shown.quiet = out.quiet && findings.empty();  // --quiet hides success only
  shown.Report(text, {{"lsu", options.lsu},
                      {"images", check.images()},
                      {"problems", problems}});
  return findings.empty() ? kExitOk : kExitFailure;
}

CommandRunner DefineCheck(CLI::App& app) {
  auto options = std::make_shared<CheckOptions>();
  auto stale = std::make_shared<std::string>();
  app.add_option("LSU", options->lsu, "the LSU directory")
      ->required()
      ->type_name("");
  app.add_option("--stale", *stale,
                 "a writer quiet this long has died, e.g. 30m (default 1h)")
      ->type_name("DURATION");
  app.footer(
      "Walks the plug-in's listing and the directory itself. Reports info files\n"
      "that cannot be read, record no name or are named for another image (a\n"
      "renamed file, or a copy of another image's), entries named like info\n"
      "files that are not files, data and metadata files no info file names,\n"
      "images without their data file, complete images whose data file is not\n"
      "the size recorded, metadata files cut off inside a 512-byte block, and\n"
      "images being written whose files have not changed for longer than\n"
      "--stale: a writer that died leaves its image so. Each finding says what\n"
      "to do. Changes nothing. Exit status 0 only when nothing was found.");
  return [options, stale](Host& host, const Output& out) {
    if (!stale->empty()) options->stale = ParseDuration(*stale, "stale");
    return RunCheck(host, out, *options);
  };
}

}  // namespace

const Command kCheckCommand = {
    "check", "report what is wrong in an LSU, changing nothing", DefineCheck};

}  // namespace vadizu_tool
