// From GotData to the host's line callback: the cutting into line chunks, the
// decoding of text-sender streams, what the writer makes
// of the records, and the real merge wait and idle stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "listener/IntakeHold.h"
#include "listener/ListenerKit.h"
#include "platform/Clock.h"

namespace {

using namespace kit;
using Pairs = std::vector<std::pair<std::string, int>>;

// Starts a host-fed listener on the first command set, gate open.
void StartFed(RCPosHark& listener, RCPosHark::LineOutFt pfnLineOut) {
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetGateOpenTime(0);
  listener.ListenStart(pfnLineOut, true);
}

// A cut ends each record and closes its transaction.
const char kCutSet[] =
    "[Main]\nModule_Name=Cut\nC-Num=1\nS-Num=1\n[ChangeLine-Command]\n1=3,GS,V,0x01\n"
    "[Single-Command]\n1=3,GS,V,0x01,1,3,0,TRAN_STOP\n";

class Intake : public ::testing::Test {
 protected:
  RCCmdSet* Use(const std::string& sections) {
    return probe_.UseSet(home_.Write("set.ini", "[Main]\nModule_Name=Intake\n" + sections));
  }
  TempHome home_;
  PipelineProbe probe_;
};

TEST_F(Intake, CutsChunksAtLineEndsAndKeepsTheRestForTheNextCall) {
  // what, set sections, bytes fed call by call, chunks queued, bytes held
  const std::tuple<const char*, std::string, std::vector<std::string>, std::vector<std::string>,
                   int>
      cases[] = {
          {"line feed", "", {"AB\nCD", "\n"}, {"AB\n", "CD\n"}, 0},
          {"overlong line", "", {std::string(4500, 'x')}, {4, std::string(1000, 'x')}, 500},
          {"command split across calls",
           "C-Num=1\n[ChangeLine-Command]\n1=2,ESC,J\n",
           {"abc\x1b", "Jdef\n"},
           {"abc\x1bJ", "def\n"},
           0},
          // 0xD0 0x80 is the letter A, 0xC2 0xB0 a line feed; the plain 0x41
          // after them is no line end of its own.
          {"graph stream", "bGraphMode=1\n", {"\xD0\x80\xC2", "\xB0\x41"}, {"A\n"}, 1},
      };
  for (const auto& [pszWhat, sections, feeds, chunks, nFill] : cases) {
    SCOPED_TRACE(pszWhat);
    Use(sections);
    for (const std::string& feed : feeds) Feed(probe_, feed);
    EXPECT_EQ(probe_.TakeChunks(), chunks);
    EXPECT_EQ(probe_.LineFill(), nFill);
  }
}

TEST_F(Intake, TextSenderStreamIsDroppedUntilDecodedAndBadCallsAreIgnored) {
  std::string bytes = "abc\n";
  probe_.GotData(4, reinterpret_cast<unsigned char*>(bytes.data()));  // no command set yet
  RCCmdSet* pSet = Use("bPOSTextSenderMode=1\n");
  probe_.GotData(-1, reinterpret_cast<unsigned char*>(bytes.data()));
  probe_.GotData(4, nullptr);
  const std::string sent = "\x14\x24\xA0";
  Feed(probe_, sent);
  EXPECT_TRUE(probe_.TakeChunks().empty());
  probe_.SetSenderDecode(true);
  pSet->nIdleCount = 5;
  std::string caller = sent;
  probe_.GotData(3, reinterpret_cast<unsigned char*>(caller.data()));
  EXPECT_EQ(probe_.TakeChunks(), std::vector<std::string>{"AB\n"});
  EXPECT_EQ(caller, sent) << "the caller's buffer is left alone";
  EXPECT_EQ(pSet->nIdleCount.load(), 0) << "arriving bytes restart the idle count";
}

class Writer : public ::testing::Test {
 protected:
  void SetUp() override {
    probe_.UseSet(home_.Write("set.ini", "[Main]\nModule_Name=Writer\n"));
    probe_.SetGateOpenTime(0);
    probe_.StartWriter();
  }
  // Pushes the records and a marker; answers what was delivered before it.
  Pairs Texts(const Pairs& records) {
    size_t nBefore = lines_.Lines().size();
    for (const auto& [text, nEvent] : records) probe_.PushLine(text, nEvent);
    probe_.PushLine("<end>", -1);
    Pairs out;
    for (const Line& l : lines_.WaitForText("<end>", nBefore)) out.emplace_back(l.text, l.nEvent);
    EXPECT_EQ(out.back().first, "<end>");
    return Pairs(out.begin() + static_cast<long>(nBefore), out.end() - 1);
  }
  TempHome home_;
  LineCollector lines_;
  PipelineProbe probe_{5};
};

TEST_F(Writer, TrimsSplitsAtNulAndDropsEmptyOrStrayLines) {
  const std::tuple<const char*, Pairs, Pairs> cases[] = {
      {"spaces around the text", {{"  12.50  ", -1}}, {{"12.50", -1}}},
      {"NUL splits; only the first line carries the event",
       {{std::string("first\0second", 12), 0}},
       {{"first", 0}, {"second", -1}}},
      {"empty only with an event",
       {{"", 1}, {"", -1}, {"   ", 2}, {"   ", -1}},
       {{"", 1}, {"   ", 2}}},
      {"stray one-character lines",
       {{"\x1b", -1}, {"A", -1}, {"\x80", -1}, {"\x81", -1}, {" \x1b ", 0}},
       {{"A", -1}, {"\x80", -1}}},
      {"event of a dropped piece goes on", {{std::string("\x1b\0total", 7), 1}}, {{"total", 1}}},
  };
  for (const auto& [pszWhat, records, want] : cases) EXPECT_EQ(Texts(records), want) << pszWhat;
  char szText[] = "  \tA B  ";
  EXPECT_EQ(probe_.Trim(szText), 4);
  EXPECT_STREQ(szText, "\tA B") << "only spaces are trimmed";
}

TEST_F(Writer, GateHoldsLinesBackUntilItsTimeHasPassedSinceTheOpening) {
  probe_.SetGateOpenTime(1000);
  uint32_t dwNow = poshark::platform::GetTickCount();
  probe_.SetGate(dwNow - 500, false);
  probe_.PushLine("early", -1);
  probe_.PushLine("", -1);  // taken in order: once this is out, "early" was dealt with
  ASSERT_TRUE(WaitUntil([&] { return probe_.WriteQueueCount() == 0; }));
  EXPECT_TRUE(lines_.Lines().empty());
  probe_.SetGate(dwNow - 1500, false);
  EXPECT_EQ(Texts({{"late", -1}}), (Pairs{{"late", -1}}));
}

// A derived host that answers a line from inside its callback.
PipelineProbe* g_echoHost = nullptr;
unsigned short EchoFromInside(char* pszText, SYSTEMTIME* pTime, bool bDST, int nPOSNo, int nEvent,
                              char* pExtra) {
  LineCollector::Callback(pszText, pTime, bDST, nPOSNo, nEvent, pExtra);
  if (std::string(pszText) == "ping") {
    char szEcho[] = "echo";
    g_echoHost->WriteOut(szEcho, pTime, bDST, -1, pExtra);
  }
  return 0;
}

// Regression: the callback's lock was not re-entrant, and the nested call
// hung the writer.
TEST_F(Writer, CallbackMayWriteOutFromInside) {
  probe_.StopWriter();
  g_echoHost = &probe_;
  probe_.StartWriter(&EchoFromInside);
  EXPECT_EQ(Texts({{"ping", 0}}), (Pairs{{"ping", 0}, {"echo", -1}}));
}

// CPU of listener 2's workers while the test sleeps nMs, from the scheduler's
// figures of the threads whose kernel name says so.
double CpuMsWhileSleeping(int nMs) {
  auto used = [] {
    double dSum = 0, dNs = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      std::string name;
      std::getline(std::ifstream(task.path() / "comm"), name);
      if (name.rfind("pos2.", 0) == 0 && std::ifstream(task.path() / "schedstat") >> dNs)
        dSum += dNs;
    }
    return dSum;
  };
  double dStart = used();
  std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
  return (used() - dStart) / 1e6;
}

