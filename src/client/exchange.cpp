#include "client/exchange.h"

#include <cstring>

#include "client/answers.h"
#include "client/decision.h"
#include "client/gateway.h"
#include "client/inflight.h"
#include "client/journal.h"
#include "client/observe.h"
#include "client/probe.h"
#include "client/standin.h"
#include "client/termfiles.h"
#include "client/workers.h"
#include "log/log.h"
#include "tran/fields.h"
#include "tran/packet.h"

namespace {

// Reply bytes read at most: one less than the buffer, so the text always ends.
constexpr int kReplyReadMax = static_cast<int>(kPacketBufferSize) - 1;

const char* reply_text(const ExchangeJob& job) {
  return reinterpret_cast<const char*>(job.reply + kPacketHeaderSize);
}

void log_timing(std::int64_t startMs) {
  const double seconds = static_cast<double>(plat::monotonic_ms() - startMs) * 0.001;
  LOG_Print(LOG_CLI_DEBUG, "");
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process tardo %lf segundos en procesar una receta", seconds);
  LOG_Print(LOG_CLI_DEBUG, "");
}

// With workers, an exchange starts on the loop's thread while no other is in
// flight, and each of its waits there is this short: a gateway that answers
// within it costs no hand-off between threads; one that does not goes on on a
// worker from the step it has reached, so that the next terminal is not kept.
constexpr std::int32_t kLoopWaitMs = 2;

// A reachability test after a failed step; nullptr leaves it to a worker.
using Probe = std::int16_t (*)(const ZELClient&);

// A failed step: the probe decides the letter of the local answer to come.
void failed(const ZELClient& client, ExchangeJob& job, ExchangeJob::Result result, Probe probe) {
  job.result = result;
  if (probe == nullptr) {
    job.step = ExchangeJob::Step::Probe;
    return;
  }
  job.reachable = probe(client);
  job.step = ExchangeJob::Step::Done;
}

// Frames the edited request in the request buffer into job. false when it cannot
// be framed; the terminal then has its error answer already.
bool frame(ZELClient& client, ExchangeJob& job, int index, int packetType, std::int64_t startMs) {
  job.terminal = index;
  job.startMs = startMs;
  job.socketId = -1;
  job.step = ExchangeJob::Step::Connect;
  job.reach = GatewayReach{};
  std::memset(job.packet, 0, sizeof job.packet);
  job.packetLength = ZEL_MakePacket(packetType, client.sender.c_str(), client.request.c_str(),
                                    job.packet, sizeof job.packet);
  if (job.packetLength == -1) {
    ZELClient_GenErrorResponse(client, index, "ND", kNoPacket);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process ZEL_MakePacket");
    return false;
  }
  job.request.assign(client.request.view());
  job.asRead.assign(client.asRead.view());
  return true;
}

// The packet's whole length as its header gives it (its first 4 bytes count what
// follows them), or 0 while they are not all there.
std::size_t packet_length(const unsigned char* p, std::size_t got) {
  if (got < 4) return 0;
  return 4 + (static_cast<std::size_t>(p[0]) << 24 | static_cast<std::size_t>(p[1]) << 16 |
              static_cast<std::size_t>(p[2]) << 8 | p[3]);
}

// The reply's text without the zero bytes a gateway may send inside it, which
// would otherwise end it early (and hide an F52 after them).
void drop_zeros(ExchangeJob& job, std::size_t got) {
  unsigned char* text = job.reply + kPacketHeaderSize;
  const std::size_t end = got > kPacketHeaderSize ? got - kPacketHeaderSize : 0;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] != 0) text[kept++] = text[i];
  }
  std::memset(text + kept, 0, end - kept);
}

// The gateway's reply, once there: read until the packet its header announces is
// whole, the gateway closes, or the receive bound passes, so that a reply in
// pieces (a long one over a real network) is read whole; one in one piece is
// read by one receive, as ever.
void receive(const ZELClient& client, ExchangeJob& job, Probe probe) {
  std::memset(job.reply, 0, sizeof job.reply);
  const std::int64_t deadline = plat::monotonic_ms() + SOCKET_BoundMs();
  int replyLength = 0;
  if (SOCKET_Receive(job.socketId, job.reply, kReplyReadMax, 0, &replyLength) == -1) {
    // The gateway's TLS turned the connection down after the handshake (a client
    // certificate it wanted): it never read the request.
    const plat::TlsFault fault = SOCKET_LinkFault(job.socketId);
    if (fault != plat::TlsFault::None) {
      job.reach.fault[job.reach.address] = fault;
      zc::log_tls_failure(client.config, job.reach.address, fault, "");
    }
    return failed(client, job, ExchangeJob::Result::ReceiveFailed, probe);
  }
  auto got = static_cast<std::size_t>(replyLength);
  for (std::size_t whole = packet_length(job.reply, got);
       (whole == 0 || got < whole) && got < static_cast<std::size_t>(kReplyReadMax);
       whole = packet_length(job.reply, got)) {
    const std::int64_t left = deadline - plat::monotonic_ms();
    int more = 0;
    if (left <= 0 || SOCKET_WaitReadable(job.socketId, static_cast<std::int32_t>(left)) == -1 ||
        SOCKET_Receive(job.socketId, job.reply + got, kReplyReadMax - static_cast<int>(got), 0,
                       &more) == -1) {
      break;  // what came is the reply
    }
    got += static_cast<std::size_t>(more);
  }
  drop_zeros(job, got);
  job.result = ExchangeJob::Result::Replied;
  job.step = ExchangeJob::Step::Done;
  LOG_Print(LOG_CLI_INFO, "");
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process Recibio del Gateway:[%s]", reply_text(job));
  LOG_Print(LOG_CLI_INFO, "");
  LOG_Print(LOG_CLI_INFO, "Hubo una validacion, se reinicializa timer de vida");
}

