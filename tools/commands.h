// The sub-commands of the vadizu tool. Each declares its own arguments and
// options on its CLI11 sub-command; main parses the whole command line
// before it loads the plug-in, then runs the one command chosen. A command
// returns the exit status (kExitOk, kExitFailure, or 128 plus a signal) and
// may throw UsageError for an option value it cannot use.
//
// A new command: write `CommandRunner DefineFoo(CLI::App& app)` in its own
// commands_*.cpp, declare a `const Command kFooCommand` there and here, and
// list it in kCommands in main.cpp.
#ifndef VADIZU_TOOLS_COMMANDS_H_
#define VADIZU_TOOLS_COMMANDS_H_

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "host.h"
#include "numbers.h"
#include "output.h"

namespace vadizu_tool {

// Runs a parsed command against the loaded plug-in. Options live in state
// the runner captures, filled in by the parse.
using CommandRunner = std::function<int(Host& host, const Output& out)>;

struct Command {
  const char* name;
  const char* summary;  // one line for the command list
  // Adds the command's arguments and options to `app`, its sub-command,
  // and returns the runner.
  CommandRunner (*define)(CLI::App& app);
};

// put and get (commands_transfer.cpp).
extern const Command kPutCommand;
extern const Command kGetCommand;
// ls, stat and rm (commands_catalog.cpp).
extern const Command kListCommand;
extern const Command kStatCommand;
extern const Command kRemoveCommand;
// verify (commands_transfer.cpp), check (commands_check.cpp), prune
// (commands_prune.cpp) and qualify (commands_qualify.cpp).
extern const Command kVerifyCommand;
extern const Command kCheckCommand;
extern const Command kPruneCommand;
extern const Command kQualifyCommand;

// The LSU NAME arguments and the --date (and, when offered, --legacy)
// options of a command that names one image.
struct ImageArguments {
  ImageKey key;
  bool legacy = false;

  // The image's definition for the plug-in; a legacy one with --legacy.
  sts_image_def_v10_t Definition() const;
};

// Declares LSU and NAME (never empty) on `app`, with --date and, when
// `with_legacy`, --legacy. --date is required unless `date_required` is
// false (put fills in a default date itself) or the image is legacy, whose
// files are named without a date: then --date is refused when required
// elsewhere, as it would mean nothing.
void AddImageArguments(CLI::App& app, ImageArguments* args, bool with_legacy,
                       bool date_required = true);

// "--date latest": replaces the date with the latest date of the images
// named NAME in the LSU. Returns kExitOk, or a failure already reported.
int ResolveLatestDate(Host& host, ImageArguments* args);

// Orders date texts as numbers when both are, else as text, so that "9"
// comes before "10".
bool DateLess(const std::string& a, const std::string& b);

// Every image an LSU lists under `flags`, with its properties. An image
// removed between the listing and the property query is left out. Returns
// kExitOk, or a failure already reported.
int CollectImages(Host& host, const std::string& lsu, uint32_t flags,
                  std::vector<sts_image_info_v10_t>* images);
// `text` as one word for a shell, quoted when it needs to be.
std::string ShellQuote(const std::string& text);

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_COMMANDS_H_
