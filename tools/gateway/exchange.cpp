#include "exchange.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/text.h"
#include "platform/platform.h"
#include "socket/socket.h"
#include "tran/packet.h"

namespace {

constexpr std::size_t kAnswerMax = 4096;
constexpr char kGatewayName[5] = "GATE";
std::atomic<std::uint32_t> g_authorisations{0};

enum class ReadResult { Whole, Incomplete, BadLength };

std::uint32_t be32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// Reads until the length field is satisfied: 4 + length bytes, within cap.
ReadResult read_packet(int id, unsigned char* buf, int cap, int* got) {
  *got = 0;
  int total = -1;
  while (total < 0 || *got < total) {
    int n = 0;
    const int want = (total < 0 ? cap : total) - *got;
    if (SOCKET_Receive(id, buf + *got, want, 0, &n) != 0) return ReadResult::Incomplete;
    *got += n;
    if (total < 0 && *got >= 4) {
      const std::uint32_t length = be32(buf);
      if (length < kPacketHeaderSize - 4 || length > static_cast<std::uint32_t>(cap - 4)) {
        return ReadResult::BadLength;
      }
      total = static_cast<int>(length) + 4;
    }
  }
  return ReadResult::Whole;
}

// The value of field name ("|name=value|"): the first occurrence, or the last.
std::string_view field(std::string_view message, const char* name, bool last) {
  char key[8];
  std::snprintf(key, sizeof key, "|%s=", name);
  const std::size_t at = last ? message.rfind(key) : message.find(key);
  if (at == std::string_view::npos) return {};
  const std::size_t from = at + std::strlen(key);
  const std::size_t bar = message.find('|', from);
  return message.substr(from, bar == std::string_view::npos ? std::string_view::npos : bar - from);
}

// Printable copy for the traffic line: control bytes show as '.'.
void printable(std::string_view in, zel::TextRef out) {
  out.clear();
  for (const char c : in) {
    const auto u = static_cast<unsigned char>(c);
    out.append(u < 0x20 || u == 0x7f ? '.' : c);
  }
}

// Waits ms in small steps; false when stop was set first.
bool wait_unless_stopped(std::uint32_t ms, const std::atomic<bool>& stop) {
  for (std::uint32_t waited = 0; waited < ms; waited += 20) {
    if (stop) return false;
    plat::sleep_ms(ms - waited < 20 ? ms - waited : 20);
  }
  return !stop;
}

bool send_bytes(int id, const unsigned char* data, int n) {
  int len = n;
  return SOCKET_Send(id, data, &len, 0) == 0;
}

}  // namespace

void GATEWAY_Exchange(int id, const GatewaySettings& settings, const std::atomic<bool>& stop) {
  unsigned char request[kReceiveMax + 1] = {};
  int got = 0;
  const ReadResult read = read_packet(id, request, kReceiveMax, &got);
  if (read != ReadResult::Whole) {
    if (read == ReadResult::BadLength) {
      std::printf("refused packet: length field %u\n", be32(request));
    } else {
      std::printf("incomplete packet: %d bytes\n", got);
    }
    std::fflush(stdout);
    return;
  }

  const unsigned type = static_cast<unsigned>(request[4]) << 8 | request[5];
  const auto total = static_cast<std::size_t>(be32(request)) + 4;
  const std::string_view message(reinterpret_cast<const char*>(request) + kPacketHeaderSize,
                                 total - kPacketHeaderSize);
  zel::Text<4> sender;
  printable(std::string_view(reinterpret_cast<const char*>(request) + 6, 4), sender);
  zel::Text<kReceiveMax> shown;
  printable(message, shown);

  zel::Text<kAnswerMax> answer;
  const bool answers =
      type != 0 && settings.mode != GatewayMode::Close && settings.mode != GatewayMode::Silent;
  const bool approves = settings.mode != GatewayMode::Reject;
  zel::Text<12> number;
  if (answers) {
    const auto put = [&answer](const char* name, std::string_view value) {
      return answer.appendf("|%s=%.*s", name, static_cast<int>(value.size()), value.data());
    };
    bool fits = put("F01", field(message, "G01", false)) &&
                put("F04", field(message, "G04", false)) &&
                put("F08", field(message, "G08", false)) &&
                put("F41", field(message, "G41", true));  // the name the service appended
    if (approves) {
      number.format("GW%010u", ++g_authorisations);
      fits = fits && put("F50", "00") && put("F51", "APROBADA") && put("F52", number.view());
    } else {
      fits = fits && put("F50", "05") && put("F51", "RECHAZADA");
    }
    if (!fits || !answer.append('|')) answer.assign("|F50=96|F51=ERROR DE FORMATO|");
  }

  const char* outcome = "no answer";
  if (type == 0) {
    outcome = "life signal, no answer";
  } else if (settings.mode == GatewayMode::Close) {
    outcome = "closed without answer";
  } else if (settings.mode == GatewayMode::Silent) {
    outcome = "holding the connection without answer";
  } else if (settings.mode == GatewayMode::Reject) {
    outcome = "rejected";
  } else if (settings.mode == GatewayMode::Delay) {
    outcome = "approved after a delay";
  } else if (settings.mode == GatewayMode::Split) {
    outcome = "approved in two pieces";
  } else {
    outcome = "approved";
  }
  std::printf("type=%u sender=[%s] message=[%s] -> %s%s%s\n", type, sender.c_str(), shown.c_str(),
              outcome, number.empty() ? "" : " F52=", number.c_str());
  std::fflush(stdout);

  if (settings.mode == GatewayMode::Silent && type != 0) {
    while (!stop) plat::sleep_ms(20);  // never answers: holds the connection until stopped
    return;
  }
  if (!answers) return;
  if (settings.mode == GatewayMode::Delay && !wait_unless_stopped(settings.delayMs, stop)) return;

  unsigned char reply[kAnswerMax + kPacketHeaderSize];
  const int n =
      ZEL_MakePacket(static_cast<int>(type), kGatewayName, answer.c_str(), reply, sizeof reply);
  bool sent;
  if (settings.mode == GatewayMode::Split) {
    const int first = n / 2;
    sent = send_bytes(id, reply, first) && wait_unless_stopped(settings.delayMs, stop) &&
           send_bytes(id, reply + first, n - first);
  } else {
    sent = send_bytes(id, reply, n);
  }
  if (!sent) {
    std::printf("answer not sent\n");
    std::fflush(stdout);
  }
}
