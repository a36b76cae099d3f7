// The thin operating-system layer: everything that differs between Linux and
// Windows, and nothing else. posix/ and win32/ each implement this one header;
// the rest of the code includes no OS header.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace plat {

// ---- Process and time ------------------------------------------------------

// Once at start: signals that must never end the process (SIGPIPE, lease breaks).
void process_setup();

// Local broken-down time of t; false when the conversion fails.
bool local_time(std::time_t t, std::tm* out);

// Monotonic wall clock in milliseconds (elapsed time, never CPU time).
std::int64_t monotonic_ms();

void sleep_ms(std::uint32_t ms);

// The system's text for an error code of this platform (errno values on POSIX,
// GetLastError and Windows Sockets codes on Windows), into out.
void describe_error(unsigned long code, char* out, std::size_t cap);

// Sets *flag when the process is asked to stop (SIGINT or SIGTERM; Ctrl+C, Ctrl+Break
// or console close on Windows) instead of ending it.
void on_terminate(std::atomic<bool>* flag);

// ---- Files -----------------------------------------------------------------

// The platform's path separator: '\\' on Windows, '/' elsewhere.
extern const char kPathSeparator;

// Exclusive opens in binary mode: refused with errno EACCES while another process
// holds the file open, and while held, other processes cannot open it.
// Read: the file must exist; an empty file created less than a second ago counts
// as held (where creating a file and holding it open are two steps, it may be one
// that another process is creating). Write: read/write, created when missing, emptied.
// Both return a descriptor, or -1 with errno set.
int file_open_exclusive_read(const char* path);
int file_open_exclusive_write(const char* path);
// The same for programs that play a terminal: exclusive among cooperating
// processes, but the hold never needs breaking. On Linux an advisory lock, not a
// lease: a lease that the service breaks lingers while its holder lives, and the
// service could not take the file until then.
int file_open_locked_read(const char* path);
int file_open_locked_write(const char* path);
long file_read(int fd, char* buf, std::size_t n);         // bytes read, 0 at end, -1 + errno
long file_write(int fd, const char* buf, std::size_t n);  // bytes written or -1 + errno
int file_close(int fd);

// access() modes: 0 existence, 4 read permission. 0 when allowed, else -1 + errno.
int file_access(const char* path, int mode);
int file_unlink(const char* path);  // 0, or -1 + errno

// Replaces path's content atomically: writes a temporary file in the same
// directory, flushes it to disk and renames it over path. A reader sees the old
// or the new content, never an empty or partial file. 0, or -1 + errno.
int file_replace_atomic(const char* path, const char* data, std::size_t n);

// ---- Directory change waiting ----------------------------------------------

enum class WaitOutcome { Signalled, Timeout, Abandoned, Failed };

// One process-wide change notification on a directory and all its
// subdirectories, for the change kinds of filter (FILE_NOTIFY_CHANGE_* bits).
// On failure returns -1 and puts the system's error text into err.
int dirwatch_open(const char* path, std::uint32_t filter, char* err, std::size_t errcap);
// Re-arms the notification for the next change; -1 when it cannot be.
int dirwatch_rearm();
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
// The result of a connect, send or receive whose time bound passed first.
constexpr int kTimedOut = -2;

// Host-lookup failure codes (the Windows Sockets numbers on every platform).
constexpr int kResolveHostNotFound = 11001;
constexpr int kResolveTryAgain = 11002;
constexpr int kResolveNoRecovery = 11003;
constexpr int kResolveNoData = 11004;

// 0, or -1 when the sockets library cannot be started, with the system's reason in why.
int net_startup(char* why, std::size_t whycap);
void net_cleanup();

// First IPv4 address of a host name or dotted address. 0, or a failure code:
// one of kResolve*, or another platform code.
int net_resolve(const char* host, std::uint8_t addr[4]);

SocketValue net_socket();  // a new TCP socket, or kNoSocket
// Connects within timeout_ms. 0; -1 when refused or failed; kTimedOut when not done in time.
int net_connect(SocketValue s, const std::uint8_t addr[4], std::uint16_t port,
                std::int32_t timeout_ms);
// Binds to port on every local address (no socket option set). 0, or -1.
int net_bind_any(SocketValue s, std::uint16_t port);
int net_listen(SocketValue s, int backlog);  // 0, or -1
// Waits without bound for a client; the peer's address goes to peer.
SocketValue net_accept(SocketValue s, std::uint8_t peer[4]);  // new socket, or kNoSocket
// The port the socket is bound to, or -1.
int net_local_port(SocketValue s);
// One send of at most n bytes once the socket takes data, within timeout_ms:
// the count sent (> 0), -1 on failure, kTimedOut when the bound passed.
long net_send(SocketValue s, const void* data, std::size_t n, std::int32_t timeout_ms);
// One read of at most n bytes once data is there, within timeout_ms: the count
// read (> 0), 0 when the peer has closed, -1 on failure, kTimedOut when the bound passed.
long net_recv(SocketValue s, void* dest, std::size_t n, std::int32_t timeout_ms);
int net_shutdown(SocketValue s, int how);  // how: 0 receive, 1 send, 2 both; 0 or -1
int net_close(SocketValue s);              // 0 or -1

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
