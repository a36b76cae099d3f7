#include "client/inflight.h"

#include <cstring>

#include "log/log.h"

namespace {

constexpr const char* kRecordFile = "zelencurso.dat";
constexpr char kMagic[4] = {'Z', 'E', 'L', '1'};
constexpr std::size_t kSlotSize = 4096;  // one per terminal, at index * kSlotSize

// A place of the record: this header, then the answer, the journal's request and
// the number, each of the length the header gives.
struct Header {
  char magic[4];
  std::uint32_t checksum;  // of the header (this field 0) and the texts after it
  std::uint64_t request;   // the request's checksum
  std::uint8_t recorded;   // Recorded
  std::uint8_t kind;       // Decision::Kind
  std::uint8_t cause;      // Cause
  std::uint8_t inPlace;    // a decided answer's request could not be removed
  std::int32_t year;       // a local answer's place in the sequence
  std::int64_t number;
  std::uint16_t textLength, journalLength, numberLength;
  char terminal[kTerminalNameMax + 1];
  char pad[10];
};
static_assert(sizeof(Header) == 64);
static_assert(sizeof(Header) + 2 * kRequestCapacity + 40 <= kSlotSize);

std::uint32_t fnv32(const char* p, std::size_t n, std::uint32_t h = 2166136261u) {
  for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 16777619u;
  return h;
}

// The place's bytes: the header and the texts, its checksum set. Its length.
std::size_t seal(char* slot) {
  Header h;
  std::memcpy(&h, slot, sizeof h);
  const std::size_t n = sizeof h + h.textLength + h.journalLength + h.numberLength;
  h.checksum = 0;
  std::memcpy(slot, &h, sizeof h);
  h.checksum = fnv32(slot, n);
  std::memcpy(slot, &h, sizeof h);
  return n;
}

// A place read back: false unless whole and sealed.
bool unseal(const char* slot, Header& h) {
  std::memcpy(&h, slot, sizeof h);
  if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.textLength > kRequestCapacity ||
      h.journalLength > kRequestCapacity || h.numberLength > 40 ||
      h.terminal[kTerminalNameMax] != '\0') {
    return false;
  }
  const std::size_t n = sizeof h + h.textLength + h.journalLength + h.numberLength;
  char copy[kSlotSize];
  std::memcpy(copy, slot, n);
  Header zeroed = h;
  zeroed.checksum = 0;
  std::memcpy(copy, &zeroed, sizeof zeroed);
  return fnv32(copy, n) == h.checksum;
}

Header header_for(const ZELClient& client, int index, Recorded recorded) {
  Header h{};
  std::memcpy(h.magic, kMagic, sizeof kMagic);
  h.recorded = static_cast<std::uint8_t>(recorded);
  h.request = client.terminals[index].request;
  std::memcpy(h.terminal, client.config.terminals[index].c_str(),
              client.config.terminals[index].size());
  return h;
}

bool write_slot(ZELClient& client, int index, const char* slot, std::size_t n) {
  if (client.inflight == plat::kNoFile) return false;
  return client.files->write_at(client.inflight, static_cast<std::uint64_t>(index) * kSlotSize,
                                slot, n) == plat::Status::Ok;
}

// A decided answer read back into the terminal's decision.
void restore(const Header& h, const char* slot, Decision& d) {
  const char* text = slot + sizeof h;
  d = Decision{};
  d.kind = static_cast<Decision::Kind>(h.kind);
  d.cause = static_cast<Cause>(h.cause);
  d.text.assign(std::string_view(text, h.textLength));
  d.journal.assign(std::string_view(text + h.textLength, h.journalLength));
  d.number.assign(std::string_view(text + h.textLength + h.journalLength, h.numberLength));
  d.taken.year = h.year;
  d.taken.number = h.number;
}

}  // namespace

std::uint64_t zc::request_checksum(std::string_view request) {
  std::uint64_t h = 14695981039346656037ull;
  for (const char c : request) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return h;
}

