// Random sequences of the thirteen exported calls with random arguments:
// null pointers, LSU and server names and definition texts of full length
// without a terminator, random modes, flags, lengths and offsets, and
// handles drawn from the live set (image handles also given to the list
// close and the reverse). Every call must return a known status code; after
// the sequence every handle is closed and no descriptor may stay open.
// Records and buffers are allocated at their exact size so that ASan sees
// any read past them.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "fuzz.h"

namespace {

constexpr int kMaxCalls = 64;
constexpr size_t kMaxBuffer = 65536;
const char* const kNames[] = {"alpha", "beta", "gamma"};

// True for 0 and every status code of vadizu.h.
bool IsKnownStatus(int rc) {
  return rc == STS_EOK || (rc >= STS_EINVAL && rc <= STS_ENOSPC) ||
         rc == STS_EPERM || rc == STS_EIMGSTATE || rc == STS_EFILESYSTEM;
}

// A host-owned record of exactly sizeof(T) bytes on the heap.
template <typename T>
std::unique_ptr<T> Record() {
  return std::unique_ptr<T>(new T());
}

// Random bytes without '/', so a random name stays one component inside the
// scratch directory; with `terminate` false the text fills the array.
void RandomText(FuzzedDataProvider& in, char* dst, size_t size,
                bool terminate) {
  std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(size);
  bytes.resize(size, 'x');
  for (size_t i = 0; i < size; ++i) {
    char c = static_cast<char>(bytes[i]);
    dst[i] = (c == '/' || (!terminate && c == '\0')) ? '_' : c;
  }
  if (terminate) dst[size - 1] = '\0';
}

class Sequence {
 public:
  explicit Sequence(FuzzedDataProvider& in) : in_(in) {}

  void Run() {
    FUZZ_REQUIRE(vadizu_init(10) == STS_EOK);
    inits_ = 1;
    const std::function<int()> calls[] = {
        [this] { return Init(); },
        [this] { return Terminate(); },
        [this] { return CreateOrOpen(true); },
        [this] { return CreateOrOpen(false); },
        [this] { return CloseImage(); },
        [this] { return Transfer(true); },
        [this] { return Transfer(false); },
        [this] { return ByName(true); },
        [this] { return ByName(false); },
        [this] { return PropertiesByHandle(); },
        [this] { return OpenList(); },
        [this] { return ListNext(); },
        [this] { return CloseList(); }};
    for (int i = 0; i < kMaxCalls && in_.remaining_bytes() > 0; ++i) {
      FUZZ_REQUIRE(IsKnownStatus(calls[in_.ConsumeIntegralInRange(0, 12)]()));
    }
    for (stsp_image_handle_s* image : images_) {
      FUZZ_REQUIRE(vadizu_close_image(image, 0) != STS_EINVAL);
    }
    for (stsp_image_list_handle_s* list : lists_) {
      FUZZ_REQUIRE(vadizu_close_image_list(list) == STS_EOK);
    }
    for (; inits_ > 0; --inits_) FUZZ_REQUIRE(vadizu_terminate() == STS_EOK);
    FUZZ_REQUIRE(vadizu_terminate() == STS_EINIT);
  }

 private:
  int Init() {
    uint64_t version = in_.PickValueInArray<uint64_t>({9, 10, 11, ~0ull});
    int rc = vadizu_init(version);
    FUZZ_REQUIRE(rc == (version < 10 ? STS_EPLUGINVERSION : STS_EOK));
    if (rc == STS_EOK) ++inits_;
    return rc;
  }

  int Terminate() {
    int rc = vadizu_terminate();
    FUZZ_REQUIRE(rc == (inits_ > 0 ? STS_EOK : STS_EINIT));
    // The last terminate destroys every image and list still registered.
    if (inits_ > 0 && --inits_ == 0) {
      images_.clear();
      lists_.clear();
    }
    return rc;
  }

  const sts_lsu_name_v7_t* Lsu() {
    int kind = in_.ConsumeIntegralInRange(0, 3);
    if (kind == 3) return nullptr;
    lsu_ = Record<sts_lsu_name_v7_t>();
    if (kind == 2) {
      RandomText(in_, lsu_->name, sizeof lsu_->name, in_.ConsumeBool());
    } else {
      *lsu_ = host::MakeLsu(fuzz::LsuDir() + (kind == 1 ? "/" : ""));
    }
    return lsu_.get();
  }

