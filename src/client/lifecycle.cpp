#include "client/lifecycle.h"

#include "client/answers.h"
#include "client/decision.h"
#include "client/exchange.h"
#include "client/journal.h"
#include "client/observe.h"
#include "client/outcomes.h"
#include "client/pipeline.h"
#include "client/termfiles.h"
#include "fileutil/textfile.h"
#include "log/log.h"
#include "tran/fields.h"

namespace {

// A terminal's files, by their place in the life of a request.
struct Names {
  Path request, taken, decided, decidedLocal, answered, answer;
};

bool make_names(const ZELClient& client, const char* terminal, Names& n) {
  return zc::terminal_path(client, terminal, kRequestFile, n.request) &&
         zc::terminal_path(client, terminal, kTakenFile, n.taken) &&
         zc::terminal_path(client, terminal, kDecidedFile, n.decided) &&
         zc::terminal_path(client, terminal, kDecidedLocal, n.decidedLocal) &&
         zc::terminal_path(client, terminal, kAnsweredFile, n.answered) &&
         zc::terminal_path(client, terminal, kAnswerFile, n.answer);
}

bool exists(const ZELClient& client, const Path& path) {
  return client.files->exists(path.c_str()) == plat::Status::Ok;
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

// The request answered was the same as one answered before whose file could not
// be removed: not answered again.
bool answered_before(ZELClient& client, int index, const Names& n) {
  zel::Text<kRequestCapacity> answered;
  if (zc::read_text(client, n.answered.c_str(), plat::OpenMode::ReadRegular, answered) !=
          RequestRead::Ok ||
      answered.view() != client.asRead.view()) {
    return false;
  }
  TerminalState& state = client.terminals[index];
  if (!state.answeredLogged) {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Process receta ya respondida, su archivo no se pudo borrar [%s]",
              client.asRead.c_str());
    state.answeredLogged = true;
  }
  return true;
}

// Removes the request's file once its answer is decided. A file that cannot be
// removed is recorded as answered, so that neither this run nor the next answers
// it again.
void release(ZELClient& client, int index, const Path& file, const Names& n) {
  const plat::Status s = client.files->remove(file.c_str());
  if (s == plat::Status::Ok || s == plat::Status::NotFound) return;
  log_delete(file, s);
  client.terminals[index].answeredKept = true;
  if (FILE_ReplaceText(*client.files, n.answered.c_str(), client.asRead.view()) !=
      plat::Status::Ok) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process no se pudo guardar [%s]", n.answered.c_str());
  }
}

// A request taken away at last: the record of one whose file stayed is done with.
// If it is that very request, it was answered before: released, not answered again.
bool taken_again(ZELClient& client, int index, const Names& n) {
  const bool same = answered_before(client, index, n);
  if (same) client.files->remove(n.taken.c_str());
  client.files->remove(n.answered.c_str());
  return same;
}

// Renames the decided answer over the answer file. An answer file that the
// terminal holds keeps the answer waiting for a later pass. true when published.
bool publish(ZELClient& client, int index, const Path& from, const Names& n) {
  TerminalState& state = client.terminals[index];
  const plat::Status s = client.files->rename(from.c_str(), n.answer.c_str());
  state.phase = s == plat::Status::Ok     ? Phase::Idle
                : s == plat::Status::Busy ? Phase::UnpublishedBusy
                                          : Phase::Unpublished;
  if (s == plat::Status::Ok) {
    state.publishLogged = false;
  } else if (!state.publishLogged) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Process la respuesta espera: no se pudo reemplazar [%s]",
              n.answer.c_str());
    state.publishLogged = true;
  }
  return s == plat::Status::Ok;
}

// Once decided and written: the request's file released, the answer published.
// An answer not written yet keeps the request taken and waits in memory.
void finish(ZELClient& client, int index, const Path& file, const Names& n) {
  TerminalState& state = client.terminals[index];
  const Decision& d = state.decision;
  if (d.kind != Decision::Kind::None && !d.written) {
    state.phase = Phase::Unwritten;
    if (!state.writeLogged) {
      LOG_Print(LOG_CLI_WARNING, "ZELClient_Process la respuesta espera: no se pudo escribir [%s]",
                decided_path(n, d.kind).c_str());
      state.writeLogged = true;
    }
    return;
  }
  if (d.kind != Decision::Kind::None) zc::observe_answer(client, d);
  release(client, index, file, n);
  if (d.kind != Decision::Kind::None) publish(client, index, decided_path(n, d.kind), n);
}

