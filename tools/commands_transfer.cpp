// put, get and verify: move bytes between a file or pipe and an image, one
// large buffer at a time, straight through the plug-in's write and read
// calls, with the SHA-256 of what passed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

#include "commands.h"
#include "digest.h"
#include "interrupt.h"
#include "io.h"
#include "producer.h"
#include "progress.h"
#include "restore_target.h"

namespace vadizu_tool {
namespace {

constexpr uint64_t kDefaultBufferSize = 1u << 20;
// A single plug-in write or read moves at most 2 GiB - 1 bytes.
constexpr uint64_t kMaxBufferSize = 1u << 30;

// The options put and get share.
struct TransferArguments {
  ImageArguments image;
  std::string file = "-";  // "-": standard input or output
  std::string buffer;
  bool progress = false;
  bool no_progress = false;

  size_t BufferSize() const {
    if (buffer.empty()) return kDefaultBufferSize;
    uint64_t size = ParseSize(buffer, "buffer");
    if (size == 0 || size > kMaxBufferSize) {
      throw UsageError("--buffer must be between 1 and 1G");
    }
    return static_cast<size_t>(size);
  }

  ProgressMode Progress() const {
    if (progress && no_progress) {
      throw UsageError("--progress and --no-progress exclude each other");
    }
    if (progress) return ProgressMode::kAlways;
    if (no_progress) return ProgressMode::kNever;
    return ProgressMode::kAuto;
  }
};

void AddTransferOptions(CLI::App& app, TransferArguments* args,
                        const char* file_help) {
  app.add_option("FILE", args->file, file_help)->type_name("");
  app.add_option("--buffer", args->buffer,
                 "bytes per plug-in call, e.g. 4M (default 1M)")
      ->type_name("SIZE");
  app.add_flag("--progress", args->progress, "always show the progress bar");
  app.add_flag("--no-progress", args->no_progress,
               "never show the progress bar");
}

struct PutArguments : TransferArguments {
  std::string from_command;
  std::string policy;
  std::string metadata;

