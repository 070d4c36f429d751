// Mutators on mount A create, complete and delete images (never reusing a
// name) while listers on mount B list the LSU over and over. No lister may
// crash or fail, no listing may return a name twice, and every definition
// returned must be one a mutator created, with its fields intact, and that
// existed at some moment while the listing was open.
#include <sys/mman.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "workload.h"

namespace cluster {

namespace {

using namespace reliability;

constexpr int kMutators = 2, kListers = 2;
constexpr int kLiveImages = 5;  // a mutator deletes beyond this many
constexpr uint64_t kImageSize = 6000;
constexpr int64_t kListerDeadlineNs = 300'000'000'000;  // if a mutator died

// Names end in a sequence number; its parity selects the image kind, so a
// listed definition can be checked against the one its creator used.
sts_image_def_v10_t ExpectedDef(const std::string& name) {
  uint32_t kind = (name.empty() ? 0 : name.back() - '0') % 2;
  return MakeDef(name, kSaveAsDataAndMeta, kind);
}

bool SameDefinition(const sts_image_def_v10_t& a, const sts_image_def_v10_t& b) {
  return strcmp(a.basename, b.basename) == 0 && strcmp(a.date, b.date) == 0 &&
         strcmp(a.fulldate, b.fulldate) == 0 &&
         strcmp(a.policy, b.policy) == 0 && a.saveas == b.saveas &&
         a.flags == b.flags && a.version == b.version;
}

std::string Mutate(const SharedLsu& shared, int id, int cycles) {
  Library library;
  std::ostringstream out;
  std::mt19937 rng(0x1157 + id);
  std::vector<std::string> live;
  for (int seq = 0; seq < cycles; ++seq) {
    std::string name = "m" + std::to_string(id) + "_" + std::to_string(seq);
    sts_image_def_v10_t def = ExpectedDef(name);
    stsp_image_handle_s* image = nullptr;
    out << "C " << name << " " << MonotonicNs() << "\n";
    int rc = vadizu_create_image(&shared.lsu[0], nullptr, Server(), &def, 0,
                                 &image);
    if (rc == STS_EOK) rc = WriteContent(image, name, 0, kImageSize, 4096);
    if (image != nullptr) vadizu_close_image(image, VADIZU_CLOSE_COMPLETE);
    if (rc != STS_EOK) out << "P create " << name << " returned " << rc << "\n";
    live.push_back(name);
    if (live.size() <= kLiveImages) continue;
    size_t victim = rng() % live.size();
    def = ExpectedDef(live[victim]);
    rc = vadizu_delete_image(&shared.lsu[0], nullptr, Server(), &def, 0);
    out << "X " << live[victim] << " " << MonotonicNs() << "\n";
    if (rc != STS_EOK) out << "P delete returned " << rc << "\n";
    live.erase(live.begin() + victim);
  }
  return out.str();
}

// Lists through mount B until every mutator is done.
std::string ListRepeatedly(const SharedLsu& shared,
                           const std::atomic<int>* mutators_done) {
  Library library;
  std::ostringstream out;
  int listings = 0;
  int64_t deadline = MonotonicNs() + kListerDeadlineNs;
  while (mutators_done->load() < kMutators && MonotonicNs() < deadline) {
    stsp_image_list_handle_s* list = nullptr;
    int64_t opened = MonotonicNs();
    int rc = vadizu_open_image_list(&shared.lsu[1], nullptr, Server(),
                                    VADIZU_LIST_ALL, &list);
    if (rc != STS_EOK) {
      out << "P open list returned " << rc << "\n";
      break;
    }
    std::set<std::string> seen;
    std::vector<std::string> names;
    sts_image_def_v10_t def;
    while ((rc = vadizu_list_image(list, &def)) == STS_EOK) {
      std::string name(def.basename, strnlen(def.basename, sizeof def.basename));
      if (!seen.insert(name).second) out << "P listed twice: " << name << "\n";
      if (!SameDefinition(def, ExpectedDef(name))) {
        out << "P altered definition of " << name << "\n";
      }
      names.push_back(name);
    }
    if (rc != STS_ENOENT) out << "P list returned " << rc << "\n";
    vadizu_close_image_list(list);
    int64_t closed = MonotonicNs();
    for (const std::string& name : names) {
      out << "L " << name << " " << opened << " " << closed << "\n";
    }
    ++listings;
  }
  out << "N " << listings << "\n";
  return out.str();
}

struct Lifetime {
  int64_t created = 0;
  int64_t deleted = INT64_MAX;
};

}  // namespace

int RunListing(const std::string mount[kMounts], bool full) {
  const int cycles = full ? 300 : 60;
  Verdict verdict("listing");
  SharedLsu shared = MakeSharedLsu(mount, "listing");
  auto* done = static_cast<std::atomic<int>*>(
      mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  done->store(0);
  std::vector<std::function<std::string()>> bodies;
  for (int id = 0; id < kMutators; ++id) {
    bodies.push_back([&, id] {
      std::string text = Mutate(shared, id, cycles);
      done->fetch_add(1);
      return text;
    });
  }
  for (int id = 0; id < kListers; ++id) {
    bodies.push_back([&] { return ListRepeatedly(shared, done); });
  }
  std::map<std::string, Lifetime> lives;
  std::vector<std::string> listed;
  long listings = 0;
  for (const std::string& text : RunTogether(bodies, &verdict)) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line.substr(2));
      if (line[0] == 'P') verdict.Fail(line.substr(2));
      if (line[0] == 'N') {
        long n = 0;
        fields >> n;
        listings += n;
      }
      std::string name;
      fields >> name;
      if (line[0] == 'C') fields >> lives[name].created;
      if (line[0] == 'X') fields >> lives[name].deleted;
      if (line[0] == 'L') listed.push_back(line.substr(2));
    }
  }
  for (const std::string& entry : listed) {
    std::string name;
    int64_t opened, closed;
    std::istringstream(entry) >> name >> opened >> closed;
    auto life = lives.find(name);
    if (life == lives.end() || life->second.created > closed ||
        life->second.deleted < opened) {
      verdict.Fail("listed " + name + ", which did not exist while listing");
    }
  }
  if (listings < kListers) verdict.Fail("too few listings");
  printf("listing: %d mutators through A made %d images and deleted %d; "
         "%d listers through B made %ld listings returning %zu definitions; "
         "%d failures\n",
         kMutators, kMutators * cycles,
         kMutators * (cycles - kLiveImages), kListers, listings, listed.size(),
         verdict.failures());
  return verdict.failures();
}

}  // namespace cluster