// The packet sent on the connection, then the reply; waitMs >= 0: when the reply
// is not there within it, the step stays Reply for a worker to take up.
void send_and_receive(const ZELClient& client, ExchangeJob& job, Probe probe, std::int32_t waitMs) {
  int length = job.packetLength;
  if (SOCKET_Send(job.socketId, job.packet, &length, 0) == -1) {
    return failed(client, job, ExchangeJob::Result::SendFailed, probe);
  }
  LOG_Print(LOG_CLI_INFO, "");
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process Envio hacia el Gateway:[%s]",
            reinterpret_cast<const char*>(job.packet + kPacketHeaderSize));
  LOG_Print(LOG_CLI_INFO, "");
  job.step = ExchangeJob::Step::Reply;
  if (waitMs >= 0 && SOCKET_WaitReadable(job.socketId, waitMs) == -1) return;
  receive(client, job, probe);
}

// The network half, from the step the job has reached to its end.
void network(const ZELClient& client, ExchangeJob& job, Probe probe) {
  switch (job.step) {
    case ExchangeJob::Step::Connect:
      job.socketId = zc::gateway_connect(client, 0, job.reach);
      break;
    case ExchangeJob::Step::Connecting:
      job.socketId = zc::gateway_connect_finish(client, job.socketId, kLoopWaitMs, job.reach);
      break;
    case ExchangeJob::Step::Reply:
      return receive(client, job, probe);
    case ExchangeJob::Step::Probe:
      return failed(client, job, job.result, probe);
    case ExchangeJob::Step::Done:
      return;
  }
  if (job.socketId == -1) return failed(client, job, ExchangeJob::Result::ConnectFailed, probe);
  send_and_receive(client, job, probe, -1);
}

// The network half's first steps on the loop's thread, each wait kLoopWaitMs at
// most and a failure's probe left to a worker. Done when it ended there. A TLS
// handshake, and a failed connection with another address to try, are the
// worker's from the start.
void start_on_loop(const ZELClient& client, ExchangeJob& job) {
  const ZELClientConfig& config = client.config;
  if (config.tls) return;
  bool pending = false;
  const int first = zc::first_address(client);
  const GatewayAddress& address = config.addresses[first];
  job.reach.address = first;
  job.socketId = SOCKET_ConnectBegin(address.host.c_str(), address.port, kLoopWaitMs, &pending);
  if (job.socketId == -1) {
    job.reach.failedMask = static_cast<std::uint8_t>(1u << first);
    if (config.addressCount > 1) return;
    return failed(client, job, ExchangeJob::Result::ConnectFailed, nullptr);
  }
  if (pending) {
    job.step = ExchangeJob::Step::Connecting;
    return;
  }
  send_and_receive(client, job, nullptr, kLoopWaitMs);
}

