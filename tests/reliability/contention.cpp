// The contention workload. Each process records the spans in which it held
// an image for writing, its deletes, its creates that failed after making an
// info file (such a create removes the info file at its path) and every
// other failed call; the parent then checks the spans and the files left.
//
// Deletes do not consult the writer mark, so a delete that lands while an
// image is held lets a new creator in and may leave the old writer's data
// file behind. Holds and failed creates that overlapped such a delete,
// directly or through another touched one, are "disturbed": their overlaps,
// close failures and writer marks are excused. Across mounts a removal also
// makes the other host's calls on that image fail with STS_ESYS (a stale
// file handle) or STS_ENOENT; that is excused only when a removal through
// another mount ran during the call.
#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <sstream>

#include "host.h"
#include "workloads.h"

namespace reliability {
namespace {

constexpr size_t kChunk = 8192;

sts_image_def_v10_t Def(const std::string& name) {
  return host::MakeDef(name, "d", host::kSaveAsDataAndMeta);
}

// A record: W a write hold (times: create/open called, returned, close
// called, returned), F a create that failed after making its info file, D a
// delete, E any other failed call, with the library's log lines as its note.
struct Span {
  char kind;
  std::string name;
  int mount;
  int64_t called, start, end, closed;
  int status;
  std::string note;
};

class Worker {
 public:
  Worker(const std::string& dir, int mount, int id,
         const std::vector<std::string>& pool, const ContentionSize& size)
      : lsu_(host::MakeLsu(dir)),
        mount_(mount),
        pool_(pool),
        size_(size),
        rng_(0x5eed0000u + id) {}

  // Runs the operations; returns the records, P lines for problems, a V
  // line per verified read and the operation count.
  std::string Run() {
    int fds = host::OpenFdCount();
    {
      host::Library library;
      if (library.status != STS_EOK) out_ << "P init failed\n";
      void (Worker::*const ops[])(const std::string&,
                                  const sts_image_def_v10_t&) = {
          &Worker::Create,     &Worker::OpenForWriting, &Worker::Read,
          &Worker::Properties, &Worker::List,           &Worker::Delete};
      std::discrete_distribution<int> pick({25, 20, 20, 10, 8, 15});
      for (int i = 0; i < size_.operations; ++i) {
        const std::string& name = pool_[rng_() % pool_.size()];
        log_.Clear();
        called_ = host::NowNs();
        (this->*ops[pick(rng_)])(name, Def(name));
      }
    }
    if (host::OpenFdCount() != fds) out_ << "P descriptors leaked\n";
    out_ << "O " << size_.operations << "\n";
    return out_.str();
  }

 private:
  void Record(char kind, const std::string& name, int64_t start, int64_t end,
              int status) {
    out_ << kind << ' ' << name << ' ' << mount_ << ' ' << called_ << ' '
         << start << ' ' << end << ' ' << host::NowNs() << ' ' << status;
    for (const host::LogLine& line : log_.lines()) out_ << " | " << line.text;
    out_ << "\n";
  }

  // Records an E span unless `status` is one of `expected`.
  bool Check(const std::string& name, int status,
             std::initializer_list<int> expected) {
    if (std::count(expected.begin(), expected.end(), status)) return true;
    Record('E', name, host::NowNs(), host::NowNs(), status);
    return false;
  }

  void Create(const std::string& name, const sts_image_def_v10_t& def) {
    stsp_image_handle_s* image = nullptr;
    int rc =
        vadizu_create_image(&lsu_, log_.get(), host::Server(), &def, 0, &image);
    if (rc == STS_EOK) return Hold(name, image);
    // The log names the data or metadata file when a create got that far.
    if (log_.Contains(".img (") || log_.Contains(".meta (")) {
      Record('F', name, host::NowNs(), host::NowNs(), rc);
    } else {
      Check(name, rc, {STS_EEXIST});
    }
  }

  void OpenForWriting(const std::string& name, const sts_image_def_v10_t& def) {
    stsp_image_handle_s* image = nullptr;
    int rc = vadizu_open_image(&lsu_, log_.get(), host::Server(), &def,
                               VADIZU_OPEN_WRITE, &image);
    Check(name, rc, {STS_EOK, STS_EBUSY, STS_EIMGSTATE, STS_ENOENT});
    if (rc == STS_EOK) Hold(name, image);
  }

