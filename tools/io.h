// Plain file plumbing for the transfer commands: an owned descriptor, whole
// reads and writes that survive short counts, and a large aligned buffer.
#ifndef VADIZU_TOOLS_IO_H_
#define VADIZU_TOOLS_IO_H_

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vadizu_tool {

// Owns one descriptor and closes it, unless it is standard input or output.
class FileDescriptor final {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
  }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }
  // Closes now and reports the result, so a failed flush is not lost.
  int Close();

 private:
  int fd_;
};

// Fills buf with up to `length` bytes, fewer only at end of input. Stops
// early, with what it has, when a signal interrupts a read and *stop is
// non-zero. Returns the count, or -1 with errno set.
ssize_t ReadFull(int fd, void* buf, size_t length,
                 const volatile sig_atomic_t* stop = nullptr);

// Writes all `length` bytes; returns false with errno set on failure.
bool WriteFull(int fd, const void* buf, size_t length);

// Size of the regular file behind fd, or 0 when it is a pipe, a terminal or
// anything else whose length is not known in advance.
uint64_t KnownSize(int fd);

// Page-aligned memory for transfers of `size` bytes.
struct FreeDeleter {
  void operator()(void* p) const;
};
using Buffer = std::unique_ptr<char, FreeDeleter>;
Buffer AllocateBuffer(size_t size);

// strerror for messages.
std::string ErrorText(int error);

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_IO_H_
