// Frames parsed per second on one core, per format family, and heap allocations per
// parsed frame (counted by the replaced global operator new below). The frames are
// every call the frame builder sends for the family's models, cut as the framing
// cuts them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "frames/frame_builder.h"
#include "parse/parse_frame.h"
#include "support/delivered_frames.h"

namespace {
std::atomic<size_t> allocations{0};
}  // namespace

void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

struct ModelFrame {
  uint32_t model;
  lindra::testing::DeliveredFrame frame;
};

std::vector<ModelFrame> FramesFor(std::initializer_list<uint32_t> models) {
  std::vector<ModelFrame> frames;
  for (uint32_t model : models) {
    for (char kind : lindra::sim::SupportedKinds(model)) {
      const bool box = model >= 7 && model <= 13;
      const lindra::sim::CallSpec call{kind, box ? (model == 7 ? "01" : "2") : "7012", "201", "0212345678", "0115 0941",
                                       ""};
      for (auto& frame : lindra::testing::FramesOf(model, lindra::sim::BuildFrame(model, call)))
        frames.push_back({model, std::move(frame)});
    }
  }
  return frames;
}

void BM_ParseFrame(benchmark::State& state, std::initializer_list<uint32_t> models) {
  const auto frames = FramesFor(models);
  const size_t before = allocations.load();
  size_t parsed = 0;
  for (auto _ : state) {
    for (const auto& f : frames) {
      auto outcome = lindra::ParseFrame(f.frame.bytes, f.frame.length, f.model, "031", lindra::text::EdgeEncoding());
      benchmark::DoNotOptimize(outcome);
    }
    parsed += frames.size();
  }
  state.SetItemsProcessed(static_cast<int64_t>(parsed));
  state.counters["allocs/frame"] = static_cast<double>(allocations.load() - before) / static_cast<double>(parsed);
}

BENCHMARK_CAPTURE(BM_ParseFrame, samsung, {2, 3, 4, 102, 103, 104, 106, 107});
BENCHMARK_CAPTURE(BM_ParseFrame, lg, {5, 6, 105});
BENCHMARK_CAPTURE(BM_ParseFrame, caller_id, {7, 8, 9, 10, 11, 12, 13});
BENCHMARK_CAPTURE(BM_ParseFrame, cti, {202});

}  // namespace

BENCHMARK_MAIN();
