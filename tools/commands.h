// The sub-commands of the vadizu tool. Main parses the command line against
// a command's options and checks the count of its arguments before it loads
// the plug-in; the command returns the exit status (kExitOk, kExitFailure,
// or 128 plus a signal) and may throw UsageError for a bad option value.
#ifndef VADIZU_TOOLS_COMMANDS_H_
#define VADIZU_TOOLS_COMMANDS_H_

#include <string>
#include <vector>

#include "host.h"
#include "options.h"

namespace vadizu_tool {

struct Command {
  const char* name;
  const char* synopsis;  // the arguments after the command's name
  size_t min_arguments;  // positional arguments the command accepts
  size_t max_arguments;
  const char* summary;  // one line for the command list
  const char* details;  // paragraph for the command's --help, or null
  std::vector<OptionSpec> options;
  int (*run)(Host& host, const Arguments& args);
};

// put and get (commands_transfer.cpp).
extern const Command kPutCommand;
extern const Command kGetCommand;
// ls, stat and rm (commands_catalog.cpp).
extern const Command kListCommand;
extern const Command kStatCommand;
extern const Command kRemoveCommand;

// The image named by the LSU and NAME arguments and --date; without --date
// the default is used, and an empty default makes --date required.
ImageKey KeyFromArguments(const Arguments& args,
                          const std::string& default_date = "");
// The definition of that image, a legacy one with --legacy when the command
// offers that option.
sts_image_def_v10_t DefinitionFromArguments(const Arguments& args,
                                            const ImageKey& key);

// The options of every command that names one image.
inline constexpr OptionSpec kDateOption = {"date", 0, "DATE",
                                           "date text that names the image"};
inline constexpr OptionSpec kLegacyOption = {
    "legacy", 0, nullptr, "a legacy image: files named without the date"};

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_COMMANDS_H_
