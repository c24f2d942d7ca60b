// Wake-ups between two threads, as the intake wakes the analyzer and the
// analyzer the writer: each thread sets the other's event and waits for its
// own together with a stop event, one round trip per iteration (two
// wake-ups). The CPU time is the whole process's.
//
// BM_EventRoundTrip     the listener's events (platform/Event.h)
// BM_EventfdRoundTrip   the yardstick: an eventfd per event, poll(2) on the
//                       two descriptors and a read to take the signal
//
// Run: build/bench/event_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

#include "platform/Event.h"

namespace {

using poshark::platform::Event;
using poshark::platform::kInfinite;
using poshark::platform::WaitForAny;

void BM_EventRoundTrip(benchmark::State& state) {
  Event stop(Event::kManualReset), ping(Event::kAutoReset), pong(Event::kAutoReset);
  std::thread other([&] {
    while (WaitForAny({&stop, &ping}, kInfinite) == 1) pong.Set();
  });
  for (auto _ : state) {
    ping.Set();
    WaitForAny({&stop, &pong}, kInfinite);
  }
  stop.Set();
  other.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventRoundTrip)->MeasureProcessCPUTime()->UseRealTime();

// An auto-reset event over a non-blocking eventfd.
struct FdEvent {
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ~FdEvent() { ::close(fd); }
  void Set() const {
    uint64_t nOne = 1;
    benchmark::DoNotOptimize(::write(fd, &nOne, sizeof nOne));
  }
};

// Polls stop and event until one is readable: true for the event, taken.
bool WaitFd(const FdEvent& stop, const FdEvent& event) {
  for (;;) {
    pollfd fds[2] = {{stop.fd, POLLIN, 0}, {event.fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || (fds[0].revents & POLLIN)) return false;
    uint64_t nValue = 0;
    if (::read(event.fd, &nValue, sizeof nValue) == sizeof nValue) return true;
  }
}

void BM_EventfdRoundTrip(benchmark::State& state) {
  FdEvent stop, ping, pong;
  std::thread other([&] {
    while (WaitFd(stop, ping)) pong.Set();
  });
  for (auto _ : state) {
    ping.Set();
    WaitFd(stop, pong);
  }
  stop.Set();
  other.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventfdRoundTrip)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
