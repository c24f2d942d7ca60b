// Byte intake: the cutting into line chunks, the decoding of text-sender
// streams and the raw trace file.
#include <gtest/gtest.h>

#include <random>

#include "listener/DebugFlag.h"
#include "listener/ListenerKit.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace {

std::string Bytes(std::initializer_list<int> list) {
  std::string out;
  for (int by : list) out.push_back(static_cast<char>(by));
  return out;
}

class Intake : public ::testing::Test {
 protected:
  RCCmdSet* Use(const std::string& sections) {
    return probe_.UseSet(home_.Write("set.ini", "[Main]\nModule_Name=Intake\n" + sections));
  }
  kit::Home home_;
  kit::PipelineProbe probe_;
};

TEST_F(Intake, CutsChunksAtLineEndsAndKeepsTheRestForTheNextCall) {
  struct Case {
    const char* pszWhat;
    std::string sections;
    std::vector<std::string> feeds;
    std::vector<std::string> chunks;
    int nFill;
  };
  const std::string kCrFirst = "C-Num=2\n[ChangeLine-Command]\n1=1,CR\n2=2,CR,LF\n";
  const Case cases[] = {
      {"line feed", "", {"AB\nCD", "\n"}, {"AB\n", "CD\n"}, 0},
      {"overlong line",
       "",
       {std::string(4500, 'x')},
       std::vector<std::string>(4, std::string(1000, 'x')),
       500},
      {"command split across calls",
       "C-Num=1\n[ChangeLine-Command]\n1=2,ESC,J\n",
       {"abc\x1b", "Jdef\n"},
       {"abc\x1bJ", "def\n"},
       0},
      {"longer command listed first",
       "C-Num=2\n[ChangeLine-Command]\n1=2,CR,LF\n2=1,CR\n",
       {"a\rb\r\nc\n"},
       {"a\rb\r\n", "c\n"},
       0},
      {"shorter command listed first", kCrFirst, {"a\rb\r\nc\n"}, {"a\r", "b\r", "\n", "c\n"}, 0},
      // 0xD0 0x80 is the letter A, 0xC2 0xB0 a line feed; the plain 0x41
      // after them is no line end of its own.
      {"graph stream",
       "bGraphMode=1\n",
       {Bytes({0xD0, 0x80, 0xC2}), Bytes({0xB0, 0x41})},
       {"A\n"},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszWhat);
    Use(c.sections);
    for (const std::string& feed : c.feeds) kit::Feed(probe_, feed);
    EXPECT_EQ(probe_.TakeChunks(), c.chunks);
    EXPECT_EQ(probe_.LineFill(), c.nFill);
  }
}

TEST_F(Intake, SameStreamWholeOrInRandomPiecesGivesTheSameChunksAndLosesNothing) {
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
  kit::Feed(probe_, stream);  // one call far larger than the line buffer
  auto whole = probe_.TakeChunks();
  int nWholeFill = probe_.LineFill();
  std::string joined;
  for (const auto& c : whole) joined += c;
  ASSERT_EQ(joined.size() + static_cast<size_t>(nWholeFill), stream.size());
  EXPECT_EQ(joined, stream.substr(0, joined.size()));

  Use(sections);
  for (size_t nDone = 0; nDone < stream.size();) {
    size_t n = std::min<size_t>(stream.size() - nDone, 1 + rng() % 700);
    kit::Feed(probe_, stream.substr(nDone, n));
    nDone += n;
  }
  EXPECT_EQ(probe_.TakeChunks(), whole);
  EXPECT_EQ(probe_.LineFill(), nWholeFill);
}

TEST_F(Intake, TextSenderStreamIsDroppedUntilDecodedAndTheCallersBufferIsLeftAlone) {
  RCCmdSet* pSet = Use("bPOSTextSenderMode=1\n");
  const std::string sent = Bytes({0x14, 0x24, 0xA0});
  kit::Feed(probe_, sent);
  EXPECT_TRUE(probe_.TakeChunks().empty());
  probe_.SetSenderDecode(true);
  pSet->nIdleCount = 5;
  std::string caller = sent;
  probe_.GotData(3, reinterpret_cast<unsigned char*>(caller.data()));
  EXPECT_EQ(probe_.TakeChunks(), std::vector<std::string>{"AB\n"});
  EXPECT_EQ(caller, sent);
  EXPECT_EQ(pSet->nIdleCount.load(), 0) << "arriving bytes restart the idle count";
}

