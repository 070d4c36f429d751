#include "digest.h"

#include <openssl/evp.h>
#include <strings.h>

#include <cctype>
#include <stdexcept>

namespace vadizu_tool {

struct Sha256::Context {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : context_(new Context) {
  if (context_->md == nullptr ||
      EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("OpenSSL cannot compute SHA-256");
  }
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t length) {
  if (length > 0) EVP_DigestUpdate(context_->md, data, length);
}

std::string Sha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_->md, digest, &length);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xf];
  }
  return text;
}

bool IsSha256Text(const std::string& text) {
  if (text.size() != 64) return false;
  for (unsigned char c : text) {
    if (!std::isxdigit(c)) return false;
  }
  return true;
}

bool SameDigest(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace vadizu_tool
