// Line delivery: what the writer makes of the records of the write queue.
#include <gtest/gtest.h>

#include <cctype>

#include "pipeline_support.h"
#include "platform/Clock.h"

using namespace pipeline_test;

namespace {

class Writer : public ::testing::Test {
 protected:
  void SetUp() override {
    LineSink::Get().Reset();
    probe_.UseSet(dir_.Write("set.ini", "[Main]\nModule_Name=Writer\n"));
    probe_.SetGateOpenTime(0);
    probe_.StartWriter();
  }
  // Pushes the records, then a marker record, and answers what was
  // delivered before the marker.
  std::vector<Line> Deliver(const std::vector<std::pair<std::string, int>>& records) {
    size_t nBefore = LineSink::Get().Lines().size();
    for (const auto& [text, nEvent] : records) probe_.PushLine(text, nEvent);
    probe_.PushLine("<end>", -1);
    std::vector<Line> lines = LineSink::Get().WaitForText("<end>", nBefore);
    EXPECT_TRUE(!lines.empty() && lines.back().text == "<end>");
    if (!lines.empty() && lines.back().text == "<end>") lines.pop_back();
    return std::vector<Line>(lines.begin() + static_cast<long>(nBefore), lines.end());
  }
  static std::vector<std::pair<std::string, int>> Texts(const std::vector<Line>& lines) {
    std::vector<std::pair<std::string, int>> out;
    for (const Line& l : lines) out.emplace_back(l.text, l.nEvent);
    return out;
  }

  TempTree dir_;
  PipelineProbe probe_{5};
};

using Pairs = std::vector<std::pair<std::string, int>>;

TEST_F(Writer, SpacesAroundTheTextAreTrimmed) {
  auto lines = Deliver({{"  12.50  ", -1}});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "12.50");
  EXPECT_EQ(lines[0].nPOSNo, 5);
  EXPECT_EQ(lines[0].time.wDay, 4);
  EXPECT_EQ(lines[0].extra, "");
}

TEST_F(Writer, NulBytesSplitARecordAndOnlyTheFirstLineCarriesTheEvent) {
  EXPECT_EQ(Texts(Deliver({{std::string("first\0second", 12), 0}})),
            (Pairs{{"first", 0}, {"second", -1}}));
}

TEST_F(Writer, EmptyRecordIsDeliveredOnlyWithAnEvent) {
  EXPECT_EQ(Texts(Deliver({{"", 1}, {"", -1}, {"   ", 2}, {"   ", -1}})),
            (Pairs{{"", 1}, {"   ", 2}}));
}

TEST_F(Writer, StrayOneCharacterLinesAreDropped) {
  EXPECT_EQ(Texts(Deliver({{"\x1b", -1}, {"A", -1}, {"\x80", -1}, {"\x81", -1}, {" \x1b ", 0}})),
            (Pairs{{"A", -1}, {"\x80", -1}}));
}

TEST_F(Writer, EventOfADroppedPieceGoesWithTheNextDeliveredOne) {
  EXPECT_EQ(Texts(Deliver({{std::string("\x1b\0total", 7), 1}})), (Pairs{{"total", 1}}));
}

TEST_F(Writer, CodeMapAppliesBeforeTrimming) {
  unsigned char byMap[256];
  for (int i = 0; i < 256; ++i) byMap[i] = static_cast<unsigned char>(i);
  byMap['_'] = ' ';
  byMap['a'] = 'A';
  probe_.EnableCodeMap(true, byMap);
  EXPECT_EQ(Texts(Deliver({{"__abc__", -1}})), (Pairs{{"Abc", -1}}));
  probe_.EnableCodeMap(false, nullptr);
  EXPECT_EQ(Texts(Deliver({{"__abc__", -1}})), (Pairs{{"__abc__", -1}}));
}