  const char* ServerName() {
    int kind = in_.ConsumeIntegralInRange(0, 2);
    if (kind != 1) return kind == 0 ? host::Server() : nullptr;
    server_.reset(new char[512]);
    RandomText(in_, server_.get(), 512, in_.ConsumeBool());
    return server_.get();
  }

  const sts_session_def_v7_t* Session() {
    return in_.ConsumeBool() ? fuzz::CheckingSession() : nullptr;
  }

  const sts_image_def_v10_t* Definition() {
    int kind = in_.ConsumeIntegralInRange(0, 3);
    if (kind == 0) return nullptr;
    def_ = Record<sts_image_def_v10_t>();
    sts_image_def_v10_t& def = *def_;
    if (kind == 1) {
      strcpy(def.basename, kNames[in_.ConsumeIntegralInRange(0, 2)]);
      strcpy(def.date, "1700000000");
    } else {
      bool terminate = kind == 2;
      RandomText(in_, def.basename, sizeof def.basename, terminate);
      RandomText(in_, def.date, sizeof def.date, terminate);
      RandomText(in_, def.fulldate, sizeof def.fulldate, terminate);
      RandomText(in_, def.policy, sizeof def.policy, terminate);
      RandomText(in_, def.format, sizeof def.format, terminate);
      RandomText(in_, def.isid.dpaid, sizeof def.isid.dpaid, terminate);
      RandomText(in_, def.isid.dpaver, sizeof def.isid.dpaver, terminate);
      RandomText(in_, def.isid.info.v701.slpname,
                 sizeof def.isid.info.v701.slpname, terminate);
    }
    def.version = in_.PickValueInArray<uint64_t>({0, 10, 11});
    def.saveas = in_.ConsumeIntegralInRange<uint32_t>(0, 8);
    def.flags = in_.ConsumeIntegralInRange<uint32_t>(0, 6);
    return def_.get();
  }

  template <typename Handle>
  Handle* Pick(const std::vector<Handle*>& live) {
    size_t i = in_.ConsumeIntegralInRange<size_t>(0, live.size());
    return i < live.size() ? live[i] : nullptr;
  }

  int CreateOrOpen(bool create) {
    stsp_image_handle_s* image = nullptr;
    const sts_lsu_name_v7_t* lsu = Lsu();
    const sts_session_def_v7_t* session = Session();
    const char* server = ServerName();
    const sts_image_def_v10_t* def = Definition();
    int arg = in_.ConsumeIntegralInRange(-1, 5);
    bool want_out = in_.ConsumeIntegral<uint8_t>() != 0;
    stsp_image_handle_s** out = want_out ? &image : nullptr;
    int rc = create ? vadizu_create_image(lsu, session, server, def, arg, out)
                    : vadizu_open_image(lsu, session, server, def, arg, out);
    if (rc == STS_EOK) {
      FUZZ_REQUIRE(image != nullptr);
      FUZZ_REQUIRE(std::find(images_.begin(), images_.end(), image) ==
                   images_.end());
      images_.push_back(image);
    }
    return rc;
  }

  int CloseImage() {
    bool cross = in_.ConsumeIntegralInRange(0, 7) == 0 && !lists_.empty();
    int flags = in_.ConsumeIntegralInRange(0, 5);
    if (cross) {
      // A list handle is not in the image map.
      int rc = vadizu_close_image(
          reinterpret_cast<stsp_image_handle_s*>(Pick(lists_)), flags);
      FUZZ_REQUIRE(rc == STS_EINVAL);
      return rc;
    }
    stsp_image_handle_s* image = Pick(images_);
    int rc = vadizu_close_image(image, flags);
    if (image != nullptr) {
      images_.erase(std::find(images_.begin(), images_.end(), image));
    }
    return rc;
  }

