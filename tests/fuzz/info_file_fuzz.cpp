// The input becomes the info file of one image (next to a small data file)
// and is read back through every exported call that reads info files:
// properties by name, open for reading and for writing, the listing and
// delete. Whatever the bytes, the calls must return known codes, hand back
// terminated texts, keep the writer rules, close every descriptor and leave
// no file behind after the delete.
#include "fuzz.h"

namespace {

constexpr size_t kDataSize = 256;

bool Terminated(const char* text, size_t size) {
  return strnlen(text, size) < size;
}

bool TextsTerminated(const sts_image_def_v10_t& def) {
  return Terminated(def.basename, sizeof def.basename) &&
         Terminated(def.date, sizeof def.date) &&
         Terminated(def.fulldate, sizeof def.fulldate) &&
         Terminated(def.policy, sizeof def.policy) &&
         Terminated(def.format, sizeof def.format) &&
         Terminated(def.isid.dpaid, sizeof def.isid.dpaid) &&
         Terminated(def.isid.dpaver, sizeof def.isid.dpaver);
}

struct Image {
  sts_lsu_name_v7_t lsu = host::MakeLsu(fuzz::LsuDir());
  sts_image_def_v10_t def = host::MakeDef("fz");
  std::string info_path = host::ImageFile(fuzz::LsuDir(), "fz", ".info");
  std::string data_path = host::ImageFile(fuzz::LsuDir(), "fz", ".img");
  const sts_session_def_v7_t* session = fuzz::CheckingSession();
  // What the info file claims, as properties by name read it.
  sts_image_info_v10_t recorded{};

  bool HasData() const { return recorded.def.saveas & VADIZU_SAVEAS_IMAGE; }
  // A file that records another image is that image's: open and delete
  // answer as if this one were missing.
  bool Foreign() const {
    return recorded.def.basename[0] != '\0' &&
           (strcmp(recorded.def.basename, def.basename) != 0 ||
            strcmp(recorded.def.date, def.date) != 0);
  }

  // Reading shows the reading bit and the data, if the file says it has any.
  void CheckRead() {
    stsp_image_handle_s* handle = nullptr;
    FUZZ_REQUIRE(vadizu_open_image(&lsu, session, host::Server(), &def,
                                   VADIZU_OPEN_READ, &handle) ==
                 (Foreign() ? STS_ENOENT : STS_EOK));
    if (Foreign()) return;
    char buf[kDataSize];
    uint64_t got = 0;
    FUZZ_REQUIRE(vadizu_read_image(handle, buf, sizeof buf, 0, &got) ==
                 STS_EOK);
    FUZZ_REQUIRE(got == (HasData() ? kDataSize : 0));
    sts_image_info_v10_t info;
    FUZZ_REQUIRE(vadizu_get_image_prop(handle, &info) == STS_EOK);
    FUZZ_REQUIRE((info.status & VADIZU_STATUS_READING) != 0);
    FUZZ_REQUIRE(vadizu_close_image(handle, VADIZU_CLOSE_COMPLETE) == STS_EOK);
  }

  // Only an incomplete image nobody writes may be opened for writing. A
  // file that claims a metadata file, which is not there, cannot be.
  void CheckWrite() {
    stsp_image_handle_s* handle = nullptr;
    int rc = vadizu_open_image(&lsu, session, host::Server(), &def,
                               VADIZU_OPEN_WRITE, &handle);
    FUZZ_REQUIRE(rc == STS_EOK || rc == STS_EBUSY || rc == STS_EIMGSTATE ||
                 rc == STS_ENOENT);
    bool writable = (recorded.status & VADIZU_STATUS_COMPLETE) == 0 &&
                    (recorded.status & VADIZU_STATUS_INCOMPLETE) != 0;
    FUZZ_REQUIRE(rc != STS_EIMGSTATE || !writable);
    FUZZ_REQUIRE((rc == STS_ENOENT) >= Foreign());
    if (rc != STS_EOK) return;
    FUZZ_REQUIRE(writable);
    uint64_t written = 0;
    rc = vadizu_write_image(handle, nullptr, "more", 4, kDataSize, &written);
    FUZZ_REQUIRE(rc == (HasData() ? STS_EOK : STS_ENOSPC) || rc == STS_EINVAL);
    FUZZ_REQUIRE(vadizu_close_image(handle, VADIZU_CLOSE_INCOMPLETE) ==
                 STS_EOK);
    sts_image_info_v10_t info;
    FUZZ_REQUIRE(vadizu_get_image_prop_byname(&lsu, nullptr, host::Server(),
                                              &def, &info) == STS_EOK);
    FUZZ_REQUIRE(info.size == kDataSize + (rc == STS_EOK ? 4 : 0));
    FUZZ_REQUIRE((info.status & VADIZU_STATUS_WRITING) == 0);
  }

  // The image is listed when its recorded base name is not empty and its
  // recorded flags are one of the three kinds.
  void CheckList() {
    stsp_image_list_handle_s* list = nullptr;
    FUZZ_REQUIRE(vadizu_open_image_list(&lsu, session, host::Server(),
                                        VADIZU_LIST_ALL, &list) == STS_EOK);
    sts_image_def_v10_t listed_def;
    int listed = 0, rc;
    while ((rc = vadizu_list_image(list, &listed_def)) == STS_EOK) {
      FUZZ_REQUIRE(TextsTerminated(listed_def));
      FUZZ_REQUIRE(++listed == 1);
    }
    FUZZ_REQUIRE(rc == STS_ENOENT);
    FUZZ_REQUIRE(listed == (recorded.def.basename[0] != '\0' &&
                            recorded.def.flags <= VADIZU_IMAGE_LEGACY));
    FUZZ_REQUIRE(vadizu_close_image_list(list) == STS_EOK);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int initialised = vadizu_init(10);
  FUZZ_REQUIRE(initialised == STS_EOK);
  Image image;
  const int fds = host::OpenFdCount();
  host::WriteFile(image.info_path,
                  std::string(reinterpret_cast<const char*>(data), size));
  host::WriteFile(image.data_path, std::string(kDataSize, 'd'));
  FUZZ_REQUIRE(vadizu_get_image_prop_byname(&image.lsu, image.session,
                                            host::Server(), &image.def,
                                            &image.recorded) == STS_EOK);
  FUZZ_REQUIRE(TextsTerminated(image.recorded.def));
  FUZZ_REQUIRE(Terminated(image.recorded.server, sizeof image.recorded.server));
  FUZZ_REQUIRE(strcmp(image.recorded.lsu.name, image.lsu.name) == 0);
  image.CheckRead();
  image.CheckWrite();
  image.CheckList();
  FUZZ_REQUIRE(vadizu_delete_image(&image.lsu, image.session, host::Server(),
                                   &image.def, 0) ==
               (image.Foreign() ? STS_ENOENT : STS_EOK));
  if (image.Foreign()) {
    FUZZ_REQUIRE(unlink(image.info_path.c_str()) == 0);
    FUZZ_REQUIRE(unlink(image.data_path.c_str()) == 0);
  }
  FUZZ_REQUIRE(host::FileSize(image.info_path) < 0);
  FUZZ_REQUIRE(host::FileSize(image.data_path) < 0);
  FUZZ_REQUIRE(host::OpenFdCount() == fds);
  return 0;
}
