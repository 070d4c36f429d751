// The info family in one file, so that FILE and LINE in a log line lead to
// the throw: the info object's life (construction, the names of an image's
// files, the status protocol kept in the info file), the locked handle that
// moves text to and from the file, and the KEY=value text format itself.
#include "info/VADIZUImageInfo.h"

#include <ace/File_Lock.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_string.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "error/VADIZUImageError.h"
#include "info/VADIZUImageInfoHandle.h"
#include "platform/filename.h"

namespace {

constexpr char kSourceFile[] = "../VADIZUImageInfo.cpp";

constexpr size_t kMaxDirectoryLength = 1023;
constexpr size_t kServerNameSize = 512;
constexpr uint32_t kMaxCreatableFlags = VADIZU_IMAGE_LEGACY;
constexpr uint32_t kNewImageStatus =
    VADIZUImageInfo::StatusIncomplete | VADIZUImageInfo::StatusWriting;

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t n = strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// True when the directory path (ending in '/') names "." or ".." as its
// last component.
bool EndsInDotComponent(const std::string& dir) {
  const size_t n = dir.size();
  if (n == 2 && dir[0] == '.') return true;
  if (n > 2 && dir[n - 2] == '.' && dir[n - 3] == '/') return true;
  if (n == 3 && dir[0] == '.' && dir[1] == '.') return true;
  if (n > 3 && dir[n - 2] == '.' && dir[n - 3] == '.' && dir[n - 4] == '/') {
    return true;
  }
  return false;
}

// An entry that is not the requested image's info file is answered as a
// missing image is: a line at the severity of a missing file, STS_ENOENT.
[[noreturn]] void ThrowAsMissing(const sts_session_def_v7_t& session,
                                 const std::string& path, const char* reason) {
  VADIZUImageError::LogSystemCall(&session, "open", path, reason,
                                  VADIZU_SEVERITY_WARNING);
  VADIZU_THROW(STS_ENOENT);
}

constexpr char kNotRegular[] = "not a regular file";

template <size_t N>
void Terminate(char (&field)[N]) {
  field[N - 1] = '\0';
}

// Text fields the host sees again end inside their arrays, also when the
// host filled an array to its last byte.
void TerminateTextFields(sts_image_def_v10_t& def) {
  Terminate(def.basename);
  Terminate(def.date);
  Terminate(def.fulldate);
  Terminate(def.policy);
  Terminate(def.format);
  Terminate(def.isid.dpaid);
  Terminate(def.isid.dpaver);
  Terminate(def.isid.info.v701.master);
  Terminate(def.isid.info.v701.client);
  Terminate(def.isid.info.v701.slpname);
}

// The fields an image's file name is made from: the base name and, for a
// dated (not legacy) name, the date. Both are terminated text.
std::string NameFields(const sts_image_def_v10_t& def, bool legacy) {
  std::string fields = def.basename;
  if (!legacy) fields.append(1, '\0').append(def.date);
  return fields;
}

}  // namespace

const std::string VADIZUImageInfo::m_ImageInfoPathNameSuffix = ".info";

VADIZUImageInfo::VADIZUImageInfo(const char* server,
                                 const sts_session_def_v7_t* session,
                                 const sts_image_def_v10_t* def,
                                 const sts_lsu_name_v7_t* lsu, BDImageMode mode)
    : m_Mode(mode) {
  SetCommonFields(server, session, lsu);
  SetImageInfo(server, lsu, def);
  m_Legacy = m_Info.properties.def.flags == LegacyFlags;
  m_RequestedName = NameFields(m_Info.properties.def, m_Legacy);
  SetPathNames(def);
  if (mode == BDImageModeCreate || mode == BDImageModeCreateFlagged) {
    CreateImageInfo();
  } else {
    SetImageStatus();
  }
}

