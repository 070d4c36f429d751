// Host-platform string helpers the library relies on: bounded copies that
// always terminate, and the rewrite that turns an image's base name into one
// safe file name.
#ifndef VADIZU_PLATFORM_FILENAME_H_
#define VADIZU_PLATFORM_FILENAME_H_

#include <cstddef>
#include <string>

// Copies at most size - 1 characters of the NUL-terminated text src into dst
// and always terminates dst. Does nothing when size is 0.
void copy_terminated(char* dst, const char* src, size_t size);

// As above, for a std::string source (which may hold fewer than size chars).
void copy_terminated(char* dst, const std::string& src, size_t size);

// Rewrites, in place, '/' and control bytes (0x01-0x1F, 0x7F) as '_', so
// that a piece of a file name cannot name a directory or hide in a listing.
void replace_separators_in_filename(char* name);

// Rewrites, in place, the characters of a base name that may not stand in a
// file name directly inside the LSU directory:
//   - '/' and control bytes become '_' (replace_separators_in_filename);
//   - a name that is exactly "." or ".." becomes "_" or "__".
// The result never grows, so it fits the caller's buffer. Every other byte
// (including non-ASCII UTF-8) is kept. Two names that differ only in these
// characters therefore name the same image files. An empty name stays empty.
void find_replace_chars_in_filename(char* name);

#endif  // VADIZU_PLATFORM_FILENAME_H_
