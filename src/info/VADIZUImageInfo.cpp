// The info object's life: construction, the names of an image's files, and
// the status protocol kept in the info file (create, mark a writer, resize,
// clear, delete).
#include "info/VADIZUImageInfo.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  SetPathNames(def);
  if (mode == BDImageModeCreate || mode == BDImageModeCreateFlagged) {
    CreateImageInfo();
  } else {
    SetImageStatus();
  }
}

VADIZUImageInfo::VADIZUImageInfo(const char* server,
                                 const sts_session_def_v7_t* session,
                                 const sts_lsu_name_v7_t* lsu,
                                 const std::string& infoPath)
    : m_Mode(BDImageModeNone) {
  SetCommonFields(server, session, lsu);
  SetPathNames(infoPath);
  ReadUnlocked();
  m_Legacy = m_Info.properties.def.flags == LegacyFlags;
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
  m_InfoPathName = infoPath;
  m_BasePathName = infoPath.substr(0, infoPath.size() - suffixLength);
}

// ------------------------------------------------------- status protocol

void VADIZUImageInfo::ReadUnlocked() {
  VADIZUImageInfoHandle handle(m_InfoPathName, false, false, m_Session);
  Read(handle);
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

void VADIZUImageInfo::SetImageStatus() {
  if (!IsWriteMode(m_Mode)) {
    ReadUnlocked();
    if (m_Mode == BDImageModeRead) m_Info.properties.status |= StatusReading;
    return;
  }
  VADIZUImageInfoHandle handle(m_InfoPathName, false, true, m_Session);
  handle.Lock();
  Read(handle);
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
  try {
    VADIZUImageError::Log(
        &session, VADIZUImageError::SystemCallMessage("unlink", path, error),
        code == STS_ENOENT ? VADIZU_SEVERITY_WARNING : VADIZU_SEVERITY_ERROR);
  } catch (...) {
    // The message could not be built; the code still tells the caller.
  }
  return code;
}
