// TLS with Schannel through SSPI, the system's own stack: nothing to ship, updated
// with Windows, client certificates from the store administrators manage. The
// records travel through net.cpp's bounded sends and receives; Schannel only
// turns bytes into records and back. The peer is checked here, not by Schannel
// (manual validation): its chain against the CA file or the system's roots, its
// name against the host, its public key against the pin. Sessions are resumed by
// Schannel's own cache, per credential and host. TLS 1.2 (the credential shape
// every Windows and Wine takes).
#define SECURITY_WIN32
#include "platform/tls.h"

// The Windows headers in the order they need.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
// clang-format on

#include <atomic>
#include <cstdio>
#include <cstring>

namespace plat {

namespace {

// A record is at most 16 KiB of data with its header and trailer; what arrives
// beyond the record being read waits in the same buffer.
constexpr std::size_t kRawRoom = 16384 + 2048 + 512;
// Links in use at once: every exchange in flight (at most 16), the life signal.
constexpr int kLinks = 20;
// The chain policy's checks left out (wininet.h's SECURITY_FLAG_IGNORE_*): the
// authority and the address are checked here, revocation lists are not fetched.
constexpr DWORD kIgnoreRevocation = 0x80;
constexpr DWORD kIgnoreUnknownCa = 0x100;
constexpr DWORD kIgnoreCommonName = 0x1000;

}  // namespace

struct TlsLink {
  std::atomic<bool> used{false};
  SOCKET s = INVALID_SOCKET;
  CtxtHandle ctx{};
  bool haveCtx = false;  // ctx holds a context to delete
  SecPkgContext_StreamSizes sizes{};
  TlsFault fault = TlsFault::None;
  std::size_t rawLen = 0;    // received bytes not yet decrypted
  std::size_t plainOff = 0;  // decrypted bytes not yet read: plain[plainOff, plainLen)
  std::size_t plainLen = 0;
  char raw[kRawRoom];
  char plain[16384 + 512];
  char out[kRawRoom];
};

namespace {

TlsLink g_links[kLinks];
CredHandle g_cred{};
bool g_haveCred = false;
HCERTSTORE g_ca = nullptr;  // the CA file's authorities, when one is given
PCCERT_CONTEXT g_clientCert = nullptr;
unsigned char g_pin[32];
bool g_pinned = false;

TlsLink* take_link() {
  for (TlsLink& l : g_links) {
    bool expected = false;
    if (l.used.compare_exchange_strong(expected, true)) {
      l.fault = TlsFault::None;
      l.rawLen = l.plainOff = l.plainLen = 0;
      l.haveCtx = false;
      return &l;
    }
  }
  return nullptr;
}

void give_back(TlsLink* l) {
  if (l->haveCtx) DeleteSecurityContext(&l->ctx);
  l->haveCtx = false;
  l->used.store(false);
}

// Reads what comes into the link's raw buffer, once, before the deadline.
Status read_more(TlsLink* l, std::int64_t deadline) {
  if (l->rawLen >= kRawRoom) return Status::Failed;  // a record larger than any record
  std::size_t got = 0;
  const Status r = net_recv(static_cast<SocketValue>(l->s), l->raw + l->rawLen,
                            kRawRoom - l->rawLen, ms_until(deadline), &got);
  if (r == Status::Ok) l->rawLen += got;
  return r;
}

// Keeps the bytes the last call left unused (SECBUFFER_EXTRA) at the front.
void keep_extra(TlsLink* l, const SecBuffer* buffers, int count) {
  for (int i = 0; i < count; ++i) {
    if (buffers[i].BufferType == SECBUFFER_EXTRA && buffers[i].cbBuffer <= l->rawLen) {
      std::memmove(l->raw, l->raw + (l->rawLen - buffers[i].cbBuffer), buffers[i].cbBuffer);
      l->rawLen = buffers[i].cbBuffer;
      return;
    }
  }
  l->rawLen = 0;
}

void describe(SECURITY_STATUS st, TlsPeer* peer) {
  std::snprintf(peer->detail, sizeof peer->detail, "SSPI 0x%08lx", static_cast<unsigned long>(st));
}

TlsFault handshake_fault(SECURITY_STATUS st) {
  switch (st) {
    case SEC_E_ALGORITHM_MISMATCH:
    case SEC_E_UNSUPPORTED_FUNCTION:
    case SEC_E_INVALID_TOKEN:
      return TlsFault::Protocol;
    case SEC_E_ILLEGAL_MESSAGE:  // an alert from the peer
    case SEC_E_CERT_UNKNOWN:
    case SEC_E_NO_CREDENTIALS:
      return TlsFault::Refused;
    default:
      return TlsFault::Other;
  }
}

std::int64_t unix_seconds(const FILETIME& ft) {
  const std::uint64_t t = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::int64_t>(t / 10000000ULL) - 11644473600LL;
}

bool sha256(const unsigned char* data, DWORD n, unsigned char digest[32]) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return false;
  BCRYPT_HASH_HANDLE h = nullptr;
  const bool ok = BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0) == 0 &&
                  BCryptHashData(h, const_cast<unsigned char*>(data), n, 0) == 0 &&
                  BCryptFinishHash(h, digest, 32, 0) == 0;
  if (h != nullptr) BCryptDestroyHash(h);
  BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}

