// The thin operating-system layer: everything that differs between Linux and
// Windows, and nothing else. posix/ and win32/ each implement this one header;
// the rest of the code includes no OS header. Operations report the project's own
// outcomes (Status), never an OS error number: the texts that the service logs
// for an outcome live with the callers, alike on both systems.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace plat {

enum class Status : std::uint8_t {
  Ok,
  NotFound,   // no such file or directory
  Denied,     // not permitted: read-only, not a regular file, a link, no access
  Busy,       // held by another process right now
  Exists,     // already exists
  Invalid,    // arguments the system refuses
  TooMany,    // no handle left
  BadHandle,  // not an open file, or not open for the operation
  NoSpace,    // the disk is full
  TimedOut,   // a time bound passed first
  Closed,     // the peer closed the connection
  Failed,     // any other failure
};

// ---- Process and time ------------------------------------------------

// Once at start: signals that must never end the process (SIGPIPE, lease breaks).
void process_setup();

// Local broken-down time of t; false when the conversion fails.
bool local_time(std::time_t t, std::tm* out);

// This process's identifier.
long process_id();

// The process's current directory into out (cap bytes); false when it does not fit.
bool current_dir(char* out, std::size_t cap);

// Monotonic wall clock in milliseconds (elapsed time, never CPU time).
std::int64_t monotonic_ms();

void sleep_ms(std::uint32_t ms);

// Sets *flag when the process is asked to stop (SIGINT or SIGTERM; Ctrl+C, Ctrl+Break
// or console close on Windows) instead of ending it, and wakes the loop's waits.
void on_terminate(std::atomic<bool>* flag);

// Sets *flag when the process is asked to reopen its log (SIGHUP, after the file was
// moved away) instead of ending it. Nothing on Windows, which has no such request.
void on_reopen(std::atomic<bool>* flag);

// The bytes a line feed takes in a text stream: 2 on Windows (CR LF), 1 elsewhere.
extern const unsigned kTextLineEndBytes;

// ---- Files -----------------------------------------------------------------
// Every file operation goes through a table of functions, so that a test can put
// its own in front of the system's (a full disk, a refused rename, a crash at any
// write) without root or special file systems.

// The platform's path separator: '\\' on Windows, '/' elsewhere.
extern const char kPathSeparator;

using FileHandle = int;
constexpr FileHandle kNoFile = -1;

enum class OpenMode : std::uint8_t {
  // The service's exclusive opens, binary: Busy while another process holds the
  // file open, and while held, other processes cannot open it. Read: the file must
  // exist; an empty file created less than a second ago counts as held (where
  // creating a file and holding it open are two steps, it may be one that another
  // process is creating). Write: read/write, created when missing, emptied once
  // held. Neither follows a symbolic link nor opens what is not a regular file,
  // and an existing file with other names (hard links) is never opened for writing.
  ExclusiveRead,
  ExclusiveWrite,
  // The same for programs that play a terminal: exclusive among cooperating
  // processes, but the hold never needs breaking (on Linux an advisory lock, not a
  // lease: a lease that the service breaks lingers while its holder lives).
  LockedRead,
  LockedWrite,
  Read,  // plain read of an existing file
  // Plain read of a regular file in a directory that others write in: a link is
  // not followed, and a directory or a pipe is refused at once, never waited on.
  ReadRegular,
  // Who may read a file the service creates (where the system has permissions):
  // the service alone, unless said otherwise.
  Create,        // plain write, created or emptied
  CreatePublic,  // the same, readable by every account (what the service tells)
  CreateNew,     // plain write of a file that must not exist yet (no link is followed),
                 // readable and writable by the root directory's group (the terminals)
  Append,        // plain write at the end, created when missing
  Rewrite,       // plain read/write of an existing file, not emptied (no link is followed)
  // Read/write, created when missing, with an exclusive hold that the system drops
  // when the holder ends (a crash never leaves it behind): Busy while another
  // process holds it. Others may still read it.
  Lock,
};