VADIZUImageInfo::VADIZUImageInfo(const char* server,
                                 const sts_session_def_v7_t* session,
                                 const sts_lsu_name_v7_t* lsu)
    : m_Mode(BDImageModeNone) {
  SetCommonFields(server, session, lsu);
  memset(&m_Info, 0, sizeof(m_Info));
}

void VADIZUImageInfo::SetCommonFields(const char* server,
                                      const sts_session_def_v7_t* session,
                                      const sts_lsu_name_v7_t* lsu) {
  // m_Info is filled whole by SetImageInfo or by reading the file.
  m_Legacy = false;
  memset(&m_Session, 0, sizeof(m_Session));
  if (session != nullptr) m_Session = *session;
  memset(m_ServerName, 0, sizeof(m_ServerName));
  if (lsu == nullptr) VADIZU_THROW(STS_EINVAL);
  m_LsuPathName.assign(lsu->name, strnlen(lsu->name, sizeof(lsu->name)));
  if (server != nullptr) copy_terminated(m_ServerName, server, kServerNameSize);
}

void VADIZUImageInfo::SetImageInfo(const char* server,
                                   const sts_lsu_name_v7_t* lsu,
                                   const sts_image_def_v10_t* def) {
  if (lsu == nullptr || def == nullptr) VADIZU_THROW(STS_EINVAL);
  memset(&m_Info, 0, sizeof(m_Info));
  m_Info.properties.def = *def;
  TerminateTextFields(m_Info.properties.def);
  if (server == nullptr || strnlen(server, kServerNameSize) >= kServerNameSize) {
    VADIZU_THROW(STS_EINVAL);
  }
  copy_terminated(m_Info.properties.server, server, kServerNameSize);
  m_Info.properties.lsu = *lsu;
  m_Info.properties.blocksize = m_BlockSize;
}

// ---------------------------------------------------------------- naming

std::string VADIZUImageInfo::GetBasePathName(std::string path) {
  if (path.empty() || path.size() > kMaxDirectoryLength) {
    VADIZU_THROW(STS_EINVAL);
  }
  if (path.back() != '/') path += '/';
  if (EndsInDotComponent(path)) VADIZU_THROW(STS_EINVAL);
  return path;
}

std::string VADIZUImageInfo::GetImageBasePathName(
    const sts_image_def_v10_t* def) const {
  if (def == nullptr) VADIZU_THROW(STS_EINVAL);
  // The date becomes part of the file name too: spaces read as dots, and
  // like the base name it may not lead out of the LSU directory.
  char date[sizeof(def->date)];
  copy_terminated(date, def->date, sizeof(date));
  for (char* c = date; *c != '\0'; ++c) {
    if (*c == ' ') *c = '.';
  }
  replace_separators_in_filename(date);
  char name[sizeof(def->basename)];
  copy_terminated(name, def->basename, sizeof(name));
  find_replace_chars_in_filename(name);

  std::string base = GetBasePathName(m_LsuPathName) + name;
  if (!IsLegacy()) base += std::string(".") + date;
  return base;
}

void VADIZUImageInfo::SetPathNames(const sts_image_def_v10_t* def) {
  if (def == nullptr) VADIZU_THROW(STS_EINVAL);
  std::string base = GetImageBasePathName(def);
  m_InfoPathName = base + m_ImageInfoPathNameSuffix;
  m_BasePathName = std::move(base);
}

bool VADIZUImageInfo::IsInfoPath(const std::string& path) {
  return path.size() > m_ImageInfoPathNameSuffix.size() &&
         EndsWith(path, m_ImageInfoPathNameSuffix.c_str());
}

void VADIZUImageInfo::SetPathNames(const std::string& infoPath) {
  const size_t suffixLength = m_ImageInfoPathNameSuffix.size();
  if (!IsInfoPath(infoPath)) VADIZU_THROW(STS_EINVAL);
  // Assigned in place: a listing object keeps its strings' room.
  m_InfoPathName = infoPath;
  m_BasePathName.assign(infoPath, 0, infoPath.size() - suffixLength);
}

