#include "error/VADIZUImageError.h"

#include <ace/OS_NS_string.h>

#include <cerrno>

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

std::string VADIZUImageError::ErrorCode(int code) {
  for (const NamedCode& named : kCodeNames) {
    if (named.code == code) return named.name;
  }
  return kUnknownCodeName;
}

sts_severity_v7_t VADIZUImageError::SeverityOf(int code) {
  return code == STS_ENOENT ? VADIZU_SEVERITY_INFO : VADIZU_SEVERITY_ERROR;
}

VADIZUImageException VADIZUImageError::Make(int code, const char* file,
                                            int line) {
  return VADIZUImageException{code, file, "", line, SeverityOf(code)};
}

std::string VADIZUImageError::SystemCallMessage(const char* call,
                                                const std::string& path,
                                                int error) {
  return std::string(call) + "() failed on image file " + path + " (" +
         ACE_OS::strerror(error) + ")";
}

std::string VADIZUImageError::SystemCallMessageWithNumber(
    const char* call, const std::string& path, int error) {
  return std::string(call) + "() failed on image file " + path + " (error=" +
         std::to_string(error) + ", " + ACE_OS::strerror(error) + ")";
}

void VADIZUImageError::Log(const sts_session_def_v7_t* session,
                           std::string message, sts_severity_v7_t severity) {
  if (session == nullptr || session->log_callback == nullptr) return;
  try {
    const std::string line = m_ProviderName + ": " + message;
    if ((session->log_mask & severity) == 0) return;
    session->log_callback(session->log_context, line.c_str(), severity);
  } catch (...) {
    // A line that cannot be built or delivered is dropped; logging never
    // changes the outcome of the call that logs.
  }
}

void VADIZUImageError::Log(const sts_session_def_v7_t* session,
                           const std::string& where,
                           const VADIZUImageException* exception) {
  if (session == nullptr || session->log_callback == nullptr) return;
  const sts_severity_v7_t severity =
      exception != nullptr ? exception->severity : VADIZU_SEVERITY_ERROR;
  // Test the mask before formatting: unwanted exceptions cost nothing.
  if ((session->log_mask & severity) == 0) return;
  try {
    std::string text = "Caught exception in " + where;
    if (exception != nullptr) {
      text += ", FILE=";
      text += exception->file;
      text += ", FUNCTION=";
      text += exception->function;
      text += ", LINE=" + std::to_string(exception->line);
      text += ", ERROR=" + ErrorCode(exception->code);
    }
    Log(session, std::move(text), severity);
  } catch (...) {
    // As above: a lost line never changes the status code.
  }
}
