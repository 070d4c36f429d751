// Many processes work on one LSU at once: random creates, writes, closes
// (complete or not), reopens for writing, reads, property queries, listings
// and deletes on a small shared pool of image names. Each process records the
// spans in which it held an image for writing and every delete it made; the
// parent then checks that no two writers ever held one image at once, that
// every info file on disk parses and is in a state the status protocol
// allows, and that every completed image reads back its derived bytes.
//
// Deletes do not consult the writer mark, so a delete that lands while an
// image is being written lets a new creator in and may leave the old
// writer's data file behind. Images touched that way are "disturbed": they
// are still checked for parsable info files and correct bytes, but a second
// writer and an orphaned data file are excused for them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "harness.h"

namespace reliability {
namespace {

struct Config {
  int processes;
  int ops_per_process;
  int pool_size;
  uint64_t max_image_size;
  size_t chunk;
};

std::string PoolName(int i) {
  char name[16];
  snprintf(name, sizeof name, "img%02d", i);
  return name;
}

// One span in which a process held an image for writing, or one delete.
struct Span {
  char kind;  // 'W' write hold, 'F' failed create, 'D' delete
  std::string name;
  int64_t called;  // before the create/open or delete call
  int64_t start;   // after create/open returned (W); == called for D
  int64_t end;     // before close was called (W), after delete (D)
  int64_t closed;  // after close returned (W); == end for D
  int status;      // close status (W), delete status (D)
};

class Worker {
 public:
  Worker(const Config& config, const std::string& lsu_dir, int id)
      : config_(config), lsu_(MakeLsu(lsu_dir)), rng_(0x5eed0000u + id) {}

  // Runs the operations and returns the record text for the parent.
  std::string Run() {
    int fds_before = OpenFdCount();
    {
      Library library;
      if (library.status() != STS_EOK) Problem("init", "", library.status());
      std::discrete_distribution<int> pick_op({25, 20, 20, 10, 8, 15});
      for (int i = 0; i < config_.ops_per_process; ++i) {
        std::string name = PoolName(RandomBelow(config_.pool_size));
        switch (pick_op(rng_)) {
          case 0:
            Create(name);
            break;
          case 1:
            ReopenForWriting(name);
            break;
          case 2:
            Read(name);
            break;
          case 3:
            Properties(name);
            break;
          case 4:
            List();
            break;
          default:
            Delete(name);
            break;
        }
      }
    }
    if (OpenFdCount() != fds_before) {
      records_ << "P descriptors before " << fds_before << ", after "
               << OpenFdCount() << "\n";
    }
    records_ << "O " << config_.ops_per_process << "\n";
    return records_.str();
  }

 private:
  int RandomBelow(int n) { return int(rng_() % uint64_t(n)); }

  void Problem(const char* op, const std::string& name, int rc) {
    records_ << "P " << op << " " << name << " returned " << rc << "\n";
  }

  void Expect(const char* op, const std::string& name, int rc,
              std::initializer_list<int> allowed) {
    for (int ok : allowed) {
      if (rc == ok) return;
    }
    Problem(op, name, rc);
  }

  void Create(const std::string& name) {
    sts_image_def_v10_t def = MakeDef(name);
    stsp_image_handle_s* image = nullptr;
    int64_t called = MonotonicNs();
    log_.Clear();
    int rc =
        vadizu_create_image(&lsu_, log_.session(), Server(), &def, 0, &image);
    Expect("create", name, rc, {STS_EOK, STS_EEXIST});
    if (rc == STS_EOK) {
      HoldForWriting(image, name, called);
    } else if (FailedAfterMakingInfoFile()) {
      // Such a create removes the info file at its path on the way out.
      int64_t now = MonotonicNs();
      records_ << "F " << name << " " << called << " " << now << " " << now
               << " " << now << " " << rc << "\n";
    }
  }