struct FileOps {
  Status (*open)(const char* path, OpenMode mode, FileHandle* out);
  Status (*read)(FileHandle f, char* buf, std::size_t n, std::size_t* got);  // *got 0: the end
  Status (*write)(FileHandle f, const char* buf, std::size_t n);  // all n bytes, or a failure
  Status (*size)(FileHandle f, std::uint64_t* out);
  Status (*truncate)(FileHandle f, std::uint64_t size);
  Status (*sync)(FileHandle f);  // to the disk
  Status (*close)(FileHandle f);
  Status (*exists)(const char* path);    // Ok when there is something by that name
  Status (*readable)(const char* path);  // Ok when it may be opened for reading
  Status (*writable)(const char* path);  // Ok when missing, or an existing file may be written
  Status (*remove)(const char* path);
  Status (*rename)(const char* from, const char* to);  // replaces to in one step
  Status (*sync_dir)(const char* path);                // makes a rename in path's directory durable
  // All n bytes at offset, in one call where the system has one; the file's
  // position is not used.
  Status (*write_at)(FileHandle f, std::uint64_t offset, const char* buf, std::size_t n);
};

// The system's file operations.
const FileOps& system_files();

// Who made the file at path, for a request that only the service's own account
// may make (the stop file): Trusted when it is a regular file owned by this
// process's account or an administrator (root; SYSTEM or Administrators on
// Windows), Foreign when someone else owns it, NotRegular for a link, a
// directory or anything else; its owner's name into owner.
enum class Owner : std::uint8_t { Trusted, Foreign, NotRegular };
Owner file_owner(const char* path, char* owner, std::size_t cap);

// True when the directory at path is on a file system mounted read-only for this
// process (a sandbox that does not list it as writable, a read-only mount).
bool read_only_dir(const char* path);

// ---- Directory change waiting ----------------------------------------------

enum class WaitOutcome { Signalled, Timeout, Abandoned, Failed, Woken };

// A wake-up for the loop's waits, given by any thread: it ends the directory wait
// (WaitOutcome::Woken) and the fallback sleep; a wake given while nobody waits
// ends the next wait at once. Set up once; false when it cannot be.
bool wake_open();
void wake();
// Sleeps up to timeout_ms, or until woken; true when woken.
bool wake_sleep(std::uint32_t timeout_ms);

// What became of a file in the directory watched, where the system tells.
enum class ChangeKind : std::uint8_t { Written, Created, Removed, MovedFrom, MovedTo, Attributes };
// The watcher's own changes: true for a change of a file directly in the watched
// directory that the watcher made itself, which then ends no wait. Where the
// system names no file (Windows), every change ends a wait.
using OwnChange = bool (*)(const char* name, ChangeKind kind);
void dirwatch_own(OwnChange own);

// One process-wide change notification on a directory and all its
// subdirectories, for the change kinds of filter (FILE_NOTIFY_CHANGE_* bits).
// On failure returns false and puts the system's error text into err.
bool dirwatch_open(const char* path, std::uint32_t filter, char* err, std::size_t errcap);
// Re-arms the notification for the next change; false when it cannot be (also
// once the directory watched is gone).
bool dirwatch_rearm();
// True while the notification watches the directory that its path names: false
// once that directory was removed, moved away or covered by a mount, or the path
// names another directory now (or none). A wait ends when the watched directory
// goes, and on Linux when a mount changes what the path names.
//
// On Linux the check of the path costs a stat, made only when the watch may not
// have told everything: after it was set up, after a wait that timed out or was
// woken, after lost events and mount changes. A change it reported needs none.
bool dirwatch_follows();
WaitOutcome dirwatch_wait(std::uint32_t timeout_ms);
// Once per process, true with the first directory of the tree that is not
// watched because a limit on watched directories was reached; false otherwise.
bool dirwatch_unwatched(char* dir, std::size_t cap);
bool dirwatch_close();

// ---- Sockets ---------------------------------------------------------------
// IPv4 TCP. A socket value is the platform's own (a descriptor, a SOCKET) carried
// as a signed 64-bit int; valid values are above 0 (never 0, so that the handle
// table can use 0 as "reserved"), kNoSocket means none. Addresses are 4 bytes in
// network order, ports in host order. Time bounds are in milliseconds; a negative
// bound waits without end. Sending never raises a signal: a peer that has gone is
// an ordinary failure.

using SocketValue = std::int64_t;
constexpr SocketValue kNoSocket = -1;

