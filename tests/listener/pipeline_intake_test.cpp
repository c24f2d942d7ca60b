// Byte intake: the cutting into line chunks, the decoding of text-sender
// streams and the raw trace file.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "listener/DebugFlag.h"
#include "pipeline_support.h"
#include "platform/Clock.h"
#include "platform/Files.h"

using namespace pipeline_test;

namespace {

std::string Bytes(std::initializer_list<int> list) {
  std::string out;
  for (int by : list) out.push_back(static_cast<char>(by));
  return out;
}

class Intake : public ::testing::Test {
 protected:
  RCCmdSet* Use(const std::string& sections) {
    RCCmdSet* pSet = probe_.UseSet(dir_.Write("set.ini", "[Main]\nModule_Name=Intake\n" + sections));
    probe_.PrepareIntake();
    return pSet;
  }
  void Feed(const std::string& bytes) {
    std::string copy = bytes;
    probe_.GotData(static_cast<int>(copy.size()), reinterpret_cast<unsigned char*>(copy.data()));
  }

  TempTree dir_;
  PipelineProbe probe_;
};

TEST_F(Intake, LineFeedEndsAChunkAndTheRestWaitsForTheNextCall) {
  Use("");
  Feed(Bytes({0x41, 0x42, 0x0A, 0x43, 0x44}));
  EXPECT_EQ(probe_.TakeChunks(), std::vector<std::string>{"AB\n"});
  EXPECT_EQ(probe_.LineFill(), 2);
  Feed("\n");
  EXPECT_EQ(probe_.TakeChunks(), std::vector<std::string>{"CD\n"});
  EXPECT_EQ(probe_.LineFill(), 0);
}

TEST_F(Intake, OverlongLineLeavesInThousandBytePieces) {
  Use("");
  Feed(std::string(4500, 'x'));
  auto chunks = probe_.TakeChunks();
  ASSERT_EQ(chunks.size(), 4u);
  for (const auto& c : chunks) EXPECT_EQ(c, std::string(1000, 'x'));
  EXPECT_EQ(probe_.LineFill(), 500);
}

TEST_F(Intake, CallLargerThanTheRoomIsTakenInPassesWithoutLossOrRepeat) {
  Use("");
  std::string first(3000, 'a');
  Feed(first);
  std::string second;
  for (int i = 0; i < 9000; ++i) second.push_back(i % 1777 == 1776 ? '\n' : char('b' + i % 20));
  Feed(second);
  std::string joined;
  for (const auto& c : probe_.TakeChunks()) {
    EXPECT_TRUE(c.back() == '\n' || c.size() == 1000u) << c.size();
    joined += c;
  }
  std::string all = first + second;
  ASSERT_EQ(joined.size() + static_cast<size_t>(probe_.LineFill()), all.size());
  EXPECT_EQ(joined, all.substr(0, joined.size()));
}

TEST_F(Intake, ChangeLineCommandSplitAcrossCallsEndsTheLine) {
  Use("C-Num=1\n[ChangeLine-Command]\n1=2,ESC,J\n");
  Feed("abc\x1b");
  EXPECT_TRUE(probe_.TakeChunks().empty());
  Feed("Jdef\n");
  EXPECT_EQ(probe_.TakeChunks(), (std::vector<std::string>{"abc\x1bJ", "def\n"}));
}

TEST_F(Intake, ListOrderDecidesWhetherALoneCarriageReturnEndsALine) {
  Use("C-Num=2\n[ChangeLine-Command]\n1=2,CR,LF\n2=1,CR\n");
  Feed("a\rb\r\nc\n");
  EXPECT_EQ(probe_.TakeChunks(), (std::vector<std::string>{"a\rb\r\n", "c\n"}));

  Use("C-Num=2\n[ChangeLine-Command]\n1=1,CR\n2=2,CR,LF\n");
  Feed("a\rb\r\nc\n");
  EXPECT_EQ(probe_.TakeChunks(), (std::vector<std::string>{"a\r", "b\r", "\n", "c\n"}));
}

TEST_F(Intake, SameStreamWholeOrInRandomPiecesGivesTheSameChunks) {
  std::mt19937 rng(42);
  std::string stream;
  const char kBytes[] = {'a', 'b', '\n', '\x1b', 'J', '\r', 'q'};
  for (int i = 0; i < 30000; ++i) {
    // Now and then a stretch without any line end, longer than the buffer.
    if (i % 9000 == 0) stream += std::string(4500, 'z');
    stream.push_back(kBytes[rng() % sizeof kBytes]);
  }
  const std::string sections = "C-Num=2\n[ChangeLine-Command]\n1=2,ESC,J\n2=3,CR,q,a\n";
  Use(sections);
  Feed(stream);
  auto whole = probe_.TakeChunks();
  int nWholeFill = probe_.LineFill();

  Use(sections);
  for (size_t nDone = 0; nDone < stream.size();) {
    size_t n = std::min<size_t>(stream.size() - nDone, 1 + rng() % 700);
    Feed(stream.substr(nDone, n));
    nDone += n;
  }
  EXPECT_EQ(probe_.TakeChunks(), whole);
  EXPECT_EQ(probe_.LineFill(), nWholeFill);
}

TEST_F(Intake, TextSenderStreamIsDroppedUntilDecodingIsOn) {
  Use("bPOSTextSenderMode=1\n");
  std::string sent = Bytes({0x14, 0x24, 0xA0});
  Feed(sent);
  EXPECT_TRUE(probe_.TakeChunks().empty());
  probe_.SetDecode(true);
  std::string caller = sent;
  probe_.GotData(3, reinterpret_cast<unsigned char*>(caller.data()));
  EXPECT_EQ(probe_.TakeChunks(), std::vector<std::string>{"AB\n"});
  // The host's buffer is left as it gave it.
  EXPECT_EQ(caller, sent);
}

TEST_F(Intake, GraphStreamIsDecodedBeforeItIsCut) {
  Use("bGraphMode=1\n");
  // 0xD0 0x80 is the letter A, 0xC2 0xB0 a line feed; the plain 0x41 after
  // them is no line end of its own.
  Feed(Bytes({0xD0, 0x80, 0xC2}));
  EXPECT_TRUE(probe_.TakeChunks().empty());
  Feed(Bytes({0xB0, 0x41}));
  EXPECT_EQ(probe_.TakeChunks(), std::vector<std::string>{"A\n"});
  EXPECT_EQ(probe_.LineFill(), 1);
}

TEST_F(Intake, ArrivingBytesRestartTheIdleCount) {
  RCCmdSet* pSet = Use("");
  pSet->nIdleCount = 5;
  Feed("x");
  EXPECT_EQ(pSet->nIdleCount.load(), 0);
}

TEST(IntakeWithoutSet, BytesWithoutCommandSetOrStartAreDropped) {
  PipelineProbe probe;
  std::string bytes = "abc\n";
  probe.GotData(4, reinterpret_cast<unsigned char*>(bytes.data()));
  probe.GotData(-1, reinterpret_cast<unsigned char*>(bytes.data()));
  probe.GotData(4, nullptr);
  EXPECT_TRUE(probe.TakeChunks().empty());
}

// ---------------------------------------------------------------- raw trace

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    places_.CommandSet("plain.ini", "[Main]\nModule_Name=Plain\n");
    poshark::platform::SetLocalTimeSourceForTesting([] {
      SYSTEMTIME st{};
      st.wYear = 2026;
      st.wMonth = 3;
      st.wDay = 4;
      st.wHour = 10;
      return st;
    });
  }
  void TearDown() override {
    poshark::platform::SetLocalTimeSourceForTesting({});
    poshark::platform::SetFreeBytesSourceForTesting({});
  }
  void Settings(const std::string& keys) { places_.home.Write("KexDeBug.ini", "[POSTrace]\n" + keys); }
  static void Feed(RCPosHark& listener, std::string bytes) {
    listener.GotData(static_cast<int>(bytes.size()), reinterpret_cast<unsigned char*>(bytes.data()));
  }

  ScopedPlaces places_;
};

