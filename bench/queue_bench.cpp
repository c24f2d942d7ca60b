// Record queue throughput: one push and one take per record, as the intake
// and the analyzer use the analyze queue.
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "listener/RCDataQueue.h"

static void BM_PushTakeSameThread(benchmark::State& state) {
  RCDataQueue q(1);
  std::vector<unsigned char> chunk(static_cast<size_t>(state.range(0)), 'x');
  std::vector<unsigned char> out(chunk.size() + 1);
  SYSTEMTIME st{};
  bool bDST = false;
  for (auto _ : state) {
    q.Push(chunk.data(), static_cast<int>(chunk.size()), nullptr, false, 0, -1);
    int nLen = static_cast<int>(out.size());
    q.GetAt(&nLen, out.data(), &st, &bDST, nullptr, nullptr, 0, true);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PushTakeSameThread)->Arg(40)->Arg(1000)->Arg(4000);

// A backlog of records taken from the head: the take must not cost more as
// the queue grows.
static void BM_TakeHeadOfBacklog(benchmark::State& state) {
  RCDataQueue q(1);
  unsigned char chunk[40] = {};
  unsigned char out[64];
  for (int i = 0; i < state.range(0); ++i) {
    q.Push(chunk, sizeof chunk, nullptr, false, 0, -1);
  }
  for (auto _ : state) {
    q.Push(chunk, sizeof chunk, nullptr, false, 0, -1);
    int nLen = sizeof out;
    q.GetAt(&nLen, out, nullptr, nullptr, nullptr, nullptr, 0, true);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TakeHeadOfBacklog)->Arg(10)->Arg(10000)->Arg(100000);

BENCHMARK_MAIN();
