// The physical floor of one request on this machine: the file operations and the
// loopback TCP exchange of one request, done back to back in one process, with
// no service in between and no waiting for a wake-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zb {

struct FloorResult {
  bool ok = false;
  std::string error;
  std::vector<std::int64_t> samples;  // nanoseconds per request
};

// Runs the floor loop in directory dir against the gateway on 127.0.0.1:port for
// durationNs (at least minIterations). Each iteration, timed from the close of
// the request file to the answer's close being seen:
//   terminal  write and close "cajaXin.txt"
//   service   read its change notification; access, open, read, close, unlink the
//             request; connect, send the packet, receive the reply, close; create,
//             write and close "cajaXout.txt"
//   terminal  read its change notification (the answer's close)
// and then, untimed as in the end-to-end run, the terminal reads and deletes the answer.
FloorResult run_floor(const std::string& dir, int port, std::int64_t durationNs, int minIterations);

// The same work split between two processes that hand it over through inotify,
// as a terminal and the service do: a minimal relay process sleeps until the
// request's close, then does the service's part above; the terminal sleeps until
// the answer's close. The difference from run_floor is the cost of the two
// wake-ups that any service built on dropped files pays; the difference from the
// end-to-end run is the service's own work.
FloorResult run_floor_woken(const std::string& dir, int port, std::int64_t durationNs,
                            int minIterations);

}  // namespace zb
