// Every fixed limit that a deployment can reach, in one place: the README's table
// of limits states each of them, and the buffers, checks and texts of the code are
// made from them.
#pragma once

#include <cstddef>

// The command line.
constexpr int kMaxTerminals = 10;                // -t names
constexpr std::size_t kTerminalNameMax = 15;     // characters of a terminal name
constexpr std::size_t kClientNameMax = 4;        // -n
constexpr std::size_t kRootPathMax = 128;        // -r
constexpr int kHostMax = 63;                     // -g host, and any host:port text's host
constexpr int kPortMin = 1, kPortMax = 65535;    // -g port
constexpr std::size_t kPharmacyIdMax = 127;      // -F
constexpr int kMaxConcurrency = 16;              // ZELCLIENT_CONCURRENCY, and the workers

// A request and its answer.
constexpr std::size_t kRequestCapacity = 1024;   // a request, an edited one, an answer file
constexpr std::size_t kTroquelListMax = 261;     // G06
constexpr std::size_t kPacketBufferSize = 4096;  // a packet, a reply (one byte less is read)

// The socket layer and the probes.
constexpr int kSocketSlots = 256;                // handles per process
constexpr int kProbeCount = 3;                   // ZELCLIENT_PROBE_HOSTS entries
constexpr std::size_t kProbeHostMax = 140;       // characters of an entry, ":80" included

// Directories watched below the root on Linux.
constexpr int kMaxWatches = 512;