TEST(IntakeWithoutSet, BytesWithoutCommandSetOrStartAreDropped) {
  kit::PipelineProbe probe;
  std::string bytes = "abc\n";
  probe.GotData(4, reinterpret_cast<unsigned char*>(bytes.data()));
  probe.GotData(-1, reinterpret_cast<unsigned char*>(bytes.data()));
  probe.GotData(4, nullptr);
  EXPECT_TRUE(probe.TakeChunks().empty());
}

// ---------------------------------------------------------------- raw trace

constexpr const char* kTrace = "POSTrace/POS03Trace20260304.bin2";

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.CommandSet("plain.ini", "[Main]\nModule_Name=Plain\n");
    poshark::platform::SetLocalTimeSourceForTesting([] {
      SYSTEMTIME st{};
      st.wYear = 2026;
      st.wMonth = 3;
      st.wDay = 4;
      return st;
    });
  }
  void TearDown() override {
    poshark::platform::SetLocalTimeSourceForTesting({});
    poshark::platform::SetFreeBytesSourceForTesting({});
  }
  void Start(RCPosHark& listener, const std::string& keys) {
    home_.Write("KexDeBug.ini", "[POSTrace]\n" + keys);
    ASSERT_TRUE(listener.SelectCmdSet(0));
    listener.ListenStart(&kit::Sink::Callback, true);
  }
  kit::Home home_;
};

TEST_F(Trace, RecordsHoldALittleEndianCountAndTheBytesAsReceived) {
  RCPosHark listener(3);
  Start(listener, "POS3=1\n");
  kit::Feed(listener, "abc");
  kit::Feed(listener, "de\nfg");
  listener.ListenStop();
  EXPECT_EQ(home_.Read(kTrace), Bytes({3, 0, 0, 0}) + "abc" + Bytes({5, 0, 0, 0}) + "de\nfg");
}

TEST_F(Trace, TracesOnlyANumberedPosWithMoreThanTheHeadroomFree) {
  struct Case {
    int nPos;
    bool bQueryOk;
    uint64_t nFree;
    bool bTraced;
  };
  const Case cases[] = {{3, true, 524288001, true},
                        {0, true, 1ull << 40, false},
                        {3, false, 1ull << 40, false},
                        {3, true, 524288000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.nPos) + " " + std::to_string(c.nFree));
    poshark::platform::SetFreeBytesSourceForTesting([c](const std::string&, uint64_t* pOut) {
      *pOut = c.nFree;
      return c.bQueryOk;
    });
    RCPosHark listener(c.nPos);
    Start(listener, "POS0=1\nPOS3=1\n");
    kit::Feed(listener, "abc");
    listener.ListenStop();
    int nFiles = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(home_.Path("POSTrace"), ec);
         it != std::filesystem::directory_iterator(); ++it) {
      ++nFiles;
    }
    EXPECT_EQ(nFiles, c.bTraced ? 1 : 0);
    std::filesystem::remove_all(home_.Path("POSTrace"));
  }
}

TEST_F(Trace, RemovedTraceFileIsNotRecreatedAndWritingResumesWhenItIsBack) {
  RCPosHark listener(3);
  Start(listener, "POS3=1\n");
  std::filesystem::remove(home_.Path(kTrace));
  kit::Feed(listener, "lost");
  EXPECT_FALSE(std::filesystem::exists(home_.Path(kTrace)));
  home_.Write(kTrace, "");
  kit::Feed(listener, "kept");
  listener.ListenStop();
  EXPECT_EQ(home_.Read(kTrace), Bytes({4, 0, 0, 0}) + "kept");
}

TEST_F(Trace, DumpKeySwitchesTheDebugStringsOnAndOff) {
  RCPosHark listener(3);
  Start(listener, "Dump=1\n");
  EXPECT_TRUE(g_bDump.load());
  Start(listener, "Dump=0\n");
  EXPECT_FALSE(g_bDump.load());
  listener.ListenStop();
}

}  // namespace