// The decision: the gateway's answer, a local pre-authorisation or an error
// answer, decided as the terminal's answer; the connection is closed.
void decide(ZELClient& client, ExchangeJob& job) {
  const int index = job.terminal;
  const ZELClientConfig& config = client.config;
  client.request.assign(job.request.view());
  client.asRead.assign(job.asRead.view());
  if (job.result == ExchangeJob::Result::KnownDown) {
    std::int64_t failedAt = -1;
    for (int i = 0; i < config.addressCount; ++i) {
      const std::int64_t at = client.standin.failedAtMs[i].load();
      if (at > failedAt) failedAt = at;
    }
    LOG_Print(LOG_CLI_INFO,
              "ZELClient_Process gateway sin respuesta hace %lld ms, se responde localmente sin "
              "intentarlo",
              static_cast<long long>(plat::monotonic_ms() - failedAt));
    zc::stand_in(client, index, job.reachable, Cause::KnownDown);
    return;
  }
  const bool replied = job.result == ExchangeJob::Result::Replied;
  zc::gateway_reached(client, job.reach, replied);
  zc::observe_exchange(client, replied, plat::monotonic_ms() - job.startMs);
  zc::standin_exchange(client, replied, job.reachable);
  if (!replied) {
    const int at = job.reach.address < 0 ? 0 : job.reach.address;
    const bool tls = job.reach.fault[at] != plat::TlsFault::None;
    zc::stand_in(client, index, job.reachable,
                 tls                                                ? Cause::Tls
                 : job.result == ExchangeJob::Result::ReceiveFailed ? Cause::NoReply
                                                                    : Cause::NoConnection);
    if (job.result == ExchangeJob::Result::ConnectFailed) {
      // A handshake that failed has said why already.
      if (!tls) {
        LOG_Print(LOG_CLI_ERROR, "ZELClient_Process conectandose al gateway en [%s:%d]",
                  config.addresses[at].host.c_str(), config.addresses[at].port);
      }
    } else {
      LOG_Print(LOG_CLI_ERROR, "%s",
                job.result == ExchangeJob::Result::SendFailed ? "ZELClient_Process SOCKET_Send"
                                                              : "ZELClient_Process SOCKET_Receive");
      SOCKET_Close(job.socketId, 2);
    }
    return;
  }
  client.lifeTimer = client.clock();
  SOCKET_Close(job.socketId, 2);

  const char* reply = reply_text(job);
  const bool authorised = ZEL_TranHasField(reply, "F52") != 0;
  if (authorised && !zc::answer_fits(client, reply)) {
    // The gateway's answer cannot be handed on whole: the terminal is told so and
    // may ask again; a local authorisation would add a second one to the gateway's.
    // Its number is named, to be reconciled with the gateway: it was never delivered.
    zel::Text<63> number;
    zel::TextRef ref = number;
    ZEL_TranGetField(reply, "F52", &ref);
    LOG_Print(LOG_CLI_ERROR,
              "ZELClient_Process respuesta del gateway mayor a %zu caracteres, numero del gateway "
              "[%s] no entregado",
              kRequestCapacity, number.c_str());
    zc::journal_cause(client, number.c_str(), Cause::TooLongToDeliver);
    ZELClient_GenErrorResponse(client, index, "ND", "Respuesta demasiado larga");
  } else if (authorised) {
    if (zc::decide_answer(client, index, Decision::Kind::Gateway, reply) !=
        DecisionWrite::Written) {
      LOG_Print(LOG_CLI_ERROR, "ZELClient_Process WriteFileOutput");
    }
  } else {
    zc::stand_in(client, index, 1, Cause::NoF52);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process no existe campo F52 en el mensaje de respuesta");
  }
  log_timing(job.startMs);
}

// A worker's work: the network half, its failures sharing one probe per burst.
std::int16_t burst_probe(const ZELClient& client) {
  return client.probeBurst->reachable(client);
}
void on_worker(ExchangeJob& job, const void* context) {
  const ZELClient& client = *static_cast<const ZELClient*>(context);
  LOG_SetTag(client.config.terminals[job.terminal].c_str());
  network(client, job, burst_probe);
  LOG_SetTag(nullptr);
}

}  // namespace

void zc::start_exchanges(ZELClient& client, ExchangeWorkers& workers, ProbeBurst& probes) {
  if (client.config.concurrency <= 1) return;
  client.probeBurst = &probes;
  if (workers.start(client.config.concurrency, on_worker, &client)) client.workers = &workers;
}

void zc::stop_exchanges(ZELClient& client) {
  if (client.workers != nullptr) client.workers->stop();
  client.workers = nullptr;
}

bool zc::exchange_can_start(const ZELClient& client) {
  return client.workers == nullptr || client.workers->free_job() != nullptr;
}

int zc::exchanges_in_flight(const ZELClient& client) {
  return client.workers != nullptr ? client.workers->in_flight() : 0;
}

bool zc::exchange(ZELClient& client, int index, int packetType, std::int64_t startMs) {
  ExchangeWorkers* workers = client.workers;
  ExchangeJob* job = workers != nullptr ? workers->free_job() : nullptr;
  if (job == nullptr) job = &client.job;  // no workers, or none free: on the loop's thread
  if (!frame(client, *job, index, packetType, startMs)) {
    job->terminal = -1;
    return false;
  }
  if (zc::gateway_known_down(client)) {  // answered at once, on the loop's thread
    job->result = ExchangeJob::Result::KnownDown;
    job->reachable = client.standin.reachable;
  } else {
    // From here the gateway may see the request: the working folder records it first.
    zc::inflight_sent(client, index);
    if (job == &client.job) {
      network(client, *job, zc::probe_reachable);
    } else {
      if (workers->in_flight() == 0) start_on_loop(client, *job);
      if (job->step != ExchangeJob::Step::Done) {
        workers->submit(*job);
        return true;
      }
    }
  }
  decide(client, *job);
  job->terminal = -1;
  return false;
}

ExchangeJob* zc::exchange_finished(ZELClient& client) {
  return client.workers != nullptr ? client.workers->finished() : nullptr;
}

void zc::exchange_decide(ZELClient& client, ExchangeJob& job) {
  decide(client, job);
  client.workers->release(job);
}
