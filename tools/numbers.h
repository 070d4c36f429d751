// Numbers typed on the command line: sizes with K, M and G suffixes and
// plain decimal counts, strict enough that " -1" or "0x10" is refused rather
// than read as something the user did not mean.
#ifndef VADIZU_TOOLS_NUMBERS_H_
#define VADIZU_TOOLS_NUMBERS_H_

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vadizu_tool {

// Bad usage; main prints it with a pointer to --help and exits with 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "1048576", "512K", "1M", "2G" (powers of 1024) to a byte count.
uint64_t ParseSize(const std::string& text, const char* option);

// A plain decimal number that fits 32 bits.
uint32_t ParseUnsigned32(const std::string& text, const char* option);

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_NUMBERS_H_