TEST_F(Writer, GateHoldsLinesBackUntilItsTimeHasPassedSinceTheOpening) {
  probe_.SetGateOpenTime(1000);
  uint32_t dwNow = poshark::platform::GetTickCount();
  probe_.SetGate(dwNow - 500, false);
  probe_.PushLine("early", -1);
  // The writer takes records in order: once the empty one behind it is out
  // of the queue, "early" has been dealt with.
  probe_.PushLine("", -1);
  while (probe_.WriteQueueCount() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(LineSink::Get().Lines().empty());
  probe_.SetGate(dwNow - 1500, false);
  EXPECT_EQ(Texts(Deliver({{"late", -1}})), (Pairs{{"late", -1}}));
  // Once open the gate lets everything through.
  probe_.SetGate(poshark::platform::GetTickCount(), true);
  EXPECT_EQ(Texts(Deliver({{"later", -1}})), (Pairs{{"later", -1}}));
}

TEST_F(Writer, OutputFilterRewritesTheTextBeforeItIsCut) {
  RCCmdSet* pSet = probe_.Set();
  pSet->pfnFilter = [](char* pBuf, int nCapacity) {
    // Upper-cases all but the end marker, and lengthens "x".
    if (std::strcmp(pBuf, "<end>") == 0) return 0;
    if (std::strcmp(pBuf, "x") == 0 && nCapacity > 8) {
      std::memcpy(pBuf, "x y z", 6);
      return 0;
    }
    for (char* p = pBuf; *p; ++p) *p = static_cast<char>(std::toupper(*p));
    return 0;
  };
  pSet->bUseFilterDll = true;
  EXPECT_EQ(Texts(Deliver({{"abc def", -1}})), (Pairs{{"ABC DEF", -1}}));
  EXPECT_EQ(Texts(Deliver({{"x", 0}})), (Pairs{{"x y z", 0}}));
  pSet->bUseFilterDll = false;
}

TEST_F(Writer, ExtraBlockOfThePreprocessStepReachesTheHost) {
  RCCmdSet* pSet = probe_.Set();
  pSet->pfnPreprocess = [](unsigned char* pData, int nCount, unsigned char** ppOut, int* pOutCount,
                           unsigned char** ppExtra, int* pExtraCount, int*) {
    static unsigned char byExtra[300];
    std::memset(byExtra, 'E', sizeof byExtra);
    *ppOut = pData;
    *pOutCount = nCount;
    *ppExtra = byExtra;
    *pExtraCount = sizeof byExtra;  // longer than the 260 bytes delivered
    return 0;
  };
  pSet->bDllPreprocess = true;
  auto lines = Deliver({{"with extra", -1}});
  pSet->bDllPreprocess = false;
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].extra, std::string(260, 'E'));
}

TEST_F(Writer, RecordLongerThanTheRoomDoesNotHoldBackTheOnesBehindIt) {
  RCCmdSet* pSet = probe_.Set();
  pSet->pfnPreprocess = [](unsigned char* pData, int nCount, unsigned char** ppOut, int* pOutCount,
                           unsigned char**, int*, int*) {
    static std::string big(150000, 'B');
    bool bBig = nCount == 3 && std::memcmp(pData, "BIG", 3) == 0;
    *ppOut = bBig ? reinterpret_cast<unsigned char*>(big.data()) : pData;
    *pOutCount = bBig ? static_cast<int>(big.size()) : nCount;
    return 0;
  };
  pSet->bDllPreprocess = true;
  auto lines = Deliver({{"before", -1}, {"BIG", -1}, {"after", -1}});
  pSet->bDllPreprocess = false;
  EXPECT_EQ(Texts(lines), (Pairs{{"before", -1}, {"after", -1}}));
  EXPECT_EQ(probe_.WriteQueueCount(), 0);
}

TEST(SpaceFilter, TrimsOnlySpacesAndLeavesBlankTextAlone) {
  PipelineProbe probe;
  char szText[] = "  \tA B  ";
  EXPECT_EQ(probe.Trim(szText), 4);
  EXPECT_STREQ(szText, "\tA B");
  char szBlank[] = "   ";
  EXPECT_EQ(probe.Trim(szBlank), 0);
  EXPECT_STREQ(szBlank, "   ");
}

}  // namespace
