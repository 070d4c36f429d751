// put and get: move bytes between a file or pipe and an image, one large
// buffer at a time, straight through the plug-in's write and read calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

#include "commands.h"
#include "interrupt.h"
#include "io.h"
#include "progress.h"

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
};

std::string Now() { return std::to_string(std::time(nullptr)); }

// "stored KEY: 335544320 bytes in 0.84 s, 399.5 MB/s"
void Report(const Output& out, FILE* stream, const char* verb,
            const ImageKey& key, uint64_t bytes, double seconds) {
  char text[64];
  std::snprintf(text, sizeof(text), ": %llu bytes in %.2f s, ",
                static_cast<unsigned long long>(bytes), seconds);
  out.Report(std::string(verb) + " " + key.Describe() + text +
                 FormatRate(bytes, seconds) + "\n",
             {{verb, true},
              {"name", key.name},
              {"date", key.date},
              {"lsu", key.lsu},
              {"bytes", bytes},
              {"seconds", seconds}},
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
                         size_t buffer_size, ProgressBar* bar,
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
    result.bytes += written;
    bar->Update(result.bytes);
    if (result.status != STS_EOK || static_cast<size_t>(n) < buffer_size) {
      break;
    }
  }
  return result;
}

CopyResult CopyOutOfImage(const PluginApi& api, stsp_image_handle_s* image,
                          int output, size_t buffer_size, ProgressBar* bar,
                          const InterruptGuard& interrupt) {
  Buffer buffer = AllocateBuffer(buffer_size);
  CopyResult result;
  while (!interrupt.interrupted()) {
    uint64_t n = 0;
    result.status =
        api.read_image(image, buffer.get(), buffer_size, result.bytes, &n);
    if (result.status != STS_EOK || n == 0) break;
    if (!WriteFull(output, buffer.get(), n)) {
      result.error = errno;
      break;
    }
    result.bytes += n;
    bar->Update(result.bytes);
  }
  return result;
}

