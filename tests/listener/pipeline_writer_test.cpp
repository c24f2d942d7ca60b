// Line delivery: what the writer makes of the records of the write queue.
#include <gtest/gtest.h>

#include <cstring>

#include "listener/ListenerKit.h"
#include "platform/Clock.h"

namespace {

using Pairs = std::vector<std::pair<std::string, int>>;

class Writer : public ::testing::Test {
 protected:
  void SetUp() override {
    kit::Sink::Get().Reset();
    probe_.UseSet(home_.Write("set.ini", "[Main]\nModule_Name=Writer\n"));
    probe_.SetGateOpenTime(0);
    probe_.StartWriter();
  }
  // Pushes the records and a marker; answers what was delivered before it.
  std::vector<kit::Line> Deliver(const Pairs& records) {
    size_t nBefore = kit::Sink::Get().Lines().size();
    for (const auto& [text, nEvent] : records) probe_.PushLine(text, nEvent);
    probe_.PushLine("<end>", -1);
    std::vector<kit::Line> lines = kit::Sink::Get().WaitForText("<end>", nBefore);
    EXPECT_TRUE(!lines.empty() && lines.back().text == "<end>");
    if (!lines.empty() && lines.back().text == "<end>") lines.pop_back();
    return std::vector<kit::Line>(lines.begin() + static_cast<long>(nBefore), lines.end());
  }
  Pairs Texts(const Pairs& records) {
    Pairs out;
    for (const kit::Line& l : Deliver(records)) out.emplace_back(l.text, l.nEvent);
    return out;
  }

  kit::Home home_;
  kit::PipelineProbe probe_{5};
};

TEST_F(Writer, TrimsSplitsAtNulAndDropsEmptyOrStrayLines) {
  struct Case {
    const char* pszWhat;
    Pairs records;
    Pairs lines;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) EXPECT_EQ(Texts(c.records), c.lines) << c.pszWhat;
  auto lines = Deliver({{"x1", -1}});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].nPOSNo, 5);
  EXPECT_EQ(lines[0].time.wDay, 4);
  EXPECT_EQ(lines[0].extra, "");

  char szText[] = "  \tA B  ";
  EXPECT_EQ(probe_.Trim(szText), 4);
  EXPECT_STREQ(szText, "\tA B") << "only spaces are trimmed";
}

TEST_F(Writer, GateHoldsLinesBackUntilItsTimeHasPassedSinceTheOpening) {
  probe_.SetGateOpenTime(1000);
  uint32_t dwNow = poshark::platform::GetTickCount();
  probe_.SetGate(dwNow - 500, false);
  probe_.PushLine("early", -1);
  // The writer takes records in order: once the one behind it is out of the
  // queue, "early" has been dealt with.
  probe_.PushLine("", -1);
  while (probe_.WriteQueueCount() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(kit::Sink::Get().Lines().empty());
  probe_.SetGate(dwNow - 1500, false);
  EXPECT_EQ(Texts({{"late", -1}}), (Pairs{{"late", -1}}));
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
  EXPECT_EQ(Texts({{"before", -1}, {"BIG", -1}, {"after", -1}}),
            (Pairs{{"before", -1}, {"after", -1}}));
  pSet->bDllPreprocess = false;
  EXPECT_EQ(probe_.WriteQueueCount(), 0);
}

}  // namespace