// Decides the answer to the request in the request buffer, releases its file
// and publishes the answer; or leaves that to the end of its exchange in flight.
void answer(ZELClient& client, int index, const Path& file, const Names& n, bool whole,
            std::int64_t startMs) {
  TerminalState& state = client.terminals[index];
  state.inPlace = &file == &n.request;
  state.decision.kind = Decision::Kind::None;
  state.phase = Phase::Idle;
  if (zc::decide_request(client, index, whole, startMs)) {
    state.phase = Phase::InFlight;
  } else {
    finish(client, index, file, n);
  }
}

// A local answer decided before a crash may have missed its journal line; false
// when it is not in the journal and cannot be put there. The line is the one the
// run would have written: the request as relayed (edited, with its terminal's
// name), or as read when its transaction type turned it down before the edit.
bool journal_decided(ZELClient& client, int index, const Path& local) {
  zel::Text<63> number;
  if (zc::read_text(client, local.c_str(), plat::OpenMode::ReadRegular, client.answer) !=
          RequestRead::Ok ||
      !answer_number(client.answer.c_str(), number)) {
    return true;
  }
  if (zc::journal_has(client, number.c_str())) return true;
  zel::Text<kRequestCapacity> relayed(client.asRead.view());
  int packetType = 0;
  const bool edited = zc::edit_request(client, index, relayed, &packetType) == zc::Edit::Ok;
  if (zc::journal_append(client, edited ? relayed.view() : client.asRead.view(), number.c_str()) !=
      plat::Status::Ok) {
    return false;
  }
  zc::journal_cause(client, number.c_str(), Cause::Recovered);
  return true;
}

// What an earlier run left for this terminal, finished.
void recover(ZELClient& client, int index, const Names& n) {
  const bool newer = exists(client, n.request);
  const RequestRead read =
      exists(client, n.taken)
          ? zc::read_text(client, n.taken.c_str(), plat::OpenMode::ReadRegular, client.asRead)
          : RequestRead::Missing;
  const bool taken = read == RequestRead::Ok || read == RequestRead::TooLong;
  if (taken && newer) {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Process descartando receta anterior, el terminal ya escribio otra [%s]",
              client.asRead.c_str());
  }
  if (const Path* d = decided(client, n)) {
    if (newer) {
      discard_decided(client, *d);
    } else if (taken && d == &n.decidedLocal && !journal_decided(client, index, *d)) {
      // Not given unless recorded: the request gets the error answer instead.
      client.files->remove(d->c_str());
      client.request.assign(client.asRead.view());
      client.terminals[index].decision.kind = Decision::Kind::None;
      ZELClient_GenErrorResponse(client, index, "ND", kNotRecorded);
      finish(client, index, n.taken, n);
      return;
    } else {
      if (taken) release(client, index, n.taken, n);
      publish(client, index, *d, n);
      return;
    }
  }
  if (!taken) return;
  if (newer) {
    release(client, index, n.taken, n);
    return;
  }
  if (answered_before(client, index, n)) return;
  LOG_Print(LOG_CLI_WARNING, "ZELClient_Process retomando archivo [%s]", n.taken.c_str());
  client.request.assign(client.asRead.view());
  answer(client, index, n.taken, n, read == RequestRead::Ok, plat::monotonic_ms());
}

