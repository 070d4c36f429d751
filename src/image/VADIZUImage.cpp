// The image family in one file, so that FILE and LINE in a log line lead to
// the throw: an image's data and metadata files (create, open, close,
// delete, properties) and the moving of bytes between them and the host.
// Moving bytes: host data to and from the data file, and status blocks to
// the metadata file. Data goes in one positioned system call of the host's
// full length, straight from or into the host's buffer.
#include "image/VADIZUImage.h"

#include <ace/OS_NS_fcntl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "error/VADIZUImageError.h"
#include "platform/filename.h"

namespace {

constexpr char kSourceFile[] = "../VADIZUImage.cpp";

constexpr mode_t kCreateMode = 0644;
constexpr mode_t kPrivateMode = 0600;

using Mode = VADIZUImageInfo::BDImageMode;

bool IsCreateMode(Mode mode) {
  return mode == VADIZUImageInfo::BDImageModeCreate ||
         mode == VADIZUImageInfo::BDImageModeCreateFlagged;
}

// Remembers the first failure while closing, so that the code reported is
// the one for the earliest failing call.
void CloseErrorHandler(bool& failed, int& code) {
  if (failed) return;
  failed = true;
  code = VADIZUImageError::SysErrorToStsError(errno);
}

}  // namespace

const std::string VADIZUImage::m_ImagePathNameSuffix = ".img";
const std::string VADIZUImage::m_ImageMetaPathNameSuffix = ".meta";

VADIZUImage::VADIZUImage(const char* serverName,
                         const sts_session_def_v7_t* session,
                         const sts_lsu_name_v7_t* lsu,
                         const sts_image_def_v10_t* def,
                         VADIZUImageInfo::BDImageMode mode)
    : m_ImageFd(-1),
      m_ImageMetaFd(-1),
      m_ImageHandle{},
      m_Mode(mode),
      m_ServerName{},
      m_ImageInfo(serverName, session, def, lsu, mode) {
  m_ImageHandle.object = this;
  if (session != nullptr) m_ImageHandle.session = *session;
  try {
    if (lsu == nullptr) VADIZU_THROW(STS_EINVAL);
    m_LsuPathName.assign(lsu->name, strnlen(lsu->name, sizeof(lsu->name)));
    copy_terminated(m_ServerName, serverName, sizeof(m_ServerName));
    SetPathNames();
    if (mode == VADIZUImageInfo::BDImageModeNone) return;
    // A legacy image's data file is never made here, only opened.
    if (IsCreateMode(mode) && !m_ImageInfo.IsLegacy()) {
      Create();
    } else {
      Open();
    }
  } catch (...) {
    Discard();
    throw;
  }
}

VADIZUImage::~VADIZUImage() {
  m_ImageHandle.object = nullptr;
  // An image still open here was never closed by the host (the manager is
  // being torn down): give back the descriptors, but leave the info file
  // marked as it is, as a writer that ended without closing.
  CloseDescriptors();
}

void VADIZUImage::Discard() noexcept {
  // Only files this object made go: a create refused because the data file
  // exists never got a descriptor for it. A legacy create makes no data file.
  const bool created = IsCreateMode(m_Mode);
  const bool madeData = created && !m_ImageInfo.IsLegacy();
  const bool removeData = madeData && m_ImageFd != -1;
  const bool removeMeta = madeData && m_ImageMetaFd != -1;
  CloseDescriptors();
  if (removeMeta) unlink(m_ImageMetaPathName.c_str());
  if (removeData) unlink(m_ImagePathName.c_str());
  if (created) m_ImageInfo.DeleteImageInfo();
  m_Mode = VADIZUImageInfo::BDImageModeNone;
}

void VADIZUImage::CloseDescriptors() {
  for (int* fd : {&m_ImageFd, &m_ImageMetaFd}) {
    if (*fd != -1) close(*fd);
    *fd = -1;
  }
}

bool VADIZUImage::IsWritable() const {
  return m_Mode == VADIZUImageInfo::BDImageModeWrite || IsCreateMode(m_Mode);
}

void VADIZUImage::SetPathNames() {
  const std::string base = m_ImageInfo.GetImageBasePathName();
  m_ImagePathName = m_ImageInfo.IsLegacy() ? base : base + m_ImagePathNameSuffix;
  m_ImageMetaPathName = base + m_ImageMetaPathNameSuffix;
}

