// Terminal files: the paths of a terminal's files in the root directory, a
// request file into the request buffer, an answer text into an answer file; both
// opened exclusively, both in the Windows text format on disk.
#pragma once

#include "client/context.h"

// A terminal's files in the root directory, by suffix of the terminal's name.
constexpr const char* kRequestFile = "in.txt";    // the terminal's request
constexpr const char* kTakenFile = "in.zel";      // the request, taken by the service
constexpr const char* kDecidedFile = "out.zel";   // its answer: the gateway's, or an error
constexpr const char* kDecidedLocal = "aut.zel";  // its answer: a local pre-authorisation
constexpr const char* kAnswerFile = "out.txt";    // the answer, published to the terminal
// Where earlier versions recorded a request answered whose file could not be
// removed (now the working folder's record does).
constexpr const char* kAnsweredFile = "in.fin";

enum class RequestRead {
  Ok,       // read into the request buffer
  Busy,     // another process holds the file right now
  Denied,   // the name is no readable regular file (a link, a directory...)
  Missing,  // there is no such file
  TooLong,  // longer than the request buffer: the buffer holds its beginning
  Foreign,  // holds a byte no request holds (a zero, a control character)
  Failed,   // any other failure
};

// True when a read gave a request to answer (an error answer for one too long or
// holding a foreign byte).
inline bool read_a_request(RequestRead r) {
  return r == RequestRead::Ok || r == RequestRead::TooLong || r == RequestRead::Foreign;
}

// How a write of an answer file went: done, or the step that failed and why.
struct AnswerWrite {
  enum class Stage : std::uint8_t { Done, Open, TooLong, Write };
  Stage stage;
  plat::Status status;
};

// Reads a terminal's request, path opened already with the exclusive open (f,
// closed here; open_text), into the request buffer, at most one byte more than a
// request holds; opened: why it could not be opened, the buffer then left as it was.
RequestRead ZELClient_ReadFileInput(ZELClient& client, const char* path, plat::FileHandle f,
                                    RequestRead opened);

// Writes answer (laid out when the fixed-layout flag is set) as a new file at
// path, one of the service's own names, through the answer buffer, which holds
// the written text afterwards, with the log lines of a failure. 0, or -1.
int ZELClient_WriteFileOutput(ZELClient& client, const char* path, const char* answer);

namespace zc {

// True for a change in the root that the service's own steps make: its names
// (taken, decided, answered requests, the root's lock), the take of a request
// (renamed away from its name) and the publication of an answer (renamed to its
// name). Such changes end no wait: the service never wakes itself.
bool own_change(const char* name, plat::ChangeKind kind);

// "<root>/<terminal><suffix>" into path; false (path empty) when it does not fit.
bool terminal_path(const ZELClient& client, const char* terminal, const char* suffix, Path& path);

// Reads path, translated, into out (its beginning when it does not fit whole).
RequestRead read_text(const ZELClient& client, const char* path, plat::OpenMode mode,
                      zel::TextRef out);
// The same of an open file, closed here.
RequestRead read_open(const ZELClient& client, plat::FileHandle f, zel::TextRef out);
// Opens path in mode: Ok with *f, or why not.
RequestRead open_text(const ZELClient& client, const char* path, plat::OpenMode mode,
                      plat::FileHandle* f);

// True when answer, laid out when the fixed-layout flag is set, fits an answer file.
bool answer_fits(ZELClient& client, const char* answer);
// The answer as its file holds it (laid out when the fixed-layout flag is set);
// false when it does not fit one.
bool laid_out(const ZELClient& client, const char* answer, zel::Text<kRequestCapacity>& laid);

// ZELClient_WriteFileOutput without its log lines; a failed answer leaves no file.
AnswerWrite write_answer_file(ZELClient& client, const char* path, const char* answer);

// A name of the service's in the root that holds what the service did not put
// there (a planted answer, a directory, a link, a pipe): moved aside under a name
// that says so ("<name>.<time>.ajeno"), with one ERROR naming both, so that it
// decides nothing and blocks no terminal. false when it cannot be moved.
bool move_aside(const ZELClient& client, const char* path);

}  // namespace zc
