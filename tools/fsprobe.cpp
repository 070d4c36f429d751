#include "fsprobe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>

#include "directory.h"
#include "io.h"

namespace vadizu_tool {
namespace {

// How long a probe waits for a file system call in another process, which
// on a network file system may well take a second.
constexpr int kAnswerTimeoutMs = 10000;
// How long a blocked lock request must stay blocked to count as blocked.
constexpr int kStillBlockedMs = 300;
constexpr int kRacersPerPath = 2;
constexpr size_t kFsyncBlock = 4096;

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch())
      .count();
}

std::string ErrnoName(int error) {
  const char* name = strerrorname_np(error);
  return name != nullptr ? name : "errno " + std::to_string(error);
}

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f ms", ms);
  return text;
}

// The attempts below run in child processes, which keep what they opened
// and locked until they exit: holding it is the point.
int CreateExclusive(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600) < 0
             ? errno
             : 0;
}

int LockByteZero(const std::string& path, bool wait) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return fcntl(fd, wait ? F_SETLKW : F_SETLK, &lock) == 0 ? 0 : errno;
}

bool IsLockRefusal(int error) { return error == EAGAIN || error == EACCES; }

// A child process that makes one attempt when told to, answers with the
// attempt's errno (0: it holds what it took), and keeps what it took until
// released. The child dies with the tool, so nothing is held after it.
class Racer final {
 public:
  explicit Racer(std::function<int()> attempt) {
    int go[2];
    int answer[2];
    if (pipe2(go, O_CLOEXEC) != 0) Throw("pipe");
    if (pipe2(answer, O_CLOEXEC) != 0) {
      close(go[0]);
      close(go[1]);
      Throw("pipe");
    }
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      char byte;
      if (read(go[0], &byte, 1) == 1) {
        const int result = attempt();
        if (write(answer[1], &result, sizeof(result)) == sizeof(result)) {
          (void)!read(go[0], &byte, 1);
        }
      }
      _exit(0);
    }
    close(go[0]);
    close(answer[1]);
    go_ = go[1];
    answer_ = answer[0];
    if (pid_ < 0) {
      close(go_);
      close(answer_);
      Throw("fork");
    }
  }
  Racer(const Racer&) = delete;
  Racer& operator=(const Racer&) = delete;
  ~Racer() {
    if (pid_ > 0) {
      // A child that never answered may be stuck in the file system.
      if (answered_) {
        Signal();
      } else {
        kill(pid_, SIGKILL);
      }
      waitpid(pid_, nullptr, 0);
    }
    close(go_);
    close(answer_);
  }

  void Go() { Signal(); }

  // The attempt's errno, or -1 when no answer came within `timeout_ms`.
  int Answer(int timeout_ms) {
    pollfd p{answer_, POLLIN, 0};
    int result = -1;
    if (poll(&p, 1, timeout_ms) != 1 ||
        read(answer_, &result, sizeof(result)) != sizeof(result)) {
      return -1;
    }
    answered_ = true;
    return result;
  }

  // Lets the child exit, closing what it holds, and waits for that.
  void Release() {
    Signal();
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  [[noreturn]] static void Throw(const char* call) {
    throw std::runtime_error(std::string(call) + " failed: " +
                             ErrorText(errno));
  }
  void Signal() {
    const char byte = 0;
    (void)!write(go_, &byte, 1);
  }

  pid_t pid_ = -1;
  int go_ = -1;
  int answer_ = -1;
  bool answered_ = false;
};

// Results of one race: how many won, and the errors other than the loss
// the race expects.
struct RaceRound {
  int winners = 0;
  std::vector<int> odd_errors;  // -1: no answer in time
};

ProbeResult Result(const char* property, bool ok, std::string detail) {
  ProbeResult result;
  result.property = property;
  result.ok = ok;
  result.detail = std::move(detail);
  return result;
}

}  // namespace

DirectoryProbe::DirectoryProbe(std::string a, std::string b, int rounds)
    : a_(std::move(a)), b_(std::move(b)), rounds_(rounds) {}

