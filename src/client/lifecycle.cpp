#include "client/lifecycle.h"

#include "client/answers.h"
#include "client/decision.h"
#include "client/exchange.h"
#include "client/inflight.h"
#include "client/journal.h"
#include "client/observe.h"
#include "client/outcomes.h"
#include "client/pipeline.h"
#include "client/termfiles.h"
#include "fileutil/textfile.h"
#include "log/log.h"
#include "tran/fields.h"

namespace {

// A decided answer that the root could not take is tried again this often: each
// attempt makes and removes a file there, so it must never follow attempts of
// its own at once.
constexpr std::uint32_t kWriteAgainMs = 1000;
// A file held by another process is tried again soon: first after this, then
// twice as long each time, up to kWriteAgainMs.
constexpr std::uint32_t kHeldFirstMs = 10;

// A terminal's files, by their place in the life of a request.
struct Names {
  Path request, taken, decided, decidedLocal, answer;
};

bool make_names(const ZELClient& client, const char* terminal, Names& n) {
  return zc::terminal_path(client, terminal, kRequestFile, n.request) &&
         zc::terminal_path(client, terminal, kTakenFile, n.taken) &&
         zc::terminal_path(client, terminal, kDecidedFile, n.decided) &&
         zc::terminal_path(client, terminal, kDecidedLocal, n.decidedLocal) &&
         zc::terminal_path(client, terminal, kAnswerFile, n.answer);
}

bool exists(const ZELClient& client, const Path& path) {
  return client.files->exists(path.c_str()) == plat::Status::Ok;
}

// The next visit this terminal wants for something held by another process: soon,
// then later while it stays held.
std::uint32_t held_again(TerminalState& state) {
  state.heldMs = state.heldMs == 0 ? kHeldFirstMs : state.heldMs * 2;
  if (state.heldMs > kWriteAgainMs) state.heldMs = kWriteAgainMs;
  return state.heldMs;
}

// The decided file that holds an answer, or nullptr. An empty one (a run that
// ended between creating and writing it) decided nothing and is removed, and so is
// one that is no regular file (a link or a pipe someone placed there).
const Path* decided(const ZELClient& client, const Names& n) {
  for (const Path* p : {&n.decided, &n.decidedLocal}) {
    if (!exists(client, *p)) continue;
    char first = 0;
    bool whole = false;
    if (FILE_ReadRaw(*client.files, p->c_str(), &first, 1, &whole, plat::OpenMode::ReadRegular) ==
        1) {
      return p;
    }
    client.files->remove(p->c_str());
  }
  return nullptr;
}

void log_delete(const Path& path, plat::Status s) {
  zel::Text<sizeof(Path) + 2> shown;
  shown.format("[%s]", path.c_str());
  zc::log_delete_failure("ZELClient_Process", shown.c_str(), s);
}

// The authorisation number an answer carries (its F52); false when it has none.
bool answer_number(const char* answer, zel::Text<63>& number) {
  zel::TextRef ref = number;
  return ZEL_TranGetField(answer, "F52", &ref) != nullptr && !number.empty();
}

const Path& decided_path(const Names& n, Decision::Kind kind) {
  return kind == Decision::Kind::Local ? n.decidedLocal : n.decided;
}

// An answer that no terminal will see, because the terminal has asked again: its
// number, the gateway's or a local one, was never delivered.
void log_discard(ZELClient& client, const Path& decided, const char* answer) {
  zc::observe_discard(client);
  zel::Text<63> number;
  if (answer_number(answer, number)) {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Process descartando respuesta de una receta anterior [%s], numero [%s] "
              "no entregado",
              decided.c_str(), number.c_str());
  } else {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Process descartando respuesta de una receta anterior [%s]",
              decided.c_str());
  }
}

// Discards the answer of a decided file.
void discard_decided(ZELClient& client, const Path& decided) {
  if (zc::read_text(client, decided.c_str(), plat::OpenMode::ReadRegular, client.answer) !=
      RequestRead::Ok) {
    client.answer.clear();
  }
  log_discard(client, decided, client.answer.c_str());
  client.files->remove(decided.c_str());
}

// The request handled is the very one answered where it stood before (its file
// could not be removed), as the working folder's record says: not answered again.
bool answered_before(ZELClient& client, int index) {
  TerminalState& state = client.terminals[index];
  if (state.recorded != Recorded::Decided || !state.recordedInPlace ||
      state.recordedRequest != state.request) {
    return false;
  }
  if (!state.answeredLogged) {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Process receta ya respondida, su archivo no se pudo borrar [%s]",
              client.asRead.c_str());
    state.answeredLogged = true;
  }
  return true;
}

