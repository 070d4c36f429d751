// The reliability suite's contention workload, split between two client
// hosts: processes on both mounts share a small pool of image names and do
// random creates, writes, closes (complete or not), reopens for writing,
// reads, listings and deletes. Each records what it held for writing, what
// it removed and what failed, with times. Afterwards no two holds of one
// image may overlap, every info file must parse identically through both
// mounts and be in a state the status protocol allows, and every completed
// image must read back its derived bytes through either mount.
//
// A delete does not consult the writer mark, so one that lands while an
// image is held lets a new creator in, and the old writer's close then
// rewrites the new writer's info file; a create that fails after making its
// info file removes whatever info file is at that path. Holds touched by
// such removals, directly or through another touched hold, are "disturbed":
// their overlaps and close failures are excused. Across hosts a removal
// also makes the other host's calls on that image fail with STS_ESYS (the
// file handle went stale) or STS_ENOENT; such a failure is excused only when
// a removal of the same image ran during the failing call.
#include <cstdio>
#include <random>
#include <set>
#include <sstream>

#include "workload.h"

namespace cluster {

namespace {

using namespace reliability;

struct Size {
  int per_mount, ops, pool;
};
constexpr Size kShort = {4, 80, 6};
constexpr Size kFull = {4, 400, 8};
constexpr uint64_t kMaxImageSize = 64 * 1024;
constexpr size_t kChunk = 8192;

std::string PoolName(int i) { return "pool" + std::to_string(i); }

// What one process recorded about one call or hold:
//   W  a write hold: create/open called, returned, close called, returned
//   F  a create that failed after making the info file (it removes it)
//   D  a delete
//   E  any other failed call, with the library's log lines as its note
struct Span {
  char kind;
  std::string name;
  int64_t called, start, end, closed;
  int status;
  std::string note;
};

class Worker {
 public:
  Worker(const SharedLsu& shared, int mount, int id, const Size& size)
      : lsu_(shared.lsu[mount]), size_(size), rng_(0xc1a5u + id) {}

  std::string Run() {
    Library library;
    std::discrete_distribution<int> pick({25, 20, 20, 10, 15});
    for (int i = 0; i < size_.ops; ++i) {
      std::string name = PoolName(int(rng_() % size_.pool));
      log_.Clear();
      called_ = MonotonicNs();
      switch (pick(rng_)) {
        case 0: Create(name); break;
        case 1: OpenForWriting(name); break;
        case 2: Read(name); break;
        case 3: List(); break;
        default: Delete(name); break;
      }
    }
    return out_.str();
  }

 private:
  void Record(char kind, const std::string& name, int64_t start, int64_t end,
              int status) {
    out_ << kind << " " << name << " " << called_ << " " << start << " "
         << end << " " << MonotonicNs() << " " << status;
    for (const std::string& line : log_.lines()) out_ << " | " << line;
    out_ << "\n";
  }
  // Records a failed call unless its status is one of `expected`.
  bool Check(const std::string& name, int status,
             std::initializer_list<int> expected) {
    for (int ok : expected) {
      if (status == ok) return true;
    }
    int64_t now = MonotonicNs();
    Record('E', name, now, now, status);
    return false;
  }

  void Create(const std::string& name) {
    sts_image_def_v10_t def = MakeDef(name);
    stsp_image_handle_s* image = nullptr;
    int rc = vadizu_create_image(&lsu_, log_.session(), Server(), &def, 0,
                                 &image);
    if (rc == STS_EOK) return Hold(name, image);
    if (rc == STS_EEXIST || !FailedAfterMakingInfoFile()) {
      Check(name, rc, {STS_EEXIST});
      return;
    }
    int64_t now = MonotonicNs();
    Record('F', name, now, now, rc);
  }

