#include "platform/filename.h"

#include <cstring>

namespace {

constexpr char kReplacement = '_';

bool IsForbiddenInFileName(unsigned char c) {
  return c == '/' || (c >= 0x01 && c <= 0x1F) || c == 0x7F;
}

}  // namespace

void copy_terminated(char* dst, const char* src, size_t size) {
  if (size == 0) return;
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

void copy_terminated(char* dst, const std::string& src, size_t size) {
  if (size == 0) return;
  size_t n = src.size() < size - 1 ? src.size() : size - 1;
  memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

void replace_separators_in_filename(char* name) {
  for (char* p = name; *p != '\0'; ++p) {
    if (IsForbiddenInFileName(static_cast<unsigned char>(*p))) {
      *p = kReplacement;
    }
  }
}

void find_replace_chars_in_filename(char* name) {
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
    for (char* p = name; *p != '\0'; ++p) *p = kReplacement;
    return;
  }
  replace_separators_in_filename(name);
}