// Removes the request's file once its answer is decided. A file that cannot be
// removed is marked in the record as answered in place, so that neither this run
// nor the next answers it again.
void release(ZELClient& client, int index, const Path& file) {
  const plat::Status s = client.files->remove(file.c_str());
  if (s == plat::Status::Ok || s == plat::Status::NotFound) return;
  log_delete(file, s);
  zc::inflight_in_place(client, index);
}

// A request taken away at last, after one whose file stayed: if it is that very
// request, it was answered before: released, not answered again.
bool taken_again(ZELClient& client, int index, const Names& n) {
  const bool same = answered_before(client, index);
  if (same) client.files->remove(n.taken.c_str());
  client.terminals[index].recordedInPlace = false;
  return same;
}

// publish: the decided answer renamed over the answer file. An answer file that
// the terminal holds keeps the answer waiting for a later pass. true when published.
bool publish(ZELClient& client, int index, const Path& from, const Names& n) {
  TerminalState& state = client.terminals[index];
  plat::Status s = client.files->rename(from.c_str(), n.answer.c_str());
  // A directory by the answer's name (no file is in the way of a rename) is put aside.
  char owner[64];
  if (s != plat::Status::Ok && s != plat::Status::Busy &&
      plat::file_owner(n.answer.c_str(), owner, sizeof owner) == plat::Owner::NotRegular &&
      zc::move_aside(client, n.answer.c_str())) {
    s = client.files->rename(from.c_str(), n.answer.c_str());
  }
  state.phase = s == plat::Status::Ok     ? Phase::Idle
                : s == plat::Status::Busy ? Phase::UnpublishedBusy
                                          : Phase::Unpublished;
  if (s == plat::Status::Busy) {
    held_again(state);
  } else {
    state.heldMs = 0;
  }
  if (s == plat::Status::Ok) {
    state.waitLogged = false;
  } else if (!state.waitLogged) {
    zel::Text<300> text;
    text.format("ZELClient_Process la respuesta espera: no se pudo reemplazar [%s]",
                n.answer.c_str());
    zc::observe_warning(zc::Event::AnswerWaiting, text.c_str());
    state.waitLogged = true;
  }
  return s == plat::Status::Ok;
}

// The answer a request got, in one line that the shipped log window holds: whose,
// who gave it, and its number or reason.
void log_answer(const ZELClient& client, int index, const Decision& d) {
  zel::Text<63> reason;
  zel::TextRef ref = reason;
  if (d.kind == Decision::Kind::Error) ZEL_TranGetField(d.text.c_str(), "F51", &ref);
  zel::Text<63> number;
  answer_number(d.text.c_str(), number);
  LOG_Print(LOG_TRAN_INFO, "ZELClient_Process respuesta para [%s]: %s [%s]",
            client.config.terminals[index].c_str(),
            d.kind == Decision::Kind::Gateway ? "del gateway"
            : d.kind == Decision::Kind::Local ? "pre-autorizacion local"
                                              : "error",
            d.kind == Decision::Kind::Error ? reason.c_str() : number.c_str());
}

// An answer decided and not written keeps its request taken, and is kept in the
// working folder's record until the root takes it: a stop or a restart meanwhile
// publishes it then, without asking the gateway again.
void wait_unwritten(ZELClient& client, int index, const Names& n) {
  TerminalState& state = client.terminals[index];
  const Decision& d = state.decision;
  state.phase = Phase::Unwritten;
  state.retryAtMs = plat::monotonic_ms() + kWriteAgainMs;
  if (state.waitLogged) return;
  state.waitLogged = true;
  zel::Text<300> text;
  text.format("ZELClient_Process la respuesta espera: no se pudo escribir [%s]",
              decided_path(n, d.kind).c_str());
  zc::observe_warning(zc::Event::AnswerWaiting, text.c_str());
  if (state.recorded != Recorded::Decided || state.recordedRequest != state.request) {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Process la respuesta espera solo en memoria, una parada la pierde: "
              "numero [%s]",
              d.number.empty() ? "-" : d.number.c_str());
  }
}

