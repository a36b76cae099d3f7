#include "client/journal.h"

#include <cinttypes>
#include <cstring>
#include <ctime>

#include "client/outcomes.h"
#include "fileutil/textfile.h"
#include "log/log.h"
#include "tran/fields.h"

namespace {
constexpr const char* kJournal = "zelautoresp.txt";
constexpr const char* kCauses = "zelcausas.txt";
}  // namespace

bool zc::journal_exists(const ZELClient& client) {
  return client.files->exists(kJournal) == plat::Status::Ok;
}

bool zc::journal_has(const ZELClient& client, const char* authorisation) {
  zel::Text<64> key;
  if (!key.format("G52=%s|", authorisation)) return false;
  const plat::FileOps& fs = *client.files;
  plat::FileHandle f = plat::kNoFile;
  if (fs.open(kJournal, plat::OpenMode::Read, &f) != plat::Status::Ok) return false;
  // Read in pieces, each searched together with the end of the one before, so a
  // key cut between two pieces is found too. Numbers never repeat within a year,
  // and the key holds the year.
  char buf[4096];
  std::size_t kept = 0;
  std::size_t n = 0;
  bool found = false;
  while (!found && fs.read(f, buf + kept, sizeof buf - kept, &n) == plat::Status::Ok && n > 0) {
    const std::string_view text(buf, kept + n);
    found = text.find(key.view()) != std::string_view::npos;
    kept = text.size() < key.size() ? text.size() : key.size();
    std::memmove(buf, buf + text.size() - kept, kept);
  }
  fs.close(f);
  return found;
}

namespace {

// Reads the numbers of G52 fields as they stream by, a byte at a time, so that
// neither a long line nor a field cut between two reads needs a buffer of its
// own: "G52=", a letter, the year in 4 places, the number, "|".
class HighestNumber {
 public:
  explicit HighestNumber(int year) : year_(year) {}
  void feed(const char* p, std::size_t n) {
    for (const char* end = p + n; p != end; ++p) step(*p);
  }
  std::int64_t highest() const { return highest_; }
  std::uint64_t lines() const { return lines_; }

 private:
  static constexpr char kKey[] = "G52=";
  static constexpr int kKeyLength = 4;
  static constexpr std::int64_t kBound = INT64_C(100000000000000000);

  void step(char c) {
    if (c == '\n') {
      if (lineYear_ == year_) ++lines_;
      if (lineYear_ == year_ && lineNumber_ > highest_) highest_ = lineNumber_;
      lineYear_ = -1;
      at_ = 0;
      return;
    }
    if (at_ < kKeyLength) {
      at_ = c == kKey[at_] ? at_ + 1 : (c == kKey[0] ? 1 : 0);
      if (at_ == kKeyLength) yearSeen_ = number_ = 0;
      return;
    }
    const int place = at_ - kKeyLength;  // 0: the letter, 1..4: the year, 5..: the number
    if (place >= 1 && place <= 4 && (c == ' ' || (c >= '0' && c <= '9'))) {
      yearSeen_ = yearSeen_ * 10 + (c == ' ' ? 0 : c - '0');
    } else if (place >= 5 && c >= '0' && c <= '9') {
      if (number_ < kBound) number_ = number_ * 10 + (c - '0');
    } else if (place >= 6 && c == '|') {
      lineYear_ = yearSeen_;  // the last G52 of a line is the service's own
      lineNumber_ = number_;
      at_ = 0;
      return;
    } else if (place != 0) {
      at_ = c == kKey[0] ? 1 : 0;
      return;
    }
    ++at_;
  }

  int year_;
  int at_ = 0;
  int yearSeen_ = 0;
  std::int64_t number_ = 0;
  int lineYear_ = -1;
  std::int64_t lineNumber_ = 0;
  std::int64_t highest_ = 0;
  std::uint64_t lines_ = 0;
};

}  // namespace

