// Serial read path throughput on a pseudo-terminal: a writer streams bytes
// into the master while the port object reads 512-byte blocks the way the
// serial reader does.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/SerialPort.h"

using namespace poshark::platform;

static void BM_ReadStreamFromPseudoTerminal(benchmark::State& state) {
  int nMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char szSlave[128] = {};
  if (nMaster < 0 || ::grantpt(nMaster) != 0 || ::unlockpt(nMaster) != 0 ||
      ::ptsname_r(nMaster, szSlave, sizeof szSlave) != 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  auto port = OpenSerialPath(szSlave);
  if (!port || !port->Configure({115200, 8, 0, 0})) {
    state.SkipWithError("cannot open the slave");
    ::close(nMaster);
    return;
  }
  const size_t nBytes = static_cast<size_t>(state.range(0));
  std::vector<char> payload(nBytes, 'x');
  unsigned char buf[512];
  for (auto _ : state) {
    std::thread writer([&] {
      size_t nDone = 0;
      while (nDone < nBytes) {
        ssize_t n = ::write(nMaster, payload.data() + nDone, nBytes - nDone);
        if (n <= 0) break;
        nDone += static_cast<size_t>(n);
      }
    });
    size_t nGot = 0;
    while (nGot < nBytes) {
      int nRead = 0;
      if (port->Read(buf, sizeof buf, &nRead, 500, nullptr) == SerialRead::kLost) break;
      nGot += static_cast<size_t>(nRead);
    }
    writer.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  port.reset();
  ::close(nMaster);
}
// Whole multiples of 512 bytes: the last block completes without waiting
// for the 100 ms of quiet.
BENCHMARK(BM_ReadStreamFromPseudoTerminal)->Arg(64 * 1024)->Arg(1024 * 1024)->UseRealTime();

BENCHMARK_MAIN();