// Once decided: the request's file released, the answer published; or, not
// written yet, the answer waits.
void finish(ZELClient& client, int index, const Path& file, const Names& n) {
  const Decision& d = client.terminals[index].decision;
  if (d.kind != Decision::Kind::None && !d.written) return wait_unwritten(client, index, n);
  if (d.kind != Decision::Kind::None) {
    zc::observe_answer(client, d);
    log_answer(client, index, d);
  }
  release(client, index, file);
  if (d.kind != Decision::Kind::None) publish(client, index, decided_path(n, d.kind), n);
}

// decide: the answer to the request in the request buffer, then its end; or that
// is left to the end of its exchange in flight. relay: false when the request may
// have reached the gateway already, in a run that ended before its reply.
void answer(ZELClient& client, int index, const Path& file, const Names& n, RequestRead read,
            std::int64_t startMs, bool relay = true) {
  TerminalState& state = client.terminals[index];
  state.inPlace = &file == &n.request;
  state.decision.kind = Decision::Kind::None;
  state.phase = Phase::Idle;
  if (zc::decide_request(client, index, read, startMs, relay)) {
    state.phase = Phase::InFlight;
  } else {
    finish(client, index, file, n);
  }
}

// A local answer decided before a crash may have missed its journal line: the
// record's own number, journalled with the record's request unless the journal
// has it; false when it cannot be put there.
bool journal_decided(ZELClient& client, int index) {
  const Decision& d = client.terminals[index].decision;
  if (zc::journal_has(client, d.number.c_str())) return true;
  if (zc::journal_append(client, d.journal.view(), client.config.terminals[index].c_str(),
                         d.number.c_str()) != plat::Status::Ok) {
    return false;
  }
  zc::journal_cause(client, d.number.c_str(), d.cause);
  return true;
}

// True when the decided file holds the answer the record holds for the terminal:
// the service's own, and no one else's.
bool ours(ZELClient& client, int index, const Names& n, const Path& decided) {
  const TerminalState& state = client.terminals[index];
  const Decision& d = state.decision;
  zel::Text<kRequestCapacity> laid, found;
  return state.recorded == Recorded::Decided && d.kind != Decision::Kind::None &&
         &decided == &decided_path(n, d.kind) && zc::laid_out(client, d.text.c_str(), laid) &&
         zc::read_text(client, decided.c_str(), plat::OpenMode::ReadRegular, found) ==
             RequestRead::Ok &&
         found.view() == laid.view();
}

void write_again(ZELClient& client, int index, const Names& n);

// A decided file found at start that holds the record's answer: published (a
// local one journalled first if a crash kept it out), or discarded when the
// terminal has asked again meanwhile.
void recover_decided(ZELClient& client, int index, const Names& n, const Path& d, bool taken,
                     bool newer) {
  if (newer) {
    discard_decided(client, d);
    if (taken) release(client, index, n.taken);
  } else if (taken && &d == &n.decidedLocal && !journal_decided(client, index)) {
    // Not given unless recorded: the request gets the error answer instead.
    client.files->remove(d.c_str());
    client.request.assign(client.asRead.view());
    client.terminals[index].decision.kind = Decision::Kind::None;
    ZELClient_GenErrorResponse(client, index, "ND", kNotRecorded);
    finish(client, index, n.taken, n);
  } else {
    if (taken) release(client, index, n.taken);
    publish(client, index, d, n);
  }
}