  uint32_t SaveAs() const {
    if (metadata.empty()) return VADIZU_SAVEAS_IMAGE;
    if (metadata == "clear") {
      return VADIZU_SAVEAS_IMAGE | VADIZU_SAVEAS_CLEAR_FILES;
    }
    return VADIZU_SAVEAS_IMAGE | VADIZU_SAVEAS_OPAQUE_FILES;
  }
};

struct GetArguments : TransferArguments {
  bool force = false;
  bool allow_incomplete = false;
  std::string sha256;  // empty: not checked
};

struct VerifyArguments {
  ImageArguments image;
  std::string sha256;
};

// --sha256, for get and verify.
void AddDigestOption(CLI::App& app, std::string* digest, const char* help) {
  app.add_option("--sha256", *digest, help)
      ->type_name("HEX")
      ->check(CLI::Validator(
          [](std::string& text) {
            return IsSha256Text(text) ? "" : "takes 64 hex digits";
          },
          "", "SHA-256"));
}

std::string Now() { return std::to_string(std::time(nullptr)); }

// "stored KEY: 335544320 bytes in 0.84 s, 381.0 MiB/s, sha256 HEX"
void Report(const Output& out, FILE* stream, const char* verb,
            const ImageKey& key, uint64_t bytes, double seconds,
            bool complete, const std::string& sha256) {
  char text[64];
  std::snprintf(text, sizeof(text), ": %llu bytes in %.2f s, ",
                static_cast<unsigned long long>(bytes), seconds);
  out.Report(std::string(verb) + " " + key.Describe() + text +
                 FormatRate(bytes, seconds) + ", sha256 " + sha256 + "\n",
             {{verb, true},
              {"name", key.name},
              {"date", key.date},
              {"lsu", key.lsu},
              {"bytes", bytes},
              {"complete", complete},
              {"seconds", seconds},
              {"sha256", sha256}},
             stream);
}

int FailSystem(const std::string& what, int error) {
  std::fprintf(stderr, "vadizu: %s: %s\n", what.c_str(),
               ErrorText(error).c_str());
  return kExitFailure;
}

// How a copy loop ended: cleanly, by a plug-in status, by a failed system
// call on the file side (errno), or by a signal (see InterruptGuard).
struct CopyResult {
  uint64_t bytes = 0;
  int status = STS_EOK;
  int error = 0;
};

CopyResult CopyIntoImage(const PluginApi& api, stsp_image_handle_s* image,
                         int input, const sts_stat_v7_t* block,
                         size_t buffer_size, ProgressBar* bar, Sha256* digest,
                         const InterruptGuard& interrupt) {
  Buffer buffer = AllocateBuffer(buffer_size);
  CopyResult result;
  while (!interrupt.interrupted()) {
    ssize_t n = ReadFull(input, buffer.get(), buffer_size, interrupt.flag());
    if (n < 0) {
      result.error = errno;
      break;
    }
    if (n == 0) break;
    uint64_t written = 0;
    result.status =
        api.write_image(image, block, buffer.get(), static_cast<uint64_t>(n),
                        result.bytes, &written);
    digest->Update(buffer.get(), written);
    result.bytes += written;
    bar->Update(result.bytes);
    if (result.status != STS_EOK || static_cast<size_t>(n) < buffer_size) {
      break;
    }
  }
  return result;
}

// Writes to `output`, or nowhere when it is -1.
CopyResult CopyOutOfImage(const PluginApi& api, stsp_image_handle_s* image,
                          int output, size_t buffer_size, ProgressBar* bar,
                          Sha256* digest, const InterruptGuard& interrupt) {
  Buffer buffer = AllocateBuffer(buffer_size);
  CopyResult result;
  while (!interrupt.interrupted()) {
    uint64_t n = 0;
    result.status =
        api.read_image(image, buffer.get(), buffer_size, result.bytes, &n);
    if (result.status != STS_EOK || n == 0) break;
    digest->Update(buffer.get(), n);
    if (output >= 0 && !WriteFull(output, buffer.get(), n)) {
      result.error = errno;
      break;
    }
    result.bytes += n;
    bar->Update(result.bytes);
  }
  return result;
}

// The bytes put stores: a file, standard input, or the output of a
// producer command. Checked before the image is created, so input that
// cannot be read leaves no image behind.
struct Input {
  FileDescriptor file;
  std::unique_ptr<Producer> producer;

