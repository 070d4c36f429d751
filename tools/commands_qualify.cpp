// qualify: whether a directory can hold an LSU that several hosts share.
// It probes, with plain system calls in scratch files it removes again,
// what the info-file protocol relies on: exclusive create, the fcntl lock
// on byte 0 between processes, fsync, and with --peer (the same directory
// through a second mount) that creates, locks and changes hold across the
// two paths. The plug-in is not involved.
#include "commands.h"
#include "fsprobe.h"

namespace vadizu_tool {
namespace {

constexpr uint32_t kDefaultRounds = 20;
constexpr uint32_t kMostRounds = 10000;

struct QualifyOptions {
  std::string dir;
  std::string peer;  // empty: none
  uint32_t rounds = kDefaultRounds;
};

int RunQualify(const Output& out, const QualifyOptions& options) {
  const std::string& dir = options.dir;
  const std::string& peer = options.peer;
  const uint32_t rounds = options.rounds;
  const bool shared = !peer.empty();
  DirectoryProbe probe(dir, shared ? peer : dir, static_cast<int>(rounds));
  std::vector<ProbeResult> results = {probe.SameDirectory()};
  // Races between paths that do not meet prove nothing.
  if (results[0].ok) {
    for (auto check : {&DirectoryProbe::ExclusiveCreate,
                       &DirectoryProbe::LockExclusion, &DirectoryProbe::Fsync,
                       &DirectoryProbe::CreateRace, &DirectoryProbe::LockRace,
                       &DirectoryProbe::Visibility}) {
      results.push_back((probe.*check)());
    }
  }
  if (!shared) results.erase(results.begin());

  std::string text = "qualify " + dir +
                     (shared ? " with peer " + peer : std::string()) + ", " +
                     std::to_string(rounds) + " rounds:\n";
  std::string failed;
  Json checks = Json::array();
  for (const ProbeResult& r : results) {
    text += std::string(r.ok ? "  ok      " : "  FAILED  ") + r.property +
            ": " + r.detail + "\n";
    if (!r.ok) failed += (failed.empty() ? "" : ", ") + r.property;
    Json check = {{"property", r.property}, {"ok", r.ok}, {"detail", r.detail}};
    for (const auto& [key, value] : r.figures) check[key] = value;
    checks.push_back(check);
  }
  if (!failed.empty()) {
    text += dir + " cannot hold a shared LSU: " + failed + " failed\n";
  } else if (shared) {
    text += dir + " and " + peer + " can hold an LSU shared between them\n";
  } else {
    text += dir + " can hold an LSU; to share it, run this again with\n"
                  "--peer naming the same directory through another mount\n";
  }
  out.Report(text, {{"dir", dir},
                    {"peer", shared ? Json(peer) : Json()},
                    {"rounds", rounds},
                    {"ok", failed.empty()},
                    {"checks", checks}});
  return failed.empty() ? kExitOk : kExitFailure;
}

CommandRunner DefineQualify(CLI::App& app) {
  auto options = std::make_shared<QualifyOptions>();
  app.add_option("DIR", options->dir, "the directory to hold the LSU")
      ->required()
      ->type_name("");
  app.add_option("--peer", options->peer,
                 "the same directory through another mount")
      ->type_name("DIR2");
  app.add_option("--rounds", options->rounds, "racing rounds (default 20)")
      ->type_name("N")
      ->check(CLI::Range(1u, kMostRounds));
  app.footer(
      "Probes DIR with scratch files, removed afterwards, for what the plug-in\n"
      "relies on when several hosts share an LSU: an exclusive create refuses\n"
      "a second creator; an fcntl lock on byte 0 held by one process refuses\n"
      "it to another and passes to a waiting one when the holder closes the\n"
      "file; fsync succeeds. With --peer, DIR2 is the same directory through\n"
      "a second mount: the checks then cross the two paths, and over --rounds\n"
      "rounds processes on both race to create one file and to lock one byte\n"
      "(exactly one may win), and what is written, created or removed through\n"
      "one path must show through the other at once. Exit status 0 when every\n"
      "check passed, 1 naming the ones that failed.");
  return [options](Host&, const Output& out) {
    return RunQualify(out, *options);
  };
}

}  // namespace

const Command kQualifyCommand = {
    "qualify", "check that a directory can hold a shared LSU", DefineQualify};

}  // namespace vadizu_tool
