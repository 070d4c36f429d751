// libFuzzer targets, one per FUZZ_TARGET. Every call must return a known
// code and hand back terminated texts, and no descriptor or file may outlast
// an input; a broken invariant aborts, so libFuzzer keeps the input.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "../host.h"

#define REQUIRE(c) \
  ((c) ? void() : (fprintf(stderr, "invariant broken: %s\n", #c), abort()))

namespace {

// The LSU "lsu" in the scratch directory the process works in, so that
// relative LSU names stay inside; left for a look after a crash.
const std::string& LsuDir() {
  static host::ScratchDir scratch(access("/dev/shm", W_OK) ? "" : "/dev/shm");
  static const std::string dir = scratch.Sub("lsu");
  static const int moved = chdir(scratch.path().c_str());
  REQUIRE(moved == 0);
  return dir;
}

// Every line terminated, with the provider prefix and a known severity.
void CheckLine(void*, const char* line, sts_severity_v7_t severity) {
  REQUIRE(strncmp(line, "ROZOvareDuzaruv: ", 17) == 0 && strlen(line) > 17);
  REQUIRE(severity == VADIZU_SEVERITY_INFO ||
          severity == VADIZU_SEVERITY_WARNING ||
          severity == VADIZU_SEVERITY_ERROR);
}
const sts_session_def_v7_t kChecking = {0, nullptr, CheckLine, ~0u};

template <size_t... N>
bool Terminated(const char (&... texts)[N]) {
  return ((strnlen(texts, N) < N) && ...);
}

bool Terminated(const sts_image_def_v10_t& d) {
  return Terminated(d.basename, d.date, d.fulldate, d.policy, d.format,
                    d.isid.dpaid, d.isid.dpaver);
}

// Removes what an input left and checks that no descriptor stayed open.
void EndInput(int fds) {
  for (const std::string& name : host::DirEntries(LsuDir()))
    unlink((LsuDir() + "/" + name).c_str());
  REQUIRE(host::OpenFdCount() == fds);
}

// The input is one image's info file, read through every call that reads
// info files.
int InfoFile(const uint8_t* data, size_t size) {
  static host::Library library;
  REQUIRE(library.status == STS_EOK);
  const int fds = host::OpenFdCount();
  const std::string base = LsuDir() + "/fz.1700000000";
  host::WriteFile(base + ".info", std::string(data, data + size));
  host::WriteFile(base + ".img", std::string(256, 'd'));
  const sts_lsu_name_v7_t lsu = host::MakeLsu(LsuDir());
  const sts_image_def_v10_t def = host::MakeDef("fz", "1700000000");
  stsp_image_handle_s* image = nullptr;
  sts_image_info_v10_t info{}, after{};
  REQUIRE(vadizu_get_image_prop_byname(&lsu, &kChecking, host::Server(), &def,
                                       &info) == STS_EOK);
  REQUIRE(Terminated(info.def) && Terminated(info.server) &&
          !strcmp(info.lsu.name, lsu.name));
  const uint64_t data_size = info.def.saveas & VADIZU_SAVEAS_IMAGE ? 256 : 0;
  // Open and delete refuse a file that records another image as missing.
  const bool ours = !strcmp(info.def.basename, def.basename) &&
                    !strcmp(info.def.date, def.date);
  // Reading shows the reading bit and the data, if the file claims any.
  char buf[256];
  uint64_t got = 0;
  int rc = vadizu_open_image(&lsu, &kChecking, host::Server(), &def,
                             VADIZU_OPEN_READ, &image);
  REQUIRE(rc == STS_EOK || (rc == STS_ENOENT && !ours));
  if (rc != STS_EOK) return EndInput(fds), 0;
  REQUIRE(vadizu_read_image(image, buf, sizeof buf, 0, &got) == STS_EOK &&
          got == data_size);
  REQUIRE(vadizu_get_image_prop(image, &after) == STS_EOK &&
          (after.status & VADIZU_STATUS_READING));
  REQUIRE(vadizu_close_image(image, VADIZU_CLOSE_COMPLETE) == STS_EOK);
  // Only an incomplete image nobody writes may be written again.
  const bool writable = (info.status & VADIZU_STATUS_COMPLETE) == 0 &&
                        (info.status & VADIZU_STATUS_INCOMPLETE) != 0;
  rc = vadizu_open_image(&lsu, &kChecking, host::Server(), &def,
                         VADIZU_OPEN_WRITE, &image);
  REQUIRE(rc == STS_EOK ? writable
                        : rc == STS_EBUSY || rc == STS_ENOENT ||
                              (rc == STS_EIMGSTATE && !writable));
  if (rc == STS_EOK) {
    rc = vadizu_write_image(image, nullptr, "more", 4, 256, &got);
    REQUIRE(rc == (data_size ? STS_EOK : STS_ENOSPC) || rc == STS_EINVAL);
    REQUIRE(vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE) == STS_EOK);
    REQUIRE(vadizu_get_image_prop_byname(&lsu, nullptr, host::Server(), &def,
                                         &after) == STS_EOK);
    REQUIRE(after.size == 256 + (rc == STS_EOK ? 4 : 0) &&
            !(after.status & VADIZU_STATUS_WRITING));
  }
  // Listed once when its base name is not empty and its flags a known kind.
  stsp_image_list_handle_s* list = nullptr;
  REQUIRE(vadizu_open_image_list(&lsu, &kChecking, host::Server(),
                                 VADIZU_LIST_ALL, &list) == STS_EOK);
  int listed = 0;
  while ((rc = vadizu_list_image(list, &after.def)) == STS_EOK)
    REQUIRE(Terminated(after.def) && ++listed == 1);
  REQUIRE(rc == STS_ENOENT && vadizu_close_image_list(list) == STS_EOK);
  REQUIRE(listed == (info.def.basename[0] != '\0' &&
                     info.def.flags <= VADIZU_IMAGE_LEGACY));
  REQUIRE(vadizu_delete_image(&lsu, &kChecking, host::Server(), &def, 0) ==
              STS_EOK &&
          host::DirEntries(LsuDir()).empty());
  EndInput(fds);
  return 0;
}

// Up to 64 calls with arguments from the input, on the live handles. Host
// records have their exact size, so that ASan sees any read past them.
class Sequence {
 public:
  Sequence(const uint8_t* data, size_t size) : in_(data, size) {}

  void Run() {
    const int fds = host::OpenFdCount();
    REQUIRE(vadizu_init(10) == STS_EOK);
    for (int i = 0; i < 64 && in_.remaining_bytes() > 0; ++i) {
      int rc = Call(in_.ConsumeIntegralInRange(0, 12));
      REQUIRE(rc == STS_EOK || (rc >= STS_EINVAL && rc <= STS_ENOSPC) ||
              rc == STS_EPERM || rc == STS_EIMGSTATE || rc == STS_EFILESYSTEM);
    }
    for (stsp_image_handle_s* image : images_)
      REQUIRE(vadizu_close_image(image, 0) != STS_EINVAL);
    for (stsp_image_list_handle_s* list : lists_)
      REQUIRE(vadizu_close_image_list(list) == STS_EOK);
    for (; inits_ > 0; --inits_) REQUIRE(vadizu_terminate() == STS_EOK);
    REQUIRE(vadizu_terminate() == STS_EINIT);
    EndInput(fds);
  }

 private:
  int Call(int which) {
    stsp_image_handle_s* image = nullptr;
    stsp_image_list_handle_s* list = nullptr;
    auto* info = Record<sts_image_info_v10_t>(false);
    auto* def = Record<sts_image_def_v10_t>(false);
    int rc;
    switch (which) {
      case 0: {
        uint64_t version = in_.PickValueInArray<uint64_t>({9, 10, 11, ~0ull});
        rc = vadizu_init(version);
        REQUIRE(rc == (version < 10 ? STS_EPLUGINVERSION : STS_EOK));
        inits_ += rc == STS_EOK;
        return rc;
      }
      case 1:
        rc = vadizu_terminate();
        REQUIRE(rc == (inits_ > 0 ? STS_EOK : STS_EINIT));
        // The last terminate destroys every image and list still open.
        if (inits_ > 0 && --inits_ == 0) images_.clear(), lists_.clear();
        return rc;
      case 2:
      case 3: {
        NextArgs();
        int mode = in_.ConsumeIntegralInRange(-1, 5);
        rc = (which == 2 ? vadizu_create_image : vadizu_open_image)(
            lsu_, session_, server_, def_, mode,
            in_.ConsumeBool() ? &image : nullptr);
        if (rc == STS_EOK) Keep(images_, image);
        return rc;
      }
      case 4:
        image = Pick(images_, true);
        return vadizu_close_image(image, in_.ConsumeIntegralInRange(0, 5));
      case 5:
      case 6:
        return Transfer(which == 5);
      case 7:
        NextArgs();
        return vadizu_delete_image(lsu_, session_, server_, def_,
                                   in_.ConsumeIntegral<int>());
      case 8:
        NextArgs();
        return vadizu_get_image_prop_byname(lsu_, session_, server_, def_,
                                            in_.ConsumeBool() ? info : nullptr);
      case 9:
        image = Pick(images_);
        return vadizu_get_image_prop(image, in_.ConsumeBool() ? info : nullptr);
      case 10: {
        NextArgs(false);
        int flags = in_.ConsumeIntegral<int>();
        rc = vadizu_open_image_list(lsu_, session_, server_, flags,
                                    in_.ConsumeBool() ? &list : nullptr);
        if (rc == STS_EOK) Keep(lists_, list);
        return rc;
      }
      case 11:
        list = Pick(lists_);
        return vadizu_list_image(list, in_.ConsumeBool() ? def : nullptr);
      default:
        list = Pick(lists_, true);
        rc = vadizu_close_image_list(list);
        REQUIRE(list == nullptr || rc == STS_EOK);
        return rc;
    }
  }

  int Transfer(bool write) {
    stsp_image_handle_s* image = Pick(images_);
    size_t length = in_.ConsumeIntegralInRange<size_t>(0, 65536);
    uint64_t offset = in_.ConsumeBool()
                          ? in_.ConsumeIntegralInRange<uint64_t>(0, 1 << 20)
                          : in_.ConsumeIntegral<uint64_t>();
    std::vector<uint8_t> buf(length + 1, 'b');
    uint64_t count = ~0ull;
    uint64_t* out = in_.ConsumeBool() ? &count : nullptr;
    int rc = write ? vadizu_write_image(image, Stat(), buf.data(), length,
                                        offset, out)
                   : vadizu_read_image(image, buf.data(), length, offset, out);
    REQUIRE(rc != STS_EOK || (write ? count == length : count <= length));
    return rc;
  }

  // Null, or a status block of at least its own length field, as hosts hand.
  const sts_stat_v7_t* Stat() {
    if (!in_.ConsumeBool()) return nullptr;
    uint64_t block = in_.ConsumeIntegralInRange<uint64_t>(0, 4096);
    auto* stat = Record<sts_stat_v7_t>(false, block);
    stat->length = in_.ConsumeBool() ? block : 0x80000000ull + block;
    stat->flags = in_.ConsumeIntegral<uint32_t>();
    return stat;
  }

  // A live handle (removed from the live set when `take`), or null.
  template <typename Handle>
  Handle* Pick(std::vector<Handle*>& live, bool take = false) {
    size_t i = in_.ConsumeIntegralInRange<size_t>(0, live.size());
    if (i == live.size()) return nullptr;
    Handle* handle = live[i];
    if (take) live.erase(live.begin() + i);
    return handle;
  }

  template <typename Handle>
  void Keep(std::vector<Handle*>& live, Handle* handle) {
    REQUIRE(handle && std::count(live.begin(), live.end(), handle) == 0);
    live.push_back(handle);
  }

  // The arguments of the calls by name, from the input in this order: the
  // scratch LSU (maybe with a trailing slash), random bytes or null; the
  // checking session or none; the server, random bytes or null; a definition.
  void NextArgs(bool with_def = true) {
    int kind = in_.ConsumeIntegralInRange(0, 3);
    lsu_ = kind == 3 ? nullptr : Record<sts_lsu_name_v7_t>(kind == 2);
    if (kind < 2) *lsu_ = host::MakeLsu(LsuDir() + (kind == 1 ? "/" : ""));
    session_ = in_.ConsumeBool() ? &kChecking : nullptr;
    kind = in_.ConsumeIntegralInRange(0, 2);
    server_ = kind == 0   ? host::Server()
              : kind == 1 ? *Record<char[512]>(true)
                          : nullptr;
    def_ = with_def ? Def() : nullptr;
  }

  // A record of `size` bytes, at least a T, that lives as long as the input
  // (a list keeps its LSU record): zeros, or input bytes (texts maybe without
  // a terminator) with no '/', so that a random name stays in the LSU.
  template <typename T>
  T* Record(bool random, size_t size = sizeof(T)) {
    records_.emplace_back(std::max(size, sizeof(T)));
    auto bytes = in_.ConsumeBytes<uint8_t>(random ? sizeof(T) : 0);
    std::replace(bytes.begin(), bytes.end(), uint8_t('/'), uint8_t('_'));
    std::copy(bytes.begin(), bytes.end(), records_.back().begin());
    return reinterpret_cast<T*>(records_.back().data());
  }

  // Null, one of three names with small random kinds, or random bytes.
  const sts_image_def_v10_t* Def() {
    int kind = in_.ConsumeIntegralInRange(0, 2);
    auto* def = kind ? Record<sts_image_def_v10_t>(kind == 2) : nullptr;
    if (kind != 1) return def;
    const char* const names[] = {"alpha", "beta", "gamma"};
    *def = host::MakeDef(names[in_.ConsumeIntegralInRange(0, 2)], "1700000000");
    def->version = in_.PickValueInArray<uint64_t>({0, 10, 11});
    def->saveas = in_.ConsumeIntegralInRange<uint32_t>(0, 8);
    def->flags = in_.ConsumeIntegralInRange<uint32_t>(0, 6);
    return def;
  }

  FuzzedDataProvider in_;
  int inits_ = 1;
  std::vector<stsp_image_handle_s*> images_;
  std::vector<stsp_image_list_handle_s*> lists_;
  std::vector<std::vector<uint8_t>> records_;
  sts_lsu_name_v7_t* lsu_ = nullptr;
  const sts_session_def_v7_t* session_ = nullptr;
  const char* server_ = nullptr;
  const sts_image_def_v10_t* def_ = nullptr;
};

int ApiSequence(const uint8_t* data, size_t size) {
  LsuDir();  // before counting descriptors
  Sequence(data, size).Run();
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FUZZ_TARGET(data, size);
}
