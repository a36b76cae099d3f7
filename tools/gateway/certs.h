// Certificates for the simulator's TLS and the tests (Linux, OpenSSL): an
// authority of a run's own and the certificates it signs, as PEM files in one
// folder, valid, expired or not yet valid, for the names asked.
#pragma once

#include <string>

namespace gw {

struct CertSpec {
  std::string names = "localhost,127.0.0.1";  // DNS names and addresses, comma-separated
  int fromDays = -1;                          // valid from now + fromDays
  int toDays = 30;                            // ... until now + toDays
  bool client = false;                        // a client's certificate, not a server's
};

// Makes dir/ca.pem and dir/ca.key once (an existing pair is used as it is), then
// dir/STEM.pem (the certificate, followed by the authority's) and dir/STEM.key,
// signed by it. false with the reason in *why.
bool make_certificate(const std::string& dir, const std::string& stem, const CertSpec& spec,
                      std::string* why);

// The SHA-256 of the public key (SubjectPublicKeyInfo) of the certificate in a
// PEM file, in base64, as ZELCLIENT_TLS_PIN takes it; "" when it cannot be read.
std::string public_key_pin(const std::string& pemFile);

}  // namespace gw