bool pin_matches(PCCERT_CONTEXT cert) {
  unsigned char der[4096];
  DWORD n = sizeof der;
  unsigned char digest[32];
  return CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                           &cert->pCertInfo->SubjectPublicKeyInfo, der, &n) != 0 &&
         sha256(der, n, digest) && std::memcmp(digest, g_pin, 32) == 0;
}

// A dotted address: the certificate must hold it among its alternative names.
bool names_address(PCCERT_CONTEXT cert, const char* host, bool* isAddress) {
  unsigned char want[4];
  unsigned a = 0, b = 0, c = 0, d = 0;
  char tail = 0;
  *isAddress = std::sscanf(host, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) == 4 && a < 256 &&
               b < 256 && c < 256 && d < 256;
  if (!*isAddress) return false;
  want[0] = static_cast<unsigned char>(a);
  want[1] = static_cast<unsigned char>(b);
  want[2] = static_cast<unsigned char>(c);
  want[3] = static_cast<unsigned char>(d);
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                          cert->pCertInfo->rgExtension);
  if (ext == nullptr) return false;
  alignas(8) unsigned char buf[4096];
  DWORD n = sizeof buf;
  if (CryptDecodeObject(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                        ext->Value.cbData, 0, buf, &n) == 0) {
    return false;
  }
  const auto* names = reinterpret_cast<const CERT_ALT_NAME_INFO*>(buf);
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
    if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == 4 &&
        std::memcmp(e.IPAddress.pbData, want, 4) == 0) {
      return true;
    }
  }
  return false;
}

// Is the chain's root one of the CA file's?
bool rooted_in_ca(PCCERT_CHAIN_CONTEXT chain) {
  if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) return false;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(g_ca, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
  if (found == nullptr) return false;
  CertFreeCertificateContext(found);
  return true;
}