// What an earlier run left for this terminal, finished, believing of the root
// only what the working folder's record confirms: a decided file is published
// only when it holds the record's answer (anything else under the service's
// names is moved aside); an answer the record kept is published; a request that
// may have reached the gateway is not sent again but answered as a reply that
// never came; any other request taken is relayed.
void recover(ZELClient& client, int index, const Names& n) {
  TerminalState& state = client.terminals[index];
  const bool newer = exists(client, n.request);
  const RequestRead read =
      exists(client, n.taken)
          ? zc::read_text(client, n.taken.c_str(), plat::OpenMode::ReadRegular, client.asRead)
          : RequestRead::Missing;
  const bool taken = read_a_request(read);
  if (taken) state.request = zc::request_checksum(client.asRead.view());
  if (taken && newer) {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Process descartando receta anterior, el terminal ya escribio otra [%s]",
              client.asRead.c_str());
  }
  const Path* d = decided(client, n);
  if (d != nullptr && !ours(client, index, n, *d)) {
    zc::move_aside(client, d->c_str());
    d = nullptr;
  }
  const bool forThis = taken && state.recordedRequest == state.request;
  if (d != nullptr && (!taken || forThis))
    return recover_decided(client, index, n, *d, taken, newer);
  if (d != nullptr) discard_decided(client, *d);  // an earlier request's, never delivered
  Recorded word = forThis ? state.recorded : Recorded::Nothing;
  // A local answer whose number is journalled was given: the record is that of an
  // earlier request of the very same text, and this one was never handled.
  if (word == Recorded::Decided && state.decision.kind == Decision::Kind::Local &&
      zc::journal_has(client, state.decision.number.c_str())) {
    word = Recorded::Nothing;
  }
  if (!taken || newer) {
    if (taken) release(client, index, n.taken);
    if (newer && word == Recorded::Decided) {
      log_discard(client, decided_path(n, state.decision.kind), state.decision.text.c_str());
    }
    state.decision.kind = Decision::Kind::None;
    return;
  }
  if (answered_before(client, index)) return;
  if (word == Recorded::Decided) {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Process retomando archivo [%s]: su respuesta ya estaba decidida",
              n.taken.c_str());
    state.inPlace = false;
    state.phase = Phase::Unwritten;
    return write_again(client, index, n);
  }
  state.decision.kind = Decision::Kind::None;
  client.request.assign(client.asRead.view());
  if (word == Recorded::Sent) {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Process retomando archivo [%s]: pudo llegar al gateway, no se envia de "
              "nuevo",
              n.taken.c_str());
  } else {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Process retomando archivo [%s]", n.taken.c_str());
  }
  answer(client, index, n.taken, n, read, plat::monotonic_ms(), word != Recorded::Sent);
}

// A decided answer that could not be written is written now, and published; or
// discarded when the terminal has asked again meanwhile (its request is then
// answered in this pass).
void write_again(ZELClient& client, int index, const Names& n) {
  TerminalState& state = client.terminals[index];
  Decision& d = state.decision;
  const Path& file = state.inPlace ? n.request : n.taken;
  if (!state.inPlace && exists(client, n.request)) {
    log_discard(client, decided_path(n, d.kind), d.text.c_str());
    d.kind = Decision::Kind::None;
    state.phase = Phase::Idle;
    state.waitLogged = false;
    release(client, index, file);
    return;
  }
  const Decision::Kind kind = d.kind;
  const DecisionWrite w = zc::write_decision(client, index);
  if (w == DecisionWrite::Waits) return wait_unwritten(client, index, n);
  state.phase = Phase::Idle;
  state.waitLogged = false;
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process respuesta escrita al fin [%s]",
            decided_path(n, kind).c_str());
  if (w == DecisionWrite::NotRecorded) {
    client.request.assign(d.journal.view());
    ZELClient_GenErrorResponse(client, index, "ND", kNotRecorded);
  }
  finish(client, index, file, n);
}

// An answer that waits from an earlier pass: written once its time has come,
// published once its name is free. false while it still waits: the terminal's
// next request waits behind it.
bool answer_waiting(ZELClient& client, int index, const Names& n) {
  TerminalState& state = client.terminals[index];
  if (state.phase == Phase::Unwritten) {
    if (plat::monotonic_ms() < state.retryAtMs) return false;
    write_again(client, index, n);
    if (state.phase == Phase::Unwritten) return false;
  }
  if (state.phase != Phase::Unpublished && state.phase != Phase::UnpublishedBusy) return true;
  const Path* d = decided(client, n);
  if (d == nullptr) {
    state.phase = Phase::Idle;
  } else if (exists(client, n.request)) {
    // The terminal has asked again meanwhile: the waiting answer is not for this request.
    discard_decided(client, *d);
    state.phase = Phase::Idle;
  } else {
    return publish(client, index, *d, n);
  }
  return true;
}