DirectoryProbe::~DirectoryProbe() {
  for (int n = 0; n < next_; ++n) unlink(Scratch(a_, n).c_str());
}

std::string DirectoryProbe::Scratch(const std::string& dir, int n) const {
  return JoinPath(dir, ".vadizu-qualify-" + std::to_string(getpid()) + "-" +
                           std::to_string(n));
}

std::string DirectoryProbe::NewScratch(int* n) {
  *n = next_++;
  return Scratch(a_, *n);
}

int DirectoryProbe::CreateScratch(int* n) {
  return open(NewScratch(n).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
              0600);
}

ProbeResult DirectoryProbe::SameDirectory() {
  const char* kProperty = "same directory";
  if (a_ == b_) {
    return Result(kProperty, true, "no peer given: every probe uses one path");
  }
  int n;
  FileDescriptor fd(CreateScratch(&n));
  if (fd.get() < 0) {
    return Result(kProperty, false,
                  "cannot create a file in " + a_ + ": " + ErrorText(errno));
  }
  struct stat st;
  if (stat(Scratch(b_, n).c_str(), &st) != 0) {
    return Result(kProperty, false,
                  "a file created through " + a_ + " does not show through " +
                      b_ + " (" + ErrnoName(errno) + ")");
  }
  return Result(kProperty, true,
                "a file created through " + a_ + " shows through " + b_);
}

