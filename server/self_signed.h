// A throw-away TLS identity for trying the console out: an EC P-256 key and a certificate for
// 127.0.0.1 and localhost valid for 30 days, signed by itself.
#pragma once

#include <filesystem>
#include <memory>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace kivo::console {

struct SelfSigned {
  std::unique_ptr<X509, void (*)(X509*)> certificate{nullptr, X509_free};
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key{nullptr, EVP_PKEY_free};
};

// Makes the pair and writes the certificate as PEM to certificateOut (clients trust that file).
// Throws std::runtime_error.
SelfSigned makeSelfSigned(const std::filesystem::path& certificateOut);

}  // namespace kivo::console
