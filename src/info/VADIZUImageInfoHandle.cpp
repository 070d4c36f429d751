// The info file handle, and the three info-object members that move text
// through it (ReadLines, Read, Write).
#include "info/VADIZUImageInfoHandle.h"

#include <ace/File_Lock.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_string.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

#include "error/VADIZUImageError.h"
#include "info/VADIZUImageInfo.h"
#include "platform/filename.h"

namespace {

// The whole info family reports one source file name.
constexpr char kSourceFile[] = "../VADIZUImageInfo.cpp";

constexpr mode_t kCreateMode = 0644;
constexpr mode_t kPrivateMode = 0600;
constexpr size_t kInfoReadLimit = VADIZUImageInfo::kInfoReadLimit;
constexpr unsigned long kDefaultFragment = 4096;
constexpr unsigned long kMinFragment = 512;
constexpr unsigned long kMaxFragment = 1048576;
constexpr size_t kMinPadding = 256;
constexpr size_t kMaxPiecesPerWrite = 1024;  // IOV_MAX on Linux

int OpenFlags(bool create, bool writable) {
  int flags = O_CLOEXEC;  // a host that forks and execs keeps nothing of ours
  if (create) flags |= O_CREAT | O_EXCL;
  flags |= writable ? O_RDWR : O_RDONLY;
  return flags;
}

// Spaces to pad info files with, shared by every padding write.
const char* Spaces() {
  static const std::string spaces(kInfoReadLimit, ' ');
  return spaces.data();
}

// Throws the code for a failed write step: the mapped errno for a call that
// failed, STS_ENOSPC for one that moved fewer bytes than asked.
[[noreturn]] void ThrowWriteFailure(bool callFailed, int error) {
  VADIZU_THROW(callFailed ? VADIZUImageError::SysErrorToStsError(error)
                          : STS_ENOSPC);
}

}  // namespace

VADIZUImageInfoHandle::VADIZUImageInfoHandle(std::string pathName, bool create,
                                             bool writable,
                                             sts_session_def_v7_t session)
    : m_FileHandle(-1),
      m_RemoveOnClose(false),
      m_Writable(writable),
      m_Session(session),
      m_PathName(std::move(pathName)),
      m_Locked(false) {
  if (create && !writable) VADIZU_THROW(STS_ESYS);

  const int fd =
      ACE_OS::open(m_PathName.c_str(), OpenFlags(create, writable), kCreateMode);
  if (fd < 0) {
    const int error = errno;
    const int code = VADIZUImageError::SysErrorToStsError(error);
    VADIZUImageError::Log(
        &m_Session, VADIZUImageError::SystemCallMessage("open", m_PathName, error),
        code == STS_ENOENT ? VADIZU_SEVERITY_WARNING : VADIZU_SEVERITY_ERROR);
    VADIZU_THROW(code);
  }
  if (create && fchmod(fd, kPrivateMode) != 0) {
    VADIZUImageError::Log(
        &m_Session, VADIZUImageError::SystemCallMessage("chmod", m_PathName, errno),
        VADIZU_SEVERITY_ERROR);
    close(fd);
    unlink(m_PathName.c_str());
    VADIZU_THROW(STS_ESYS);
  }
  // Only a writable handle can be locked, so only it needs a lock object.
  if (writable) {
    try {
      m_FileLock.reset(new ACE_File_Lock(fd, false));
    } catch (...) {
      close(fd);
      if (create) unlink(m_PathName.c_str());
      VADIZU_THROW(STS_ESYS);
    }
  }
  m_FileHandle = fd;
}

VADIZUImageInfoHandle::~VADIZUImageInfoHandle() {
  try {
    if (m_FileHandle == -1) return;
    if (!m_RemoveOnClose && m_Writable) fsync(m_FileHandle);
    // Closing the descriptor releases the record lock with it, so the lock
    // object is told to let go of the descriptor rather than unlock it in
    // a system call of its own first.
    if (m_FileLock) m_FileLock->set_handle(ACE_INVALID_HANDLE);
    m_FileLock.reset();
    close(m_FileHandle);
    if (m_RemoveOnClose) unlink(m_PathName.c_str());
  } catch (...) {
    // A destructor never throws; the file is as far as it got.
  }
}