// The peer's certificate checked as OpenSSL checks it on the other build: its
// dates, its chain, its name.
TlsFault verify_peer(PCCERT_CONTEXT cert, const char* host, TlsPeer* peer) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  if (CompareFileTime(&now, &cert->pCertInfo->NotBefore) < 0) return TlsFault::NotYetValid;
  if (CompareFileTime(&now, &cert->pCertInfo->NotAfter) > 0) return TlsFault::Expired;

  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  HCERTSTORE extra = g_ca != nullptr ? g_ca : cert->hCertStore;
  if (!CertGetCertificateChain(nullptr, cert, nullptr, extra, &para, 0, nullptr, &chain)) {
    std::snprintf(peer->detail, sizeof peer->detail, "CertGetCertificateChain %lu",
                  static_cast<unsigned long>(GetLastError()));
    return TlsFault::Other;
  }
  const DWORD status = chain->TrustStatus.dwErrorStatus;
  const DWORD revocation = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  bool trusted = (status & ~revocation) == 0;
  if (g_ca != nullptr) {
    // The CA file alone is trusted, as on the other build: its root is accepted
    // although the system does not know it, and no other root is.
    trusted = (status & ~(revocation | CERT_TRUST_IS_UNTRUSTED_ROOT)) == 0 && rooted_in_ca(chain);
  }
  TlsFault fault = TlsFault::None;
  if (!trusted) {
    fault = TlsFault::UnknownIssuer;
    std::snprintf(peer->detail, sizeof peer->detail, "cadena 0x%08lx",
                  static_cast<unsigned long>(status));
  } else {
    bool isAddress = false;
    const bool addressNamed = names_address(cert, host, &isAddress);
    wchar_t wide[256];
    if (MultiByteToWideChar(CP_ACP, 0, host, -1, wide, 256) == 0) wide[0] = L'\0';
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = kIgnoreUnknownCa | kIgnoreRevocation;
    if (isAddress) ssl.fdwChecks |= kIgnoreCommonName;
    ssl.pwszServerName = wide;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS result{};
    result.cbSize = sizeof result;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result)) {
      fault = TlsFault::Other;
    } else if (result.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH) ||
               (isAddress && !addressNamed)) {
      fault = TlsFault::NameMismatch;
    } else if (result.dwError != 0) {
      fault = TlsFault::Other;
      std::snprintf(peer->detail, sizeof peer->detail, "directiva 0x%08lx",
                    static_cast<unsigned long>(result.dwError));
    }
  }
  CertFreeCertificateChain(chain);
  if (fault == TlsFault::None && g_pinned && !pin_matches(cert)) fault = TlsFault::PinMismatch;
  return fault;
}

constexpr DWORD kFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                         ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                         ISC_REQ_MANUAL_CRED_VALIDATION;

// Sends the token a call produced, and frees it.
Status send_token(TlsLink* l, SecBuffer* token, std::int64_t deadline) {
  Status r = Status::Ok;
  if (token->pvBuffer != nullptr) {
    if (token->cbBuffer > 0) {
      r = net_send_all(static_cast<SocketValue>(l->s), static_cast<const char*>(token->pvBuffer),
                       token->cbBuffer, deadline);
    }
    FreeContextBuffer(token->pvBuffer);
    token->pvBuffer = nullptr;
  }
  return r;
}

