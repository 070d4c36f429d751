// vadizu: a small backup host that stores, lists, restores and removes
// images through the vadizu plug-in, loaded at run time like any host loads
// it. Exit status: 0 success, 1 failure, 2 bad usage, 128 + signal when
// interrupted.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "commands.h"
#include "host.h"
#include "options.h"
#include "plugin.h"

namespace vadizu_tool {
namespace {

const Command* const kCommands[] = {&kPutCommand, &kGetCommand, &kListCommand,
                                    &kStatCommand, &kRemoveCommand};

const std::vector<OptionSpec> kGlobalOptions = {
    {"plugin", 0, "PATH", "plug-in library to load"},
    {"verbose", 'v', nullptr, "print every log line of the plug-in"},
    {"log-mask", 0, "N", "print the plug-in's log lines of severity N"},
    {"help", 'h', nullptr, "show this help"},
    {"version", 0, nullptr, "show the version"},
};

void PrintOverview() {
  std::printf(
      "Usage: vadizu [OPTIONS] COMMAND [ARGS]\n"
      "Stores, lists, restores and removes backup images in an LSU directory\n"
      "through the vadizu plug-in.\n\nCommands:\n");
  for (const Command* command : kCommands) {
    std::string left = std::string(command->name) + " " + command->synopsis;
    std::printf("  %-34s %s\n", left.c_str(), command->summary);
  }
  std::printf(
      "\nOptions:\n%s\n"
      "Log severities are 1 info, 3 warning and 4 error; --log-mask prints\n"
      "the lines whose severity shares a bit with N, -v is --log-mask 7.\n"
      "The default plug-in is the libvadizu.so.1 installed beside vadizu\n"
      "(or built beside it), else the one the dynamic loader finds.\n"
      "Exit status: 0 success, 1 failure (the plug-in's status code is\n"
      "printed), 2 bad usage, 130 interrupted.\n"
      "Run 'vadizu COMMAND --help' for the options of a command.\n",
      FormatOptions(kGlobalOptions).c_str());
}

void PrintCommandHelp(const Command& command) {
  std::printf("Usage: vadizu %s [OPTIONS] %s\n%s.\n", command.name,
              command.synopsis, command.summary);
  if (command.details != nullptr) std::printf("\n%s\n", command.details);
  std::printf("\nOptions:\n%s%s", FormatOptions(command.options).c_str(),
              FormatOptions(kGlobalOptions).c_str());
}

const Command& FindCommand(const std::string& name) {
  for (const Command* command : kCommands) {
    if (name == command->name) return *command;
  }
  throw UsageError("unknown command " + name);
}

uint32_t LogMask(const Arguments& args) {
  if (args.Has("log-mask")) {
    return ParseUnsigned32(args.Value("log-mask"), "log-mask");
  }
  return args.Has("verbose") ? kLogEverything : 0;
}

int Run(std::vector<std::string> args) {
  size_t at = FirstPositional(args, kGlobalOptions);
  if (at == args.size()) {
    Arguments global = Arguments::Parse(args, kGlobalOptions);
    if (global.Has("version")) {
      std::printf("vadizu %s\n", VADIZU_TOOL_VERSION);
      return kExitOk;
    }
    if (global.Has("help")) {
      PrintOverview();
      return kExitOk;
    }
    throw UsageError("no command given");
  }
  const Command& command = FindCommand(args[at]);
  args.erase(args.begin() + static_cast<std::ptrdiff_t>(at));
  std::vector<OptionSpec> specs = command.options;
  specs.insert(specs.end(), kGlobalOptions.begin(), kGlobalOptions.end());
  Arguments parsed = Arguments::Parse(args, specs);
  if (parsed.Has("help")) {
    PrintCommandHelp(command);
    return kExitOk;
  }
  parsed.ExpectPositional(command.min_arguments, command.max_arguments,
                          std::string(command.name) + " " + command.synopsis);
  const uint32_t log_mask = LogMask(parsed);

  std::unique_ptr<Host> host =
      Host::Open(parsed.Value("plugin", DefaultPluginPath()), log_mask);
  if (host == nullptr) return kExitFailure;
  return command.run(*host, parsed);
}

}  // namespace
}  // namespace vadizu_tool

int main(int argc, char** argv) {
  using namespace vadizu_tool;
  // A closed pipe on the output is reported as a failed write, not a crash.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "vadizu: %s\nTry 'vadizu --help'.\n", e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vadizu: %s\n", e.what());
    return kExitFailure;
  }
}
