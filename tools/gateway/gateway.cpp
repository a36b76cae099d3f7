#include "gateway.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "socket/socket.h"
#include "tran/packet.h"

namespace gw {

namespace {

const unsigned char* data_of(const std::string& bytes) {
  return reinterpret_cast<const unsigned char*>(bytes.data());
}

// Reads one packet: the first receive learns the length field, the next ones
// take exactly the bytes it still announces.
Received read_packet(int id) {
  unsigned char buf[kPacketMax];
  Received r;
  std::size_t got = 0;
  std::size_t total = 0;
  for (;;) {
    const std::size_t want = (total != 0 ? total : kPacketMax) - got;
    int n = 0;
    if (SOCKET_Receive(id, buf + got, static_cast<int>(want), 0, &n) != 0) break;
    got += static_cast<std::size_t>(n);
    if (total == 0 && got >= 4) {
      total = ZEL_PacketSize(buf, got);
      if (total < static_cast<std::size_t>(kPacketHeaderSize) || total > kPacketMax) {
        r.status = Received::Status::Refused;
        break;
      }
    }
    if (total != 0 && got >= total) {
      r.status = Received::Status::Whole;
      got = total;
      break;
    }
  }
  r.bytes.assign(reinterpret_cast<const char*>(buf), got);
  return r;
}

}  // namespace

int Received::type() const {
  ZELPacketHeader h{};
  return ZEL_ReadPacketHeader(data_of(bytes), bytes.size(), &h) ? h.type : -1;
}

std::string Received::sender() const {
  ZELPacketHeader h{};
  return ZEL_ReadPacketHeader(data_of(bytes), bytes.size(), &h) ? std::string(h.sender, 4) : "";
}

std::string Received::message() const {
  return bytes.size() > static_cast<std::size_t>(kPacketHeaderSize)
             ? bytes.substr(kPacketHeaderSize)
             : "";
}

std::uint32_t Received::length() const {
  const std::size_t size = ZEL_PacketSize(data_of(bytes), bytes.size());
  return size == 0 ? 0 : static_cast<std::uint32_t>(size - 4);
}

Act answer(std::vector<std::string> pieces, int delayMs, int gapMs) {
  return Act{Act::Kind::Answer, std::move(pieces), delayMs, gapMs};
}

Act hang_up() {
  return Act{};
}

Act hold() {
  return Act{Act::Kind::Hold, {}, 0, 0};
}

std::string field(std::string_view message, std::string_view name, bool last) {
  const std::string key = "|" + std::string(name) + "=";
  const std::size_t at = last ? message.rfind(key) : message.find(key);
  if (at == std::string_view::npos) return "";
  const std::size_t from = at + key.size();
  return std::string(message.substr(from, message.find('|', from) - from));
}

namespace {

std::string copied_fields(std::string_view message) {
  return "|F01=" + field(message, "G01") + "|F04=" + field(message, "G04") +
         "|F08=" + field(message, "G08") + "|F41=" + field(message, "G41", true);
}

}  // namespace

std::string approval_text(std::string_view message, std::uint32_t number) {
  char f52[16];
  std::snprintf(f52, sizeof f52, "GW%010u", static_cast<unsigned>(number));
  return copied_fields(message) + "|F50=00|F51=APROBADA|F52=" + f52 + "|";
}

std::string rejection_text(std::string_view message) {
  return copied_fields(message) + "|F50=05|F51=RECHAZADA|";
}

std::string reply_packet(int type, std::string_view text) {
  const std::string message(text);  // terminated, as the framing wants it
  std::string out(message.size() + kPacketHeaderSize, '\0');
  const int n = ZEL_MakePacket(type, "GATE", message.c_str(),
                               reinterpret_cast<unsigned char*>(out.data()), out.size());
  out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return out;
}

Script approver() {
  auto approved = std::make_shared<std::atomic<std::uint32_t>>(0);
  return [approved](const Received& r) {
    if (!r.whole() || r.type() == 0) return hang_up();
    return answer({reply_packet(r.type(), approval_text(r.message(), ++*approved))});
  };
}

bool start_sockets() {
  static const bool started = SOCKET_Init("T") == 0;
  return started;
}

// Shared with the threads, which may outlive a wait that gave up on them. Each
// connection is served on a thread of its own: the thread that accepts it, having
// handed the accept to another thread first, so that no exchange waits for a
// thread to start or to wake. A thread that is done waits to accept again. The
// threads are joined by the destructor: none may still be ending when the
// process exits, where its own teardown (thread-local data among it) can crash.
struct Gateway::State {
  Script script;
  int listener = -1;
  bool tls = false;
  int handshakesFailed = 0;
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool stopping = false;
  bool accepting = false;  // a thread accepts, or is about to
  std::size_t idle = 0;    // threads waiting to accept
  int active = 0;          // connections accepted and not yet closed
  std::vector<Received> received;
  std::vector<std::thread> threads;  // joined by the destructor, not before