// A decided answer that could not be written is written now, and published; or
// discarded when the terminal has asked again meanwhile (its request is then
// answered in this pass). false while it still waits.
bool write_again(ZELClient& client, int index, const Names& n) {
  TerminalState& state = client.terminals[index];
  Decision& d = state.decision;
  const Path& file = state.inPlace ? n.request : n.taken;
  if (!state.inPlace && exists(client, n.request)) {
    log_discard(client, decided_path(n, d.kind), d.text.c_str());
    d.kind = Decision::Kind::None;
    state.phase = Phase::Idle;
    state.writeLogged = false;
    release(client, index, file, n);
    return true;
  }
  const Decision::Kind kind = d.kind;
  const DecisionWrite w = zc::write_decision(client, index);
  if (w == DecisionWrite::Waits) return false;
  state.phase = Phase::Idle;
  state.writeLogged = false;
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process respuesta escrita al fin [%s]",
            decided_path(n, kind).c_str());
  if (w == DecisionWrite::NotRecorded) {
    client.request.assign(d.journal.view());
    ZELClient_GenErrorResponse(client, index, "ND", kNotRecorded);
  }
  finish(client, index, file, n);
  return state.phase != Phase::Unwritten;
}

}  // namespace

void zc::finish_exchanges(ZELClient& client) {
  for (;;) {
    zc::collect_exchanges(client);
    if (zc::exchanges_in_flight(client) == 0) return;
    plat::wake_sleep(1000);
  }
}

bool zc::collect_exchanges(ZELClient& client) {
  bool waits = false;
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
    waits |= state.phase == Phase::Unwritten;
  }
  LOG_SetTag(nullptr);
  return waits;
}

bool zc::process_terminal(ZELClient& client, int index) {
  if (index < 0 || index >= client.config.terminalCount) return false;
  TerminalState& state = client.terminals[index];
  // One exchange in flight per terminal; a new request waits for a free worker.
  if (state.phase == Phase::InFlight) return false;
  if (!zc::exchange_can_start(client)) {
    client.slotWanted = true;  // looked at again once a worker is free
    return false;
  }
  Names n;
  if (!make_names(client, client.config.terminals[index].c_str(), n)) return false;
  if (!state.recovered) {
    state.recovered = true;
    state.answeredKept = exists(client, n.answered);
    recover(client, index, n);
  }
  if (state.phase == Phase::Unwritten && !write_again(client, index, n)) {
    return true;  // tried again soon
  }
  if (state.phase == Phase::Unpublished || state.phase == Phase::UnpublishedBusy) {
    const Path* d = decided(client, n);
    if (d == nullptr) {
      state.phase = Phase::Idle;
    } else if (exists(client, n.request)) {
      // The terminal has asked again meanwhile: the waiting answer is not for this request.
      discard_decided(client, *d);
      state.phase = Phase::Idle;
    } else if (!publish(client, index, *d, n)) {
      return state.phase == Phase::UnpublishedBusy;  // held for a moment: soon; else at a change
    }
  }

  if (client.files->readable(n.request.c_str()) != plat::Status::Ok) {
    state.refusedLogged = false;
    return false;
  }
  const std::int64_t startMs = plat::monotonic_ms();
  const RequestRead r = ZELClient_ReadFileInput(client, n.request.c_str());
  if (r == RequestRead::Denied) {
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
  if (r != RequestRead::Ok && r != RequestRead::TooLong) {
    // A file held by another process is tried again soon.
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Process ReadFileInput file [%s]", n.request.c_str());
    return r == RequestRead::Busy;
  }
  state.refusedLogged = false;
  client.asRead.assign(client.request.view());

  // Take: the request leaves the terminal's name. One that cannot be taken is
  // answered from where it stands, and removed there once answered.
  const plat::Status took = client.files->rename(n.request.c_str(), n.taken.c_str());
  const Path* file = &n.taken;
  if (took == plat::Status::Ok) {
    if (state.answeredKept) {
      state.answeredKept = false;
      if (taken_again(client, index, n)) return false;
    }
  } else if (took == plat::Status::NotFound) {
    log_delete(n.request, took);  // the terminal took it back: answered all the same
  } else {
    log_delete(n.request, plat::Status::Denied);
    file = &n.request;
    if (answered_before(client, index, n)) return false;
  }
  answer(client, index, *file, n, r == RequestRead::Ok, startMs);
  return state.phase == Phase::Unwritten || state.phase == Phase::UnpublishedBusy;
}
