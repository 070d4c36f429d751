#include "error/VADIZUImageError.h"

#include <ace/OS_NS_string.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

struct NamedCode {
  int code;
  const char* name;
};

// STS_EIMGSTATE (2060041) deliberately has no name here: hosts know it only
// by number, and its log lines show the unknown name.
constexpr NamedCode kCodeNames[] = {
    {STS_EOK, "STS_EOK"},
    {STS_EINVAL, "STS_EINVAL"},
    {STS_EMALLOC, "STS_EMALLOC"},
    {STS_EASYNCOPS, "STS_EASYNCOPS"},
    {STS_EASYNCDATA, "STS_EASYNCDATA"},
    {STS_EBUSY, "STS_EBUSY"},
    {STS_EEXIST, "STS_EEXIST"},
    {STS_ECLIENTVERSION, "STS_ECLIENTVERSION"},
    {STS_EPLUGINVERSION, "STS_EPLUGINVERSION"},
    {STS_ECLAIM, "STS_ECLAIM"},
    {STS_EINIT, "STS_EINIT"},
    {STS_EOFFSET, "STS_EOFFSET"},
    {STS_EAGAIN, "STS_EAGAIN"},
    {STS_ENOENT, "STS_ENOENT"},
    {STS_EABORT, "STS_EABORT"},
    {STS_ESAVEAS, "STS_ESAVEAS"},
    {STS_ENOTSUP, "STS_ENOTSUP"},
    {STS_ESYS, "STS_ESYS"},
    {STS_EFNOTFOUND, "STS_EFNOTFOUND"},
    {STS_ESOCKET, "STS_ESOCKET"},
    {STS_ECONNECT, "STS_ECONNECT"},
    {STS_EPROTO, "STS_EPROTO"},
    {STS_EINTERNAL, "STS_EINTERNAL"},
    {STS_ESHUTDOWN, "STS_ESHUTDOWN"},
    {STS_EINTERFACE, "STS_EINTERFACE"},
    {STS_ECLIENT, "STS_ECLIENT"},
    {STS_ESERVER, "STS_ESERVER"},
    {STS_ESTARTFILE, "STS_ESTARTFILE"},
    {STS_EDNS, "STS_EDNS"},
    {STS_EAUTH, "STS_EAUTH"},
    {STS_EIMGOVERLAP, "STS_EIMGOVERLAP"},
    {STS_ENOSPC, "STS_ENOSPC"},
    {STS_EPERM, "STS_EPERM"},
    {STS_EFILESYSTEM, "STS_EFILESYSTEM"},
};

// The misspelling is what hosts have always seen in their logs.
constexpr char kUnknownCodeName[] = "STS_UNKOWN";

}  // namespace

const std::string VADIZUImageError::m_ProviderName = "ROZOvareDuzaruv";

int VADIZUImageError::SysErrorToStsError(int error) {
  switch (error) {
    case EPERM:
    case EACCES:
      return STS_EPERM;
    case ENOENT:
      return STS_ENOENT;
    case EEXIST:
      return STS_EEXIST;
    case ENFILE:
    case EMFILE:
    case EFBIG:
      return STS_EFILESYSTEM;
    case ENOSPC:
    case EDQUOT:
      return STS_ENOSPC;
    default:
      return STS_ESYS;
  }
}

sts_severity_v7_t VADIZUImageError::SeverityOf(int code) {
  return code == STS_ENOENT ? VADIZU_SEVERITY_INFO : VADIZU_SEVERITY_ERROR;
}

VADIZUImageException VADIZUImageError::Make(int code, const char* file,
                                            int line) {
  return VADIZUImageException{code, file, "", line, SeverityOf(code)};
}

namespace {

// Room for the longest line the library sends: an LSU path and an image
// name of up to 1023 characters each, a date and a system error text. A
// longer line is cut, never spilled.
constexpr size_t kMaxLine = 4096;

const char* CodeName(int code) {
  for (const NamedCode& named : kCodeNames) {
    if (named.code == code) return named.name;
  }
  return kUnknownCodeName;
}

bool Wants(const sts_session_def_v7_t* session, sts_severity_v7_t severity) {
  return session != nullptr && session->log_callback != nullptr &&
         (session->log_mask & severity) != 0;
}

// Formats "<provider>: " and the message into a buffer on the stack and
// hands it to the host: nothing to allocate, so nothing to fail for want of
// memory. A callback that throws loses its line and nothing else.
__attribute__((format(printf, 3, 4))) void Send(
    const sts_session_def_v7_t* session, sts_severity_v7_t severity,
    const char* format, ...) noexcept {
  if (!Wants(session, severity)) return;
  char line[kMaxLine];
  const int prefix = snprintf(line, sizeof(line), "%s: ",
                              VADIZUImageError::m_ProviderName.c_str());
  if (prefix < 0 || static_cast<size_t>(prefix) >= sizeof(line)) return;
  va_list args;
  va_start(args, format);
  vsnprintf(line + prefix, sizeof(line) - prefix, format, args);
  va_end(args);
  try {
    session->log_callback(session->log_context, line, severity);
  } catch (...) {
    // Logging never changes the outcome of the call that logs.
  }
}

}  // namespace

std::string VADIZUImageError::ErrorCode(int code) { return CodeName(code); }

void VADIZUImageError::LogSystemCall(const sts_session_def_v7_t* session,
                                     const char* call, const std::string& path,
                                     int error,
                                     sts_severity_v7_t severity) noexcept {
  LogSystemCall(session, call, path, ACE_OS::strerror(error), severity);
}

void VADIZUImageError::LogSystemCall(const sts_session_def_v7_t* session,
                                     const char* call, const std::string& path,
                                     const char* text,
                                     sts_severity_v7_t severity) noexcept {
  Send(session, severity, "%s() failed on image file %s (%s)", call,
       path.c_str(), text);
}

void VADIZUImageError::LogSystemCallWithNumber(
    const sts_session_def_v7_t* session, const char* call,
    const std::string& path, int error, sts_severity_v7_t severity) noexcept {
  Send(session, severity, "%s() failed on image file %s (error=%d, %s)", call,
       path.c_str(), error, ACE_OS::strerror(error));
}

void VADIZUImageError::Log(const sts_session_def_v7_t* session,
                           const char* message,
                           sts_severity_v7_t severity) noexcept {
  Send(session, severity, "%s", message != nullptr ? message : "");
}

void VADIZUImageError::Log(const sts_session_def_v7_t* session,
                           const char* where,
                           const VADIZUImageException* exception) noexcept {
  if (where == nullptr) where = "";
  if (exception == nullptr) {
    Send(session, VADIZU_SEVERITY_ERROR, "Caught exception in %s", where);
    return;
  }
  Send(session, exception->severity,
       "Caught exception in %s, FILE=%s, FUNCTION=%s, LINE=%d, ERROR=%s", where,
       exception->file, exception->function, exception->line,
       CodeName(exception->code));
}