  // Writes all or half of the image, then closes it complete or not.
  void Hold(const std::string& name, stsp_image_handle_s* image) {
    int64_t start = host::NowNs();
    sts_image_info_v10_t info{};
    if (Check(name, vadizu_get_image_prop(image, &info), {STS_EOK}) &&
        (info.status & 0x21u) != 0x21u) {
      out_ << "P writer of " << name << " sees status " << info.status << "\n";
    }
    uint64_t size = host::ContentSize(name, size_.max_image_size);
    bool whole = rng_() % 4 != 0;
    int rc =
        host::WriteContent(image, name, 0, whole ? size : size / 2, kChunk);
    bool complete = Check(name, rc, {STS_EOK}) && whole && rng_() % 4 != 0;
    int64_t end = host::NowNs();
    log_.Clear();
    rc = vadizu_close_image(
        image, complete ? VADIZU_CLOSE_COMPLETE : VADIZU_CLOSE_INCOMPLETE);
    Record('W', name, start, end, rc);
  }

  void Read(const std::string& name, const sts_image_def_v10_t& def) {
    stsp_image_handle_s* image = nullptr;
    int rc = vadizu_open_image(&lsu_, log_.get(), host::Server(), &def,
                               VADIZU_OPEN_READ, &image);
    if (!Check(name, rc, {STS_EOK, STS_ENOENT}) || rc != STS_EOK) return;
    sts_image_info_v10_t info{};
    if (Check(name, vadizu_get_image_prop(image, &info), {STS_EOK}) &&
        (info.status & VADIZU_STATUS_READING) == 0) {
      out_ << "P reader of " << name << " sees status " << info.status << "\n";
    }
    uint64_t got = 0;
    int64_t wrong = -1;
    rc = host::ReadAndCheck(image, name, size_.max_image_size, &got, &wrong);
    if (wrong >= 0)
      out_ << "P read " << name << " wrong byte " << wrong << "\n";
    if (Check(name, rc, {STS_EOK}) && wrong < 0 && got > 0) out_ << "V\n";
    Check(name, vadizu_close_image(image, 0), {STS_EOK});
  }

  void Properties(const std::string& name, const sts_image_def_v10_t& def) {
    sts_image_info_v10_t info{};
    int rc = vadizu_get_image_prop_byname(&lsu_, log_.get(), host::Server(),
                                          &def, &info);
    // Readers take no lock: a file created a moment ago may have no text yet.
    const std::set<uint32_t> states = {0, 0x01, 0x04, 0x21};
    if (Check(name, rc, {STS_EOK, STS_ENOENT}) && rc == STS_EOK &&
        !states.count(info.status)) {
      out_ << "P properties of " << name << " show " << info.status << "\n";
    }
  }

  void List(const std::string&, const sts_image_def_v10_t&) {
    int rc;
    for (const std::string& name : host::ListBaseNames(lsu_, &rc, log_.get())) {
      if (!std::count(pool_.begin(), pool_.end(), name)) {
        out_ << "P listing yields foreign " << name << "\n";
      }
    }
    Check("(list)", rc, {STS_EOK});
  }

  // Like a host expiring images, deletes go to images that nobody writes at
  // the moment of the check; check and delete still race with writers.
  void Delete(const std::string& name, const sts_image_def_v10_t& def) {
    sts_image_info_v10_t info{};
    if (vadizu_get_image_prop_byname(&lsu_, nullptr, host::Server(), &def,
                                     &info) != STS_EOK ||
        (info.status != VADIZU_STATUS_COMPLETE &&
         info.status != VADIZU_STATUS_INCOMPLETE)) {
      return;
    }
    called_ = host::NowNs();
    int rc = vadizu_delete_image(&lsu_, log_.get(), host::Server(), &def, 0);
    if (Check(name, rc, {STS_EOK, STS_ENOENT})) {
      Record('D', name, called_, host::NowNs(), rc);
    }
  }

