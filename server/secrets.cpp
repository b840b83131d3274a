#include "server/secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace kivo::console {
namespace {

std::string hex(const unsigned char* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

}  // namespace

std::string randomHex(size_t bytes) {
  std::vector<unsigned char> buffer(bytes);
  if (RAND_bytes(buffer.data(), static_cast<int>(bytes)) != 1) throw std::runtime_error("no random bytes");
  return hex(buffer.data(), bytes);
}

std::string saltedDigest(std::string_view saltHex, std::string_view secret) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
                  EVP_DigestUpdate(ctx, saltHex.data(), saltHex.size()) == 1 &&
                  EVP_DigestUpdate(ctx, secret.data(), secret.size()) == 1 &&
                  EVP_DigestFinal_ex(ctx, digest, &size) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok) throw std::runtime_error("SHA-256 failed");
  return hex(digest, size);
}

bool secretMatches(std::string_view saltHex, std::string_view digestHex, std::string_view secret) {
  const std::string computed = saltedDigest(saltHex, secret);
  return computed.size() == digestHex.size() && CRYPTO_memcmp(computed.data(), digestHex.data(), computed.size()) == 0;
}

}  // namespace kivo::console