  // A create that failed on the data or metadata file had made the info
  // file first; the log line names the file that could not be made.
  bool FailedAfterMakingInfoFile() const {
    for (const std::string& line : log_.lines()) {
      if (line.find(".img (") != std::string::npos ||
          line.find(".meta (") != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  void ReopenForWriting(const std::string& name) {
    sts_image_def_v10_t def = MakeDef(name);
    stsp_image_handle_s* image = nullptr;
    int64_t called = MonotonicNs();
    int rc = vadizu_open_image(&lsu_, nullptr, Server(), &def,
                               VADIZU_OPEN_WRITE, &image);
    Expect("open-write", name, rc,
           {STS_EOK, STS_EBUSY, STS_EIMGSTATE, STS_ENOENT});
    if (rc == STS_EOK) HoldForWriting(image, name, called);
  }

  // Writes all or part of the image, then closes it complete or not.
  void HoldForWriting(stsp_image_handle_s* image, const std::string& name,
                      int64_t called) {
    int64_t start = MonotonicNs();
    sts_image_info_v10_t info;
    int rc = vadizu_get_image_prop(image, &info);
    if (rc != STS_EOK || (info.status & 0x21u) != 0x21u) {
      records_ << "P writer sees status " << info.status << " rc " << rc
               << " on " << name << "\n";
    }
    uint64_t size = ContentSize(name, config_.max_image_size);
    bool whole = RandomBelow(4) != 0;
    uint64_t to = whole ? size : size / 2;
    rc = WriteContent(image, name, 0, to, config_.chunk);
    Expect("write", name, rc, {STS_EOK});
    int flags = (whole && rc == STS_EOK && RandomBelow(4) != 0)
                    ? VADIZU_CLOSE_COMPLETE
                    : VADIZU_CLOSE_INCOMPLETE;
    int64_t end = MonotonicNs();
    int close_rc = vadizu_close_image(image, flags);
    records_ << "W " << name << " " << called << " " << start << " " << end
             << " " << MonotonicNs() << " " << close_rc << "\n";
  }

  void Read(const std::string& name) {
    sts_image_def_v10_t def = MakeDef(name);
    stsp_image_handle_s* image = nullptr;
    int rc = vadizu_open_image(&lsu_, nullptr, Server(), &def, VADIZU_OPEN_READ,
                               &image);
    Expect("open-read", name, rc, {STS_EOK, STS_ENOENT});
    if (rc != STS_EOK) return;
    sts_image_info_v10_t info;
    rc = vadizu_get_image_prop(image, &info);
    Expect("properties", name, rc, {STS_EOK});
    if (rc == STS_EOK && (info.status & VADIZU_STATUS_READING) == 0) {
      Problem("reader without reading bit", name, int(info.status));
    }
    uint64_t size_read = 0;
    int64_t mismatch = -1;
    rc = ReadAndCheck(image, name, info.size, &size_read, &mismatch);
    Expect("read", name, rc, {STS_EOK});
    if (mismatch >= 0) {
      records_ << "P read " << name << " wrong byte at " << mismatch << "\n";
    } else if (size_read > 0) {
      records_ << "V\n";
    }
    Expect("close-read", name, vadizu_close_image(image, 0), {STS_EOK});
  }

  void Properties(const std::string& name) {
    sts_image_def_v10_t def = MakeDef(name);
    sts_image_info_v10_t info;
    int rc =
        vadizu_get_image_prop_byname(&lsu_, nullptr, Server(), &def, &info);
    Expect("properties-byname", name, rc, {STS_EOK, STS_ENOENT});
    // Readers take no lock: a file created a moment ago may have no text yet.
    if (rc == STS_EOK && info.status != 0x21 && info.status != 0x01 &&
        info.status != 0x04 && info.status != 0) {
      Problem("status by name", name, int(info.status));
    }
  }

  void List() {
    int rc;
    for (const std::string& listed : ListBaseNames(lsu_, &rc)) {
      if (listed.size() != 5 || listed.compare(0, 3, "img") != 0) {
        Problem("list yields foreign", listed, 0);
      }
    }
    Expect("list", "", rc, {STS_EOK});
  }

  // Like a host expiring images, deletes go to images that exist and that
  // nobody writes at the moment of the check; check and delete still race
  // with writers.
  void Delete(const std::string& name) {
    sts_image_def_v10_t def = MakeDef(name);
    sts_image_info_v10_t info;
    if (vadizu_get_image_prop_byname(&lsu_, nullptr, Server(), &def, &info) !=
            STS_EOK ||
        (info.status != VADIZU_STATUS_COMPLETE &&
         info.status != VADIZU_STATUS_INCOMPLETE)) {
      return;
    }
    int64_t start = MonotonicNs();
    int rc = vadizu_delete_image(&lsu_, nullptr, Server(), &def, 0);
    int64_t end = MonotonicNs();
    Expect("delete", name, rc, {STS_EOK, STS_ENOENT});
    records_ << "D " << name << " " << start << " " << start << " " << end
             << " " << end << " " << rc << "\n";
  }

  const Config& config_;
  sts_lsu_name_v7_t lsu_;
  std::mt19937_64 rng_;
  LogCapture log_;
  std::ostringstream records_;
};

struct Records {
  std::vector<Span> spans;
  std::vector<std::string> problems;
  long operations = 0;
  long verified_reads = 0;
};

void ParseRecords(const std::string& path, Records* out) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    char kind = 0;
    fields >> kind;
    if (kind == 'P') {
      out->problems.push_back(line.substr(2));
    } else if (kind == 'V') {
      ++out->verified_reads;
    } else if (kind == 'O') {
      long ops = 0;
      fields >> ops;
      out->operations += ops;
    } else {
      Span span{kind, "", 0, 0, 0, 0, 0};
      fields >> span.name >> span.called >> span.start >> span.end >>
          span.closed >> span.status;
      out->spans.push_back(span);
    }
  }
}

bool Overlaps(int64_t a0, int64_t a1, int64_t b0, int64_t b1) {
  return a0 < b1 && b0 < a1;
}

// A successful delete of `name` that overlapped [from, to].
bool DeletedDuring(const std::vector<Span>& spans, const std::string& name,
                   int64_t from, int64_t to) {
  for (const Span& d : spans) {
    if (d.kind == 'D' && d.status == STS_EOK && d.name == name &&
        Overlaps(d.called, d.end, from, to)) {
      return true;
    }
  }
  return false;
}

struct Findings {
  int write_holds = 0, disturbed_holds = 0, deletes = 0, excused_overlaps = 0;
  int completed_checked = 0;
  std::vector<std::string> failures;
};

void CheckWriters(const Records& records, Findings* findings,
                  std::set<std::string>* disturbed) {
  std::vector<const Span*> holds;  // write holds and failed creates
  for (const Span& s : records.spans) {
    if (s.kind == 'D') ++findings->deletes;
    if (s.kind == 'W') ++findings->write_holds;
    if (s.kind != 'D') holds.push_back(&s);
  }
  // A hold is disturbed when a delete of its image ran during it (the
  // create or open call included), or when it overlapped a disturbed hold or
  // failed create of the same image: that writer may still rewrite, and that
  // creator remove, the info file the newer one made.
  std::vector<bool> hit(holds.size());
  for (size_t i = 0; i < holds.size(); ++i) {
    hit[i] = DeletedDuring(records.spans, holds[i]->name, holds[i]->called,
                           holds[i]->closed);
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t i = 0; i < holds.size(); ++i) {
      for (size_t j = 0; j < holds.size() && !hit[i]; ++j) {
        if (hit[j] && holds[i]->name == holds[j]->name &&
            Overlaps(holds[i]->called, holds[i]->closed, holds[j]->called,
                     holds[j]->closed)) {
          hit[i] = grew = true;
        }
      }
    }
  }
  for (size_t i = 0; i < holds.size(); ++i) {
    const Span& a = *holds[i];
    if (a.kind != 'W') continue;
    if (hit[i]) {
      disturbed->insert(a.name);
      ++findings->disturbed_holds;
    } else if (a.status != STS_EOK) {
      findings->failures.push_back("close of undisturbed " + a.name +
                                   " returned " + std::to_string(a.status));
    }
    for (size_t j = 0; j < holds.size(); ++j) {
      const Span& b = *holds[j];
      // b became a writer while a still held the image.
      if (i == j || b.kind != 'W' || a.name != b.name || b.start < a.start ||
          b.start >= a.end) {
        continue;
      }
      if (hit[i] || hit[j]) {
        ++findings->excused_overlaps;
      } else {
        findings->failures.push_back("two writers held " + a.name);
      }
    }
  }
}

void CheckFinalState(const Config& config, const std::string& lsu_dir,
                     const std::set<std::string>& disturbed,
                     Findings* findings) {
  std::set<std::string> expected_files;
  sts_lsu_name_v7_t lsu = MakeLsu(lsu_dir);
  Library library;
  for (int i = 0; i < config.pool_size; ++i) {
    std::string name = PoolName(i);
    ImagePaths paths = PathsOf(lsu_dir, name);
    for (const std::string* p : {&paths.info, &paths.data, &paths.meta}) {
      expected_files.insert(p->substr(lsu_dir.size() + 1));
    }
    bool excused = disturbed.count(name) != 0;
    InfoFile info = ReadInfoFile(paths.info);
    if (!info.exists) {
      if (!excused && (access(paths.data.c_str(), F_OK) == 0 ||
                       access(paths.meta.c_str(), F_OK) == 0)) {
        findings->failures.push_back("files without info file: " + name);
      }
      continue;
    }
    if (!info.parsed) {
      findings->failures.push_back(name + ": " + info.error);
      continue;
    }
    if (!IsProtocolState(info.writecount, info.status) ||
        (info.writecount != 0 && !excused)) {
      findings->failures.push_back(
          name + ": state " + std::to_string(info.writecount) + "/" +
          std::to_string(info.status) + " after all writers closed");
    }
    if (info.status != VADIZU_STATUS_COMPLETE) continue;
    sts_image_def_v10_t def = MakeDef(name);
    stsp_image_handle_s* image = nullptr;
    int rc = vadizu_open_image(&lsu, nullptr, Server(), &def, VADIZU_OPEN_READ,
                               &image);
    if (rc != STS_EOK) {
      if (!excused) findings->failures.push_back("open completed " + name);
      continue;
    }
    uint64_t size_read = 0;
    int64_t mismatch = -1;
    rc = ReadAndCheck(image, name, info.size, &size_read, &mismatch);
    vadizu_close_image(image, 0);
    uint64_t want = ContentSize(name, config.max_image_size);
    if (rc != STS_EOK || mismatch >= 0 ||
        (!excused && (size_read != want || info.size != want))) {
      findings->failures.push_back(
          "completed " + name + " reads " + std::to_string(size_read) + " of " +
          std::to_string(want) + " bytes, first wrong byte " +
          std::to_string(mismatch));
    }
    ++findings->completed_checked;
  }
  for (const std::string& entry : ListDir(lsu_dir)) {
    if (expected_files.count(entry) == 0) {
      findings->failures.push_back("foreign file in LSU: " + entry);
    }
  }
}

TEST(Contention, ProcessesShareOneLsuWithOneWriterPerImage) {
  Config config;
  config.processes = Scaled(8, 32);
  config.ops_per_process = Scaled(150, 400);
  config.pool_size = config.processes;
  config.max_image_size = 48 * 1024;
  config.chunk = 8192;

  ScratchDir scratch;
  std::string lsu_dir = scratch.Sub("lsu");
  std::string record_dir = scratch.Sub("records");

  // All workers start together once the parent closes the start pipe.
  int start_pipe[2];
  ASSERT_EQ(0, pipe(start_pipe));
  std::vector<pid_t> workers;
  fflush(nullptr);
  for (int id = 0; id < config.processes; ++id) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(start_pipe[1]);
      char byte;
      (void)!read(start_pipe[0], &byte, 1);
      std::string text = Worker(config, lsu_dir, id).Run();
      std::ofstream(record_dir + "/" + std::to_string(id)) << text;
      _exit(0);
    }
    workers.push_back(pid);
  }
  close(start_pipe[0]);
  close(start_pipe[1]);
  for (pid_t pid : workers) {
    int wait_status = 0;
    ASSERT_EQ(pid, waitpid(pid, &wait_status, 0));
    EXPECT_EQ("exit 0", DescribeWaitStatus(wait_status));
  }

  Records records;
  for (int id = 0; id < config.processes; ++id) {
    ParseRecords(record_dir + "/" + std::to_string(id), &records);
  }
  Findings findings;
  std::set<std::string> disturbed;
  CheckWriters(records, &findings, &disturbed);
  CheckFinalState(config, lsu_dir, disturbed, &findings);

  EXPECT_EQ(long(config.processes) * config.ops_per_process,
            records.operations);
  for (const std::string& p : records.problems) ADD_FAILURE() << p;
  for (const std::string& f : findings.failures) ADD_FAILURE() << f;
  EXPECT_GT(findings.write_holds, 0);
  EXPECT_GT(findings.completed_checked, 0);
  printf(
      "contention: %d processes, %ld operations, %d write holds "
      "(%d disturbed by deletes), %d deletes, %ld verified reads, "
      "%d completed images verified at the end, %d disturbed images, "
      "%d overlaps excused by deletes, %zu problems\n",
      config.processes, records.operations, findings.write_holds,
      findings.disturbed_holds, findings.deletes, records.verified_reads,
      findings.completed_checked, int(disturbed.size()),
      findings.excused_overlaps,
      records.problems.size() + findings.failures.size());
}

}  // namespace
}  // namespace reliability
