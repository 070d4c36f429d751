// The libFuzzer targets, thin entry points over the test host; CMake builds
// this file once per target with FUZZ_TARGET naming its function:
//   InfoFile     the input becomes one image's info file, read back through
//                every call that reads info files;
//   ApiSequence  the input drives up to 64 of the thirteen calls with random
//                arguments: null pointers, texts without a terminator,
//                random modes, flags, lengths and offsets, and handles from
//                the live set.
// Every call must return a known code and hand back terminated texts; after
// each input no descriptor and no file may be left. A broken invariant
// aborts, so libFuzzer keeps the input. Records are allocated at their exact
// size so that ASan sees any read past them.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "host.h"

#define REQUIRE(c)                                                             \
  ((c) ? void()                                                                \
       : (fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, \
                  #c),                                                         \
          abort()))

namespace {

// The LSU "lsu" in a scratch directory the process changes into, so that
// relative LSU names stay inside it; on a memory file system when there is
// one. A crash leaves it for a look.
const std::string& LsuDir() {
  static host::ScratchDir scratch(access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                                : "");
  static const std::string dir = [] {
    REQUIRE(chdir(scratch.path().c_str()) == 0);
    return scratch.Sub("lsu");
  }();
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

bool IsKnownStatus(int rc) {
  return rc == STS_EOK || (rc >= STS_EINVAL && rc <= STS_ENOSPC) ||
         rc == STS_EPERM || rc == STS_EIMGSTATE || rc == STS_EFILESYSTEM;
}

template <size_t N>
bool Terminated(const char (&text)[N]) {
  return strnlen(text, N) < N;
}

bool Terminated(const sts_image_def_v10_t& d) {
  return Terminated(d.basename) && Terminated(d.date) &&
         Terminated(d.fulldate) && Terminated(d.policy) &&
         Terminated(d.format) && Terminated(d.isid.dpaid) &&
         Terminated(d.isid.dpaver);
}

// Removes what an input left and checks that no descriptor stayed open.
void EndInput(int fds) {
  for (const std::string& name : host::DirEntries(LsuDir()))
    unlink((LsuDir() + "/" + name).c_str());
  REQUIRE(host::OpenFdCount() == fds);
}

int InfoFile(const uint8_t* data, size_t size) {
  static const int initialised = vadizu_init(10);
  REQUIRE(initialised == STS_EOK);
  const int fds = host::OpenFdCount();
  sts_lsu_name_v7_t lsu = host::MakeLsu(LsuDir());
  sts_image_def_v10_t def = host::MakeDef("fz", "1700000000");
  const std::string base = LsuDir() + "/fz.1700000000";
  host::WriteFile(base + ".info",
                  std::string(reinterpret_cast<const char*>(data), size));
  host::WriteFile(base + ".img", std::string(256, 'd'));
  sts_image_info_v10_t info{}, after{};
  REQUIRE(vadizu_get_image_prop_byname(&lsu, &kChecking, host::Server(), &def,
                                       &info) == STS_EOK);
  REQUIRE(Terminated(info.def) && Terminated(info.server));
  REQUIRE(strcmp(info.lsu.name, lsu.name) == 0);
  const uint64_t data_size = info.def.saveas & VADIZU_SAVEAS_IMAGE ? 256 : 0;
  // Open and delete refuse a file that records another image as missing.
  const bool ours = !strcmp(info.def.basename, def.basename) &&
                    !strcmp(info.def.date, def.date);
  // Reading shows the reading bit and the data, if the file claims any.
  stsp_image_handle_s* image = nullptr;
  char buf[256];
  uint64_t got = 0;
  int rc = vadizu_open_image(&lsu, &kChecking, host::Server(), &def,
                             VADIZU_OPEN_READ, &image);
  REQUIRE(rc == STS_EOK || (rc == STS_ENOENT && !ours));
  if (rc != STS_EOK) return EndInput(fds), 0;
  REQUIRE(vadizu_read_image(image, buf, sizeof buf, 0, &got) == STS_EOK);
  REQUIRE(got == data_size);
  REQUIRE(vadizu_get_image_prop(image, &after) == STS_EOK);
  REQUIRE(after.status & VADIZU_STATUS_READING);
  REQUIRE(vadizu_close_image(image, VADIZU_CLOSE_COMPLETE) == STS_EOK);
  // Only an incomplete image nobody writes may be written again.
  rc = vadizu_open_image(&lsu, &kChecking, host::Server(), &def,
                         VADIZU_OPEN_WRITE, &image);
  bool writable = (info.status & VADIZU_STATUS_COMPLETE) == 0 &&
                  (info.status & VADIZU_STATUS_INCOMPLETE) != 0;
  REQUIRE(rc == STS_EOK || rc == STS_EBUSY || rc == STS_EIMGSTATE ||
          rc == STS_ENOENT);
  REQUIRE(rc == STS_EOK ? writable : rc != STS_EIMGSTATE || !writable);
  if (rc == STS_EOK) {
    rc = vadizu_write_image(image, nullptr, "more", 4, 256, &got);
    REQUIRE(rc == (data_size ? STS_EOK : STS_ENOSPC) || rc == STS_EINVAL);
    REQUIRE(vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE) == STS_EOK);
    REQUIRE(vadizu_get_image_prop_byname(&lsu, nullptr, host::Server(), &def,
                                         &after) == STS_EOK);
    REQUIRE(after.size == 256 + (rc == STS_EOK ? 4 : 0));
    REQUIRE((after.status & VADIZU_STATUS_WRITING) == 0);
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
          STS_EOK);
  REQUIRE(host::DirEntries(LsuDir()).empty());
  EndInput(fds);
  return 0;
}

// Drives the calls with arguments taken from the input, keeping the live
// handles. Host records are allocated at their exact size: zeros, or input
// bytes (texts maybe without a terminator) with no '/', so that a random
// name stays one component inside the scratch directory.
class Sequence {
 public:
  explicit Sequence(FuzzedDataProvider& in) : in_(in) {}