  const sts_lsu_name_v7_t lsu_;
  const int mount_;
  const std::vector<std::string>& pool_;
  const ContentionSize size_;
  std::mt19937_64 rng_;
  host::LogSession log_;
  int64_t called_ = 0;
  std::ostringstream out_;
};

struct Tally {
  long operations = 0, verified_reads = 0;
  int holds = 0, disturbed_holds = 0, deletes = 0, excused_failures = 0;
  int excused_overlaps = 0, completed = 0;
  std::set<std::string> disturbed;
};

std::vector<Span> ParseRecords(const std::vector<std::string>& texts,
                               Tally* tally, std::vector<std::string>* fails) {
  std::vector<Span> spans;
  for (const std::string& text : texts) {
    if (text.find("[child died]") != std::string::npos) {
      fails->push_back("a worker died");
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line.substr(1));
      long operations = 0;
      if (line[0] == 'P') fails->push_back(line.substr(2));
      if (line[0] == 'V') ++tally->verified_reads;
      if (line[0] == 'O' && fields >> operations)
        tally->operations += operations;
      if (std::string("PVO").find(line[0]) != std::string::npos) continue;
      spans.push_back(Span{line[0], "", 0, 0, 0, 0, 0, 0, ""});
      Span& s = spans.back();
      fields >> s.name >> s.mount >> s.called >> s.start >> s.end >> s.closed >>
          s.status;
      std::getline(fields, s.note);
    }
  }
  return spans;
}

bool Overlaps(const Span& a, const Span& b) {
  return a.called < b.closed && b.called < a.closed;
}

bool IsDelete(const Span& s) { return s.kind == 'D' && s.status == STS_EOK; }

// Another span of the same image that overlapped `s` and passes `filter`.
bool AnyDuring(const std::vector<Span>& spans, const Span& s,
               const std::function<bool(const Span&)>& filter) {
  return std::any_of(spans.begin(), spans.end(), [&](const Span& r) {
    return &r != &s && r.name == s.name && Overlaps(r, s) && filter(r);
  });
}

// Marks the disturbed holds and failed creates: a delete ran during them,
// or they overlapped a disturbed one (that writer may still rewrite, and
// that creator remove, the info file the newer one made).
std::vector<bool> Disturbed(const std::vector<Span>& spans) {
  auto holds = [](const Span& s) { return s.kind == 'W' || s.kind == 'F'; };
  std::vector<bool> hit(spans.size());
  for (size_t i = 0; i < spans.size(); ++i) {
    hit[i] = holds(spans[i]) && AnyDuring(spans, spans[i], IsDelete);
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t i = 0; i < spans.size(); ++i) {
      for (size_t j = 0; j < spans.size() && holds(spans[i]) && !hit[i]; ++j) {
        if (hit[j] && spans[i].name == spans[j].name &&
            Overlaps(spans[i], spans[j])) {
          hit[i] = grew = true;
        }
      }
    }
  }
  return hit;
}

void CheckSpans(const std::vector<Span>& spans, Tally* tally,
                std::vector<std::string>* fails) {
  std::vector<bool> hit = Disturbed(spans);
  for (size_t i = 0; i < spans.size(); ++i) {
    const Span& a = spans[i];
    tally->deletes += a.kind == 'D';
    if (a.kind == 'E' || (a.kind == 'F' && a.status != STS_EEXIST)) {
      bool stale =
          (a.status == STS_ESYS || a.status == STS_ENOENT) &&
          AnyDuring(spans, a, [&](const Span& r) {
            return r.mount != a.mount && (IsDelete(r) || r.kind == 'F');
          });
      tally->excused_failures += stale;
      if (!stale)
        fails->push_back(a.name + " returned " + std::to_string(a.status) +
                         a.note);
    }
    if (a.kind != 'W') continue;
    ++tally->holds;
    if (hit[i]) {
      tally->disturbed.insert(a.name);
      ++tally->disturbed_holds;
    } else if (a.status != STS_EOK) {
      fails->push_back("close of " + a.name + " returned " +
                       std::to_string(a.status) + a.note);
    }
    for (size_t j = 0; j < spans.size(); ++j) {
      const Span& b = spans[j];  // b became a writer while a held the image
      if (i == j || b.kind != 'W' || b.name != a.name || b.start < a.start ||
          b.start >= a.end) {
        continue;
      }
      tally->excused_overlaps += hit[i] || hit[j];
      if (!hit[i] && !hit[j]) fails->push_back("two writers held " + a.name);
    }
  }
}