// What the raw-record callback was handed, chunk by chunk, with a time stamp.
std::mutex g_rawMutex;
std::string g_raw;
unsigned short OnRaw(int nLen, unsigned char* pData, SYSTEMTIME* pTime) {
  std::lock_guard<std::mutex> lock(g_rawMutex);
  if (pTime != nullptr && pTime->wYear >= 2024) g_raw.append(reinterpret_cast<char*>(pData), nLen);
  return 0;
}

TEST(EndToEnd, ChunksWithinTheMergeTimeBecomeOneLineAndTheWaitUsesNoCpu) {
  TempHome home;
  LineCollector lines;
  // A three-byte command makes the analyzer wait for more near every end.
  home.CommandSet("set.ini",
                  "[Main]\nModule_Name=Merge\nS-Num=2\n[Single-Command]\n1=3,GS,V,A,1,3\n"
                  "2=2,ESC,s,1,2,0,TRAN_START\n");
  RCPosHark listener(2);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetGateOpenTime(0);
  listener.SetDstFt([](void*) { return true; });
  listener.ListenStart(&LineCollector::Callback, true);
  listener.SetTestListenFt(&OnRaw);
  Feed(listener, "abc\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  Feed(listener, "def\n");
  EXPECT_LT(CpuMsWhileSleeping(1500), 100.0);
  EXPECT_TRUE(lines.Lines().empty()) << "the text is held while the wait runs";
  // After the wait ran out, new bytes start a text of their own.
  ASSERT_EQ(lines.WaitFor(1).size(), 1u);
  Feed(listener, "ghi\n");
  auto got = lines.WaitFor(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(std::tuple(got[0].text, got[0].bDST, got[1].text),
            std::tuple("abc\ndef\n", true, "ghi\n"));
  EXPECT_GE(got[0].time.wYear, 2024);
  std::lock_guard<std::mutex> lock(g_rawMutex);
  EXPECT_EQ(g_raw, "abc\ndef\nghi\n");  // every chunk the analyzer took
}

// A listener without commands, started in host-feed mode.
class PlainFeed : public ::testing::Test {
 protected:
  void SetUp() override { StartFed(listener, &LineCollector::Callback); }
  TempHome home;
  LineCollector lines;
  // Written before the listener reads the set files.
  bool bSetWritten = (home.CommandSet("set.ini", "[Main]\nModule_Name=Plain\n"), true);
  RCPosHark listener{2};
};

// Chunks merged up to the analyzer's room: the chunk that no longer fits
// ends the text before it, at once, and starts the next one; none of it is
// lost. It comes with the others, or alone while the analyzer waits for it.
TEST(EndToEnd, AChunkBeyondTheRoomStartsTheNextText) {
  TempHome home;
  // A three-byte command makes the analyzer wait for more at every chunk's end.
  home.CommandSet("set.ini",
                  "[Main]\nModule_Name=Cut\nC-Num=1\nS-Num=1\n[ChangeLine-Command]\n1=1,CR\n"
                  "[Single-Command]\n1=3,GS,V,A,1,3\n");
  const std::string chunk = std::string(3999, 'x') + "\n";
  std::string fed;
  for (int i = 0; i < 25; ++i) fed += chunk;
  for (bool bApart : {false, true}) {
    LineCollector lines;
    RCPosHark listener(2);
    StartFed(listener, &LineCollector::Callback);
    Feed(listener, bApart ? fed : fed + chunk + "\r");
    if (bApart) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      Feed(listener, chunk + "\r");
    }
    // Not after the merge wait.
    EXPECT_EQ(lines.WaitFor(1, 2000).size(), 1u) << bApart;
    ASSERT_TRUE(listener.EndOfInput(10000));
    auto got = lines.Lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, fed);
    EXPECT_EQ(got[1].text, chunk + "\r");
    listener.ListenStop();
  }
}

