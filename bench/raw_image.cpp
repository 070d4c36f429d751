#include "raw_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace bench {

namespace {

constexpr size_t kInfoReadLimit = 4096;
constexpr uint64_t kDefaultFragment = 4096;
constexpr uint64_t kMinFragment = 512;
constexpr uint64_t kMaxFragment = 1048576;
constexpr uint64_t kMinPadding = 256;
constexpr uint32_t kStatusBeingWritten = 0x21;
constexpr uint32_t kStatusComplete = 0x04;
// Fixed-width fields keep the record the same length across rewrites, so
// a rewrite is always one write over the bytes that were read.
std::string InfoHeader(uint32_t write_count, uint64_t size, uint32_t status) {
  char text[128];
  int n = std::snprintf(text, sizeof text,
                        "WRITECOUNT=%010u\nIMO_SIZE=%020llu\nIMO_STATUS=%010u\n",
                        write_count, static_cast<unsigned long long>(size),
                        status);
  return std::string(text, static_cast<size_t>(n));
}

// The info file ends on a fragment boundary with at least kMinPadding
// spaces after the text, like the plug-in's.
size_t PaddedLength(int fd, size_t text_length) {
  uint64_t fragment = kDefaultFragment;
  struct statvfs vfs;
  if (fstatvfs(fd, &vfs) == 0 && vfs.f_frsize >= kMinFragment &&
      vfs.f_frsize <= kMaxFragment) {
    fragment = vfs.f_frsize;
  }
  uint64_t padding = fragment - text_length % fragment;
  if (padding < kMinPadding) padding += fragment;
  return text_length + padding;
}

void LockFirstByte(int fd, const std::string& path) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  if (fcntl(fd, F_SETLKW, &lock) != 0) ThrowSystemError("fcntl", path);
}

void WriteAllAt(int fd, const void* buf, size_t length, uint64_t offset,
                const std::string& path) {
  ssize_t n = pwrite(fd, buf, length, static_cast<off_t>(offset));
  if (n != static_cast<ssize_t>(length)) ThrowSystemError("pwrite", path);
}

void CheckLsu(const std::string& dir) {
  if (access(dir.c_str(), F_OK) != 0) ThrowSystemError("access", dir);
}

void UnlinkOrThrow(const std::string& path, bool missing_is_fine) {
  if (unlink(path.c_str()) == 0) return;
  if (missing_is_fine && errno == ENOENT) return;
  ThrowSystemError("unlink", path);
}

}  // namespace

RawImage::RawImage(std::string info_path, ScopedFd data)
    : info_path_(std::move(info_path)), data_(std::move(data)) {}

RawImage RawImage::Create(const std::string& dir, const std::string& base) {
  CheckLsu(dir);
  const std::string base_path = ImageBasePath(dir, base);
  const std::string info_path = base_path + ".info";
  {
    ScopedFd info = OpenOrThrow(info_path, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fchmod(info.get(), 0600) != 0) ThrowSystemError("fchmod", info_path);
    LockFirstByte(info.get(), info_path);
    std::string record = InfoHeader(1, 0, kStatusBeingWritten);
    record.resize(PaddedLength(info.get(), record.size()), ' ');
    WriteAllAt(info.get(), record.data(), record.size(), 0, info_path);
    if (fsync(info.get()) != 0) ThrowSystemError("fsync", info_path);
  }
  const std::string data_path = base_path + ".img";
  ScopedFd data = OpenOrThrow(data_path, O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fchmod(data.get(), 0600) != 0) ThrowSystemError("fchmod", data_path);
  return RawImage(info_path, std::move(data));
}

void RawImage::Write(const void* buf, size_t length, uint64_t offset) {
  WriteAllAt(data_.get(), buf, length, offset, info_path_);
}

// The size comes from the data file, not from what this object wrote: an
// image opened again for writing has bytes from its earlier writer too.
// The file's end comes from lseek, because an info file may be longer than
// the part a reader sees and a rewrite keeps its length.
void RawImage::RewriteInfo(uint32_t write_count, uint32_t status) {
  ScopedFd info = OpenOrThrow(info_path_, O_RDWR);
  LockFirstByte(info.get(), info_path_);
  char seen[kInfoReadLimit];
  if (pread(info.get(), seen, sizeof seen, 0) < 0) {
    ThrowSystemError("pread", info_path_);
  }
  off_t end = lseek(info.get(), 0, SEEK_END);
  if (end < 0) ThrowSystemError("lseek", info_path_);
  std::string record = InfoHeader(write_count, size_, status);
  record.resize(std::max(record.size(), static_cast<size_t>(end)), ' ');
  WriteAllAt(info.get(), record.data(), record.size(), 0, info_path_);
  if (fsync(info.get()) != 0) ThrowSystemError("fsync", info_path_);
}

void RawImage::CloseComplete() {
  struct stat st;
  if (fstat(data_.get(), &st) != 0) ThrowSystemError("fstat", info_path_);
  size_ = static_cast<uint64_t>(st.st_size);
  RewriteInfo(1, kStatusBeingWritten);
  if (fsync(data_.get()) != 0) ThrowSystemError("fsync", info_path_);
  if (data_.Reset() != 0) ThrowSystemError("close", info_path_);
  RewriteInfo(0, kStatusComplete);
}

void RawImage::Delete(const std::string& dir, const std::string& base) {
  CheckLsu(dir);
  const std::string base_path = ImageBasePath(dir, base);
  const std::string info_path = base_path + ".info";
  {
    ScopedFd info = OpenOrThrow(info_path, O_RDONLY);
    char record[kInfoReadLimit];
    if (read(info.get(), record, sizeof record) < 0) {
      ThrowSystemError("read", info_path);
    }
  }
  UnlinkOrThrow(base_path + ".meta", true);
  UnlinkOrThrow(base_path + ".img", false);
  UnlinkOrThrow(info_path, false);
}

}  // namespace bench