  void Run() {
    REQUIRE(vadizu_init(10) == STS_EOK);
    for (int i = 0; i < 64 && in_.remaining_bytes() > 0; ++i)
      REQUIRE(IsKnownStatus(Call(in_.ConsumeIntegralInRange(0, 12))));
    for (stsp_image_handle_s* image : images_)
      REQUIRE(vadizu_close_image(image, 0) != STS_EINVAL);
    for (stsp_image_list_handle_s* list : lists_)
      REQUIRE(vadizu_close_image_list(list) == STS_EOK);
    for (; inits_ > 0; --inits_) REQUIRE(vadizu_terminate() == STS_EOK);
    REQUIRE(vadizu_terminate() == STS_EINIT);
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
        Args a = NextArgs();
        int mode = in_.ConsumeIntegralInRange(-1, 5);
        rc = (which == 2 ? vadizu_create_image : vadizu_open_image)(
            a.lsu, a.session, a.server, a.def, mode,
            in_.ConsumeBool() ? &image : nullptr);
        if (rc != STS_EOK) return rc;
        REQUIRE(image && !std::count(images_.begin(), images_.end(), image));
        images_.push_back(image);
        return rc;
      }
      case 4:
        image = Pick(images_);
        rc = vadizu_close_image(image, in_.ConsumeIntegralInRange(0, 5));
        if (image)
          images_.erase(std::find(images_.begin(), images_.end(), image));
        return rc;
      case 5:
      case 6:
        return Transfer(which == 5);
      case 7:
      case 8: {
        Args a = NextArgs();
        if (which == 7)
          return vadizu_delete_image(a.lsu, a.session, a.server, a.def,
                                     in_.ConsumeIntegral<int>());
        return vadizu_get_image_prop_byname(a.lsu, a.session, a.server, a.def,
                                            in_.ConsumeBool() ? info : nullptr);
      }
      case 9:
        return vadizu_get_image_prop(Pick(images_),
                                     in_.ConsumeBool() ? info : nullptr);
      case 10: {
        Args a = NextArgs(false);
        int flags = in_.ConsumeIntegral<int>();
        rc = vadizu_open_image_list(a.lsu, a.session, a.server, flags,
                                    in_.ConsumeBool() ? &list : nullptr);
        if (rc != STS_EOK) return rc;
        REQUIRE(list != nullptr);
        lists_.push_back(list);
        return rc;
      }
      case 11:
        return vadizu_list_image(Pick(lists_),
                                 in_.ConsumeBool() ? def : nullptr);
      default:
        list = Pick(lists_);
        rc = vadizu_close_image_list(list);
        REQUIRE(list == nullptr || rc == STS_EOK);
        if (list) lists_.erase(std::find(lists_.begin(), lists_.end(), list));
        return rc;
    }
  }

  int Transfer(bool write) {
    stsp_image_handle_s* image = Pick(images_);
    size_t length = in_.ConsumeIntegralInRange<size_t>(0, 65536);
    uint64_t offset = in_.ConsumeBool()
                          ? in_.ConsumeIntegralInRange<uint64_t>(0, 1 << 20)
                          : in_.ConsumeIntegral<uint64_t>();
    std::vector<uint8_t> buffer(length + 1, 'b');
    uint64_t count = ~0ull;
    uint64_t* out = in_.ConsumeBool() ? &count : nullptr;
    if (!write) {
      int rc = vadizu_read_image(image, buffer.data(), length, offset, out);
      REQUIRE(rc != STS_EOK || count <= length);
      return rc;
    }
    std::unique_ptr<uint8_t[]> stat;
    if (in_.ConsumeBool()) {
      // The host hands a status block of at least its own length field.
      uint64_t block = in_.ConsumeIntegralInRange<uint64_t>(0, 4096);
      stat.reset(
          new uint8_t[std::max<uint64_t>(block, sizeof(sts_stat_v7_t))]());
      auto* header = reinterpret_cast<sts_stat_v7_t*>(stat.get());
      header->length = in_.ConsumeBool() ? block : 0x80000000ull + block;
      header->flags = in_.ConsumeIntegral<uint32_t>();
    }
    int rc = vadizu_write_image(
        image, reinterpret_cast<const sts_stat_v7_t*>(stat.get()),
        buffer.data(), length, offset, out);
    REQUIRE(rc != STS_EOK || count == length);
    return rc;
  }

  template <typename Handle>
  Handle* Pick(const std::vector<Handle*>& live) {
    size_t i = in_.ConsumeIntegralInRange<size_t>(0, live.size());
    return i < live.size() ? live[i] : nullptr;
  }

  // Braces take the arguments from the input in order.
  struct Args {
    const sts_lsu_name_v7_t* lsu;
    const sts_session_def_v7_t* session;
    const char* server;
    const sts_image_def_v10_t* def;
  };
  Args NextArgs(bool def = true) {
    return {Lsu(), in_.ConsumeBool() ? &kChecking : nullptr, ServerName(),
            def ? Def() : nullptr};
  }

  // A record that lives as long as the input (a list keeps its LSU record):
  // zeros, or random bytes when `random`.
  template <typename T>
  T* Record(bool random) {
    std::shared_ptr<T> record(new T());
    records_.push_back(record);
    auto bytes = in_.ConsumeBytes<uint8_t>(random ? sizeof(T) : 0);
    std::replace(bytes.begin(), bytes.end(), uint8_t('/'), uint8_t('_'));
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<uint8_t*>(&*record));
    return record.get();
  }

  // The scratch LSU, with a trailing slash, random bytes, or null.
  const sts_lsu_name_v7_t* Lsu() {
    int kind = in_.ConsumeIntegralInRange(0, 3);
    if (kind == 3) return nullptr;
    auto* lsu = Record<sts_lsu_name_v7_t>(kind == 2);
    if (kind < 2) *lsu = host::MakeLsu(LsuDir() + (kind == 1 ? "/" : ""));
    return lsu;
  }

  const char* ServerName() {
    int kind = in_.ConsumeIntegralInRange(0, 2);
    if (kind != 1) return kind == 0 ? host::Server() : nullptr;
    return Record<std::array<char, 512>>(true)->data();
  }

  // Null, one of three names with small random kinds, or random bytes.
  const sts_image_def_v10_t* Def() {
    int kind = in_.ConsumeIntegralInRange(0, 2);
    if (kind == 0) return nullptr;
    auto* def = Record<sts_image_def_v10_t>(kind == 2);
    if (kind == 2) return def;
    const char* const names[] = {"alpha", "beta", "gamma"};
    strcpy(def->basename, names[in_.ConsumeIntegralInRange(0, 2)]);
    strcpy(def->date, "1700000000");
    def->version = in_.PickValueInArray<uint64_t>({0, 10, 11});
    def->saveas = in_.ConsumeIntegralInRange<uint32_t>(0, 8);
    def->flags = in_.ConsumeIntegralInRange<uint32_t>(0, 6);
    return def;
  }

  FuzzedDataProvider& in_;
  int inits_ = 1;
  std::vector<stsp_image_handle_s*> images_;
  std::vector<stsp_image_list_handle_s*> lists_;
  std::vector<std::shared_ptr<void>> records_;
};

int ApiSequence(const uint8_t* data, size_t size) {
  const int fds = host::OpenFdCount();
  LsuDir();
  FuzzedDataProvider in(data, size);
  Sequence(in).Run();
  EndInput(fds);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FUZZ_TARGET(data, size);
}