TEST_F(Trace, RecordsHoldALittleEndianCountAndTheBytesAsReceived) {
  Settings("POS3=1\n");
  RCPosHark listener(3);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.ListenStart(&LineSink::Callback, true);
  Feed(listener, "abc");
  Feed(listener, "de\nfg");
  listener.ListenStop();
  std::string file = places_.home.Read("POSTrace/POS03Trace20260304.bin2");
  EXPECT_EQ(file, Bytes({3, 0, 0, 0}) + "abc" + Bytes({5, 0, 0, 0}) + "de\nfg");
}

TEST_F(Trace, PosNumberZeroNeverTraces) {
  Settings("POS0=1\nDump=0\n");
  RCPosHark listener(0);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.ListenStart(&LineSink::Callback, true);
  Feed(listener, "abc");
  listener.ListenStop();
  EXPECT_FALSE(std::filesystem::exists(places_.home.Path("POSTrace")));
}

TEST_F(Trace, TracingNeedsMoreThanFiveHundredMebibytesFree) {
  Settings("POS3=1\n");
  uint64_t* pFree = new uint64_t(524288000);
  std::shared_ptr<uint64_t> free(pFree);
  poshark::platform::SetFreeBytesSourceForTesting([free](const std::string&, uint64_t* pOut) {
    *pOut = *free;
    return true;
  });
  RCPosHark listener(3);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.ListenStart(&LineSink::Callback, true);
  Feed(listener, "abc");
  EXPECT_FALSE(std::filesystem::exists(places_.home.Path("POSTrace/POS03Trace20260304.bin2")));

  // Room at the start: tracing runs until a write leaves too little.
  *free = 524288001;
  listener.ListenStart(&LineSink::Callback, true);
  *free = 1000;
  Feed(listener, "first");
  Feed(listener, "second");
  listener.ListenStop();
  EXPECT_EQ(places_.home.Read("POSTrace/POS03Trace20260304.bin2"), Bytes({5, 0, 0, 0}) + "first");
}