ProbeResult DirectoryProbe::ExclusiveCreate() {
  const char* kProperty = "exclusive create";
  int n;
  FileDescriptor first(CreateScratch(&n));
  if (first.get() < 0) {
    return Result(kProperty, false, "cannot create a file: " + ErrorText(errno));
  }
  FileDescriptor second(open(Scratch(b_, n).c_str(),
                             O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (second.get() >= 0) {
    return Result(kProperty, false,
                  "a second exclusive create through " + b_ + " succeeded");
  }
  const int error = errno;
  return Result(kProperty, error == EEXIST,
                "a second exclusive create through " + b_ + " got " +
                    ErrnoName(error));
}

ProbeResult DirectoryProbe::LockExclusion() {
  const char* kProperty = "lock exclusion";
  int n;
  FileDescriptor file(CreateScratch(&n));
  if (file.get() < 0) {
    return Result(kProperty, false, "cannot create a file: " + ErrorText(errno));
  }
  file.Close();
  const std::string a = Scratch(a_, n);
  const std::string b = Scratch(b_, n);
  Racer holder([&] { return LockByteZero(a, false); });
  holder.Go();
  int answer = holder.Answer(kAnswerTimeoutMs);
  if (answer != 0) {
    return Result(kProperty, false,
                  "a first process could not lock byte 0 through " + a_ +
                      (answer < 0 ? " in time" : ": " + ErrnoName(answer)));
  }
  Racer second([&] { return LockByteZero(b, false); });
  second.Go();
  const int refusal = second.Answer(kAnswerTimeoutMs);
  if (!IsLockRefusal(refusal)) {
    return Result(kProperty, false,
                  "while one process held the lock, a second one through " +
                      b_ +
                      (refusal == 0 ? " got it too"
                                    : " got " + ErrnoName(refusal)));
  }
  Racer waiter([&] { return LockByteZero(b, true); });
  waiter.Go();
  answer = waiter.Answer(kStillBlockedMs);
  if (answer != -1) {
    return Result(kProperty, false,
                  "a blocking request through " + b_ +
                      " did not wait for the holder (" +
                      (answer == 0 ? "granted" : ErrnoName(answer)) + ")");
  }
  const double released = NowMs();
  holder.Release();
  answer = waiter.Answer(kAnswerTimeoutMs);
  const double handover = NowMs() - released;
  if (answer != 0) {
    return Result(kProperty, false,
                  "the lock did not pass to the waiting process when the "
                  "holder closed the file (" +
                      (answer < 0 ? "no grant in 10 s" : ErrnoName(answer)) +
                      ")");
  }
  ProbeResult result = Result(
      kProperty, true,
      "a second process through " + b_ + " was refused (" +
          ErrnoName(refusal) +
          "); a waiting one got the lock " + Milliseconds(handover) +
          " after the holder closed the file");
  result.figures = {{"handover_ms", handover}};
  return result;
}

ProbeResult DirectoryProbe::Fsync() {
  const char* kProperty = "fsync";
  int n;
  FileDescriptor file(CreateScratch(&n));
  if (file.get() < 0) {
    return Result(kProperty, false, "cannot create a file: " + ErrorText(errno));
  }
  const std::string block(kFsyncBlock, 'f');
  std::vector<double> times;
  std::string failure;
  for (int i = 0; i < rounds_ && failure.empty(); ++i) {
    if (pwrite(file.get(), block.data(), block.size(),
               static_cast<off_t>(i * kFsyncBlock)) !=
        static_cast<ssize_t>(block.size())) {
      failure = "write failed: " + ErrorText(errno);
      break;
    }
    const double began = NowMs();
    if (fsync(file.get()) != 0) failure = "fsync failed: " + ErrorText(errno);
    times.push_back(NowMs() - began);
  }
  if (!failure.empty()) return Result(kProperty, false, failure);
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  ProbeResult result = Result(
      kProperty, true,
      std::to_string(times.size()) + " of " + std::to_string(rounds_) +
          " succeeded after a 4 KiB write, median " + Milliseconds(median) +
          ", slowest " + Milliseconds(times.back()));
  result.figures = {{"median_ms", median}, {"slowest_ms", times.back()}};
  return result;
}

namespace {

// Runs one race of kRacersPerPath processes through each path, every one
// making `attempt` on its path at the same moment.
RaceRound RunRace(const std::vector<std::string>& paths,
                  const std::function<int(const std::string&)>& attempt,
                  int expected_loss) {
  std::vector<std::unique_ptr<Racer>> racers;
  for (const std::string& path : paths) {
    for (int k = 0; k < kRacersPerPath; ++k) {
      racers.emplace_back(new Racer([&attempt, path] { return attempt(path); }));
    }
  }
  for (auto& racer : racers) racer->Go();
  RaceRound round;
  for (auto& racer : racers) {
    const int answer = racer->Answer(kAnswerTimeoutMs);
    if (answer == 0) {
      ++round.winners;
    } else if (answer != expected_loss &&
               !(expected_loss == EAGAIN && IsLockRefusal(answer))) {
      round.odd_errors.push_back(answer);
    }
  }
  return round;
}

ProbeResult RaceResult(const char* property, int rounds, int good,
                       int many_winners, int no_winner,
                       const std::vector<int>& odd_errors) {
  std::string detail = std::to_string(good) + " of " + std::to_string(rounds) +
                       " rounds had exactly one winner among " +
                       std::to_string(2 * kRacersPerPath) + " processes";
  if (many_winners > 0) {
    detail += "; " + std::to_string(many_winners) + " had two or more";
  }
  if (no_winner > 0) detail += "; " + std::to_string(no_winner) + " had none";
  for (size_t i = 0; i < odd_errors.size() && i < 3; ++i) {
    detail += i == 0 ? "; errors: " : ", ";
    detail += odd_errors[i] < 0 ? "no answer in 10 s" : ErrnoName(odd_errors[i]);
  }
  ProbeResult result = Result(property, good == rounds, detail);
  result.figures = {{"rounds", rounds},
                    {"one_winner", good},
                    {"several_winners", many_winners}};
  return result;
}

}  // namespace

ProbeResult DirectoryProbe::CreateRace() {
  int good = 0, many = 0, none = 0;
  std::vector<int> odd;
  for (int i = 0; i < rounds_; ++i) {
    int n;
    NewScratch(&n);
    RaceRound round = RunRace({Scratch(a_, n), Scratch(b_, n)},
                              CreateExclusive, EEXIST);
    good += round.winners == 1 && round.odd_errors.empty();
    many += round.winners > 1;
    none += round.winners == 0;
    odd.insert(odd.end(), round.odd_errors.begin(), round.odd_errors.end());
  }
  return RaceResult("create race", rounds_, good, many, none, odd);
}

ProbeResult DirectoryProbe::LockRace() {
  int good = 0, many = 0, none = 0;
  std::vector<int> odd;
  auto try_lock = [](const std::string& path) {
    return LockByteZero(path, false);
  };
  for (int i = 0; i < rounds_; ++i) {
    int n;
    FileDescriptor file(CreateScratch(&n));
    if (file.get() < 0) {
      return Result("lock race", false,
                    "cannot create a file: " + ErrorText(errno));
    }
    file.Close();
    RaceRound round =
        RunRace({Scratch(a_, n), Scratch(b_, n)}, try_lock, EAGAIN);
    good += round.winners == 1 && round.odd_errors.empty();
    many += round.winners > 1;
    none += round.winners == 0;
    odd.insert(odd.end(), round.odd_errors.begin(), round.odd_errors.end());
  }
  return RaceResult("lock race", rounds_, good, many, none, odd);
}

namespace {

// Rewrites the file at `path` with `text` under the lock, as a writer of an
// info file does, and syncs it before the lock goes with the descriptor.
bool WriteLocked(const std::string& path, const std::string& text) {
  FileDescriptor fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_len = 1;
  return fd.get() >= 0 && fcntl(fd.get(), F_SETLKW, &lock) == 0 &&
         pwrite(fd.get(), text.data(), text.size(), 0) ==
             static_cast<ssize_t>(text.size()) &&
         ftruncate(fd.get(), static_cast<off_t>(text.size())) == 0 &&
         fsync(fd.get()) == 0;
}

// The whole file at `path`, read under the lock.
std::string ReadLocked(const std::string& path) {
  FileDescriptor fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_len = 1;
  char buffer[4096];
  if (fd.get() < 0 || fcntl(fd.get(), F_SETLKW, &lock) != 0) return "";
  const ssize_t n = pread(fd.get(), buffer, sizeof(buffer), 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

ProbeResult DirectoryProbe::Visibility() {
  const char* kProperty = "visibility";
  int n;
  FileDescriptor file(CreateScratch(&n));
  if (file.get() < 0) {
    return Result(kProperty, false, "cannot create a file: " + ErrorText(errno));
  }
  file.Close();
  int stale = 0, unseen = 0, ghost = 0, good = 0;
  for (int i = 0; i < rounds_; ++i) {
    const std::string& from = i % 2 == 0 ? a_ : b_;
    const std::string& to = i % 2 == 0 ? b_ : a_;
    // A length that changes every round, as an info file's text does.
    const std::string text = "round " + std::to_string(i) + " " +
                             std::string(static_cast<size_t>(i * 37 % 400), 'v');
    const bool content = WriteLocked(Scratch(from, n), text) &&
                         ReadLocked(Scratch(to, n)) == text;
    int name;
    NewScratch(&name);
    FileDescriptor created(open(Scratch(from, name).c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    const bool shown = created.get() >= 0 && Exists(Scratch(to, name));
    const bool gone =
        unlink(Scratch(from, name).c_str()) == 0 && !Exists(Scratch(to, name));
    stale += !content;
    unseen += !shown;
    ghost += !gone;
    good += content && shown && gone;
  }
  std::string detail = std::to_string(good) + " of " +
                       std::to_string(rounds_) +
                       " rounds: bytes rewritten under the lock through one "
                       "path read back through the other, a new name showed "
                       "and a removed name was gone";
  if (good < rounds_) {
    detail += "; stale bytes " + std::to_string(stale) + ", new name unseen " +
              std::to_string(unseen) + ", removed name still shown " +
              std::to_string(ghost);
  }
  ProbeResult result = Result(kProperty, good == rounds_, detail);
  result.figures = {{"rounds", rounds_},
                    {"good", good},
                    {"stale_bytes", stale},
                    {"new_name_unseen", unseen},
                    {"removed_name_shown", ghost}};
  return result;
}

}  // namespace vadizu_tool
