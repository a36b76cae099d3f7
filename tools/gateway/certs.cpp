#include "certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace gw {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

bool write_pem(const std::string& path, EVP_PKEY* key, X509* cert, X509* issuer) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = key != nullptr
                ? PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1
                : PEM_write_X509(f, cert) == 1;
  if (ok && issuer != nullptr) ok = PEM_write_X509(f, issuer) == 1;
  return std::fclose(f) == 0 && ok;
}

Key read_key(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  EVP_PKEY* key = f != nullptr ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
  if (f != nullptr) std::fclose(f);
  return Key(key, EVP_PKEY_free);
}

Cert read_cert(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  X509* cert = f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
  if (f != nullptr) std::fclose(f);
  return Cert(cert, X509_free);
}

bool add_ext(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  const bool ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// "localhost,127.0.0.1" as "DNS:localhost,IP:127.0.0.1".
std::string alt_names(const std::string& names) {
  std::string out;
  for (std::size_t at = 0; at <= names.size();) {
    const std::size_t comma = std::min(names.find(',', at), names.size());
    const std::string one = names.substr(at, comma - at);
    const bool ip = !one.empty() && one.find_first_not_of("0123456789.") == std::string::npos;
    if (!one.empty()) out += (out.empty() ? "" : ",") + std::string(ip ? "IP:" : "DNS:") + one;
    at = comma + 1;
  }
  return out;
}

// A certificate for key, named cn, signed by issuerKey (itself when no issuer).
Cert make(EVP_PKEY* key, const std::string& cn, X509* issuer, EVP_PKEY* issuerKey,
          const CertSpec& spec, bool ca) {
  Cert cert(X509_new(), X509_free);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_set_version(cert.get(), 2);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(spec.fromDays) * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(spec.toDays) * 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  bool ok = add_ext(cert.get(), signer, NID_subject_key_identifier, "hash") &&
            add_ext(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  if (ca) {
    ok = ok && add_ext(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
         add_ext(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && add_ext(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
         add_ext(cert.get(), signer, NID_key_usage, "critical,digitalSignature") &&
         add_ext(cert.get(), signer, NID_ext_key_usage, spec.client ? "clientAuth" : "serverAuth");
    const std::string alt = alt_names(spec.names);
    if (!alt.empty()) ok = ok && add_ext(cert.get(), signer, NID_subject_alt_name, alt);
  }
  if (!ok || X509_sign(cert.get(), issuerKey, EVP_sha256()) == 0) cert.reset();
  return cert;
}

}  // namespace

bool make_certificate(const std::string& dir, const std::string& stem, const CertSpec& spec,
                      std::string* why) {
  const std::string caPem = dir + "/ca.pem", caKeyPem = dir + "/ca.key";
  Key caKey = read_key(caKeyPem);
  Cert ca = read_cert(caPem);
  if (caKey == nullptr || ca == nullptr) {
    caKey = Key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    CertSpec caSpec;
    caSpec.toDays = 3650;
    if (caKey != nullptr)
      ca = make(caKey.get(), "zelgateway CA " + dir, nullptr, caKey.get(), caSpec, true);
    if (ca == nullptr || !write_pem(caKeyPem, caKey.get(), nullptr, nullptr) ||
        !write_pem(caPem, nullptr, ca.get(), nullptr)) {
      *why = "the authority cannot be made in " + dir;
      return false;
    }
  }
  Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  const std::string cn = spec.names.substr(0, spec.names.find(','));
  Cert cert = key != nullptr ? make(key.get(), cn, ca.get(), caKey.get(), spec, false)
                             : Cert(nullptr, X509_free);
  if (cert == nullptr || !write_pem(dir + "/" + stem + ".key", key.get(), nullptr, nullptr) ||
      !write_pem(dir + "/" + stem + ".pem", nullptr, cert.get(), ca.get())) {
    *why = "the certificate " + stem + " cannot be made in " + dir;
    return false;
  }
  return true;
}

std::string public_key_pin(const std::string& pemFile) {
  const Cert cert = read_cert(pemFile);
  if (cert == nullptr) return "";
  unsigned char* der = nullptr;
  const int n = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert.get()), &der);
  unsigned char digest[32];
  unsigned int len = 0;
  const bool ok = n > 0 && EVP_Digest(der, static_cast<std::size_t>(n), digest, &len, EVP_sha256(),
                                      nullptr) == 1;
  OPENSSL_free(der);
  if (!ok) return "";
  unsigned char b64[64];
  const int m = EVP_EncodeBlock(b64, digest, static_cast<int>(len));
  return std::string(reinterpret_cast<const char*>(b64), static_cast<std::size_t>(m));
}

}  // namespace gw