int VADIZUImage::CreateFile(const std::string& path) {
  const int fd = ACE_OS::open(path.c_str(),
                              O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kCreateMode);
  if (fd < 0) {
    const int error = errno;
    VADIZUImageError::LogSystemCall(&m_ImageHandle.session, "open", path,
                                    error, VADIZU_SEVERITY_ERROR);
    VADIZU_THROW(VADIZUImageError::SysErrorToStsError(error));
  }
  if (fchmod(fd, kPrivateMode) != 0) {
    VADIZUImageError::LogSystemCall(&m_ImageHandle.session, "chmod", path,
                                    errno, VADIZU_SEVERITY_ERROR);
    // A file made here and not kept private goes again: a failed create
    // leaves nothing behind.
    close(fd);
    unlink(path.c_str());
    VADIZU_THROW(STS_ESYS);
  }
  return fd;
}

void VADIZUImage::Create() {
  if (!IsCreateMode(m_Mode)) VADIZU_THROW(STS_EINTERNAL);
  m_ImageFd = CreateFile(m_ImagePathName);
  // A failure here takes the data file back too (Discard).
  if (HasMetadata()) m_ImageMetaFd = CreateFile(m_ImageMetaPathName);
}

void VADIZUImage::Open() {
  int flags = O_CLOEXEC | O_NONBLOCK;  // a FIFO never holds the open
  if (m_Mode == VADIZUImageInfo::BDImageModeRead) {
    flags |= O_RDONLY;
  } else if (IsWritable()) {
    flags |= O_RDWR;
  } else {
    VADIZU_THROW(STS_EINTERNAL);
  }
  m_ImageFd = ACE_OS::open(m_ImagePathName.c_str(), flags, kCreateMode);
  if (m_ImageFd < 0) VADIZU_THROW(STS_ENOENT);
  // Readers never touch the metadata file; writers start it from the top.
  if (!HasMetadata() || !IsWritable()) return;
  m_ImageMetaFd = ACE_OS::open(m_ImageMetaPathName.c_str(), flags, kCreateMode);
  if (m_ImageMetaFd < 0) {
    CloseDescriptors();
    VADIZU_THROW(STS_ENOENT);
  }
}

void VADIZUImage::Close() {
  bool failed = false;
  int code = STS_EOK;
  const bool writable = IsWritable();
  for (int* fd : {&m_ImageFd, &m_ImageMetaFd}) {
    if (*fd == -1) continue;
    if (writable && fsync(*fd) != 0) CloseErrorHandler(failed, code);
    if (close(*fd) != 0) CloseErrorHandler(failed, code);
    *fd = -1;
  }
  if (failed) VADIZU_THROW(code);
}

void VADIZUImage::CloseImage(bool complete) {
  if (IsWritable()) m_ImageInfo.SetImageSize(GetFileSize(m_ImageFd));
  std::optional<VADIZUImageException> closeFailure;
  if (m_Mode != VADIZUImageInfo::BDImageModeNone) {
    try {
      Close();
    } catch (const VADIZUImageException& e) {
      closeFailure = e;
    }
  }
  // The info file is settled even when the data files failed to close.
  m_Mode = VADIZUImageInfo::BDImageModeNone;
  m_ImageInfo.CloseImageInfo(complete);
  if (closeFailure) throw *closeFailure;
}

int VADIZUImage::DeleteImage() {
  if (m_Mode != VADIZUImageInfo::BDImageModeNone) VADIZU_THROW(STS_EINTERNAL);
  // Another image whose name leads to the same files is not ours to remove.
  m_ImageInfo.CheckRecordsRequestedImage();
  const sts_session_def_v7_t& session = m_ImageHandle.session;
  int status = VADIZUImageInfo::DeleteFile(session, m_ImageMetaPathName);
  if (status != STS_EOK && status != STS_ENOENT) return status;
  const int dataStatus = VADIZUImageInfo::DeleteFile(session, m_ImagePathName);
  if (dataStatus != STS_EOK && dataStatus != STS_ENOENT) return dataStatus;
  // STS_ENOENT only when neither the data file nor the info file was there.
  status = m_ImageInfo.DeleteImageInfo();
  return status == STS_ENOENT ? dataStatus : status;
}

sts_image_info_v10_t VADIZUImage::GetImageProperties() {
  sts_image_info_v10_t info = m_ImageInfo.GetImageInfo();
  if (IsWritable()) {
    // A writer's data file is ahead of the size its info file records.
    const int64_t size = GetFileSize(m_ImageFd);
    if (size > 0) info.size = static_cast<uint64_t>(size);
  }
  return info;
}

int64_t VADIZUImage::GetFileSize(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return st.st_size;
}

namespace {


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
  VADIZUImageError::LogSystemCallWithNumber(&m_ImageHandle.session, "read",
                                            m_ImagePathName, error,
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
    VADIZUImageError::LogSystemCallWithNumber(&m_ImageHandle.session, "write",
                                              m_ImagePathName, error,
                                              VADIZU_SEVERITY_ERROR);
  }
  VADIZU_THROW(code);
}
