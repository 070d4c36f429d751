// The raw baseline of an image's life: the file creations, locks, writes and
// fsyncs that the image state protocol needs, issued straight to the kernel
// with nothing in between. It is the floor the plug-in is measured against.
#ifndef VADIZU_BENCH_RAW_IMAGE_H_
#define VADIZU_BENCH_RAW_IMAGE_H_

#include <cstdint>
#include <string>

#include "util.h"

namespace bench {

// Files are named like the plug-in's (<base>.img, <base>.info, <base>.meta),
// so that both can share one directory without colliding.
class RawImage final {
 public:
  // Checks the LSU directory, creates the info file (exclusive, 0600,
  // locked, written padded in one call, synced), then the data file.
  static RawImage Create(const std::string& dir, const std::string& base);

  // Removes the image as the protocol does: the LSU is checked, the info
  // file is read to confirm the image, then the metadata, data and info
  // files are unlinked in that order.
  static void Delete(const std::string& dir, const std::string& base);

  RawImage(RawImage&&) = default;
  RawImage(const RawImage&) = delete;
  RawImage& operator=(const RawImage&) = delete;
  RawImage& operator=(RawImage&&) = delete;

  void Write(const void* buf, size_t length, uint64_t offset);

  // Records the data file's size, syncs and closes it, then marks the
  // image complete: two locked read-modify-writes of the info file, each
  // synced.
  void CloseComplete();

 private:
  RawImage(std::string info_path, ScopedFd data);
  void RewriteInfo(uint32_t write_count, uint32_t status);

  std::string info_path_;
  ScopedFd data_;
  uint64_t size_ = 0;
};

}  // namespace bench

#endif  // VADIZU_BENCH_RAW_IMAGE_H_