// The handshake's exchange of tokens, until Schannel has a context.
Status negotiate(TlsLink* l, char* target, std::int64_t deadline, TlsPeer* peer) {
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  DWORD attrs = 0;
  SECURITY_STATUS st = InitializeSecurityContextA(&g_cred, nullptr, target, kFlags, 0, 0, nullptr,
                                                  0, &l->ctx, &outDesc, &attrs, nullptr);
  l->haveCtx = st == SEC_I_CONTINUE_NEEDED;
  if (st != SEC_I_CONTINUE_NEEDED) {
    describe(st, peer);
    peer->fault = TlsFault::Other;
    return Status::Failed;
  }
  Status r = send_token(l, &out, deadline);
  bool needInput = true;
  while (r == Status::Ok) {
    if (needInput) {
      r = read_more(l, deadline);
      if (r != Status::Ok) break;
    }
    SecBuffer in[2] = {{static_cast<unsigned long>(l->rawLen), SECBUFFER_TOKEN, l->raw},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    out = SecBuffer{0, SECBUFFER_TOKEN, nullptr};
    st = InitializeSecurityContextA(&g_cred, &l->ctx, target, kFlags, 0, 0, &inDesc, 0, nullptr,
                                    &outDesc, &attrs, nullptr);
    if (st == SEC_E_INCOMPLETE_MESSAGE) {
      needInput = true;
      continue;
    }
    // A token to send comes with success and with some failures (an alert).
    const Status sent = send_token(l, &out, deadline);
    if (st == SEC_E_OK) {
      keep_extra(l, in, 2);
      return sent;
    }
    if (st == SEC_I_CONTINUE_NEEDED) {
      keep_extra(l, in, 2);
      needInput = l->rawLen == 0;
      r = sent;
      continue;
    }
    if (st == SEC_I_INCOMPLETE_CREDENTIALS) {
      // The peer asks for a client certificate and none is set: go on without.
      needInput = false;
      r = sent;
      continue;
    }
    describe(st, peer);
    peer->fault = handshake_fault(st);
    return Status::Failed;
  }
  if (r == Status::TimedOut) peer->fault = TlsFault::TimedOut;
  if (r == Status::Closed) peer->fault = TlsFault::Closed;
  if (r == Status::Failed) peer->fault = TlsFault::Other;
  return r;
}

bool read_file(const char* path, unsigned char* buf, DWORD cap, DWORD* n) {
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = ReadFile(h, buf, cap, n, nullptr) != 0 && *n < cap;
  CloseHandle(h);
  return ok;
}

// The authorities of a PEM file, each "-----BEGIN CERTIFICATE-----" block.
bool load_ca(const char* path, char* why, std::size_t cap) {
  static unsigned char text[256 * 1024];
  DWORD n = 0;
  if (!read_file(path, text, sizeof text, &n)) {
    std::snprintf(why, cap, "ZELCLIENT_TLS_CA %s: no se puede leer", path);
    return false;
  }
  text[n] = '\0';
  g_ca = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  int count = 0;
  const char* begin = reinterpret_cast<const char*>(text);
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static const char kEnd[] = "-----END CERTIFICATE-----";
  while (g_ca != nullptr && (begin = std::strstr(begin, kBegin)) != nullptr) {
    const char* end = std::strstr(begin, kEnd);
    if (end == nullptr) break;
    end += sizeof kEnd - 1;
    static unsigned char der[16384];
    DWORD derLen = sizeof der;
    if (CryptStringToBinaryA(begin, static_cast<DWORD>(end - begin), CRYPT_STRING_BASE64HEADER, der,
                             &derLen, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(g_ca, X509_ASN_ENCODING, der, derLen,
                                         CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      ++count;
    }
    begin = end;
  }
  if (count == 0) {
    std::snprintf(why, cap, "ZELCLIENT_TLS_CA %s: ningun certificado PEM", path);
    return false;
  }
  return true;
}

bool is_thumbprint(const char* text) {
  if (std::strlen(text) != 40) return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (std::strchr("0123456789abcdefABCDEF", *p) == nullptr) return false;
  }
  return true;
}

// The client's certificate: a thumbprint in the machine's store, or a PFX file
// (key: its password).
bool load_client_cert(const char* cert, const char* key, char* why, std::size_t cap) {
  if (is_thumbprint(cert)) {
    unsigned char hash[20];
    for (int i = 0; i < 20; ++i) {
      unsigned v = 0;
      std::sscanf(cert + 2 * i, "%2x", &v);
      hash[i] = static_cast<unsigned char>(v);
    }
    CRYPT_HASH_BLOB blob{20, hash};
    for (DWORD where : {static_cast<DWORD>(CERT_SYSTEM_STORE_LOCAL_MACHINE),
                        static_cast<DWORD>(CERT_SYSTEM_STORE_CURRENT_USER)}) {
      HCERTSTORE store =
          CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, where | CERT_STORE_READONLY_FLAG, "MY");
      if (store == nullptr) continue;
      g_clientCert = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH,
                                                &blob, nullptr);
      CertCloseStore(store, 0);
      if (g_clientCert != nullptr) return true;
    }
    std::snprintf(why, cap, "ZELCLIENT_TLS_CERT %s: no esta en el almacen MY del equipo", cert);
    return false;
  }
  static unsigned char pfx[64 * 1024];
  DWORD n = 0;
  if (!read_file(cert, pfx, sizeof pfx, &n)) {
    std::snprintf(why, cap, "ZELCLIENT_TLS_CERT %s: no se puede leer", cert);
    return false;
  }
  CRYPT_DATA_BLOB blob{n, pfx};
  if (!PFXIsPFXBlob(&blob)) {
    std::snprintf(why, cap,
                  "ZELCLIENT_TLS_CERT %s: en Windows, un archivo PFX o la huella de un "
                  "certificado del almacen",
                  cert);
    return false;
  }
  wchar_t password[256] = L"";
  if (key != nullptr && MultiByteToWideChar(CP_ACP, 0, key, -1, password, 256) == 0) {
    password[0] = L'\0';
  }
  HCERTSTORE store = PFXImportCertStore(&blob, password, CRYPT_USER_KEYSET);
  if (store == nullptr) {
    std::snprintf(why, cap, "ZELCLIENT_TLS_CERT %s: no se abre con ZELCLIENT_TLS_KEY (%lu)", cert,
                  static_cast<unsigned long>(GetLastError()));
    return false;
  }
  // The certificate that has its key.
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
    DWORD size = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
      g_clientCert = CertDuplicateCertificateContext(c);
      CertFreeCertificateContext(c);
      break;
    }
  }
  if (g_clientCert == nullptr) {
    std::snprintf(why, cap, "ZELCLIENT_TLS_CERT %s: ningun certificado con su clave", cert);
    return false;
  }
  return true;
}

}  // namespace

