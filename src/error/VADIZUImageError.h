// Status codes, the library's exception record, and the only road to the
// host's log callback. Every failure inside the library is thrown as a
// VADIZUImageException; the manager's operation frame turns it into the
// status code an exported function returns.
#ifndef VADIZU_ERROR_VADIZUIMAGEERROR_H_
#define VADIZU_ERROR_VADIZUIMAGEERROR_H_

#include <string>

#include "vadizu.h"

// A plain record, copied by value; it owns nothing. `file` and `function`
// point at static strings.
struct VADIZUImageException {
  int code;
  const char* file;
  const char* function;
  int line;
  sts_severity_v7_t severity;
};

class VADIZUImageError final {
 public:
  VADIZUImageError() = delete;

  // Status code for an operating-system error number.
  static int SysErrorToStsError(int error);

  // Name of a status code as it appears after "ERROR=" in log lines.
  static std::string ErrorCode(int code);

  // Severity the library reports an exception with: 1 for STS_ENOENT,
  // 4 for every other code.
  static sts_severity_v7_t SeverityOf(int code);

  // Builds an exception for `code` thrown at file:line with the severity
  // SeverityOf gives.
  static VADIZUImageException Make(int code, const char* file, int line);

  // Logs "<call>() failed on image file <path> (<text>)", the line every
  // failed system call on an image's files is reported with.
  static void LogSystemCall(const sts_session_def_v7_t* session,
                            const char* call, const std::string& path,
                            int error, sts_severity_v7_t severity) noexcept;
  // The same with a text of the caller's in place of the system's.
  static void LogSystemCall(const sts_session_def_v7_t* session,
                            const char* call, const std::string& path,
                            const char* text,
                            sts_severity_v7_t severity) noexcept;

  // The same with the number in front of the text: "(error=<n>, <text>)".
  static void LogSystemCallWithNumber(const sts_session_def_v7_t* session,
                                      const char* call,
                                      const std::string& path, int error,
                                      sts_severity_v7_t severity) noexcept;

  // Sends "<provider>: <message>" to the session's callback when the
  // session's log mask shares a bit with `severity`. The log functions
  // build their lines in fixed buffers: they never allocate and never throw,
  // so they are safe in every failure path, out of memory included.
  static void Log(const sts_session_def_v7_t* session, const char* message,
                  sts_severity_v7_t severity) noexcept;

  // Reports a caught exception (null when it was of another type) on behalf
  // of the function named `where`.
  static void Log(const sts_session_def_v7_t* session, const char* where,
                  const VADIZUImageException* exception) noexcept;

  static const std::string m_ProviderName;
};

// Throws a VADIZUImageException naming the current source file and line.
// Every translation unit that throws defines `kSourceFile` for it.
#define VADIZU_THROW(code) \
  throw VADIZUImageError::Make((code), kSourceFile, __LINE__)

#endif  // VADIZU_ERROR_VADIZUIMAGEERROR_H_
