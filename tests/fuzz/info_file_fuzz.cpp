// The input becomes the info file of one image (next to a small data file)
// and is read back through every exported call that reads info files:
// properties by name, open for reading and for writing, the listing and
// delete. Whatever the bytes, the calls must return known codes, hand back
// terminated texts, keep the writer rules, close every descriptor and leave
// no file behind after the delete.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "fuzz_support.h"

namespace {

constexpr char kStem[] = "fz.1700000000";
constexpr size_t kDataSize = 256;

struct Image {
  sts_image_def_v10_t def;
  std::string info_path, data_path;
};

const Image& GetImage() {
  static const Image image = [] {
    Image i;
    memset(&i.def, 0, sizeof i.def);
    i.def.version = 10;
    strcpy(i.def.basename, "fz");
    strcpy(i.def.date, "1700000000");
    i.def.saveas = VADIZU_SAVEAS_IMAGE;
    const std::string base = fuzz::GetScratch().lsu_dir + "/" + kStem;
    i.info_path = base + ".info";
    i.data_path = base + ".img";
    FUZZ_REQUIRE(vadizu_init(10) == STS_EOK);
    return i;
  }();
  return image;
}

void WriteFile(const std::string& path, const void* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  FUZZ_REQUIRE(fd >= 0);
  FUZZ_REQUIRE(write(fd, data, size) == ssize_t(size));
  close(fd);
}

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

bool HasData(const sts_image_info_v10_t& info) {
  return (info.def.saveas & VADIZU_SAVEAS_IMAGE) != 0;
}

// Reading shows the reading bit and the data, if the file says it has any.
void CheckRead(const Image& image, const sts_lsu_name_v7_t& lsu,
               const sts_image_info_v10_t& recorded) {
  stsp_image_handle_s* handle = nullptr;
  FUZZ_REQUIRE(vadizu_open_image(&lsu, fuzz::CheckingSession(), fuzz::Server(),
                                 &image.def, VADIZU_OPEN_READ,
                                 &handle) == STS_EOK);
  char buf[kDataSize];
  uint64_t got = 0;
  FUZZ_REQUIRE(vadizu_read_image(handle, buf, sizeof buf, 0, &got) == STS_EOK);
  FUZZ_REQUIRE(got == (HasData(recorded) ? kDataSize : 0));
  sts_image_info_v10_t info;
  FUZZ_REQUIRE(vadizu_get_image_prop(handle, &info) == STS_EOK);
  FUZZ_REQUIRE((info.status & VADIZU_STATUS_READING) != 0);
  FUZZ_REQUIRE(vadizu_close_image(handle, VADIZU_CLOSE_COMPLETE) == STS_EOK);
}

// Only an incomplete image nobody writes may be opened for writing. A file
// that claims a metadata file, which is not there, cannot be opened so.
void CheckWrite(const Image& image, const sts_lsu_name_v7_t& lsu,
                const sts_image_info_v10_t& recorded) {
  const uint32_t status = recorded.status;
  stsp_image_handle_s* handle = nullptr;
  int rc = vadizu_open_image(&lsu, fuzz::CheckingSession(), fuzz::Server(),
                             &image.def, VADIZU_OPEN_WRITE, &handle);
  FUZZ_REQUIRE(rc == STS_EOK || rc == STS_EBUSY || rc == STS_EIMGSTATE ||
               rc == STS_ENOENT);
  bool writable = (status & VADIZU_STATUS_COMPLETE) == 0 &&
                  (status & VADIZU_STATUS_INCOMPLETE) != 0;
  if (rc == STS_EIMGSTATE) FUZZ_REQUIRE(!writable);
  if (rc != STS_EOK) return;
  FUZZ_REQUIRE(writable);
  uint64_t written = 0;
  rc = vadizu_write_image(handle, nullptr, "more", 4, kDataSize, &written);
  FUZZ_REQUIRE(rc == (HasData(recorded) ? STS_EOK : STS_ENOSPC) ||
               rc == STS_EINVAL);
  FUZZ_REQUIRE(vadizu_close_image(handle, VADIZU_CLOSE_INCOMPLETE) == STS_EOK);
  sts_image_info_v10_t info;
  FUZZ_REQUIRE(vadizu_get_image_prop_byname(&lsu, nullptr, fuzz::Server(),
                                            &image.def, &info) == STS_EOK);
  FUZZ_REQUIRE(info.size == kDataSize + (rc == STS_EOK ? 4 : 0));
  FUZZ_REQUIRE((info.status & VADIZU_STATUS_WRITING) == 0);
}

// The image is listed when its recorded base name is not empty and its
// recorded flags are one of the three kinds.
void CheckList(const sts_lsu_name_v7_t& lsu,
               const sts_image_info_v10_t& recorded) {
  stsp_image_list_handle_s* list = nullptr;
  FUZZ_REQUIRE(vadizu_open_image_list(&lsu, fuzz::CheckingSession(),
                                      fuzz::Server(), VADIZU_LIST_ALL,
                                      &list) == STS_EOK);
  sts_image_def_v10_t def;
  int listed = 0, rc;
  while ((rc = vadizu_list_image(list, &def)) == STS_EOK) {
    FUZZ_REQUIRE(TextsTerminated(def));
    FUZZ_REQUIRE(++listed == 1);
  }
  FUZZ_REQUIRE(rc == STS_ENOENT);
  FUZZ_REQUIRE(listed == (recorded.def.basename[0] != '\0' &&
                          recorded.def.flags <= VADIZU_IMAGE_LEGACY));
  FUZZ_REQUIRE(vadizu_close_image_list(list) == STS_EOK);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Image& image = GetImage();
  const sts_lsu_name_v7_t& lsu = fuzz::GetScratch().lsu;
  const int fds = fuzz::OpenFdCount();
  WriteFile(image.info_path, data, size);
  char content[kDataSize];
  memset(content, 'd', sizeof content);
  WriteFile(image.data_path, content, sizeof content);

  sts_image_info_v10_t info;
  FUZZ_REQUIRE(vadizu_get_image_prop_byname(&lsu, fuzz::CheckingSession(),
                                            fuzz::Server(), &image.def,
                                            &info) == STS_EOK);
  FUZZ_REQUIRE(TextsTerminated(info.def));
  FUZZ_REQUIRE(Terminated(info.server, sizeof info.server));
  FUZZ_REQUIRE(strcmp(info.lsu.name, lsu.name) == 0);
  CheckRead(image, lsu, info);
  CheckWrite(image, lsu, info);
  CheckList(lsu, info);
  FUZZ_REQUIRE(vadizu_delete_image(&lsu, fuzz::CheckingSession(),
                                   fuzz::Server(), &image.def, 0) == STS_EOK);
  FUZZ_REQUIRE(access(image.info_path.c_str(), F_OK) != 0);
  FUZZ_REQUIRE(access(image.data_path.c_str(), F_OK) != 0);
  FUZZ_REQUIRE(fuzz::OpenFdCount() == fds);
  return 0;
}
