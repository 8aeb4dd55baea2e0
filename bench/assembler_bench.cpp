// Frame assembler throughput (MB/s) over a stream of Samsung and LG exchange frames,
// fed in the link's read sizes (serial 4096, LAN 2048 bytes).
#include <benchmark/benchmark.h>

#include <string>

#include "device/frame_assembler.h"
#include "frames/frame_builder.h"

namespace {

// About 1 MB of calls: every kind the model sends, on a few trunks and extensions.
std::string CallStream(uint32_t model) {
  std::string stream;
  lindra::sim::CallSpec call;
  call.time = "12:34:56";
  for (int i = 0; stream.size() < (1 << 20); ++i) {
    call.trunk = std::to_string(701 + i % 8);
    call.extension = std::to_string(201 + i % 30);
    call.callerNumber = "02" + std::to_string(12340000 + i);
    for (char kind : lindra::sim::SupportedKinds(model)) {
      call.kind = kind;
      stream += lindra::sim::BuildFrame(model, call);
    }
  }
  return stream;
}

void Assemble(benchmark::State& state, uint32_t model, lindra::LinkKind link, size_t readSize) {
  const std::string stream = CallStream(model);
  lindra::FrameAssembler assembler(model, link);
  size_t frames = 0, passed = 0;
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += readSize)
      assembler.Feed(std::string_view(stream).substr(at, readSize), [&](std::string_view, size_t, bool passes) {
        ++frames;
        passed += passes;
      });
  }
  benchmark::DoNotOptimize(passed);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(Assemble, samsung_2_serial, 2, lindra::LinkKind::Serial, 4096);
BENCHMARK_CAPTURE(Assemble, samsung_3_serial_marker, 3, lindra::LinkKind::Serial, 4096);
BENCHMARK_CAPTURE(Assemble, samsung_107_lan, 107, lindra::LinkKind::Lan, 2048);
BENCHMARK_CAPTURE(Assemble, lg_5_serial, 5, lindra::LinkKind::Serial, 4096);
BENCHMARK_CAPTURE(Assemble, lg_105_lan, 105, lindra::LinkKind::Lan, 2048);

}  // namespace

BENCHMARK_MAIN();