// Why a host name could not be resolved.
enum class Resolve : std::uint8_t {
  Ok,
  HostNotFound,    // authoritative: no such host
  TryAgain,        // no answer now, or a server failure
  NoRecovery,      // a failure that will not pass
  NoData,          // the name exists, without an IPv4 address
  NetworkDown,     // the network subsystem has failed
  NotInitialised,  // the sockets library was not started
  Interrupted,     // a blocking call was cancelled
  BadName,         // the name is not valid memory
  InProgress,      // another blocking call is in progress
  Other,
};

// Starts the sockets library; false with the system's reason in why.
bool net_startup(char* why, std::size_t whycap);
void net_cleanup();

// First IPv4 address of a host name or dotted address.
Resolve net_resolve(const char* host, std::uint8_t addr[4]);

SocketValue net_socket();  // a new TCP socket, or kNoSocket
// Connects within timeout_ms: Ok, TimedOut, or Failed (refused, unreachable...).
// After TimedOut the connect goes on, and net_connect_wait can wait for it again.
Status net_connect(SocketValue s, const std::uint8_t addr[4], std::uint16_t port,
                   std::int32_t timeout_ms);
// Waits within timeout_ms for a connect that timed out to end: Ok, TimedOut, Failed.
Status net_connect_wait(SocketValue s, std::int32_t timeout_ms);
// Waits within timeout_ms until a read would not wait (data, the peer's close or an
// error): Ok, TimedOut, or Failed. Nothing is read.
Status net_wait_readable(SocketValue s, std::int32_t timeout_ms);
// Binds to port on every local address, for listening: a port whose earlier
// connections wait in TIME_WAIT is taken at once (SO_REUSEADDR on POSIX, the
// system's own way on Windows); a port another socket listens on is refused.
Status net_bind_any(SocketValue s, std::uint16_t port);
Status net_listen(SocketValue s, int backlog);
// Waits without bound for a client; the peer's address goes to peer.
SocketValue net_accept(SocketValue s, std::uint8_t peer[4]);  // new socket, or kNoSocket
// The port the socket is bound to, or -1.
int net_local_port(SocketValue s);
// One send of at most n bytes once the socket takes data, within timeout_ms:
// Ok with the count sent (> 0) in *sent, TimedOut, or Failed.
Status net_send(SocketValue s, const void* data, std::size_t n, std::int32_t timeout_ms,
                std::size_t* sent);
// One read of at most n bytes once data is there, within timeout_ms: Ok with the
// count (> 0) in *got, Closed when the peer has closed, TimedOut, or Failed.
Status net_recv(SocketValue s, void* dest, std::size_t n, std::int32_t timeout_ms,
                std::size_t* got);
Status net_shutdown(SocketValue s, int how);  // how: 0 receive, 1 send, 2 both
Status net_close(SocketValue s);
// Sends all n bytes, net_send after net_send, before deadline (a monotonic_ms()
// time): Ok, TimedOut or Failed. Portable: net_deadline.cpp.
Status net_send_all(SocketValue s, const void* data, std::size_t n, std::int64_t deadline);
// What is left of deadline (a monotonic_ms() time) as a call's bound: 0 once passed.
std::int32_t ms_until(std::int64_t deadline);

// ---- Named mutex -----------------------------------------------------------
// A mutex known by name, never shared beyond the user's own session: on Windows a
// session-local named mutex, on Linux one that lives in the process (the state it
// guards is the process's own). An owner thread that ends while holding it leaves
// it abandoned: the next wait obtains it and reports WaitOutcome::Abandoned (the
// protected state may be inconsistent).

using MutexHandle = void*;

// Makes sure the mutex exists from now until the process ends (an existing one is
// accepted); keeps no handle for the caller. false when it cannot be created, with
// the system's reason in why.
bool named_mutex_create(const char* name, char* why, std::size_t whycap);
MutexHandle named_mutex_open(const char* name);  // nullptr when it cannot be opened
// Signalled: the caller owns it now. Abandoned: owned, after a dead owner.
// Timeout: not obtained within timeout_ms. Failed: any other failure.
WaitOutcome named_mutex_wait(MutexHandle m, std::uint32_t timeout_ms);
void named_mutex_release(MutexHandle m);  // harmless when not owned
void named_mutex_close(MutexHandle m);

}  // namespace plat