// ------------------------------------------------------- status protocol

void VADIZUImageInfo::ReadUnlocked() {
  VADIZUImageInfoHandle handle(m_InfoPathName, false, false, m_Session);
  Read(handle);
}

void VADIZUImageInfo::ReadListed(const std::string& infoPath,
                                 bool checkType) {
  SetPathNames(infoPath);
  VADIZUImageInfoHandle handle(m_InfoPathName, false, false, m_Session);
  if (checkType) handle.RegularFileSize();
  Read(handle);
  m_Legacy = m_Info.properties.def.flags == LegacyFlags;
}

bool VADIZUImageInfo::RendersKeyByKey(const BDImageInfo& info) const {
  // The text of a record is its keys in table order, one line each. A line
  // feed inside a text value would start a line of its own, where a
  // "WRITECOUNT=0" or "IMO_STATUS=1" could overrule the writer mark; such a
  // text breaks the order or holds a line without a key.
  const std::string text = SetLines(info);
  std::string_view value;
  int previous = -1;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const int key =
        ParseLine(std::string_view(text).substr(start, end - start), value);
    if (key == kUnknownKey || key <= previous) return false;
    previous = key;
    start = end + 1;
  }
  return true;
}

void VADIZUImageInfo::CreateImageInfo() {
  // Refused definitions are caught before any file exists.
  if (!IsImage()) VADIZU_THROW(STS_EINVAL);
  if (m_Info.properties.def.flags > kMaxCreatableFlags) {
    VADIZU_THROW(STS_EINVAL);
  }
  if (!RendersKeyByKey(m_Info)) VADIZU_THROW(STS_EINVAL);
  VADIZUImageInfoHandle handle(m_InfoPathName, true, true, m_Session);
  handle.Lock();
  m_Info.writeCount = 1;
  m_Info.properties.status = kNewImageStatus;
  Write(m_Info, handle, true);
}

void VADIZUImageInfo::CheckRecordsRequestedImage() const {
  if (!ValidityCheck()) return;
  if (NameFields(m_Info.properties.def, m_Legacy) == m_RequestedName) return;
  ThrowAsMissing(m_Session, m_InfoPathName, "it records another image");
}

void VADIZUImageInfo::SetImageStatus() {
  // Inspecting (delete, properties by name) leaves the name check to the
  // caller: properties report whatever the file holds.
  if (!IsWriteMode(m_Mode)) {
    ReadUnlocked();
    if (m_Mode != BDImageModeRead) return;
    CheckRecordsRequestedImage();
    m_Info.properties.status |= StatusReading;
    return;
  }
  VADIZUImageInfoHandle handle(m_InfoPathName, false, true, m_Session);
  handle.Lock();
  Read(handle);
  CheckRecordsRequestedImage();
  // One writer at a time, and only an incomplete image may be written again.
  if (m_Info.writeCount != 0) VADIZU_THROW(STS_EBUSY);
  const uint32_t status = m_Info.properties.status;
  if ((status & StatusComplete) != 0 || (status & StatusIncomplete) == 0) {
    VADIZU_THROW(STS_EIMGSTATE);
  }
  m_Info.writeCount = 1;
  m_Info.properties.status |= StatusWriting;
  Write(m_Info, handle, false);
}

void VADIZUImageInfo::ClearImageStatus(bool complete) {
  if (!IsWriteMode(m_Mode)) return;
  VADIZUImageInfoHandle handle(m_InfoPathName, false, true, m_Session);
  handle.Lock();
  Read(handle);
  uint32_t& status = m_Info.properties.status;
  status &= ~StatusWriting;
  // Checks come before the write, so a refused close leaves the file as is.
  if (m_Info.writeCount != 1) VADIZU_THROW(STS_EINTERNAL);
  if (complete) {
    if ((status & StatusComplete) != 0 || (status & StatusIncomplete) == 0) {
      VADIZU_THROW(STS_EINTERNAL);
    }
    status = (status & ~StatusIncomplete) | StatusComplete;
  }
  m_Info.writeCount = 0;
  Write(m_Info, handle, false);
}

