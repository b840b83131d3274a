#include "server/self_signed.h"

#include <openssl/ec.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace kivo::console {
namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("self-signed certificate: ") + what);
}

void extend(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  check(ext != nullptr, "extension");
  const bool added = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  check(added, "extension");
}

}  // namespace

SelfSigned makeSelfSigned(const std::filesystem::path& certificateOut) {
  SelfSigned out;
  out.key.reset(EVP_EC_gen("P-256"));
  check(out.key != nullptr, "key");
  out.certificate.reset(X509_new());
  X509* cert = out.certificate.get();
  check(cert != nullptr, "certificate");
  X509_set_version(cert, 2);
  unsigned char serial[16];
  check(RAND_bytes(serial, sizeof serial) == 1, "serial");
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  check(bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)), "serial");
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600);
  X509_set_pubkey(cert, out.key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                             0);
  X509_set_issuer_name(cert, name);
  extend(cert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  extend(cert, NID_basic_constraints, "critical,CA:TRUE");
  extend(cert, NID_key_usage, "critical,digitalSignature,keyCertSign");
  check(X509_sign(cert, out.key.get(), EVP_sha256()) > 0, "signature");

  FILE* f = std::fopen(certificateOut.c_str(), "w");
  check(f != nullptr, "cannot write the certificate file");
  const bool written = PEM_write_X509(f, cert) == 1;
  check(std::fclose(f) == 0 && written, "cannot write the certificate file");
  return out;
}

}  // namespace kivo::console
