// vadizu: a small backup host that stores, lists, restores and removes
// images through the vadizu plug-in, loaded at run time like any host loads
// it. Exit statuses are listed in the help text below.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "host.h"
#include "plugin.h"

namespace vadizu_tool {
namespace {

const Command* const kCommands[] = {
    &kPutCommand,   &kGetCommand,   &kListCommand,  &kStatCommand,
    &kRemoveCommand, &kVerifyCommand, &kCheckCommand, &kPruneCommand,
    &kQualifyCommand};

const char kOverview[] =
    "Stores, lists, restores and removes backup images in an LSU directory\n"
    "through the vadizu plug-in.";

const char kFooter[] =
    "Log severities are 1 info, 3 warning and 4 error; --log-mask prints\n"
    "the lines whose severity shares a bit with N, -v is --log-mask 7.\n"
    "The default plug-in is the libvadizu.so.1 installed beside vadizu\n"
    "(or built beside it), else the one the dynamic loader finds.\n"
    "Exit status: 0 success; 1 failure (the plug-in's status code is\n"
    "printed, with its error lines); 2 bad usage; 3 partial: ls could not\n"
    "read every entry; 4 get refused or cut short an image that is not\n"
    "complete; 128 + signal when stopped by SIGINT (130), SIGHUP (129) or\n"
    "SIGTERM (143), leaving a put's image incomplete.\n"
    "Run 'vadizu COMMAND --help' for the options of a command.\n";

// The options every command takes, before or after the command's name.
struct GlobalOptions {
  std::string plugin;
  bool verbose = false;
  std::string log_mask;
  Output output;

  uint32_t LogMask() const {
    if (!log_mask.empty()) return ParseUnsigned32(log_mask, "log-mask");
    return verbose ? kLogEverything : 0;
  }
};

void AddGlobalOptions(CLI::App& app, GlobalOptions* global) {
  app.add_option("--plugin", global->plugin, "plug-in library to load")
      ->type_name("PATH");
  app.add_flag("-v,--verbose", global->verbose,
               "print every log line of the plug-in");
  app.add_option("--log-mask", global->log_mask,
                 "print the plug-in's log lines of severity N")
      ->type_name("N");
  app.add_flag("-q,--quiet", global->output.quiet,
               "print nothing on standard output on success");
  app.add_flag("--json", global->output.json,
               "report in JSON for scripts instead of text");
}

// Bad usage found by the parser or by a command, with the help to read.
class UsageProblem : public UsageError {
 public:
  UsageProblem(const std::string& what, const std::string& command)
      : UsageError(what), command_(command) {}
  const std::string& command() const { return command_; }

 private:
  std::string command_;
};

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                         diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The known word closest to `typed`, if it is close enough to be a typo.
std::string Closest(const std::string& typed,
                    const std::vector<std::string>& known) {
  std::string best;
  size_t best_distance = std::max<size_t>(2, typed.size() / 3) + 1;
  for (const std::string& word : known) {
    size_t distance = EditDistance(typed, word);
    if (distance < best_distance) {
      best = word;
      best_distance = distance;
    }
  }
  return best;
}

std::string DidYouMean(const std::string& suggestion) {
  return suggestion.empty() ? "" : "; did you mean " + suggestion + "?";
}

// Words the parser could not place in `app`: an unknown option, a command
// that does not exist, or one argument too many.
void CheckLeftovers(CLI::App& app, const std::string& command) {
  std::vector<std::string> left = app.remaining();
  if (left.empty()) return;
  const std::string& word = left.front();
  if (word.size() > 1 && word[0] == '-') {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
      for (const std::string& name : option->get_lnames()) {
        names.push_back("--" + name);
      }
    }
    throw UsageProblem("unknown option " + word + DidYouMean(Closest(word, names)),
                       command);
  }
  if (command.empty()) {
    std::vector<std::string> names;
    for (const Command* known : kCommands) names.push_back(known->name);
    throw UsageProblem("unknown command " + word + DidYouMean(Closest(word, names)),
                       command);
  }
  throw UsageProblem("unexpected argument " + word, command);
}

int Run(int argc, char** argv) {
  CLI::App app(kOverview, "vadizu");
  app.allow_extras();
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("vadizu ") + VADIZU_TOOL_VERSION);
  GlobalOptions global;
  AddGlobalOptions(app, &global);
  std::vector<std::pair<CLI::App*, CommandRunner>> commands;
  for (const Command* command : kCommands) {
    CLI::App* sub = app.add_subcommand(command->name, command->summary);
    CommandRunner runner = command->define(*sub);
    if (!sub->get_footer().empty()) sub->footer(sub->get_footer() + "\n");
    AddGlobalOptions(*sub, &global);
    commands.emplace_back(sub, std::move(runner));
  }

  std::pair<CLI::App*, CommandRunner>* chosen = nullptr;
  auto chosen_name = [&]() -> std::string {
    for (auto& command : commands) {
      if (command.first->parsed()) chosen = &command;
    }
    return chosen != nullptr ? chosen->first->get_name() : "";
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    const std::string name = chosen_name();
    CheckLeftovers(chosen != nullptr ? *chosen->first : app, name);
    throw UsageProblem(e.what(), name);
  }
  const std::string name = chosen_name();
  CheckLeftovers(app, "");
  if (chosen == nullptr) throw UsageProblem("no command given", "");
  CheckLeftovers(*chosen->first, name);

  try {
    const uint32_t log_mask = global.LogMask();
    std::unique_ptr<Host> host = Host::Open(
        global.plugin.empty() ? DefaultPluginPath() : global.plugin, log_mask);
    if (host == nullptr) return kExitFailure;
    return chosen->second(*host, global.output);
  } catch (const UsageProblem&) {
    throw;
  } catch (const UsageError& e) {
    throw UsageProblem(e.what(), name);
  }
}

}  // namespace
}  // namespace vadizu_tool

int main(int argc, char** argv) {
  using namespace vadizu_tool;
  // A closed pipe on the output is reported as a failed write, not a crash.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return Run(argc, argv);
  } catch (const UsageProblem& e) {
    std::string help = e.command().empty() ? "vadizu --help"
                                           : "vadizu " + e.command() + " --help";
    std::fprintf(stderr, "vadizu: %s\nTry '%s'.\n", e.what(), help.c_str());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vadizu: %s\n", e.what());
    return kExitFailure;
  }
}