// Checks one pool image's files through every mount at the end.
void CheckImage(const std::vector<std::string>& dirs, const std::string& name,
                uint64_t max_size, Tally* tally,
                std::vector<std::string>* fails) {
  bool disturbed = tally->disturbed.count(name) != 0;
  host::InfoFile info =
      host::ReadInfoFile(host::ImageFile(dirs[0], name, ".info"));
  for (const std::string& dir : dirs) {
    std::string seen =
        host::Describe(host::ReadInfoFile(host::ImageFile(dir, name, ".info")));
    if (seen != host::Describe(info))
      fails->push_back(name + ": mounts differ");
  }
  if (!info.exists) {
    if (!disturbed &&
        (host::FileSize(host::ImageFile(dirs[0], name, ".img")) >= 0 ||
         host::FileSize(host::ImageFile(dirs[0], name, ".meta")) >= 0)) {
      fails->push_back(name + ": files without info file");
    }
    return;
  }
  if (!info.parsed || !host::IsProtocolState(info.writecount, info.status) ||
      (info.writecount != 0 && !disturbed)) {
    fails->push_back(name + ": " + host::Describe(info) + " at the end");
  }
  if (!info.parsed || info.status != VADIZU_STATUS_COMPLETE) return;
  ++tally->completed;
  uint64_t want = host::ContentSize(name, max_size), got = 0;
  sts_image_def_v10_t def = Def(name);
  for (const std::string& dir : dirs) {
    sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
    stsp_image_handle_s* image = nullptr;
    int rc = vadizu_open_image(&lsu, nullptr, host::Server(), &def,
                               VADIZU_OPEN_READ, &image);
    if (rc != STS_EOK && disturbed) continue;  // its data file went
    int64_t wrong = -1;
    if (rc == STS_EOK) {
      rc = host::ReadAndCheck(image, name, max_size, &got, &wrong);
      vadizu_close_image(image, 0);
    }
    if (rc != STS_EOK || wrong >= 0 ||
        (!disturbed && (got != want || info.size != want))) {
      fails->push_back("completed " + name + " through " + dir + ": status " +
                       std::to_string(rc) + ", " + std::to_string(got) +
                       " of " + std::to_string(want) +
                       " bytes, first wrong byte " + std::to_string(wrong));
    }
  }
}

}  // namespace

Outcome RunContention(const std::vector<std::string>& dirs,
                      const ContentionSize& size) {
  std::vector<std::string> pool;
  std::set<std::string> files;
  for (int i = 0; i < size.pool; ++i) {
    pool.push_back("img" + std::to_string(i));
    for (const char* suffix : {".info", ".img", ".meta"}) {
      files.insert(pool.back() + ".d" + suffix);
    }
  }
  auto texts = host::RaceInChildren(size.processes, [&](int id) {
    int mount = id % dirs.size();
    return Worker(dirs[mount], mount, id, pool, size).Run();
  });
  Outcome out;
  Tally tally;
  CheckSpans(ParseRecords(texts, &tally, &out.failures), &tally, &out.failures);
  host::Library library;
  for (const std::string& name : pool) {
    CheckImage(dirs, name, size.max_image_size, &tally, &out.failures);
  }
  for (const std::string& entry : host::DirEntries(dirs[0])) {
    if (!files.count(entry)) out.failures.push_back("foreign file: " + entry);
  }
  if (tally.operations != long(size.processes) * size.operations) {
    out.failures.push_back(std::to_string(tally.operations) +
                           " operations ran");
  }
  if (tally.holds == 0 || tally.verified_reads == 0) {
    out.failures.push_back("nothing was written and read back");
  }
  std::ostringstream figures;
  figures << "contention: " << size.processes << " processes on " << dirs.size()
          << " mount(s), " << tally.operations << " operations, " << tally.holds
          << " write holds (" << tally.disturbed_holds
          << " disturbed by deletes), " << tally.deletes << " deletes, "
          << tally.excused_overlaps << " overlaps and "
          << tally.excused_failures << " stale-handle failures excused, "
          << tally.verified_reads << " reads verified while running, "
          << tally.completed << " completed images verified at the end";
  out.figures = figures.str();
  return out;
}

}  // namespace reliability