void zc::inflight_open(ZELClient& client) {
  if (client.inflight != plat::kNoFile) return;
  const plat::FileOps& fs = *client.files;
  if (fs.open(kRecordFile, plat::OpenMode::Lock, &client.inflight) != plat::Status::Ok) {
    client.inflight = plat::kNoFile;
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Init no se puede abrir %s: una receta enviada al gateway antes de una "
              "parada puede enviarse de nuevo",
              kRecordFile);
    return;
  }
  // What the last run left, by terminal name; then the record laid out anew in
  // this run's order, a place for each terminal, whole, so that every place is
  // there (a write into it never needs new room on the disk).
  static char found[kMaxTerminals][kSlotSize];
  static char fresh[kMaxTerminals * kSlotSize];
  std::memset(found, 0, sizeof found);
  std::memset(fresh, 0, sizeof fresh);
  for (auto& slot : found) {
    std::size_t got = 0, at = 0;
    while (at < kSlotSize &&
           fs.read(client.inflight, slot + at, kSlotSize - at, &got) == plat::Status::Ok &&
           got > 0) {
      at += got;
    }
  }
  for (const auto& slot : found) {
    Header h;
    if (!unseal(slot, h)) continue;
    for (int i = 0; i < client.config.terminalCount; ++i) {
      if (client.config.terminals[i].view() != h.terminal) continue;
      TerminalState& state = client.terminals[i];
      state.recorded = static_cast<Recorded>(h.recorded);
      state.recordedRequest = h.request;
      state.recordedInPlace = h.inPlace != 0;
      if (state.recorded == Recorded::Decided) restore(h, slot, state.decision);
      std::memcpy(fresh + static_cast<std::size_t>(i) * kSlotSize, slot, kSlotSize);
    }
  }
  fs.truncate(client.inflight, 0);
  const std::size_t size = static_cast<std::size_t>(client.config.terminalCount) * kSlotSize;
  if (fs.write_at(client.inflight, 0, fresh, size) != plat::Status::Ok ||
      fs.sync(client.inflight) != plat::Status::Ok) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Init no se pudo escribir %s", kRecordFile);
  }
}

void zc::inflight_sent(ZELClient& client, int index) {
  char slot[sizeof(Header)];
  const Header h = header_for(client, index, Recorded::Sent);
  std::memcpy(slot, &h, sizeof h);
  if (write_slot(client, index, slot, seal(slot))) {
    client.terminals[index].recorded = Recorded::Sent;
    client.terminals[index].recordedRequest = h.request;
  }
}

namespace {

bool write_decided(ZELClient& client, int index, bool inPlace) {
  const Decision& d = client.terminals[index].decision;
  static char slot[kSlotSize];
  Header h = header_for(client, index, Recorded::Decided);
  h.kind = static_cast<std::uint8_t>(d.kind);
  h.cause = static_cast<std::uint8_t>(d.cause);
  h.inPlace = inPlace ? 1 : 0;
  h.year = d.taken.year;
  h.number = d.taken.number;
  h.textLength = static_cast<std::uint16_t>(d.text.size());
  h.journalLength = static_cast<std::uint16_t>(d.journal.size());
  h.numberLength = static_cast<std::uint16_t>(d.number.size());
  std::memcpy(slot, &h, sizeof h);
  char* text = slot + sizeof h;
  std::memcpy(text, d.text.c_str(), h.textLength);
  std::memcpy(text + h.textLength, d.journal.c_str(), h.journalLength);
  std::memcpy(text + h.textLength + h.journalLength, d.number.c_str(), h.numberLength);
  if (!write_slot(client, index, slot, seal(slot))) return false;
  TerminalState& state = client.terminals[index];
  state.recorded = Recorded::Decided;
  state.recordedRequest = h.request;
  state.recordedInPlace = inPlace;
  return true;
}

}  // namespace

bool zc::inflight_decided(ZELClient& client, int index) {
  return write_decided(client, index, false);
}

void zc::inflight_in_place(ZELClient& client, int index) {
  write_decided(client, index, true);
}
