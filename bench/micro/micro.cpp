// Micro-benchmarks of the per-request text work: the field operations, the
// fixed-width layout, packet framing and the CR LF translation. Operations that
// edit in place start each iteration from a fresh copy of their input, so the
// copy is part of the figure. Variants named ".../logged:1" run with the log open
// on /dev/null at the widest window (every Entry/Exit line written). And the one
// piece of start-up that grows with time: reading the journal for the year's floor.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "client/journal.h"
#include "client/layout.h"
#include "common/text.h"
#include "fileutil/textfile.h"
#include "log/log.h"
#include "tran/fields.h"
#include "tran/packet.h"

namespace {

std::string troquel(int n) {
  std::string record = std::to_string(n);
  record.resize(51, 'X');
  return record;
}

// A request as the pipeline holds it after reading, with two troqueles.
const std::string kRequest =
    "|G01=1234|G04=556677|G08=42|G06=" + troquel(7791234) + troquel(7795678) + "|G99=000020|";
// The longest request the buffer holds: padding field first, G99 at the very end.
const std::string kLongRequest =
    "|G01=1234|G04=556677|G08=42|G50=" + std::string(1024 - 44, 'P') + "|G99=000020|";
// A gateway reply (message part).
const std::string kReply =
    "|F01=1234|F04=556677|F08=42|F41=caja1|F50=00|F51=APROBADA|F52=GW0000000001|";

// Opens the log on /dev/null at the widest window while it lives, when asked.
class LogScope {
 public:
  explicit LogScope(bool on) : on_(on) {
    if (on_) {
      char target[] = "/dev/null,1,300";
      LOG_Open(1, 300, target);
    }
  }
  ~LogScope() {
    if (on_) LOG_Close();
  }

 private:
  bool on_;
};

void BM_GetField_G99(benchmark::State& state) {
  LogScope log(state.range(0) != 0);
  zel::Text<6> value;
  zel::TextRef ref = value;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ZEL_TranGetField(kRequest.c_str(), "G99", &ref));
  }
}
BENCHMARK(BM_GetField_G99)->ArgName("logged")->Arg(0)->Arg(1);

void BM_GetField_G99_LongRequest(benchmark::State& state) {
  zel::Text<6> value;
  zel::TextRef ref = value;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ZEL_TranGetField(kLongRequest.c_str(), "G99", &ref));
  }
}
BENCHMARK(BM_GetField_G99_LongRequest);

void BM_GetField_Troqueles(benchmark::State& state) {
  zel::Text<261> value;
  zel::TextRef ref = value;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ZEL_TranGetField(kRequest.c_str(), "G06", &ref));
  }
}
BENCHMARK(BM_GetField_Troqueles);

void BM_GetField_SharedBuffer(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ZEL_TranGetField(kRequest.c_str(), "G01", nullptr));
  }
}
BENCHMARK(BM_GetField_SharedBuffer);

void BM_HasField(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ZEL_TranHasField(kReply.c_str(), "F52"));
  }
}
BENCHMARK(BM_HasField);

void BM_DelField(benchmark::State& state) {
  zel::Text<1024> text;
  for (auto _ : state) {
    text.assign(kRequest);
    benchmark::DoNotOptimize(ZEL_TranDelField(text, "G06"));
  }
}
BENCHMARK(BM_DelField);

void BM_PutField(benchmark::State& state) {
  LogScope log(state.range(0) != 0);
  zel::Text<1024> text;
  for (auto _ : state) {
    text.assign(kRequest);
    benchmark::DoNotOptimize(ZEL_TranPutfield(text, "G41", "caja1"));
  }
}
BENCHMARK(BM_PutField)->ArgName("logged")->Arg(0)->Arg(1);

void BM_End(benchmark::State& state) {
  zel::Text<1024> text;
  for (auto _ : state) {
    text.assign("|G01=1234|G41=caja1");
    benchmark::DoNotOptimize(ZEL_TranEnd(text));
  }
}
BENCHMARK(BM_End);

// The pipeline's whole edit of a request: G06 replaced, G41 appended, closed.
void BM_RewriteRequest(benchmark::State& state) {
  LogScope log(state.range(0) != 0);
  zel::Text<1024> text;
  const std::string kept = troquel(7791234) + troquel(7795678);
  for (auto _ : state) {
    text.assign(kRequest);
    ZEL_TranDelField(text, "G06");
    ZEL_TranPutfield(text, "G06", kept.c_str());
    ZEL_TranPutfield(text, "G41", "caja1");
    benchmark::DoNotOptimize(ZEL_TranEnd(text));
  }
}
BENCHMARK(BM_RewriteRequest)->ArgName("logged")->Arg(0)->Arg(1);

void BM_FixedLayout(benchmark::State& state) {
  LogScope log(state.range(0) != 0);
  zel::Text<1024> text;
  for (auto _ : state) {
    text.assign(kReply);
    benchmark::DoNotOptimize(ZELClient_FixedLayout(text));
  }
}
BENCHMARK(BM_FixedLayout)->ArgName("logged")->Arg(0)->Arg(1);

void BM_MakePacket(benchmark::State& state) {
  const std::string& message = state.range(0) == 0 ? kRequest : kLongRequest;
  unsigned char packet[4096];
  for (auto _ : state) {
    benchmark::DoNotOptimize(ZEL_MakePacket(1, "BNCH", message.c_str(), packet, sizeof packet));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(message.size()));
}
BENCHMARK(BM_MakePacket)->ArgName("long")->Arg(0)->Arg(1);

// As the pipeline frames it: the packet buffer cleared first, then framed.
void BM_ClearAndMakePacket(benchmark::State& state) {
  unsigned char packet[4096];
  for (auto _ : state) {
    std::memset(packet, 0, sizeof packet);
    benchmark::DoNotOptimize(ZEL_MakePacket(1, "BNCH", kRequest.c_str(), packet, sizeof packet));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ClearAndMakePacket);

void BM_CrLfEncode(benchmark::State& state) {
  const std::string text = kReply + "\n";
  char out[2 * 1024 + 2];
  for (auto _ : state) {
    benchmark::DoNotOptimize(zel::crlf_encode(text, out));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CrLfEncode);

void BM_CrLfRead(benchmark::State& state) {
  const std::string disk = kRequest + "\r\n";
  char out[1100];
  for (auto _ : state) {
    zel::CrLfReader reader;
    benchmark::DoNotOptimize(reader.translate(disk.data(), disk.size(), out));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CrLfRead);

// The start's reading of the journal for the floor of the year: a journal of
// years of local pre-authorisations (state.range(0) lines of a typical length).
void BM_JournalYear(benchmark::State& state) {
  char dir[] = "/tmp/zelbench-journal-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  const std::string path = std::string(dir) + "/zelautoresp.txt";
  FILE* journal = std::fopen(path.c_str(), "wb");
  for (std::int64_t i = 1; journal != nullptr && i <= state.range(0); ++i) {
    std::fprintf(journal, "%s|G41=caja1|G52=G%04d%07lld|\r\n", kRequest.c_str(),
                 2020 + static_cast<int>(i % 7), static_cast<long long>(i));
  }
  if (journal != nullptr) std::fclose(journal);
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr || chdir(dir) != 0) {
    state.SkipWithError("no working directory");
    return;
  }
  static ZELClient client;  // the client's state is large: not on the stack
  for (auto _ : state) benchmark::DoNotOptimize(zc::journal_year(client, 2026).highest);
  if (chdir(cwd) != 0) state.SkipWithError("working directory lost");
  std::remove(path.c_str());
  rmdir(dir);
}
BENCHMARK(BM_JournalYear)->Arg(500000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
