// Moving bytes: host data to and from the data file, and status blocks to
// the metadata file. Data goes in one positioned system call of the host's
// full length, straight from or into the host's buffer.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "error/VADIZUImageError.h"
#include "image/VADIZUImage.h"

namespace {

// The image family reports one source file name.
constexpr char kSourceFile[] = "../VADIZUImage.cpp";

constexpr uint64_t kMaxTransfer = 0x7fffffff;
constexpr size_t kMetadataAlignment = 512;
constexpr size_t kStatFlagsOffset = 68;

bool SkipsMetadata(const sts_stat_v7_t* stat) {
  return (reinterpret_cast<const uint8_t*>(stat)[kStatFlagsOffset] &
          VADIZU_STAT_SKIP_METADATA) != 0;
}

}  // namespace

int64_t VADIZUImage::ReadImage(void* buffer, uint64_t length, uint64_t offset) {
  if (buffer == nullptr || m_ImageInfo.IsLegacy() || length > kMaxTransfer) {
    VADIZU_THROW(STS_EINVAL);
  }
  if (!m_ImageInfo.IsImage()) return 0;
  const ssize_t count = pread(m_ImageFd, buffer, length, offset);
  if (count >= 0) return count;
  const int error = errno;
  VADIZUImageError::Log(
      &m_ImageHandle.session,
      VADIZUImageError::SystemCallMessageWithNumber("read", m_ImagePathName, error),
      VADIZU_SEVERITY_ERROR);
  VADIZU_THROW(STS_ESYS);
}

int64_t VADIZUImage::WriteImage(const sts_stat_v7_t* stat, const void* buffer,
                                uint64_t length, uint64_t offset) {
  if (buffer == nullptr || !IsWritable() || m_ImageInfo.IsLegacy() ||
      length > kMaxTransfer) {
    VADIZU_THROW(STS_EINVAL);
  }
  const bool hasData = m_ImageInfo.IsImage();
  if (!HasMetadata()) return hasData ? WriteData(buffer, length, offset) : 0;
  if (stat != nullptr && stat->length > kMaxTransfer) VADIZU_THROW(STS_EINVAL);
  if (!hasData) {
    // A metadata-only image keeps the status block and nothing else.
    if (stat == nullptr) VADIZU_THROW(STS_EINVAL);
    WriteStatusBlock(stat);
    return 0;
  }
  if (stat != nullptr && !SkipsMetadata(stat)) WriteStatusBlock(stat);
  return WriteData(buffer, length, offset);
}

void VADIZUImage::WriteStatusBlock(const sts_stat_v7_t* stat) {
  const int length = static_cast<int>(stat->length);
  if (Write(m_ImageMetaFd, stat, length) != length) VADIZU_THROW(STS_ENOSPC);
  const int remainder = length % static_cast<int>(kMetadataAlignment);
  if (remainder == 0) return;
  // Each record ends on a 512-byte boundary, padded with spaces.
  char spaces[kMetadataAlignment];
  memset(spaces, ' ', sizeof(spaces));
  const int padding = static_cast<int>(kMetadataAlignment) - remainder;
  if (Write(m_ImageMetaFd, spaces, padding) != padding) VADIZU_THROW(STS_ENOSPC);
}

int64_t VADIZUImage::Write(int fd, const void* buffer, int length) {
  const ssize_t count = write(fd, buffer, static_cast<size_t>(length));
  if (count < 0) RaiseWriteError(errno);
  return count;
}

int64_t VADIZUImage::WriteData(const void* buffer, uint64_t length,
                               uint64_t offset) {
  const ssize_t count = pwrite(m_ImageFd, buffer, length, offset);
  if (count < 0) RaiseWriteError(errno);
  return count;
}

void VADIZUImage::RaiseWriteError(int error) {
  const int code = VADIZUImageError::SysErrorToStsError(error);
  // A full disk or quota is reported by its code alone, without a line.
  if (code != STS_ENOSPC) {
    VADIZUImageError::Log(
        &m_ImageHandle.session,
        VADIZUImageError::SystemCallMessageWithNumber("write", m_ImagePathName,
                                                      error),
        VADIZU_SEVERITY_ERROR);
  }
  VADIZU_THROW(code);
}
