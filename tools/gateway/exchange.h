// One gateway exchange: read one packet from an accepted connection and answer
// it the way the gateway's mode says.
#pragma once

#include <atomic>
#include <cstdint>

enum class GatewayMode { Approve, Reject, Close, Delay, Silent, Split };

struct GatewaySettings {
  GatewayMode mode = GatewayMode::Approve;
  std::uint32_t delayMs = 1000;  // the wait of Delay, the gap between the pieces of Split
};

// Runs the exchange on connection handle id (which the caller closes afterwards)
// and prints one line about it on standard output. Every wait ends when stop is set.
void GATEWAY_Exchange(int id, const GatewaySettings& settings, const std::atomic<bool>& stop);
