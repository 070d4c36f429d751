// One open info file for the span of a single info operation: the
// descriptor, the one-byte exclusive lock on it and a copy of the session
// for log lines. The destructor syncs (when writable), releases the lock,
// closes the file, and removes a file it created whose first text was never
// written whole.
#ifndef VADIZU_INFO_VADIZUIMAGEINFOHANDLE_H_
#define VADIZU_INFO_VADIZUIMAGEINFOHANDLE_H_

#include <sys/types.h>

#include <memory>
#include <string>

#include "vadizu.h"

class ACE_File_Lock;

class VADIZUImageInfoHandle final {
 public:
  // pathName must outlive the handle; it is not copied.
  VADIZUImageInfoHandle(const std::string& pathName, bool create,
                        bool writable, sts_session_def_v7_t session);
  ~VADIZUImageInfoHandle();

  VADIZUImageInfoHandle(const VADIZUImageInfoHandle&) = delete;
  VADIZUImageInfoHandle& operator=(const VADIZUImageInfoHandle&) = delete;

  // Blocks until this process holds the write lock on the file's first
  // byte. A lock that cannot be taken is logged and the caller goes on.
  void Lock();
  void UnLock();

  // The open file's size. The first call looks at the file and refuses
  // anything but a regular file (a FIFO, directory or device named like an
  // info file) as a missing image. Readers call it when a read fails.
  off_t RegularFileSize();

  // The end of a file opened to be rewritten, which the rewrite must cover.
  // Called under the lock, after the read that refuses a FIFO.
  off_t EndForRewrite();

 private:
  friend class VADIZUImageInfo;  // reads m_FileHandle, sets m_RemoveOnClose

  int m_FileHandle;
  bool m_RemoveOnClose;
  bool m_Writable;
  sts_session_def_v7_t m_Session;
  const std::string& m_PathName;
  std::unique_ptr<ACE_File_Lock> m_FileLock;
  bool m_Locked;
  off_t m_Size;  // -1 until RegularFileSize has looked
};

#endif  // VADIZU_INFO_VADIZUIMAGEINFOHANDLE_H_