TEST_F(Trace, FailingFreeSpaceQueryCountsAsNoRoom) {
  Settings("POS3=1\n");
  poshark::platform::SetFreeBytesSourceForTesting([](const std::string&, uint64_t*) { return false; });
  RCPosHark listener(3);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.ListenStart(&LineSink::Callback, true);
  Feed(listener, "abc");
  listener.ListenStop();
  EXPECT_FALSE(std::filesystem::exists(places_.home.Path("POSTrace/POS03Trace20260304.bin2")));
}

TEST_F(Trace, RemovedTraceFileIsNotRecreatedAndWritingResumesWhenItIsBack) {
  Settings("POS3=1\n");
  RCPosHark listener(3);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.ListenStart(&LineSink::Callback, true);
  const std::string rel = "POSTrace/POS03Trace20260304.bin2";
  std::filesystem::remove(places_.home.Path(rel));
  Feed(listener, "lost");
  EXPECT_FALSE(std::filesystem::exists(places_.home.Path(rel)));
  places_.home.Write(rel, "");
  Feed(listener, "kept");
  listener.ListenStop();
  EXPECT_EQ(places_.home.Read(rel), Bytes({4, 0, 0, 0}) + "kept");
}

TEST_F(Trace, DumpKeySwitchesTheDebugStringsOnAndOff) {
  Settings("Dump=1\n");
  RCPosHark listener(3);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.ListenStart(&LineSink::Callback, true);
  EXPECT_TRUE(g_bDump.load());
  Settings("Dump=0\n");
  listener.ListenStart(&LineSink::Callback, true);
  EXPECT_FALSE(g_bDump.load());
  listener.ListenStop();
}

}  // namespace