void VADIZUImageInfoHandle::Lock() {
  if (m_Locked) return;
  if (!m_Writable) VADIZU_THROW(STS_EINVAL);
  try {
    // A signal that interrupts the wait does not cost us the lock.
    int result;
    do {
      result = m_FileLock->acquire_write(SEEK_SET, 0, 1);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
      m_Locked = true;
      return;
    }
    VADIZUImageError::Log(&m_Session,
                          std::string("acquire_write() failed (") +
                              ACE_OS::strerror(errno) + ")",
                          VADIZU_SEVERITY_WARNING);
  } catch (...) {
    VADIZU_THROW(STS_ESYS);
  }
}

void VADIZUImageInfoHandle::UnLock() {
  if (!m_Locked) return;
  try {
    m_FileLock->release(SEEK_SET, 0, 1);
    m_Locked = false;
  } catch (...) {
    VADIZU_THROW(STS_ESYS);
  }
}

void VADIZUImageInfo::ReadLines(InfoText& text,
                                VADIZUImageInfoHandle& handle) const {
  // One read from the start: a reader sees at most the first 4096 bytes.
  const ssize_t count =
      pread(handle.m_FileHandle, text.bytes, kInfoReadLimit, 0);
  if (count < 0) VADIZU_THROW(STS_ESYS);
  text.bytes[count] = '\0';

  // Line feeds and NUL bytes end lines; empty lines are dropped and the
  // final segment counts as a line. memchr and strnlen find the ends: a
  // byte-by-byte walk over the padding would cost a listing most of its time.
  text.lines.clear();
  text.lines.reserve(kKeyCount + 1);  // every key and the padding, at once
  const char* const end = text.bytes + count;
  for (const char* start = text.bytes; start <= end;) {
    const void* newline = memchr(start, '\n', static_cast<size_t>(end - start));
    const char* stop = newline ? static_cast<const char*>(newline) : end;
    while (start < stop) {
      const size_t length = strnlen(start, static_cast<size_t>(stop - start));
      if (length > 0) text.lines.emplace_back(start, length);
      start += length + 1;
    }
    start = stop + 1;
  }
}

void VADIZUImageInfo::Read(VADIZUImageInfoHandle& handle) {
  InfoText text;
  ReadLines(text, handle);
  ParseLines(text.lines, m_Info);
  copy_terminated(m_Info.properties.lsu.name, m_LsuPathName,
                  sizeof(m_Info.properties.lsu.name));
  copy_terminated(m_Info.properties.server, m_ServerName,
                  sizeof(m_Info.properties.server));
}

size_t VADIZUImageInfo::PaddingForNewFile(size_t textLength) const {
  // A new file ends on a whole fragment of its file system, with room for
  // the text to grow in place on later rewrites.
  struct statvfs fs;
  unsigned long fragment = kDefaultFragment;
  if (statvfs(m_InfoPathName.c_str(), &fs) == 0 && fs.f_frsize >= kMinFragment &&
      fs.f_frsize <= kMaxFragment) {
    fragment = fs.f_frsize;
  }
  size_t padding = fragment - textLength % fragment;
  if (padding < kMinPadding) padding += fragment;
  return padding;
}

void VADIZUImageInfo::Write(const BDImageInfo& info,
                            VADIZUImageInfoHandle& handle, bool create) const {
  const std::string text = SetLines(info);
  const int fd = handle.m_FileHandle;
  size_t padding = 0;
  if (create) {
    padding = PaddingForNewFile(text.size());
  } else {
    // A rewrite keeps the file's size: spaces cover what the old text had.
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end > 0 && static_cast<size_t>(end) > text.size()) {
      padding = static_cast<size_t>(end) - text.size();
    }
  }

  // Text and padding leave in one positioned, gathered write (more than one
  // only for a huge old file that needs more pieces than a call takes).
  std::vector<iovec> pieces;
  pieces.push_back({const_cast<char*>(text.data()), text.size()});
  for (size_t left = padding; left > 0;) {
    const size_t chunk = left < kInfoReadLimit ? left : kInfoReadLimit;
    pieces.push_back({const_cast<char*>(Spaces()), chunk});
    left -= chunk;
  }
  off_t offset = 0;
  for (size_t first = 0; first < pieces.size(); first += kMaxPiecesPerWrite) {
    const size_t count = std::min(kMaxPiecesPerWrite, pieces.size() - first);
    ssize_t expected = 0;
    for (size_t i = first; i < first + count; ++i) expected += pieces[i].iov_len;
    const ssize_t written =
        pwritev(fd, &pieces[first], static_cast<int>(count), offset);
    if (written != expected) {
      const int error = errno;
      if (create) handle.m_RemoveOnClose = true;
      ThrowWriteFailure(written < 0, error);
    }
    offset += written;
  }
}