  int fd() const { return producer != nullptr ? producer->fd() : file.get(); }
};

// Null with the reason printed, or a UsageError for input from a terminal.
std::unique_ptr<Input> OpenInput(const PutArguments& args) {
  auto input = std::make_unique<Input>();
  std::string error;
  if (!args.from_command.empty()) {
    input->producer = Producer::Start(args.from_command, &error);
    if (input->producer == nullptr) {
      std::fprintf(stderr, "vadizu: %s\n", error.c_str());
      return nullptr;
    }
    return input;
  }
  const std::string& path = args.file;
  input->file = FileDescriptor(path == "-" ? STDIN_FILENO
                                           : open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (input->file.get() < 0) {
    FailSystem("cannot open " + path, errno);
    return nullptr;
  }
  struct stat st;
  if (fstat(input->file.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
    FailSystem("cannot store " + path, EISDIR);
    return nullptr;
  }
  if (isatty(input->file.get())) {
    throw UsageError(
        "will not read an image from a terminal; name a FILE, redirect "
        "standard input or use --from-command");
  }
  return input;
}

// A put that stopped early: the image is closed incomplete, and the user
// learns how to get rid of it.
std::string LeftIncomplete(const ImageKey& key, uint64_t bytes) {
  return " after " + std::to_string(bytes) +
         " bytes; the image is left incomplete (remove it with: vadizu rm " +
         key.lsu + " '" + key.name + "' --date " + key.date + ")";
}

int RunPut(Host& host, const Output& out, PutArguments args) {
  if (args.image.key.date.empty()) args.image.key.date = Now();
  const ImageKey& key = args.image.key;
  sts_image_def_v10_t def = args.image.Definition();
  CopyField(def.policy, sizeof(def.policy), args.policy, "policy");
  def.saveas = args.SaveAs();
  const size_t buffer_size = args.BufferSize();
  const ProgressMode progress = args.Progress();
  const sts_lsu_name_v7_t lsu = MakeLsuName(key.lsu);
  if (!args.from_command.empty() && args.file != "-") {
    throw UsageError("give either FILE or --from-command, not both");
  }
  const std::string source =
      args.from_command.empty() ? args.file : "the output of the command";

  // A signal from here on leaves an image that is closed incomplete.
  InterruptGuard interrupt;
  std::unique_ptr<Input> input = OpenInput(args);
  if (input == nullptr) {
    // A signal ends a wait for a FIFO to open, and counts as the signal.
    return interrupt.interrupted() ? interrupt.ExitCode() : kExitFailure;
  }

  stsp_image_handle_s* handle = nullptr;
  int status = host.api().create_image(&lsu, host.session(), host.server(),
                                       &def, 0, &handle);
  if (status != STS_EOK) {
    return host.Fail("cannot create " + key.Describe(), status, key.lsu);
  }
  ImageHandle image(host.api(), handle);

  // With --metadata every write also hands the plug-in one status block.
  sts_stat_v7_t block{};
  block.length = sizeof(block);
  const bool with_metadata = def.saveas != VADIZU_SAVEAS_IMAGE;

  Stopwatch clock;
  const uint64_t total = KnownSize(input->fd());
  ProgressBar bar("put", total, ShouldShowProgress(progress, total));
  Sha256 digest;
  CopyResult copy = CopyIntoImage(host.api(), image.get(), input->fd(),
                                  with_metadata ? &block : nullptr, buffer_size,
                                  &bar, &digest, interrupt);
  bar.Finish();
  std::string producer_end;
  const bool producer_failed = input->producer != nullptr &&
                               !interrupt.interrupted() &&
                               !input->producer->Finish(&producer_end);

  const std::string left = LeftIncomplete(key, copy.bytes);
  if (interrupt.interrupted()) {
    image.Close(VADIZU_CLOSE_INCOMPLETE);
    std::fprintf(stderr, "vadizu: interrupted by signal %d: %s%s\n",
                 interrupt.signal_number(), key.Describe().c_str(),
                 left.c_str());
    return interrupt.ExitCode();
  }
  if (copy.error != 0) {
    image.Close(VADIZU_CLOSE_INCOMPLETE);
    return FailSystem("reading " + source + " failed" + left, copy.error);
  }
  if (copy.status != STS_EOK) {
    image.Close(VADIZU_CLOSE_INCOMPLETE);
    return host.Fail("writing " + key.Describe() + " failed" + left,
                     copy.status, key.lsu);
  }
  if (producer_failed) {
    image.Close(VADIZU_CLOSE_INCOMPLETE);
    std::fprintf(stderr, "vadizu: the command %s%s\n", producer_end.c_str(),
                 left.c_str());
    return kExitFailure;
  }
  status = image.Close(VADIZU_CLOSE_COMPLETE);
  if (status != STS_EOK) {
    return host.Fail("closing " + key.Describe() + " failed" + left, status,
                     key.lsu);
  }
  Report(out, stdout, "stored", key, copy.bytes, clock.Seconds(), true,
         digest.HexDigest());
  return kExitOk;
}

// Why an image should not be restored as it is, or null.
const char* NotWhole(const sts_image_info_v10_t& info) {
  if (info.status & VADIZU_STATUS_WRITING) return "is still being written";
  if ((info.status & VADIZU_STATUS_COMPLETE) == 0) return "is not complete";
  return nullptr;
}

// Opens the image for reading and reads its properties into `info`. On
// failure it reports, sets `*exit_code` and returns null.
std::unique_ptr<ImageHandle> OpenForReading(Host& host,
                                            const ImageArguments& image,
                                            sts_image_info_v10_t* info,
                                            int* exit_code) {
  const ImageKey& key = image.key;
  const sts_image_def_v10_t def = image.Definition();
  const sts_lsu_name_v7_t lsu = MakeLsuName(key.lsu);
  stsp_image_handle_s* handle = nullptr;
  int status = host.api().open_image(&lsu, host.session(), host.server(), &def,
                                     VADIZU_OPEN_READ, &handle);
  if (status != STS_EOK) {
    *exit_code = host.Fail("cannot open " + key.Describe(), status, key.lsu);
    return nullptr;
  }
  auto opened = std::make_unique<ImageHandle>(host.api(), handle);
  status = host.api().get_image_prop(opened->get(), info);
  if (status != STS_EOK) {
    *exit_code = host.Fail("cannot read the properties of " + key.Describe(),
                           status);
    return nullptr;
  }
  return opened;
}

int RunGet(Host& host, const Output& out, GetArguments args) {
  if (args.file == "-" && isatty(STDOUT_FILENO)) {
    throw UsageError(
        "will not write image data to a terminal; name a FILE or redirect "
        "standard output");
  }
  int exit_code = ResolveLatestDate(host, &args.image);
  if (exit_code != kExitOk) return exit_code;
  const ImageKey& key = args.image.key;
  const size_t buffer_size = args.BufferSize();
  const ProgressMode progress = args.Progress();

  InterruptGuard interrupt;
  sts_image_info_v10_t info{};
  std::unique_ptr<ImageHandle> opened =
      OpenForReading(host, args.image, &info, &exit_code);
  if (opened == nullptr) return exit_code;
  ImageHandle& image = *opened;
  if (args.image.legacy) {
    std::fprintf(stderr,
                 "vadizu: the plug-in does not read legacy images; the data "
                 "of %s is the file %s/%s itself\n",
                 key.Describe().c_str(), key.lsu.c_str(), key.name.c_str());
    return kExitFailure;
  }
  const char* not_whole = NotWhole(info);
  if (not_whole != nullptr && !args.allow_incomplete) {
    std::fprintf(stderr,
                 "vadizu: %s %s; nothing restored (--allow-incomplete "
                 "restores what it holds)\n",
                 key.Describe().c_str(), not_whole);
    return kExitIncomplete;
  }

  std::string error;
  std::unique_ptr<RestoreTarget> target =
      RestoreTarget::Open(args.file, args.force, &error);
  if (target == nullptr) {
    std::fprintf(stderr, "vadizu: %s\n", error.c_str());
    return kExitFailure;
  }
  const std::string where =
      target->is_stdout() ? "standard output" : args.file;
  const std::string untouched = where + " is left as it was";

  Stopwatch clock;
  ProgressBar bar("get", info.size, ShouldShowProgress(progress, info.size));
  Sha256 digest;
  CopyResult copy = CopyOutOfImage(host.api(), image.get(), target->fd(),
                                   buffer_size, &bar, &digest, interrupt);
  bar.Finish();
  const int status = image.Close(VADIZU_CLOSE_INCOMPLETE);
  if (copy.status == STS_EOK) copy.status = status;

  if (interrupt.interrupted()) {
    std::fprintf(stderr,
                 "vadizu: interrupted by signal %d: restore of %s stopped; "
                 "%s\n",
                 interrupt.signal_number(), key.Describe().c_str(),
                 target->is_stdout() ? "standard output holds part of it"
                                     : untouched.c_str());
    return interrupt.ExitCode();
  }
  if (copy.status != STS_EOK) {
    return host.Fail("reading " + key.Describe() + " failed", copy.status,
                     key.lsu);
  }
  if (copy.error != 0) {
    return FailSystem("writing the restored data to " + where + " failed",
                      copy.error);
  }
  const bool whole = copy.bytes == info.size && not_whole == nullptr;
  if (copy.bytes != info.size && !args.allow_incomplete) {
    std::fprintf(stderr,
                 "vadizu: restore of %s is short: %llu of %llu bytes; %s\n",
                 key.Describe().c_str(),
                 static_cast<unsigned long long>(copy.bytes),
                 static_cast<unsigned long long>(info.size),
                 target->is_stdout()
                     ? "standard output holds only that part"
                     : untouched.c_str());
    return kExitIncomplete;
  }
  const std::string sha256 = digest.HexDigest();
  if (!args.sha256.empty() && !SameDigest(sha256, args.sha256)) {
    std::fprintf(stderr, "vadizu: the restore of %s has sha256 %s, not %s; %s\n",
                 key.Describe().c_str(), sha256.c_str(), args.sha256.c_str(),
                 target->is_stdout() ? "discard what standard output got"
                                     : untouched.c_str());
    return kExitFailure;
  }
  if (!target->Commit()) {
    return FailSystem("writing the restored data to " + where + " failed",
                      errno);
  }
  if (!whole) {
    std::fprintf(stderr,
                 "vadizu: warning: %s %s; restored %llu of %llu bytes as "
                 "asked by --allow-incomplete\n",
                 key.Describe().c_str(),
                 not_whole != nullptr ? not_whole : "is short",
                 static_cast<unsigned long long>(copy.bytes),
                 static_cast<unsigned long long>(info.size));
  }
  Report(out, target->is_stdout() ? stderr : stdout, "restored", key,
         copy.bytes, clock.Seconds(), whole, sha256);
  return kExitOk;
}

// What is wrong with an image read whole: its state, a short read, or a
// digest other than the one expected.
std::vector<std::string> VerifyProblems(const sts_image_info_v10_t& info,
                                        uint64_t bytes_read,
                                        const std::string& sha256,
                                        const std::string& expected) {
  std::vector<std::string> problems;
  if (const char* not_whole = NotWhole(info)) {
    problems.push_back(std::string("it ") + not_whole);
  }
  if (bytes_read != info.size) {
    problems.push_back("it records " + std::to_string(info.size) +
                       " bytes, but " + std::to_string(bytes_read) +
                       " were read");
  }
  if (!expected.empty() && !SameDigest(sha256, expected)) {
    problems.push_back("its sha256 is " + sha256 + ", not " + expected);
  }
  return problems;
}

int RunVerify(Host& host, const Output& out, VerifyArguments args) {
  if (args.image.key.date.empty()) args.image.key.date = "latest";
  int exit_code = ResolveLatestDate(host, &args.image);
  if (exit_code != kExitOk) return exit_code;
  const ImageKey& key = args.image.key;
  InterruptGuard interrupt;
  sts_image_info_v10_t info{};
  std::unique_ptr<ImageHandle> opened =
      OpenForReading(host, args.image, &info, &exit_code);
  if (opened == nullptr) return exit_code;
  ImageHandle& image = *opened;
  ProgressBar bar("verify", info.size,
                  ShouldShowProgress(ProgressMode::kAuto, info.size));
  Sha256 digest;
  CopyResult copy = CopyOutOfImage(host.api(), image.get(), -1,
                                   kDefaultBufferSize, &bar, &digest, interrupt);
  bar.Finish();
  const int status = image.Close(VADIZU_CLOSE_INCOMPLETE);
  if (copy.status == STS_EOK) copy.status = status;
  if (interrupt.interrupted()) return interrupt.ExitCode();
  if (copy.status != STS_EOK) {
    return host.Fail("reading " + key.Describe() + " failed", copy.status,
                     key.lsu);
  }

  const std::string sha256 = digest.HexDigest();
  const std::vector<std::string> problems =
      VerifyProblems(info, copy.bytes, sha256, args.sha256);
  for (const std::string& problem : problems) {
    std::fprintf(stderr, "vadizu: %s failed verification: %s\n",
                 key.Describe().c_str(), problem.c_str());
  }
  out.Report(problems.empty()
                 ? "verified " + key.Describe() + ": " +
                       std::to_string(copy.bytes) + " bytes, complete, sha256 " +
                       sha256 + (args.sha256.empty() ? "" : " as expected") +
                       "\n"
                 : "",
             {{"verified", problems.empty()},
              {"name", key.name},
              {"date", key.date},
              {"lsu", key.lsu},
              {"size", info.size},
              {"bytes", copy.bytes},
              {"complete", NotWhole(info) == nullptr},
              {"sha256", sha256},
              {"expected_sha256",
               args.sha256.empty() ? Json() : Json(args.sha256)},
              {"problems", problems}});
  return problems.empty() ? kExitOk : kExitFailure;
}

CommandRunner DefinePut(CLI::App& app) {
  auto args = std::make_shared<PutArguments>();
  AddImageArguments(app, &args->image, true, false);
  AddTransferOptions(app, args.get(), "the file to store; - or absent: stdin");
  app.add_option("--from-command", args->from_command,
                 "store the output of sh -c CMD; incomplete if CMD fails")
      ->type_name("CMD");
  app.add_option("--policy", args->policy, "policy name recorded with the image")
      ->type_name("NAME");
  app.add_option("--metadata", args->metadata,
                 "also keep a status block per write: clear or opaque")
      ->type_name("KIND")
      ->check(CLI::IsMember({"clear", "opaque"}));
  app.footer(
      "Creates the image NAME in the LSU directory and writes FILE (standard\n"
      "input when FILE is - or absent) into it. The image is closed complete\n"
      "when all bytes are stored and incomplete when anything fails or the\n"
      "command is stopped by SIGINT, SIGTERM or SIGHUP (exit status 128 plus\n"
      "the signal, e.g. 130 for Ctrl-C). A producer in a shell pipe that\n"
      "fails is invisible to put: use set -o pipefail to see it, or let put\n"
      "run it with --from-command, which leaves the image incomplete when the\n"
      "command exits non-zero. --date defaults to the current time in seconds\n"
      "since the epoch. The plug-in never creates nor writes the data file of\n"
      "a legacy image: --legacy only registers a data file named NAME that is\n"
      "already in the LSU.");
  return [args](Host& host, const Output& out) {
    return RunPut(host, out, *args);
  };
}

CommandRunner DefineGet(CLI::App& app) {
  auto args = std::make_shared<GetArguments>();
  AddImageArguments(app, &args->image, true);
  AddTransferOptions(app, args.get(),
                     "where to restore; - or absent: stdout");
  app.add_flag("-f,--force", args->force, "replace an existing FILE");
  app.add_flag("--allow-incomplete", args->allow_incomplete,
               "restore an image that is not complete, or short, anyway");
  AddDigestOption(app, &args->sha256,
                  "fail, leaving FILE as it was, unless the data has this "
                  "SHA-256");
  app.footer(
      "Reads the whole image and writes it to FILE (standard output when FILE\n"
      "is - or absent, never a terminal). A regular FILE is written beside\n"
      "itself under a temporary name and renamed into place only when every\n"
      "byte the image records was restored and synced: a failed or\n"
      "interrupted restore leaves FILE as it was. An existing FILE is only\n"
      "replaced with --force. An image that is not complete, or that yields\n"
      "fewer bytes than it records, is refused with exit status 4;\n"
      "--allow-incomplete restores what there is, with a warning. With\n"
      "--sha256 (put prints it), a restore whose data has another SHA-256\n"
      "fails and leaves FILE as it was.");
  return [args](Host& host, const Output& out) {
    return RunGet(host, out, *args);
  };
}

CommandRunner DefineVerify(CLI::App& app) {
  auto args = std::make_shared<VerifyArguments>();
  AddImageArguments(app, &args->image, false, false);
  AddDigestOption(app, &args->sha256, "the SHA-256 the data must have");
  app.footer(
      "Reads every byte of the image through the plug-in and checks that it is\n"
      "complete, that the bytes read are the size it records and, with\n"
      "--sha256, that they have the SHA-256 put printed when it stored them.\n"
      "Without --date the latest image of that name is verified. Exit status 0\n"
      "only when every check passed.");
  return [args](Host& host, const Output& out) {
    return RunVerify(host, out, *args);
  };
}

}  // namespace

const Command kPutCommand = {
    "put", "store a file or standard input as a new image", DefinePut};
const Command kGetCommand = {
    "get", "restore an image to a file or standard output", DefineGet};
const Command kVerifyCommand = {
    "verify", "read an image whole and check it, writing nothing",
    DefineVerify};

}  // namespace vadizu_tool
