// Free space for the trace running out while a listener runs: tracing stops
// and stays off until the next start, and every line still reaches the host.
#include <poshark/RCPosHark.h>

#include <gtest/gtest.h>

#include <atomic>

#include "platform/Files.h"
#include "support/LineCollector.h"
#include "support/TempHome.h"

namespace {

using namespace poshark::testing;

constexpr uint64_t kTraceHeadroom = 524288000;  // tracing needs more than this free
constexpr size_t kRecord = 4 + 32;              // count and one fed line

TEST(TraceFullFaults, FreeSpaceRunningOutStopsTracingAndLosesNoLine) {
  TempHome home;
  home.Write("KexDeBug.ini", "[POSTrace]\nPOS6=1\nPOS0=1\n");  // POS 0 is never traced
  home.CommandSet("plain.ini", "[Main]\nModule_Name=Plain\n");
  std::atomic<uint64_t> free{10 * kTraceHeadroom};
  std::atomic<bool> bKnown{true};  // whether the free space can be queried
  poshark::platform::SetFreeBytesSourceForTesting([&](const std::string&, uint64_t* pFree) {
    *pFree = free.load();
    return bKnown.load();
  });
  LineCollector lines;
  {
    RCPosHark unnumbered(0);
    ASSERT_TRUE(unnumbered.SelectCmdSet(0));
    unnumbered.ListenStart(&LineCollector::Callback, true);
    Feed(unnumbered, "abc\n");
    lines.WaitFor(1);
    unnumbered.ListenStop();
  }
  EXPECT_FALSE(std::filesystem::exists(home / "POSTrace"));
  lines.Reset();
  RCPosHark listener(6);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetGateOpenTime(0);
  std::vector<std::string> expected;
  // Feeds lines up to nLast, one chunk each; answers the trace file once
  // every line fed so far came out, in order.
  auto feedUpTo = [&](size_t nLast) {
    while (expected.size() < nLast) {
      std::string& line = expected.emplace_back("line " + std::to_string(10000 + expected.size()) +
                                                " of the receipt 12.50\n");
      Feed(listener, line);
    }
    EXPECT_EQ(lines.WaitFor(expected.size(), 20000).size(), expected.size());
    EXPECT_EQ(lines.Texts(), expected);
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(home / "POSTrace", ec))
      return std::string(std::istreambuf_iterator<char>(std::ifstream(e.path()).rdbuf()), {});
    return std::string();
  };
  listener.ListenStart(&LineCollector::Callback, true);
  std::string trace = feedUpTo(50);
  EXPECT_EQ(trace.size(), 50 * kRecord);
  // Each block as it came, after its length as four little-endian bytes.
  EXPECT_EQ(trace.substr(0, kRecord), std::string("\x20\0\0\0", 4) + expected[0]);
  free = kTraceHeadroom;  // not more than the headroom: not enough
  EXPECT_EQ(feedUpTo(150).size(), 51 * kRecord)
      << "the write that found the space gone was the last";
  free = 10 * kTraceHeadroom;
  EXPECT_EQ(feedUpTo(160).size(), 51 * kRecord) << "room again: still off until the next start";
  // A restart with room traces again, into the same day's file.
  listener.ListenStop();
  listener.ListenStart(&LineCollector::Callback, true);
  EXPECT_EQ(feedUpTo(161).size(), 52 * kRecord);
  listener.ListenStop();
  bKnown = false;  // free space unknown: no trace
  listener.ListenStart(&LineCollector::Callback, true);
  EXPECT_EQ(feedUpTo(162).size(), 52 * kRecord);
  listener.ListenStop();
  poshark::platform::SetFreeBytesSourceForTesting(nullptr);
}

}  // namespace