  // The log names the data or metadata file when a create got that far.
  bool FailedAfterMakingInfoFile() const {
    for (const std::string& line : log_.lines()) {
      if (line.find(".img ") != std::string::npos ||
          line.find(".meta ") != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  void OpenForWriting(const std::string& name) {
    sts_image_def_v10_t def = MakeDef(name);
    stsp_image_handle_s* image = nullptr;
    int rc = vadizu_open_image(&lsu_, log_.session(), Server(), &def,
                               VADIZU_OPEN_WRITE, &image);
    Check(name, rc, {STS_EOK, STS_EBUSY, STS_EIMGSTATE, STS_ENOENT});
    if (rc == STS_EOK) Hold(name, image);
  }

  // Writes all or half of the image, then closes it complete or not.
  void Hold(const std::string& name, stsp_image_handle_s* image) {
    int64_t start = MonotonicNs();
    uint64_t size = ContentSize(name, kMaxImageSize);
    bool whole = rng_() % 4 != 0;
    int rc = WriteContent(image, name, 0, whole ? size : size / 2, kChunk);
    bool complete = whole && Check(name, rc, {STS_EOK}) && rng_() % 4 != 0;
    int64_t end = MonotonicNs();
    log_.Clear();
    rc = vadizu_close_image(image, complete ? VADIZU_CLOSE_COMPLETE
                                            : VADIZU_CLOSE_INCOMPLETE);
    Record('W', name, start, end, rc);
  }

  void Read(const std::string& name) {
    sts_image_def_v10_t def = MakeDef(name);
    stsp_image_handle_s* image = nullptr;
    int rc = vadizu_open_image(&lsu_, log_.session(), Server(), &def,
                               VADIZU_OPEN_READ, &image);
    if (!Check(name, rc, {STS_EOK, STS_ENOENT}) || rc != STS_EOK) return;
    uint64_t size_read = 0;
    int64_t mismatch = -1;
    rc = ReadAndCheck(image, name, kMaxImageSize, &size_read, &mismatch);
    Check(name, rc, {STS_EOK});
    if (mismatch >= 0) out_ << "P " << name << " wrong byte " << mismatch << "\n";
    if (mismatch < 0 && size_read > 0) out_ << "V\n";
    vadizu_close_image(image, 0);
  }

  void List() {
    int rc;
    ListBaseNames(lsu_, &rc);
    Check("(list)", rc, {STS_EOK});
  }

  // Like a host expiring images, deletes go to images that nobody writes at
  // the moment of the check; check and delete still race with writers.
  void Delete(const std::string& name) {
    sts_image_def_v10_t def = MakeDef(name);
    sts_image_info_v10_t info;
    if (vadizu_get_image_prop_byname(&lsu_, nullptr, Server(), &def, &info) !=
            STS_EOK ||
        (info.status != VADIZU_STATUS_COMPLETE &&
         info.status != VADIZU_STATUS_INCOMPLETE)) {
      return;
    }
    called_ = MonotonicNs();
    int rc = vadizu_delete_image(&lsu_, log_.session(), Server(), &def, 0);
    if (Check(name, rc, {STS_EOK, STS_ENOENT})) {
      Record('D', name, called_, MonotonicNs(), rc);
    }
  }

  sts_lsu_name_v7_t lsu_;
  const Size size_;
  std::mt19937_64 rng_;
  LogCapture log_;
  int64_t called_ = 0;
  std::ostringstream out_;
};

bool Overlaps(const Span& a, const Span& b) {
  return a.called < b.closed && b.called < a.closed;
}

// A removal is a successful delete or a create that failed after making
// its info file.
bool IsRemoval(const Span& s) {
  return (s.kind == 'D' && s.status == STS_EOK) || s.kind == 'F';
}

bool RemovedDuring(const std::vector<Span>& spans, const Span& during) {
  for (const Span& r : spans) {
    if (IsRemoval(r) && &r != &during && r.name == during.name &&
        Overlaps(r, during)) {
      return true;
    }
  }
  return false;
}

struct Findings {
  int holds = 0, disturbed_holds = 0, deletes = 0, excused_failures = 0;
  std::set<std::string> disturbed;
};

// Marks the disturbed holds: removed during, or overlapping a disturbed hold
// or a removing create of the same image.
std::vector<bool> Disturbed(const std::vector<Span>& spans) {
  std::vector<bool> hit(spans.size());
  for (size_t i = 0; i < spans.size(); ++i) {
    hit[i] = spans[i].kind == 'F' ||
             (spans[i].kind == 'W' && RemovedDuring(spans, spans[i]));
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t i = 0; i < spans.size(); ++i) {
      for (size_t j = 0; j < spans.size() && !hit[i]; ++j) {
        if (hit[j] && spans[i].kind == 'W' && spans[i].name == spans[j].name &&
            Overlaps(spans[i], spans[j])) {
          hit[i] = grew = true;
        }
      }
    }
  }
  return hit;
}

void CheckSpans(const std::vector<Span>& spans, Findings* findings,
                Verdict* verdict) {
  std::vector<bool> disturbed = Disturbed(spans);
  for (size_t i = 0; i < spans.size(); ++i) {
    const Span& a = spans[i];
    findings->deletes += a.kind == 'D';
    if (a.kind == 'E' || a.kind == 'F') {
      bool stale = a.status == STS_ESYS || a.status == STS_ENOENT;
      if (stale && RemovedDuring(spans, a)) {
        ++findings->excused_failures;
      } else {
        verdict->Fail(a.name + " returned " + std::to_string(a.status) + a.note);
      }
    }
    if (a.kind != 'W') continue;
    ++findings->holds;
    if (disturbed[i]) {
      findings->disturbed.insert(a.name);
      ++findings->disturbed_holds;
    } else if (a.status != STS_EOK) {
      verdict->Fail("close of " + a.name + " returned " +
                    std::to_string(a.status) + a.note);
    }
    for (size_t j = 0; j < spans.size(); ++j) {
      const Span& b = spans[j];
      if (b.kind == 'W' && i != j && b.name == a.name && a.start <= b.start &&
          b.start < a.end && !disturbed[i] && !disturbed[j]) {
        verdict->Fail("two writers held " + a.name);
      }
    }
  }
}

// Checks one pool image through both mounts; returns true when it is a
// completed image whose bytes were verified.
bool CheckImage(const SharedLsu& shared, const std::string& name,
                bool disturbed, Verdict* verdict) {
  InfoFile info[kMounts];
  for (int m = 0; m < kMounts; ++m) {
    info[m] = ReadInfoFile(PathsOf(shared.dir[m], name).info);
  }
  if (info[0].exists != info[1].exists ||
      info[0].writecount != info[1].writecount ||
      info[0].status != info[1].status || info[0].size != info[1].size) {
    verdict->Fail(name + ": mounts A and B see different info files");
  }
  if (!info[0].exists) return false;
  if (!info[0].parsed) verdict->Fail(name + ": " + info[0].error);
  if (!IsProtocolState(info[0].writecount, info[0].status) ||
      (info[0].writecount != 0 && !disturbed)) {
    verdict->Fail(name + ": state " + std::to_string(info[0].writecount) +
                  "/" + std::to_string(info[0].status) + " at the end");
  }
  if (info[0].status != VADIZU_STATUS_COMPLETE) return false;
  uint64_t want = ContentSize(name, kMaxImageSize);
  for (int m = 0; m < kMounts; ++m) {
    sts_image_def_v10_t def = MakeDef(name);
    stsp_image_handle_s* image = nullptr;
    int rc = vadizu_open_image(&shared.lsu[m], nullptr, Server(), &def,
                               VADIZU_OPEN_READ, &image);
    if (rc != STS_EOK && disturbed) return false;  // its data file went
    uint64_t got = 0;
    int64_t mismatch = -1;
    if (rc == STS_EOK) {
      rc = ReadAndCheck(image, name, want, &got, &mismatch);
      vadizu_close_image(image, 0);
    }
    if (rc != STS_EOK || mismatch >= 0 || (!disturbed && got != want)) {
      verdict->Fail("completed " + name + " through " + kMountName[m] +
                    ": status " + std::to_string(rc) + ", " +
                    std::to_string(got) + " of " + std::to_string(want) +
                    " bytes, first wrong byte " + std::to_string(mismatch));
    }
  }
  return true;
}

// Reads the records of all workers; counts their verified reads.
std::vector<Span> ParseSpans(const std::vector<std::string>& texts,
                             int* verified_reads, Verdict* verdict) {
  std::vector<Span> spans;
  for (const std::string& text : texts) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      if (line[0] == 'P') verdict->Fail(line.substr(2));
      *verified_reads += line[0] == 'V';
      if (line[0] == 'P' || line[0] == 'V') continue;
      Span s{line[0], "", 0, 0, 0, 0, 0, ""};
      std::istringstream fields(line.substr(2));
      fields >> s.name >> s.called >> s.start >> s.end >> s.closed >> s.status;
      std::getline(fields, s.note);
      spans.push_back(s);
    }
  }
  return spans;
}

}  // namespace

int RunContention(const std::string mount[kMounts], bool full) {
  const Size size = full ? kFull : kShort;
  Verdict verdict("contention");
  SharedLsu shared = MakeSharedLsu(mount, "contention");
  std::vector<std::function<std::string()>> workers;
  for (int id = 0; id < kMounts * size.per_mount; ++id) {
    int m = id % kMounts;
    workers.push_back([&, m, id] { return Worker(shared, m, id, size).Run(); });
  }
  int verified_reads = 0;
  std::vector<Span> spans =
      ParseSpans(RunTogether(workers, &verdict), &verified_reads, &verdict);
  Findings findings;
  CheckSpans(spans, &findings, &verdict);
  int completed = 0;
  Library library;
  for (int i = 0; i < size.pool; ++i) {
    std::string name = PoolName(i);
    completed += CheckImage(shared, name, findings.disturbed.count(name) != 0,
                            &verdict);
  }
  if (findings.holds == 0 || verified_reads == 0) {
    verdict.Fail("nothing was written and read back");
  }
  printf("contention: %d processes per mount, %d operations, %d write holds "
         "(%d disturbed by deletes), %d deletes, %d calls failed on an image "
         "removed meanwhile through the other host, %d reads verified while "
         "running, %d completed images read through both mounts at the end, "
         "%d failures\n",
         size.per_mount, kMounts * size.per_mount * size.ops, findings.holds,
         findings.disturbed_holds, findings.deletes, findings.excused_failures,
         verified_reads, completed, verdict.failures());
  return verdict.failures();
}

}  // namespace cluster
