// SHA-256 of the bytes an image holds, through OpenSSL's EVP interface, so
// that put, get and verify can prove a restore without storing anything of
// their own in the LSU.
#ifndef VADIZU_TOOLS_DIGEST_H_
#define VADIZU_TOOLS_DIGEST_H_

#include <cstddef>
#include <memory>
#include <string>

namespace vadizu_tool {

// Owns one EVP digest context; feed it with Update, then read HexDigest
// once. Throws std::runtime_error when OpenSSL cannot set up the context.
class Sha256 final {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  void Update(const void* data, size_t length);
  // 64 lower-case hex digits of everything fed so far; ends the digest.
  std::string HexDigest();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// True for 64 hex digits, either case.
bool IsSha256Text(const std::string& text);
// The same digest, written by a person in either case, compared.
bool SameDigest(const std::string& a, const std::string& b);

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_DIGEST_H_