bool tls_client_setup(const TlsClientSettings& settings, char* why, std::size_t cap) {
  if (settings.caFile != nullptr && settings.caFile[0] != '\0' &&
      !load_ca(settings.caFile, why, cap)) {
    return false;
  }
  if (settings.cert != nullptr && settings.cert[0] != '\0' &&
      !load_client_cert(settings.cert, settings.key, why, cap)) {
    return false;
  }
  g_pinned = settings.pin != nullptr && settings.pin[0] != '\0';
  if (g_pinned && !tls_pin_parse(settings.pin, g_pin)) {
    std::snprintf(why, cap, "ZELCLIENT_TLS_PIN %s: no es un SHA-256 (64 hex o 44 base64)",
                  settings.pin);
    return false;
  }
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  if (g_clientCert != nullptr) {
    cred.cCreds = 1;
    cred.paCred = &g_clientCert;
  }
  TimeStamp expiry;
  const SECURITY_STATUS st =
      AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                nullptr, &cred, nullptr, nullptr, &g_cred, &expiry);
  if (st != SEC_E_OK) {
    std::snprintf(why, cap, "Schannel no da credenciales (SSPI 0x%08lx)",
                  static_cast<unsigned long>(st));
    return false;
  }
  g_haveCred = true;
  return true;
}

bool tls_server_setup(const char*, const char*, const char*, char* why, std::size_t cap) {
  std::snprintf(why, cap, "the gateway simulator serves TLS on Linux only");
  return false;
}