  // Waits ms; false when the gateway was stopped first. No wait at all for 0: a
  // timed wait that is already over still costs a timer's slack.
  bool pause(int ms) {
    std::unique_lock<std::mutex> lock(mutex);
    if (ms <= 0) return !stopping;
    return !changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
  }
  void update(const std::function<void()>& change) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      change();
    }
    changed.notify_all();
  }

  void serve(int id) {
    if (tls && SOCKET_SecureAccept(id) == -1) {  // closed: nothing was read
      update([this] {
        ++handshakesFailed;
        --active;
      });
      return;
    }
    Received r = read_packet(id);
    bool stopped = false;
    update([&] {
      received.push_back(r);
      stopped = stopping;
    });
    const Act act = stopped ? hang_up() : script(r);
    if (act.kind == Act::Kind::Hold) {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [this] { return stopping; });
    } else if (act.kind == Act::Kind::Answer && pause(act.delayMs)) {
      for (std::size_t i = 0; i < act.pieces.size(); ++i) {
        if (i > 0 && !pause(act.gapMs)) break;
        int n = static_cast<int>(act.pieces[i].size());
        if (n > 0 && SOCKET_Send(id, act.pieces[i].data(), &n, 0) != 0) break;
      }
    }
    SOCKET_Close(id, 2);
    update([this] { --active; });
  }

  // False when no thread could be made.
  static bool start_thread(const std::shared_ptr<State>& s) {
    const std::lock_guard<std::mutex> lock(s->mutex);
    try {
      s->threads.emplace_back(run, s);
      return true;
    } catch (...) {
      return false;
    }
  }

  static void run(const std::shared_ptr<State>& s) {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(s->mutex);
        ++s->idle;
        s->changed.wait(lock, [&] { return s->stopping || !s->accepting; });
        --s->idle;
        if (s->stopping) return;
        s->accepting = true;
      }
      int length = 0;
      const int id = SOCKET_Receive(s->listener, nullptr, 0, 0, &length);
      bool stopped = false;
      {
        const std::lock_guard<std::mutex> lock(s->mutex);
        stopped = s->stopping;
      }
      if (stopped) {  // a stop's own connection: closed before the stop may go on
        if (id >= 0) SOCKET_Close(id, 2);
        s->update([&] { s->accepting = false; });
        return;
      }
      bool spawn = false;
      s->update([&] {
        s->accepting = false;
        s->active += id >= 0;  // served, if the gateway stops meanwhile, by a hang-up
        spawn = s->idle == 0;
      });
      if (id < 0) {  // table full or a failed accept: the listener stays usable
        s->pause(10);
        continue;
      }
      if (spawn) start_thread(s);  // else this one accepts again once it is done
      s->serve(id);
    }
  }
};

bool serve_tls(const std::string& cert, const std::string& key, const std::string& clientCa,
               std::string* why) {
  char text[400] = "";
  if (!start_sockets()) {
    *why = "the socket layer cannot start";
    return false;
  }
  const bool ok =
      plat::tls_server_setup(cert.c_str(), key.c_str(), clientCa.c_str(), text, sizeof text);
  if (!ok) *why = text;
  return ok;
}

Gateway::Gateway(Script script, int port, bool tls) : state_(std::make_shared<State>()) {
  state_->script = std::move(script);
  state_->tls = tls;
  if (!start_sockets()) return;
  std::string text = std::to_string(port);
  listener_ = SOCKET_Open(text.data(), 0);
  if (listener_ < 0) return;
  port_ = SOCKET_GetLocalPort(listener_);
  state_->listener = listener_;
  if (!State::start_thread(state_)) {  // nothing would accept: not listening
    SOCKET_Close(listener_, 2);
    listener_ = -1;
    port_ = 0;
  }
}

Gateway::~Gateway() {
  stop(std::chrono::milliseconds(0));
  std::vector<std::thread> threads;
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->active == 0; });
    threads.swap(state_->threads);  // stopping is set: no thread starts another
  }
  for (auto& t : threads) t.join();
}

int Gateway::handshakes_failed() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->handshakesFailed;
}

std::vector<Received> Gateway::received() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->received;
}

bool Gateway::wait_received(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] { return state_->received.size() >= n; });
}

bool Gateway::stop(std::chrono::milliseconds wait) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.stopping = true;
  s.changed.notify_all();
  // An accept waits without bound: connections of our own wake it.
  while (s.accepting) {
    lock.unlock();
    std::string self = address();
    const int id = SOCKET_Open(self.data(), 0);
    if (id >= 0) SOCKET_Close(id, 2);
    lock.lock();
    s.changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return !s.accepting; });
  }
  if (listener_ >= 0) SOCKET_Close(listener_, 2);
  listener_ = -1;
  return s.changed.wait_for(lock, wait, [&] { return s.active == 0; });
}

}  // namespace gw