void VADIZUImageInfo::CloseImageInfo(bool complete) {
  try {
    ClearImageStatus(complete);
  } catch (...) {
    m_Mode = BDImageModeNone;
    throw;
  }
  m_Mode = BDImageModeNone;
}

void VADIZUImageInfo::SetImageSize(uint64_t size) {
  if (!IsWriteMode(m_Mode)) return;
  try {
    VADIZUImageInfoHandle handle(m_InfoPathName, false, true, m_Session);
    handle.Lock();
    Read(handle);
    m_Info.properties.size = size;
    Write(m_Info, handle, false);
  } catch (const VADIZUImageException& e) {
    VADIZUImageError::Log(&m_Session, "VADIZUImageInfo::SetImageSize", &e);
  } catch (...) {
    VADIZUImageError::Log(&m_Session, "VADIZUImageInfo::SetImageSize", nullptr);
  }
}

int VADIZUImageInfo::DeleteImageInfo() {
  return DeleteFile(m_Session, m_InfoPathName);
}

int VADIZUImageInfo::DeleteFile(const sts_session_def_v7_t& session,
                                const std::string& path) {
  if (unlink(path.c_str()) == 0) return STS_EOK;
  const int error = errno;
  const int code = VADIZUImageError::SysErrorToStsError(error);
  VADIZUImageError::LogSystemCall(
      &session, "unlink", path, error,
      code == STS_ENOENT ? VADIZU_SEVERITY_WARNING : VADIZU_SEVERITY_ERROR);
  return code;
}

