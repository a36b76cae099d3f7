#include "client/decision.h"

#include "client/inflight.h"
#include "client/journal.h"
#include "client/sequence.h"
#include "client/termfiles.h"

namespace {

DecisionWrite write_now(ZELClient& client, int index, bool logged) {
  Decision& d = client.terminals[index].decision;
  Path path;
  if (!zc::terminal_path(client, client.config.terminals[index].c_str(), zc::decided_suffix(d.kind),
                         path)) {
    return DecisionWrite::Waits;
  }
  // The record first: a decided file in the root is believed only when it holds this.
  if (logged) zc::inflight_decided(client, index);
  const bool written = logged ? ZELClient_WriteFileOutput(client, path.c_str(), d.text.c_str()) == 0
                              : zc::write_answer_file(client, path.c_str(), d.text.c_str()).stage ==
                                    AnswerWrite::Stage::Done;
  if (!written) return DecisionWrite::Waits;
  if (d.kind == Decision::Kind::Local) {
    // Given only once recorded: a number the journal does not hold goes to no terminal.
    if (zc::journal_append(client, d.journal.view(), client.config.terminals[index].c_str(),
                           d.number.c_str()) != plat::Status::Ok) {
      client.files->remove(path.c_str());
      zc::return_number(client, d.taken);
      d.kind = Decision::Kind::None;
      return DecisionWrite::NotRecorded;
    }
    zc::keep_number(client, d.taken);
    zc::journal_cause(client, d.number.c_str(), d.cause);
  }
  d.written = true;
  return DecisionWrite::Written;
}

}  // namespace

const char* zc::decided_suffix(Decision::Kind kind) {
  return kind == Decision::Kind::Local ? kDecidedLocal : kDecidedFile;
}

DecisionWrite zc::decide_answer(ZELClient& client, int index, Decision::Kind kind, const char* text,
                                const LocalNumber* local) {
  Decision& d = client.terminals[index].decision;
  d.kind = kind;
  d.written = false;
  d.text.clear();
  d.text.assign(text);  // fits: the callers decide only answers that fit an answer file
  d.journal.assign(client.request.view());
  d.number.assign(local != nullptr ? local->number : "");
  d.taken = local != nullptr ? local->taken : SequenceNumber{};
  d.cause = local != nullptr ? local->cause : Cause::Recovered;
  return write_now(client, index, true);
}

DecisionWrite zc::write_decision(ZELClient& client, int index) {
  return write_now(client, index, false);
}
