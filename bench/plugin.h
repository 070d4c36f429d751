// The benchmark's host side: a thin RAII layer over the exported vadizu_*
// functions, used exactly as a backup host uses them. Every failing status
// becomes an exception, because a benchmark of failing calls means nothing.
#ifndef VADIZU_BENCH_PLUGIN_H_
#define VADIZU_BENCH_PLUGIN_H_

#include <cstdint>
#include <string>

#include "vadizu.h"

namespace bench {

// Throws std::runtime_error when status is not STS_EOK.
void CheckStatus(int status, const char* call);

// Holds one vadizu_init reference for its lifetime.
class PluginLibrary final {
 public:
  PluginLibrary();
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;
};

// One LSU directory and the host records that go with every call on it.
// Images are named by a base name made of [a-z0-9_] only, so the names of
// their files are predictable for the raw baseline that reads them.
class PluginLsu final {
 public:
  explicit PluginLsu(const std::string& dir);

  sts_image_def_v10_t Definition(const std::string& basename) const;
  std::string DataPath(const std::string& basename) const;
  std::string InfoPath(const std::string& basename) const;

  void DeleteImage(const std::string& basename) const;
  // Lists every image of the LSU and returns how many there were.
  uint64_t CountImages() const;

  const sts_lsu_name_v7_t* lsu() const { return &lsu_; }
  const sts_session_def_v7_t* session() const { return &session_; }
  const char* server() const { return server_; }

 private:
  std::string dir_;
  sts_lsu_name_v7_t lsu_;
  sts_session_def_v7_t session_;
  char server_[512];
};

// One image handle from create or open until Close. Close is a separate
// call so that it can be timed; an image never closed is aborted.
class PluginImage final {
 public:
  static PluginImage Create(const PluginLsu& lsu, const std::string& basename);
  static PluginImage OpenForRead(const PluginLsu& lsu,
                                 const std::string& basename);

  PluginImage(PluginImage&& other) noexcept : handle_(other.handle_) {
    other.handle_ = nullptr;
  }
  PluginImage(const PluginImage&) = delete;
  PluginImage& operator=(const PluginImage&) = delete;
  PluginImage& operator=(PluginImage&&) = delete;
  ~PluginImage();

  void Write(const void* buf, uint64_t length, uint64_t offset);
  uint64_t Read(void* buf, uint64_t length, uint64_t offset);
  void Close(int flags);

 private:
  explicit PluginImage(stsp_image_handle_s* handle) : handle_(handle) {}
  stsp_image_handle_s* handle_;
};

}  // namespace bench

#endif  // VADIZU_BENCH_PLUGIN_H_