  int Transfer(bool write) {
    stsp_image_handle_s* image = Pick(images_);
    size_t length = in_.ConsumeIntegralInRange<size_t>(0, kMaxBuffer);
    uint64_t offset = in_.ConsumeBool()
                          ? in_.ConsumeIntegralInRange<uint64_t>(0, 1 << 20)
                          : in_.ConsumeIntegral<uint64_t>();
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length + 1]);
    memset(buffer.get(), 'b', length + 1);
    uint64_t count = ~0ull;
    uint64_t* out = in_.ConsumeBool() ? &count : nullptr;
    if (!write) {
      int rc = vadizu_read_image(image, buffer.get(), length, offset, out);
      if (rc == STS_EOK) FUZZ_REQUIRE(count <= length);
      return rc;
    }
    std::unique_ptr<uint8_t[]> stat;
    if (in_.ConsumeBool()) {
      // The host hands a status block of at least its own length field.
      uint64_t block = in_.ConsumeIntegralInRange<uint64_t>(0, 4096);
      uint64_t size = std::max<uint64_t>(block, sizeof(sts_stat_v7_t));
      stat.reset(new uint8_t[size]());
      auto* header = reinterpret_cast<sts_stat_v7_t*>(stat.get());
      header->length = in_.ConsumeBool() ? block : 0x80000000ull + block;
      header->flags = in_.ConsumeIntegral<uint32_t>();
    }
    int rc = vadizu_write_image(
        image, reinterpret_cast<const sts_stat_v7_t*>(stat.get()), buffer.get(),
        length, offset, out);
    if (rc == STS_EOK) FUZZ_REQUIRE(count == length);
    return rc;
  }

  int ByName(bool properties) {
    const sts_lsu_name_v7_t* lsu = Lsu();
    const sts_session_def_v7_t* session = Session();
    const char* server = ServerName();
    const sts_image_def_v10_t* def = Definition();
    if (!properties) {
      return vadizu_delete_image(lsu, session, server, def,
                                 in_.ConsumeIntegral<int>());
    }
    auto info = Record<sts_image_info_v10_t>();
    return vadizu_get_image_prop_byname(
        lsu, session, server, def, in_.ConsumeBool() ? info.get() : nullptr);
  }

  int PropertiesByHandle() {
    stsp_image_handle_s* image = Pick(images_);
    auto info = Record<sts_image_info_v10_t>();
    return vadizu_get_image_prop(image,
                                 in_.ConsumeBool() ? info.get() : nullptr);
  }

  int OpenList() {
    stsp_image_list_handle_s* list = nullptr;
    const sts_lsu_name_v7_t* lsu = Lsu();
    const sts_session_def_v7_t* session = Session();
    const char* server = ServerName();
    int flags = in_.ConsumeIntegral<int>();
    int rc = vadizu_open_image_list(lsu, session, server, flags,
                                    in_.ConsumeBool() ? &list : nullptr);
    if (rc == STS_EOK) {
      FUZZ_REQUIRE(list != nullptr);
      // The list keeps the host's LSU record until it is closed.
      if (lsu == lsu_.get()) lsu_kept_.push_back(std::move(lsu_));
      lists_.push_back(list);
    }
    return rc;
  }

  int ListNext() {
    stsp_image_list_handle_s* list = Pick(lists_);
    auto def = Record<sts_image_def_v10_t>();
    return vadizu_list_image(list, in_.ConsumeBool() ? def.get() : nullptr);
  }

  int CloseList() {
    bool cross = in_.ConsumeIntegralInRange(0, 7) == 0 && !images_.empty();
    if (cross) {
      int rc = vadizu_close_image_list(
          reinterpret_cast<stsp_image_list_handle_s*>(Pick(images_)));
      FUZZ_REQUIRE(rc == STS_EINVAL);
      return rc;
    }
    stsp_image_list_handle_s* list = Pick(lists_);
    int rc = vadizu_close_image_list(list);
    if (list != nullptr) {
      FUZZ_REQUIRE(rc == STS_EOK);
      lists_.erase(std::find(lists_.begin(), lists_.end(), list));
    }
    return rc;
  }

  FuzzedDataProvider& in_;
  int inits_ = 0;
  std::vector<stsp_image_handle_s*> images_;
  std::vector<stsp_image_list_handle_s*> lists_;
  std::unique_ptr<sts_lsu_name_v7_t> lsu_;
  std::vector<std::unique_ptr<sts_lsu_name_v7_t>> lsu_kept_;
  std::unique_ptr<char[]> server_;
  std::unique_ptr<sts_image_def_v10_t> def_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::LsuDir();
  const int fds = host::OpenFdCount();
  FuzzedDataProvider in(data, size);
  Sequence(in).Run();
  for (const std::string& name : host::DirEntries(dir)) {
    unlink((dir + "/" + name).c_str());
  }
  FUZZ_REQUIRE(host::OpenFdCount() == fds);
  return 0;
}