zc::JournalYear zc::journal_year(const ZELClient& client, int year) {
  const plat::FileOps& fs = *client.files;
  plat::FileHandle f = plat::kNoFile;
  const plat::Status opened = fs.open(kJournal, plat::OpenMode::Read, &f);
  if (opened != plat::Status::Ok) {
    return {0, 0, opened == plat::Status::NotFound ? plat::Status::Ok : opened};
  }
  HighestNumber scan(year);
  char buf[16 * 1024];
  std::size_t n = 0;
  while (fs.read(f, buf, sizeof buf, &n) == plat::Status::Ok && n > 0) scan.feed(buf, n);
  scan.feed("\n", 1);  // a last line without its line end counts too
  fs.close(f);
  return {scan.highest(), scan.lines(), plat::Status::Ok};
}

namespace {

// A local authorisation number as the service makes them: a letter (G or I), the
// year in four digits, the sequence in seven or more.
bool number_shaped(std::string_view n) {
  if (n.size() < 12 || (n[0] != 'G' && n[0] != 'I')) return false;
  for (const char c : n.substr(1)) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

plat::Status zc::journal_append(ZELClient& client, std::string_view request, const char* terminal,
                                const char* authorisation) {
  if (!number_shaped(authorisation)) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse numero [%s] mal formado, no se registra",
              authorisation);
    return plat::Status::Invalid;
  }
  zel::Text<kRequestCapacity + 96> fields;
  for (std::size_t at = 0; at < request.size();) {
    const std::size_t next = request.find('|', at + 1);
    const std::string_view field = request.substr(at, next - at);  // "|name=value", or the end
    if (field.rfind("|G41=", 0) != 0 && field.rfind("|G52=", 0) != 0) fields.append(field);
    at = next;
  }
  ZEL_TranPutfield(fields, "G41", terminal);
  ZEL_TranPutfield(fields, "G52", authorisation);
  ZEL_TranEnd(fields);
  zel::Text<4 * (kRequestCapacity + 96) + 1> line;
  for (const char c : fields.view()) {
    char shown[4];
    line.append(std::string_view(shown, zel::escape_control(static_cast<unsigned char>(c), shown)));
  }
  line.append('\n');
  const plat::Status s = FILE_AppendText(*client.files, kJournal, line.view(), true);
  if (s != plat::Status::Ok) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse no pudo escribir en zelautoresp.txt: %s",
              zc::status_text(s));
  }
  return s;
}

void zc::journal_cause(ZELClient& client, const char* authorisation, Cause cause) {
  std::tm local{};
  char when[20] = {};
  if (plat::local_time(client.clock(), &local)) {
    std::strftime(when, sizeof when, "%Y/%m/%d %H:%M:%S", &local);
  }
  // A number from the gateway is its bytes: a line end or a bar in it must not
  // make a record of its own.
  zel::Text<4 * 63> number;
  for (const char c : std::string_view(authorisation).substr(0, 63)) {
    char shown[4];
    const std::size_t k = c == '|' ? 0 : zel::escape_control(static_cast<unsigned char>(c), shown);
    number.append(std::string_view(shown, k));
  }
  zel::Text<4 * 63 + 64> line;
  line.format("%s|%s|%s\n", number.c_str(), zc::cause_name(cause), when);
  const plat::Status s = FILE_AppendText(*client.files, kCauses, line.view());
  if (s != plat::Status::Ok) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse no pudo escribir en %s: %s", kCauses,
              zc::status_text(s));
  }
}

const char* zc::cause_name(Cause cause) {
  switch (cause) {
    case Cause::NoConnection:
      return "sin_conexion";
    case Cause::NoReply:
      return "sin_respuesta";
    case Cause::NoF52:
      return "sin_f52";
    case Cause::KnownDown:
      return "gateway_caido";
    case Cause::TooLongToDeliver:
      return "respuesta_larga";
    case Cause::Tls:
      return "tls";
    case Cause::Recovered:
      break;
  }
  return "recuperada";
}
