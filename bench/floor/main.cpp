// zelbench_floor: the physical floor of one request on this machine, on its own:
// the file operations and the loopback TCP exchange of a request done back to
// back without the service (see common/floor.h). zelbench_e2e measures the same
// floor in each of its runs; this program is for looking at it alone.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "../common/benchsupport.h"
#include "../common/floor.h"

int main(int argc, char** argv) {
  double seconds = 3;
  std::string samples;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      seconds = 0.5;
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (a == "--samples" && i + 1 < argc) {
      samples = argv[++i];
    } else {
      std::fprintf(stderr, "usage: zelbench_floor [--quick] [--seconds S] [--samples FILE]\n");
      return 2;
    }
  }
  const std::string dir = zb::make_temp_dir("zelfloor");
  zb::Gateway gateway;
  if (dir.empty() || !gateway.start()) {
    std::fprintf(stderr, "zelbench_floor: cannot set up\n");
    return 1;
  }
  const zb::FloorResult r =
      zb::run_floor(dir, gateway.port(), static_cast<std::int64_t>(seconds * 1e9), 100);
  gateway.stop();
  zb::remove_tree(dir);
  if (!r.ok) {
    std::printf("floor: FAILED (%s)\n", r.error.c_str());
    return 1;
  }
  const zb::Stats s = zb::stats_of(r.samples);
  std::printf(
      "floor: %zu requests in %.1f s, latency median %.3f ms, p90 %.3f, p99 %.3f, max %.3f"
      " (one process, no service, no wake-ups)\n",
      s.count, seconds, s.median / 1e6, s.p90 / 1e6, s.p99 / 1e6, s.max / 1e6);
  if (!samples.empty()) {
    std::ofstream out(samples);
    for (const auto v : r.samples) out << v << '\n';
  }
  return 0;
}
