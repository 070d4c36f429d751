#include "io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vadizu_tool {
namespace {

constexpr size_t kBufferAlignment = 4096;

bool IsStandardStream(int fd) {
  return fd == STDIN_FILENO || fd == STDOUT_FILENO;
}

}  // namespace

FileDescriptor::~FileDescriptor() { Close(); }

int FileDescriptor::Close() {
  int fd = fd_;
  fd_ = -1;
  if (fd < 0 || IsStandardStream(fd)) return 0;
  return close(fd);
}

ssize_t ReadFull(int fd, void* buf, size_t length,
                 const volatile sig_atomic_t* stop) {
  char* at = static_cast<char*>(buf);
  size_t done = 0;
  while (done < length) {
    ssize_t n = read(fd, at + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) break;
    if (errno != EINTR) return -1;
    if (stop != nullptr && *stop != 0) break;
  }
  return static_cast<ssize_t>(done);
}

bool WriteFull(int fd, const void* buf, size_t length) {
  const char* at = static_cast<const char*>(buf);
  while (length > 0) {
    ssize_t n = write(fd, at, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    at += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

uint64_t KnownSize(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

void FreeDeleter::operator()(void* p) const { std::free(p); }

Buffer AllocateBuffer(size_t size) {
  void* memory = nullptr;
  if (posix_memalign(&memory, kBufferAlignment, size) != 0) {
    throw std::bad_alloc();
  }
  return Buffer(static_cast<char*>(memory));
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace vadizu_tool