namespace {


constexpr mode_t kCreateMode = 0644;
constexpr mode_t kPrivateMode = 0600;
constexpr size_t kInfoReadLimit = VADIZUImageInfo::kInfoReadLimit;
constexpr unsigned long kDefaultFragment = 4096;
constexpr unsigned long kMinFragment = 512;
constexpr unsigned long kMaxFragment = 1048576;
constexpr size_t kMinPadding = 256;
constexpr size_t kMaxPiecesPerWrite = 1024;  // IOV_MAX on Linux

int OpenFlags(bool create, bool writable) {
  // A host that forks and execs keeps nothing of ours, and a FIFO named like
  // an info file never holds the open waiting for its other end.
  int flags = O_CLOEXEC | O_NONBLOCK;
  if (create) flags |= O_CREAT | O_EXCL;
  // A rewrite pads the file to its end, so it must never follow a link to
  // something else (a block device would lose its first bytes).
  if (writable && !create) flags |= O_NOFOLLOW;
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

VADIZUImageInfoHandle::VADIZUImageInfoHandle(const std::string& pathName,
                                             bool create, bool writable,
                                             sts_session_def_v7_t session)
    : m_FileHandle(-1),
      m_RemoveOnClose(false),
      m_Writable(writable),
      m_Session(session),
      m_PathName(pathName),
      m_Locked(false),
      m_Size(-1) {
  if (create && !writable) VADIZU_THROW(STS_ESYS);

  const int fd =
      ACE_OS::open(m_PathName.c_str(), OpenFlags(create, writable), kCreateMode);
  if (fd < 0) {
    const int error = errno;
    // A directory (opened to write), a socket, or a link opened to rewrite.
    if (error == EISDIR || error == ENXIO || (writable && error == ELOOP)) {
      ThrowAsMissing(m_Session, m_PathName, kNotRegular);
    }
    const int code = VADIZUImageError::SysErrorToStsError(error);
    VADIZUImageError::LogSystemCall(
        &m_Session, "open", m_PathName, error,
        code == STS_ENOENT ? VADIZU_SEVERITY_WARNING : VADIZU_SEVERITY_ERROR);
    VADIZU_THROW(code);
  }
  if (create && fchmod(fd, kPrivateMode) != 0) {
    VADIZUImageError::LogSystemCall(&m_Session, "chmod", m_PathName, errno,
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
  // A new file goes again with the handle until its first text is written
  // whole, whatever stops that write (a failed call, no memory to render the
  // text): an empty file would refuse every later create of the name.
  m_RemoveOnClose = create;
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
    char message[256];
    snprintf(message, sizeof(message), "acquire_write() failed (%s)",
             ACE_OS::strerror(errno));
    VADIZUImageError::Log(&m_Session, message, VADIZU_SEVERITY_WARNING);
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

off_t VADIZUImageInfoHandle::EndForRewrite() {
  // lseek rather than fstat: in the benchmark an fstat here cost a lifecycle
  // about 6 %. The open refuses directories, sockets and links, and the read
  // before every rewrite refuses a FIFO, so what is left is a regular file
  // (or a device node, which only root can make).
  const off_t end = lseek(m_FileHandle, 0, SEEK_END);
  if (end < 0) VADIZU_THROW(STS_ESYS);
  return end;
}

off_t VADIZUImageInfoHandle::RegularFileSize() {
  if (m_Size >= 0) return m_Size;
  struct stat st;
  if (fstat(m_FileHandle, &st) != 0) VADIZU_THROW(STS_ESYS);
  if (!S_ISREG(st.st_mode)) ThrowAsMissing(m_Session, m_PathName, kNotRegular);
  m_Size = st.st_size;
  return m_Size;
}

size_t VADIZUImageInfo::ReadText(char (&text)[kInfoReadLimit + 1],
                                 VADIZUImageInfoHandle& handle) const {
  // One read from the start: a reader sees at most the first 4096 bytes.
  const ssize_t count = pread(handle.m_FileHandle, text, kInfoReadLimit, 0);
  if (count < 0) {
    // Reading a FIFO or a directory fails. Only then is the file looked at:
    // a regular file costs no extra call, anything else is answered as a
    // missing image.
    handle.RegularFileSize();
    VADIZU_THROW(STS_ESYS);
  }
  text[count] = '\0';
  return static_cast<size_t>(count);
}

void VADIZUImageInfo::Read(VADIZUImageInfoHandle& handle) {
  char text[kInfoReadLimit + 1];
  const size_t length = ReadText(text, handle);
  ParseLines(text, length, m_Info);
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
    // Its end is taken under the rewrite's lock.
    const off_t end = handle.EndForRewrite();
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
    if (written != expected) ThrowWriteFailure(written < 0, errno);
    offset += written;
  }
  if (create) handle.m_RemoveOnClose = false;  // the new file is whole now
}

namespace {

enum Key {
  kWriteCount,
  kBaseName,
  kDate,
  kFullDate,
  kPolicy,
  kSaveAs,
  kFormat,
  kFlags,
  kVersion,
  kDpaId,
  kDpaVer,
  kMaster,
  kTime,
  kCopy,
  kStream,
  kType,
  kFragment,
  kInstance,
  kClient,
  kSlpName,
  kSize,
  kBlockSize,
  kStatus,
};

constexpr char kKestrevon[] = "Kestrevon";

// A NUL-terminated text field, never read past its array.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

void AppendLine(std::string& out, int key, const std::string& value) {
  out += VADIZUImageInfo::BDDataTypeString[key];
  out += '=';
  out += value;
  out += '\n';
}

// Reads a decimal number the way an input stream with default flags does:
// leading white space skipped, an optional sign, digits up to the first
// other character; no digits gives 0. A minus sign wraps the magnitude into
// the unsigned range; out-of-range magnitudes stop at the largest value.
struct ParsedNumber {
  bool negative = false;
  bool overflow = false;
  uint64_t magnitude = 0;
};

// The classic locale's white space and digits, which a stream with default
// flags skips and reads.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

ParsedNumber ParseDecimal(std::string_view text) {
  ParsedNumber number;
  const char* c = text.data();
  const char* const end = c + text.size();
  while (c < end && IsSpace(*c)) ++c;
  if (c < end && (*c == '+' || *c == '-')) number.negative = *c++ == '-';
  uint64_t magnitude = 0;
  for (; c < end && IsDigit(*c); ++c) {
    const uint64_t digit = static_cast<uint64_t>(*c - '0');
    number.overflow |= __builtin_mul_overflow(magnitude, 10, &magnitude) ||
                       __builtin_add_overflow(magnitude, digit, &magnitude);
  }
  number.magnitude =
      number.overflow ? std::numeric_limits<uint64_t>::max() : magnitude;
  return number;
}

template <typename Unsigned>
Unsigned ToUnsigned(const ParsedNumber& number) {
  constexpr Unsigned kMax = std::numeric_limits<Unsigned>::max();
  if (number.overflow || number.magnitude > kMax) return kMax;
  const Unsigned value = static_cast<Unsigned>(number.magnitude);
  return number.negative ? static_cast<Unsigned>(0 - value) : value;
}

void _convert_value(std::string_view value, uint64_t& field) {
  field = ToUnsigned<uint64_t>(ParseDecimal(value));
}

void _convert_value(std::string_view value, uint32_t& field) {
  field = ToUnsigned<uint32_t>(ParseDecimal(value));
}

// IS_TYPE is signed: read as a signed 64-bit number, keep the low 32 bits.
int32_t ConvertSigned(std::string_view value) {
  const ParsedNumber number = ParseDecimal(value);
  constexpr uint64_t kMaxPositive = std::numeric_limits<int64_t>::max();
  int64_t wide;
  if (!number.negative) {
    wide = number.magnitude > kMaxPositive ? std::numeric_limits<int64_t>::max()
                                           : static_cast<int64_t>(number.magnitude);
  } else if (number.magnitude > kMaxPositive + 1) {
    wide = std::numeric_limits<int64_t>::min();
  } else {
    wide = static_cast<int64_t>(0 - number.magnitude);
  }
  return static_cast<int32_t>(static_cast<uint32_t>(wide));
}

template <size_t N>
void StoreText(char (&field)[N], std::string_view value) {
  const size_t n = value.size() < N - 1 ? value.size() : N - 1;
  memcpy(field, value.data(), n);
  field[n] = '\0';
}

uint64_t Load64(const char* bytes) {
  uint64_t word;
  memcpy(&word, bytes, sizeof(word));
  return word;
}

// The key table as views, the length of the longest key (a line whose first
// '=' stands further in has no key), and each key with its '=' as its first
// and its last 8 bytes: "IS_TIME=" to "IMO_BLOCKSIZE=" are 8 to 16 bytes
// long, so two loads, which may overlap, compare a line's start with one.
struct KeyTable {
  std::array<std::string_view, VADIZUImageInfo::kKeyCount> names;
  std::array<uint64_t, VADIZUImageInfo::kKeyCount> heads, tails;
  size_t longest = 0;
};

KeyTable MakeKeyTable() {
  KeyTable keys;
  for (int key = 0; key < VADIZUImageInfo::kKeyCount; ++key) {
    const std::string_view name = VADIZUImageInfo::BDDataTypeString[key];
    char withEquals[16] = {};
    memcpy(withEquals, name.data(), name.size());
    withEquals[name.size()] = '=';
    keys.names[key] = name;
    keys.heads[key] = Load64(withEquals);
    keys.tails[key] = Load64(withEquals + name.size() + 1 - 8);
    keys.longest = std::max(keys.longest, name.size());
  }
  return keys;
}

// Built at load, like the key strings it is made of, which are constants.
const KeyTable kKeys = MakeKeyTable();

// Whether line starts with the key and its '=': no key holds a '=', so such
// a line has that key.
inline bool StartsWithKey(std::string_view line, int key) {
  const size_t length = kKeys.names[key].size() + 1;
  return line.size() >= length && Load64(line.data()) == kKeys.heads[key] &&
         Load64(line.data() + length - 8) == kKeys.tails[key];
}

// The index of line's key, found by a search of the whole table, or
// kUnknownKey; value is what follows the '='. Kept out of MatchKey's way.
__attribute__((noinline)) int FindKey(std::string_view line,
                                      std::string_view& value) {
  const void* found =
      memchr(line.data(), '=', std::min(line.size(), kKeys.longest + 1));
  if (found == nullptr) return VADIZUImageInfo::kUnknownKey;
  const size_t equals = static_cast<const char*>(found) - line.data();
  const std::string_view name = line.substr(0, equals);
  for (int key = 0; key < VADIZUImageInfo::kKeyCount; ++key) {
    if (name == kKeys.names[key]) {
      value = line.substr(equals + 1);
      return key;
    }
  }
  return VADIZUImageInfo::kUnknownKey;
}

// FindKey's answer, sooner: the writer puts the keys in table order, so the
// line is first taken for the key after the previous line's, then for
// IMO_SIZE, which follows whichever identity line came last. Keys are
// unique, so the answer is the same.
inline int MatchKey(std::string_view line, int expected,
                    std::string_view& value) {
  for (int key : {expected, static_cast<int>(kSize)}) {
    if (key < VADIZUImageInfo::kKeyCount && StartsWithKey(line, key)) {
      value = line.substr(kKeys.names[key].size() + 1);
      return key;
    }
  }
  return FindKey(line, value);
}

}  // namespace

const char* const VADIZUImageInfo::BDDataTypeString[kKeyCount] = {
    "WRITECOUNT",  "IMG_BASENAME", "IMG_DATE",    "IMG_FULLDATE",
    "IMG_POLICY",  "IMG_SAVEAS",   "IMG_FORMAT",  "IMG_FLAGS",
    "IMG_VERSION", "IS_DPAID",     "IS_DPAVER",   "IS_MASTER",
    "IS_TIME",     "IS_COPY",      "IS_STREAM",   "IS_TYPE",
    "IS_FRAGMENT", "IS_INSTANCE",  "IS_CLIENT",   "IS_SLPNAME",
    "IMO_SIZE",    "IMO_BLOCKSIZE", "IMO_STATUS",
};

std::string VADIZUImageInfo::SetLines(const BDImageInfo& info) const {
  const sts_image_info_v10_t& props = info.properties;
  const sts_image_def_v10_t& def = props.def;
  std::string out;
  out.reserve(512);
  AppendLine(out, kWriteCount, std::to_string(info.writeCount));
  AppendLine(out, kBaseName, FieldText(def.basename));
  AppendLine(out, kDate, FieldText(def.date));
  AppendLine(out, kFullDate, FieldText(def.fulldate));
  AppendLine(out, kPolicy, FieldText(def.policy));
  AppendLine(out, kSaveAs, std::to_string(def.saveas));
  AppendLine(out, kFormat, FieldText(def.format));
  AppendLine(out, kFlags, std::to_string(def.flags));
  AppendLine(out, kVersion, std::to_string(def.version));
  out += GetIsIdString(def.isid);
  AppendLine(out, kSize, std::to_string(props.size));
  AppendLine(out, kBlockSize, std::to_string(props.blocksize));
  AppendLine(out, kStatus, std::to_string(props.status));
  return out;
}

std::string VADIZUImageInfo::GetIsIdString(const sts_isid_v10_t& isid) const {
  const std::string id = FieldText(isid.dpaid);
  const std::string tag = FieldText(isid.dpaver);
  std::string out;
  if (id.empty() && tag.empty()) return out;
  AppendLine(out, kDpaId, id);
  if (id != kKestrevon) return out;
  AppendLine(out, kDpaVer, tag);
  if (tag == "KVR_65" || tag == "KVR_70") {
    out += GetIsInfoKVR(&isid.info.v65);
  } else if (tag == "KVR_75" || tag == "KVR_701000") {
    out += GetIsInfoKVR(&isid.info.v701);
  }
  return out;
}

std::string VADIZUImageInfo::GetIsInfoKVR(
    const stskvr_isinfo_v65_t* info) const {
  std::string out;
  AppendLine(out, kMaster, FieldText(info->master));
  AppendLine(out, kTime, std::to_string(info->time));
  AppendLine(out, kCopy, std::to_string(info->copy));
  AppendLine(out, kStream, std::to_string(info->stream));
  AppendLine(out, kType, std::to_string(info->type));
  AppendLine(out, kFragment, std::to_string(info->fragment));
  AppendLine(out, kInstance, std::to_string(info->instance));
  AppendLine(out, kClient, FieldText(info->client));
  return out;
}

std::string VADIZUImageInfo::GetIsInfoKVR(
    const stskvr_isinfo_v701_t* info) const {
  // The version 701 record starts with the version 65 fields, laid out alike.
  std::string out =
      GetIsInfoKVR(reinterpret_cast<const stskvr_isinfo_v65_t*>(info));
  AppendLine(out, kSlpName, FieldText(info->slpname));
  return out;
}

int VADIZUImageInfo::ParseLine(std::string_view line,
                               std::string_view& value) const {
  value = std::string_view();
  return FindKey(line, value);
}

void VADIZUImageInfo::ParseLines(const char* text, size_t length,
                                 BDImageInfo& info) const {
  memset(&info, 0, sizeof(info));
  sts_image_info_v10_t& props = info.properties;
  sts_image_def_v10_t& def = props.def;
  // Identity fields are stored whatever the id and tag say; both product
  // records share the leading fields, and IS_SLPNAME has the v701 place.
  stskvr_isinfo_v701_t& product = def.isid.info.v701;
  std::string_view value;
  int expected = 0;
  // Line feeds and NUL bytes end lines, so strchrnul finds a line's end in
  // one pass; the NUL after the text ends the final segment, which counts
  // as a line too. Empty lines are dropped.
  const char* const end = text + length;
  for (const char* start = text; start < end;) {
    const char* stop = strchrnul(start, '\n');
    const std::string_view line(start, static_cast<size_t>(stop - start));
    start = stop + 1;
    if (line.empty()) continue;
    const int key = MatchKey(line, expected, value);
    if (key != kUnknownKey) expected = key + 1;
    switch (key) {
      case kWriteCount: _convert_value(value, info.writeCount); break;
      case kBaseName: StoreText(def.basename, value); break;
      case kDate: StoreText(def.date, value); break;
      case kFullDate: StoreText(def.fulldate, value); break;
      case kPolicy: StoreText(def.policy, value); break;
      case kSaveAs: _convert_value(value, def.saveas); break;
      case kFormat: StoreText(def.format, value); break;
      case kFlags: _convert_value(value, def.flags); break;
      case kVersion: _convert_value(value, def.version); break;
      case kDpaId: StoreText(def.isid.dpaid, value); break;
      case kDpaVer: StoreText(def.isid.dpaver, value); break;
      case kMaster: StoreText(product.master, value); break;
      case kTime: _convert_value(value, product.time); break;
      case kCopy: _convert_value(value, product.copy); break;
      case kStream: _convert_value(value, product.stream); break;
      case kType: product.type = ConvertSigned(value); break;
      case kFragment: _convert_value(value, product.fragment); break;
      case kInstance: _convert_value(value, product.instance); break;
      case kClient: StoreText(product.client, value); break;
      case kSlpName: StoreText(product.slpname, value); break;
      case kSize: _convert_value(value, props.size); break;
      case kBlockSize: _convert_value(value, props.blocksize); break;
      case kStatus: _convert_value(value, props.status); break;
      default: break;  // no known key: the line is ignored
    }
  }
}