// look: the terminal's request, read into the request buffer. false when there is
// none to handle now (one held by another process is looked at again soon).
bool look(ZELClient& client, int index, const Names& n, RequestRead* read) {
  TerminalState& state = client.terminals[index];
  const std::uint32_t held = state.heldMs;
  state.heldMs = 0;
  // The open says whether there is a request: no look before it.
  plat::FileHandle f = plat::kNoFile;
  const RequestRead opened =
      zc::open_text(client, n.request.c_str(), plat::OpenMode::ExclusiveRead, &f);
  if (opened == RequestRead::Missing) {
    state.refusedLogged = false;
    return false;
  }
  *read = ZELClient_ReadFileInput(client, n.request.c_str(), f, opened);
  if (*read == RequestRead::Denied) {
    // A name that is no readable regular file (a link, a pipe, a directory) is
    // never read: said once, and left alone until it changes.
    if (!state.refusedLogged) {
      zc::observe_refused(client);
      LOG_Print(LOG_CLI_ERROR,
                "ZELClient_Process [%s] no es un archivo regular que se pueda leer, se deja",
                n.request.c_str());
    }
    state.refusedLogged = true;
    return false;
  }
  if (!read_a_request(*read)) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Process ReadFileInput file [%s]", n.request.c_str());
    if (*read == RequestRead::Busy) {
      state.heldMs = held;
      held_again(state);
    }
    return false;
  }
  state.refusedLogged = false;
  client.asRead.assign(client.request.view());
  state.request = zc::request_checksum(client.asRead.view());
  return true;
}

// take: the request leaves the terminal's name. One that cannot be taken is
// answered from where it stands, and removed there once answered. nullptr when it
// was answered before and is not answered again.
const Path* take(ZELClient& client, int index, const Names& n) {
  TerminalState& state = client.terminals[index];
  const plat::Status took = client.files->rename(n.request.c_str(), n.taken.c_str());
  if (took == plat::Status::Ok) {
    if (!state.recordedInPlace) return &n.taken;
    return taken_again(client, index, n) ? nullptr : &n.taken;
  }
  if (took == plat::Status::NotFound) {
    log_delete(n.request, took);  // the terminal took it back: answered all the same
    return &n.taken;
  }
  log_delete(n.request, plat::Status::Denied);
  return answered_before(client, index) ? nullptr : &n.request;
}

// When the terminal wants its next visit for what waits now, 0 for none.
std::uint32_t wanted_again(const TerminalState& state) {
  if (state.phase == Phase::Unwritten) {
    const std::int64_t left = state.retryAtMs - plat::monotonic_ms();
    return left > 0 ? static_cast<std::uint32_t>(left) : 1;
  }
  return state.heldMs;  // a file held by another process, or 0
}

}  // namespace

void zc::finish_exchanges(ZELClient& client) {
  for (;;) {
    zc::collect_exchanges(client);
    if (zc::exchanges_in_flight(client) == 0) return;
    plat::wake_sleep(1000);
  }
}

void zc::collect_exchanges(ZELClient& client) {
  while (ExchangeJob* job = zc::exchange_finished(client)) {
    const int index = job->terminal;
    TerminalState& state = client.terminals[index];
    const char* terminal = client.config.terminals[index].c_str();
    LOG_SetTag(terminal);
    state.decision.kind = Decision::Kind::None;
    state.phase = Phase::Idle;
    zc::exchange_decide(client, *job);
    Names n;
    if (make_names(client, terminal, n))
      finish(client, index, state.inPlace ? n.request : n.taken, n);
  }
  LOG_SetTag(nullptr);
}

std::uint32_t zc::process_terminal(ZELClient& client, int index) {
  if (index < 0 || index >= client.config.terminalCount) return 0;
  TerminalState& state = client.terminals[index];
  // One exchange in flight per terminal; a new request waits for a free worker.
  if (state.phase == Phase::InFlight) return 0;
  if (!zc::exchange_can_start(client)) {
    client.slotWanted = true;  // looked at again once a worker is free
    return 0;
  }
  Names n;
  if (!make_names(client, client.config.terminals[index].c_str(), n)) return 0;
  if (!state.recovered) {
    state.recovered = true;
    recover(client, index, n);
  }
  if (!answer_waiting(client, index, n)) return wanted_again(state);
  RequestRead read = RequestRead::Missing;
  if (!look(client, index, n, &read)) return wanted_again(state);
  const std::int64_t startMs = plat::monotonic_ms();
  if (const Path* file = take(client, index, n)) {
    answer(client, index, *file, n, read, startMs);
  }
  return wanted_again(state);
}

std::uint32_t zc::next_visit(const ZELClient& client) {
  std::uint32_t soonest = 0;
  for (int i = 0; i < client.config.terminalCount; ++i) {
    const std::uint32_t again = wanted_again(client.terminals[i]);
    if (again != 0 && (soonest == 0 || again < soonest)) soonest = again;
  }
  return soonest;
}
