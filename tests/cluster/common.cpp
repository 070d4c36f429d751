#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "workload.h"

namespace cluster {

SharedLsu MakeSharedLsu(const std::string mount[kMounts],
                        const std::string& name) {
  SharedLsu shared;
  for (int m = 0; m < kMounts; ++m) {
    shared.dir[m] = mount[m] + "/" + name;
    shared.lsu[m] = reliability::MakeLsu(shared.dir[m]);
  }
  mkdir(shared.dir[0].c_str(), 0755);
  return shared;
}

void Verdict::Fail(const std::string& what) {
  ++failures_;
  printf("FAIL %s: %s\n", workload_.c_str(), what.c_str());
  fflush(stdout);
}

void Verdict::Expect(const std::string& what, int status,
                     std::initializer_list<int> allowed) {
  for (int ok : allowed) {
    if (status == ok) return;
  }
  Fail(what + " returned " + std::to_string(status));
}

StartGate::StartGate() {
  if (pipe2(fds_, O_CLOEXEC) != 0) {
    perror("pipe2");
    std::exit(2);
  }
}

StartGate::~StartGate() {
  for (int fd : fds_) {
    if (fd >= 0) close(fd);
  }
}

void StartGate::Wait() {
  close(fds_[1]);
  fds_[1] = -1;
  char byte;
  (void)!read(fds_[0], &byte, 1);  // end of file is the start signal
}

void StartGate::Open() {
  close(fds_[1]);
  fds_[1] = -1;
}

pid_t Spawn(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(3);  // the parent is already gone
  _exit(body());
}

std::string Reap(pid_t pid) {
  int wait_status = 0;
  if (pid < 0 || waitpid(pid, &wait_status, 0) != pid) return "lost child";
  return reliability::DescribeWaitStatus(wait_status);
}

std::vector<std::string> RunTogether(
    const std::vector<std::function<std::string()>>& bodies,
    Verdict* verdict) {
  // Each child leaves its record in an unnamed file, out of reach of
  // anything that cleans temporary directories meanwhile.
  std::vector<std::FILE*> records;
  StartGate gate;
  std::vector<pid_t> pids;
  for (size_t i = 0; i < bodies.size(); ++i) {
    records.push_back(std::tmpfile());
    pids.push_back(Spawn([&, i] {
      gate.Wait();
      std::string text = bodies[i]();
      bool written = records[i] != nullptr &&
                     std::fwrite(text.data(), 1, text.size(), records[i]) ==
                         text.size() &&
                     std::fflush(records[i]) == 0;
      return written ? 0 : 6;
    }));
  }
  gate.Open();
  std::vector<std::string> texts;
  for (size_t i = 0; i < pids.size(); ++i) {
    std::string how = Reap(pids[i]);
    if (how != "exit 0") verdict->Fail("child " + std::to_string(i) + " " + how);
    std::string text;
    if (records[i] != nullptr) {
      std::rewind(records[i]);
      char buf[65536];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, records[i])) > 0) {
        text.append(buf, n);
      }
      std::fclose(records[i]);
    }
    texts.push_back(text);
  }
  return texts;
}

std::string FilesLeft(const SharedLsu& shared, const std::string& name) {
  std::string left;
  for (const std::string& dir : shared.dir) {
    reliability::ImagePaths paths = reliability::PathsOf(dir, name);
    for (const std::string* p : {&paths.info, &paths.data, &paths.meta}) {
      if (access(p->c_str(), F_OK) == 0) left += " " + *p;
    }
  }
  return left;
}

}  // namespace cluster