int OpenInput(const std::string& path) {
  if (path == "-") return STDIN_FILENO;
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

// The restore target. A regular file that exists already is left alone
// unless the user forces it; a file this command writes is removed again
// when the restore fails, so no half-restored file is mistaken for a whole.
class OutputFile final {
 public:
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() {
    fd_.Close();
    if (!kept_ && !path_.empty()) unlink(path_.c_str());
  }

  // Null with a message printed when the file cannot be opened.
  static std::unique_ptr<OutputFile> Open(const std::string& path, bool force) {
    if (path == "-") {
      return std::unique_ptr<OutputFile>(new OutputFile(STDOUT_FILENO, ""));
    }
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    if (exists && S_ISREG(st.st_mode) && !force) {
      std::fprintf(stderr, "vadizu: %s exists; use --force to replace it\n",
                   path.c_str());
      return nullptr;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      FailSystem("cannot open " + path, errno);
      return nullptr;
    }
    bool regular = !exists || S_ISREG(st.st_mode);
    return std::unique_ptr<OutputFile>(new OutputFile(fd, regular ? path : ""));
  }

  int fd() const { return fd_.get(); }
  bool is_stdout() const { return fd_.get() == STDOUT_FILENO; }

  // Closes the file and keeps it; false with errno set when close fails.
  bool Keep() {
    if (fd_.Close() != 0) return false;
    kept_ = true;
    return true;
  }

 private:
  OutputFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  FileDescriptor fd_;
  std::string path_;  // empty: nothing to remove on failure
  bool kept_ = false;
};

int RunPut(Host& host, const Output& out, PutArguments args) {
  if (args.image.key.date.empty()) args.image.key.date = Now();
  const ImageKey& key = args.image.key;
  sts_image_def_v10_t def = args.image.Definition();
  CopyField(def.policy, sizeof(def.policy), args.policy, "policy");
  def.saveas = args.SaveAs();
  const size_t buffer_size = args.BufferSize();
  const ProgressMode progress = args.Progress();
  const sts_lsu_name_v7_t lsu = MakeLsuName(key.lsu);

  const std::string& source = args.file;
  FileDescriptor input(OpenInput(source));
  if (input.get() < 0) return FailSystem("cannot open " + source, errno);

  stsp_image_handle_s* handle = nullptr;
  int status = host.api().create_image(&lsu, host.session(), host.server(),
                                       &def, 0, &handle);
  if (status != STS_EOK) {
    return Host::Fail("cannot create " + key.Describe(), status, key.lsu);
  }
  ImageHandle image(host.api(), handle);

  // With --metadata every write also hands the plug-in one status block.
  sts_stat_v7_t block{};
  block.length = sizeof(block);
  const bool with_metadata = def.saveas != VADIZU_SAVEAS_IMAGE;

  InterruptGuard interrupt;
  Stopwatch clock;
  const uint64_t total = KnownSize(input.get());
  ProgressBar bar("put", total, ShouldShowProgress(progress, total));
  CopyResult copy = CopyIntoImage(host.api(), image.get(), input.get(),
                                  with_metadata ? &block : nullptr, buffer_size,
                                  &bar, interrupt);
  bar.Finish();

  const std::string stored = " after " + std::to_string(copy.bytes) +
                             " bytes; the image is left incomplete";
  if (interrupt.interrupted()) {
    image.Close(VADIZU_CLOSE_INCOMPLETE);
    std::fprintf(stderr, "vadizu: interrupted: %s%s\n", key.Describe().c_str(),
                 stored.c_str());
    return interrupt.ExitCode();
  }
  if (copy.error != 0) {
    image.Close(VADIZU_CLOSE_INCOMPLETE);
    return FailSystem("reading " + source + " failed" + stored, copy.error);
  }
  if (copy.status != STS_EOK) {
    image.Close(VADIZU_CLOSE_INCOMPLETE);
    return Host::Fail("writing " + key.Describe() + " failed" + stored,
                      copy.status);
  }
  status = image.Close(VADIZU_CLOSE_COMPLETE);
  if (status != STS_EOK) {
    return Host::Fail("closing " + key.Describe() + " failed", status);
  }
  Report(out, stdout, "stored", key, copy.bytes, clock.Seconds());
  return kExitOk;
}

int RunGet(Host& host, const Output& out, const GetArguments& args) {
  const ImageKey& key = args.image.key;
  const sts_image_def_v10_t def = args.image.Definition();
  const size_t buffer_size = args.BufferSize();
  const ProgressMode progress = args.Progress();
  const sts_lsu_name_v7_t lsu = MakeLsuName(key.lsu);

  stsp_image_handle_s* handle = nullptr;
  int status = host.api().open_image(&lsu, host.session(), host.server(), &def,
                                     VADIZU_OPEN_READ, &handle);
  if (status != STS_EOK) {
    return Host::Fail("cannot open " + key.Describe(), status, key.lsu);
  }
  ImageHandle image(host.api(), handle);
  sts_image_info_v10_t info{};
  status = host.api().get_image_prop(image.get(), &info);
  if (status != STS_EOK) {
    return Host::Fail("cannot read the properties of " + key.Describe(),
                      status);
  }
  if ((info.status & VADIZU_STATUS_COMPLETE) == 0) {
    std::fprintf(stderr, "vadizu: note: %s is not complete\n",
                 key.Describe().c_str());
  }

  std::unique_ptr<OutputFile> output =
      OutputFile::Open(args.file, args.force);
  if (output == nullptr) return kExitFailure;

  InterruptGuard interrupt;
  Stopwatch clock;
  ProgressBar bar("get", info.size, ShouldShowProgress(progress, info.size));
  CopyResult copy = CopyOutOfImage(host.api(), image.get(), output->fd(),
                                   buffer_size, &bar, interrupt);
  bar.Finish();
  status = image.Close(VADIZU_CLOSE_INCOMPLETE);
  if (copy.status == STS_EOK) copy.status = status;

  if (interrupt.interrupted()) {
    std::fprintf(stderr, "vadizu: interrupted: restore of %s stopped\n",
                 key.Describe().c_str());
    return interrupt.ExitCode();
  }
  if (copy.status != STS_EOK) {
    return Host::Fail("reading " + key.Describe() + " failed", copy.status);
  }
  const bool to_stdout = output->is_stdout();
  if (copy.error != 0 || !output->Keep()) {
    return FailSystem("writing the restored data failed",
                      copy.error != 0 ? copy.error : errno);
  }
  Report(out, to_stdout ? stderr : stdout, "restored", key, copy.bytes,
         clock.Seconds());
  return kExitOk;
}

CommandRunner DefinePut(CLI::App& app) {
  auto args = std::make_shared<PutArguments>();
  AddImageArguments(app, &args->image, true, false);
  AddTransferOptions(app, args.get(), "the file to store; - or absent: stdin");
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
      "command is interrupted (exit status 130 for SIGINT). --date defaults to\n"
      "the current time in seconds since the epoch. The plug-in never creates\n"
      "nor writes the data file of a legacy image: --legacy only registers a\n"
      "data file named NAME that is already in the LSU.");
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
  app.footer(
      "Reads the whole image and writes it to FILE (standard output when FILE\n"
      "is - or absent). An existing regular file is only replaced with --force;\n"
      "a file left half written by a failed restore is removed.");
  return [args](Host& host, const Output& out) {
    return RunGet(host, out, *args);
  };
}

}  // namespace

const Command kPutCommand = {
    "put", "store a file or standard input as a new image", DefinePut};
const Command kGetCommand = {
    "get", "restore an image to a file or standard output", DefineGet};

}  // namespace vadizu_tool