Status tls_connect(SocketValue s, const char* host, int, std::int32_t timeoutMs, TlsLink** link,
                   TlsPeer* peer) {
  *link = nullptr;
  *peer = TlsPeer{};
  TlsLink* l = g_haveCred ? take_link() : nullptr;
  if (l == nullptr) {
    peer->fault = TlsFault::Other;
    return Status::Failed;
  }
  l->s = static_cast<SOCKET>(s);
  const std::int64_t deadline = monotonic_ms() + timeoutMs;
  char target[256];
  std::snprintf(target, sizeof target, "%s", host);
  Status r = negotiate(l, target, deadline, peer);
  PCCERT_CONTEXT cert = nullptr;
  if (r == Status::Ok &&
      QueryContextAttributesA(&l->ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK) {
    cert = nullptr;
    peer->fault = TlsFault::Other;
    std::snprintf(peer->detail, sizeof peer->detail, "sin certificado del gateway");
    r = Status::Failed;
  }
  if (cert != nullptr) {
    peer->notAfter = unix_seconds(cert->pCertInfo->NotAfter);
    peer->fault = verify_peer(cert, host, peer);
    CertFreeCertificateContext(cert);
    if (peer->fault != TlsFault::None) r = Status::Failed;
  }
  if (r == Status::Ok &&
      QueryContextAttributesA(&l->ctx, SECPKG_ATTR_STREAM_SIZES, &l->sizes) != SEC_E_OK) {
    peer->fault = TlsFault::Other;
    r = Status::Failed;
  }
  if (r != Status::Ok) {
    give_back(l);
    return r;
  }
  SecPkgContext_SessionInfo info{};
  peer->resumed = QueryContextAttributesA(&l->ctx, SECPKG_ATTR_SESSION_INFO, &info) == SEC_E_OK &&
                  (info.dwFlags & SSL_SESSION_RECONNECT) != 0;
  *link = l;
  return Status::Ok;
}

Status tls_accept(SocketValue, std::int32_t, TlsLink** link, TlsPeer* peer) {
  *link = nullptr;
  peer->fault = TlsFault::Other;
  return Status::Failed;
}

Status tls_send(TlsLink* l, const void* data, std::size_t n, std::int32_t timeoutMs,
                std::size_t* sent) {
  *sent = 0;
  if (l == nullptr) return Status::BadHandle;
  const std::size_t room = sizeof l->out - l->sizes.cbHeader - l->sizes.cbTrailer;
  std::size_t chunk = n < l->sizes.cbMaximumMessage ? n : l->sizes.cbMaximumMessage;
  if (chunk > room) chunk = room;
  char* body = l->out + l->sizes.cbHeader;
  std::memcpy(body, data, chunk);
  SecBuffer b[4] = {{l->sizes.cbHeader, SECBUFFER_STREAM_HEADER, l->out},
                    {static_cast<unsigned long>(chunk), SECBUFFER_DATA, body},
                    {l->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, body + chunk},
                    {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
  if (EncryptMessage(&l->ctx, 0, &desc, 0) != SEC_E_OK) return Status::Failed;
  const Status r =
      net_send_all(static_cast<SocketValue>(l->s), l->out,
                   b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer, monotonic_ms() + timeoutMs);
  if (r == Status::Ok) *sent = chunk;
  return r;
}

Status tls_recv(TlsLink* l, void* dest, std::size_t n, std::int32_t timeoutMs, std::size_t* got) {
  *got = 0;
  if (l == nullptr) return Status::BadHandle;
  const std::int64_t deadline = monotonic_ms() + timeoutMs;
  while (l->plainOff == l->plainLen) {
    SECURITY_STATUS st = SEC_E_INCOMPLETE_MESSAGE;
    SecBuffer b[4];
    if (l->rawLen > 0) {
      b[0] = {static_cast<unsigned long>(l->rawLen), SECBUFFER_DATA, l->raw};
      b[1] = b[2] = b[3] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
      st = DecryptMessage(&l->ctx, &desc, 0, nullptr);
    }
    if (st == SEC_E_INCOMPLETE_MESSAGE) {
      const Status r = read_more(l, deadline);
      if (r != Status::Ok) return r;
      continue;
    }
    if (st == SEC_I_CONTEXT_EXPIRED) return Status::Closed;  // the peer's close_notify
    if (st != SEC_E_OK) {
      l->fault = handshake_fault(st);
      return Status::Failed;
    }
    for (const SecBuffer& x : b) {
      if (x.BufferType == SECBUFFER_DATA && x.cbBuffer <= sizeof l->plain) {
        std::memcpy(l->plain, x.pvBuffer, x.cbBuffer);
        l->plainOff = 0;
        l->plainLen = x.cbBuffer;
      }
    }
    keep_extra(l, b, 4);
  }
  const std::size_t k = n < l->plainLen - l->plainOff ? n : l->plainLen - l->plainOff;
  std::memcpy(dest, l->plain + l->plainOff, k);
  l->plainOff += k;
  *got = k;
  return Status::Ok;
}

TlsFault tls_fault(const TlsLink* link) {
  return link != nullptr ? link->fault : TlsFault::None;
}

bool tls_pending(const TlsLink* link) {
  return link != nullptr && (link->plainOff < link->plainLen || link->rawLen > 0);
}

void tls_close(TlsLink* l) {
  if (l == nullptr) return;
  // close_notify, once, without waiting for the peer's.
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer in{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in};
  if (ApplyControlToken(&l->ctx, &inDesc) == SEC_E_OK) {
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    DWORD attrs = 0;
    InitializeSecurityContextA(&g_cred, &l->ctx, nullptr, kFlags, 0, 0, nullptr, 0, nullptr,
                               &outDesc, &attrs, nullptr);
    send_token(l, &out, monotonic_ms() + 100);
  }
  give_back(l);
}

}  // namespace plat
