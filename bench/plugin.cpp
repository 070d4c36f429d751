#include "plugin.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "util.h"

namespace bench {

namespace {

constexpr uint64_t kInterfaceVersion = 10;
constexpr const char kServerName[] = "bench-server";

template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
  std::snprintf(field, N, "%s", text.c_str());
}

// Error lines are the only ones a benchmark run should never produce.
void PrintLogLine(void*, const char* message, sts_severity_v7_t) {
  std::fprintf(stderr, "vadizu: %s\n", message);
}

}  // namespace

void CheckStatus(int status, const char* call) {
  if (status != STS_EOK) {
    throw std::runtime_error(std::string(call) + " returned " +
                             std::to_string(status));
  }
}

PluginLibrary::PluginLibrary() {
  CheckStatus(vadizu_init(kInterfaceVersion), "vadizu_init");
}

PluginLibrary::~PluginLibrary() { vadizu_terminate(); }

PluginLsu::PluginLsu(const std::string& dir) : dir_(dir) {
  std::memset(&lsu_, 0, sizeof lsu_);
  std::memset(&session_, 0, sizeof session_);
  std::memset(server_, 0, sizeof server_);
  CopyText(lsu_.name, dir);
  CopyText(server_, kServerName);
  session_.log_callback = PrintLogLine;
  session_.log_mask = VADIZU_SEVERITY_ERROR;
}

sts_image_def_v10_t PluginLsu::Definition(const std::string& basename) const {
  sts_image_def_v10_t def;
  std::memset(&def, 0, sizeof def);
  def.version = 10;
  CopyText(def.basename, basename);
  CopyText(def.date, kImageDate);
  CopyText(def.fulldate, kImageDate);
  CopyText(def.policy, "bench_policy");
  def.saveas = VADIZU_SAVEAS_IMAGE;
  def.flags = VADIZU_IMAGE_KIND0;
  CopyText(def.format, "tar");
  CopyText(def.isid.dpaid, "Kestrevon");
  CopyText(def.isid.dpaver, "KVR_65");
  stskvr_isinfo_v65_t& info = def.isid.info.v65;
  CopyText(info.master, "bench-master");
  info.time = 1700000000;
  info.copy = 1;
  info.stream = 1;
  info.fragment = 1;
  CopyText(info.client, "bench-client");
  return def;
}

std::string PluginLsu::DataPath(const std::string& basename) const {
  return ImageBasePath(dir_, basename) + ".img";
}

std::string PluginLsu::InfoPath(const std::string& basename) const {
  return ImageBasePath(dir_, basename) + ".info";
}

void PluginLsu::DeleteImage(const std::string& basename) const {
  sts_image_def_v10_t def = Definition(basename);
  CheckStatus(vadizu_delete_image(&lsu_, &session_, server_, &def, 0),
              "vadizu_delete_image");
}

uint64_t PluginLsu::CountImages() const {
  stsp_image_list_handle_s* list = nullptr;
  CheckStatus(vadizu_open_image_list(&lsu_, &session_, server_,
                                     VADIZU_LIST_ALL, &list),
              "vadizu_open_image_list");
  uint64_t count = 0;
  sts_image_def_v10_t def;
  int status;
  while ((status = vadizu_list_image(list, &def)) == STS_EOK) ++count;
  vadizu_close_image_list(list);
  if (status != STS_ENOENT) CheckStatus(status, "vadizu_list_image");
  return count;
}

PluginImage PluginImage::Create(const PluginLsu& lsu,
                                const std::string& basename) {
  sts_image_def_v10_t def = lsu.Definition(basename);
  stsp_image_handle_s* handle = nullptr;
  CheckStatus(vadizu_create_image(lsu.lsu(), lsu.session(), lsu.server(), &def,
                                  0, &handle),
              "vadizu_create_image");
  return PluginImage(handle);
}

PluginImage PluginImage::OpenForRead(const PluginLsu& lsu,
                                     const std::string& basename) {
  sts_image_def_v10_t def = lsu.Definition(basename);
  stsp_image_handle_s* handle = nullptr;
  CheckStatus(vadizu_open_image(lsu.lsu(), lsu.session(), lsu.server(), &def,
                                VADIZU_OPEN_READ, &handle),
              "vadizu_open_image");
  return PluginImage(handle);
}

PluginImage::~PluginImage() {
  if (handle_ != nullptr) vadizu_close_image(handle_, VADIZU_CLOSE_ABORT);
}

void PluginImage::Write(const void* buf, uint64_t length, uint64_t offset) {
  // A host always hands a status block; this image keeps no metadata file,
  // so the block is not stored.
  static const sts_stat_v7_t kStat = {};
  uint64_t written = 0;
  CheckStatus(vadizu_write_image(handle_, &kStat, buf, length, offset, &written),
              "vadizu_write_image");
}

uint64_t PluginImage::Read(void* buf, uint64_t length, uint64_t offset) {
  uint64_t count = 0;
  CheckStatus(vadizu_read_image(handle_, buf, length, offset, &count),
              "vadizu_read_image");
  return count;
}

void PluginImage::Close(int flags) {
  stsp_image_handle_s* handle = handle_;
  handle_ = nullptr;
  CheckStatus(vadizu_close_image(handle, flags), "vadizu_close_image");
}

}  // namespace bench