// A host slower than the feed: the records that find the write queue full
// wait beside the analyzer, which goes on meanwhile. They reach the host
// complete and in order, each with its own event and time stamp, as they
// reach a host that keeps up.
TEST(EndToEnd, RecordsWaitingForASlowHostKeepTheirOrderEventsAndTimes) {
  TempHome home;
  home.CommandSet("set.ini", kCutSet);
  static std::atomic<int> s_nHostUs{0};
  auto run = [](int nHostUs) {
    s_nHostUs = nHostUs;
    LineCollector lines;
    RCPosHark listener(2);
    StartFed(listener,
             [](char* pszText, SYSTEMTIME* pTime, bool bDST, int nPos, int nEvent, char* pExtra) {
               std::this_thread::sleep_for(std::chrono::microseconds(s_nHostUs.load()));
               return LineCollector::Callback(pszText, pTime, bDST, nPos, nEvent, pExtra);
             });
    // Four calls 20 ms apart, each of receipts of ten lines and a cut: 100 KB
    // in all, several times what the write queue takes, in records of
    // different lengths, one of them longer than all the room for held lines.
    for (int call = 0; call < 4; ++call) {
      std::string block;
      for (int i = 0; i < 300; ++i) {
        const size_t nDots = call == 2 && i == 150 ? 60000 : i / 10 % 3 == 0 ? 400 : 10 + i % 7;
        block += std::to_string(call) + " item " + std::to_string(i) + std::string(nDots, '.') +
                 (i % 10 == 9 ? "\x1dV\x01\n" : "\n");
      }
      Feed(listener, block);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(listener.EndOfInput(30000));
    listener.ListenStop();
    return lines.Lines();
  };
  const auto fast = run(0);
  const auto slow = run(2000);
  auto texts_events = [](const std::vector<Line>& got) {
    Pairs pairs;
    for (const Line& line : got) pairs.emplace_back(line.text, line.nEvent);
    return pairs;
  };
  ASSERT_EQ(fast.size(), 120u);
  EXPECT_EQ(fast[0].nEvent, TRAN_STOP);
  EXPECT_EQ(texts_events(slow), texts_events(fast));
  auto stamp = [](const SYSTEMTIME& t) {
    return std::tuple(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  };
  // The records of one call carry its time, and later calls later times.
  for (size_t i = 1; i < slow.size(); ++i) {
    auto call = [](const std::string& text) { return text[text.find_first_not_of('\n')]; };
    if (call(slow[i].text) == call(slow[i - 1].text)) {
      EXPECT_EQ(stamp(slow[i].time), stamp(slow[i - 1].time)) << i;
    } else {
      EXPECT_LT(stamp(slow[i - 1].time), stamp(slow[i].time)) << i;
    }
  }
}

// A host held up by its first record while the write queue fills: the
// records after it wait beside the queue in order, also one short enough to
// fit. The analyzer pushes them while it waits for the rest of its last
// text; the bytes the host gives and the end of input it declares meanwhile
// complete that text, not a new one.
TEST(EndToEnd, HeldRecordsKeepTheirOrderAndTheEndOfInputTakesWhatCameBeforeIt) {
  TempHome home;
  home.CommandSet("set.ini", kCutSet);
  static std::atomic<bool> s_bHold{true};
  s_bHold = true;
  LineCollector lines;
  RCPosHark listener(2);
  StartFed(listener,
           [](char* pszText, SYSTEMTIME* pTime, bool bDST, int nPos, int nEvent, char* pExtra) {
             if (std::string(pszText) == "first") WaitUntil([] { return !s_bHold.load(); }, 10000);
             return LineCollector::Callback(pszText, pTime, bDST, nPos, nEvent, pExtra);
           });
  const std::string kCut = "\x1dV\x01\n";
  std::vector<std::string> want{"first"};
  Feed(listener, "first" + kCut);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // Seven records fill the queue to 14000 bytes; the eighth does not fit,
  // the ninth would.
  std::string block;
  for (int i = 0; i < 9; ++i) {
    const std::string text(i < 7 ? 1999 : i == 7 ? 1499 : 499, static_cast<char>('a' + i));
    want.push_back("\n" + text);
    block += text + kCut;
  }
  Feed(listener, block);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Feed(listener, "next\n");
  want.push_back("\nnext\n");
  std::thread ender([&] { EXPECT_TRUE(listener.EndOfInput(10000)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  s_bHold = false;
  ender.join();
  EXPECT_EQ(lines.Texts(), want);
  listener.ListenStop();
}

// A line a millisecond: the analyzer gathers the calls of the stream, and
// every line still comes, in order.
TEST_F(PlainFeed, ALineAMillisecondIsGatheredAndEveryLineArrivesInOrder) {
  std::vector<std::string> want;
  for (int i = 0; i < 200; ++i) {
    Feed(listener, want.emplace_back("item " + std::to_string(i) + "\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  lines.WaitFor(200);
  EXPECT_EQ(lines.Texts(), want);
}

// The analyzer's pace, set by the test: one stall of g_nStallMs at the next
// chunk, then a millisecond's sleep every g_nSlowEvery chunks (0: never).
std::atomic<int> g_nStallMs{0};
std::atomic<int> g_nSlowEvery{0};
unsigned short OnRawPaced(int, unsigned char*, SYSTEMTIME*) {
  static int nChunks = 0;
  if (int nMs = g_nStallMs.exchange(0); nMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
  }
  int nEvery = g_nSlowEvery.load();
  if (nEvery > 0 && ++nChunks % nEvery == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

// A host that feeds faster than the analyzer takes is held, so the analyze
// queue stays bounded and nothing is lost; an analyzer that takes nothing
// holds it once, for a bounded time, not at every call.
TEST_F(PlainFeed, AFastHostIsHeldWhileTheAnalyzerIsBehindAndNoLineIsLost) {
  using namespace std::chrono;
  using poshark::listener::kHoldBytes;
  using poshark::listener::kHoldMaxMs;
  listener.SetTestListenFt(&OnRawPaced);
  std::vector<std::string> want;
  // Long lines keep the count of lines, and so the time a slow (sanitised)
  // build takes to deliver them, small while the bytes pass the hold level.
  const std::string pad(190, '.');
  auto feed = [&](int nBlocks) {
    int nMax = 0;
    for (int b = 0; b < nBlocks; ++b) {
      std::string block;
      while (block.size() < 4000) {
        block += want.emplace_back("item " + std::to_string(want.size()) + pad + "\n");
      }
      Feed(listener, block);
      nMax = std::max(nMax, RCPosHarkTestAccess::AnalyzeQueue(listener).GetTotalBytes());
    }
    return nMax;
  };
  g_nStallMs = 2 * kHoldMaxMs;
  auto start = steady_clock::now();
  feed(100);  // 400 KB: well past the hold level
  auto held = duration_cast<milliseconds>(steady_clock::now() - start).count();
  EXPECT_GE(held, kHoldMaxMs * 9 / 10);
  EXPECT_LT(held, kHoldMaxMs * 3 / 2) << "held once, not at every call";
  lines.WaitFor(want.size(), 20000);
  // Now slow but taking: the host waits for it instead of queuing ahead.
  g_nSlowEvery = 100;
  EXPECT_LE(feed(150), kHoldBytes + 2 * poshark::listener::kLineRoom);
  g_nSlowEvery = 0;
  lines.WaitFor(want.size(), 20000);
  EXPECT_EQ(lines.Texts(), want);
  listener.SetTestListenFt(nullptr);
}

}  // namespace
