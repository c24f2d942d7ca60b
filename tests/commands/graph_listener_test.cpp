// A graph-encoded stream, produced by the test's encoder from the sender's
// rule, fed to a listener in host-feed mode and delivered as host lines, in
// a single-byte and a double-byte code page.
#include "GraphEncoder.h"
#include "commands/PluginTestSupport.h"
#include "listener/RCDataQueue.h"
#include "listener/TestAccess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using poshark_test::GraphEncode;
using poshark_test::Texts;

namespace {

class GraphListenerTest : public poshark_test::ListenerTest {
 protected:
  void StartGraph(const char* page) {
    page_.emplace("POSHARK_CODEPAGE", page);
    Start("[Main]\nModule_Name=Graph\nbGraphMode=1\n");
    ASSERT_TRUE(listener_->IsGraphMode());
  }
  void FeedBytes(const std::vector<unsigned char>& bytes) {
    Feed(std::string(bytes.begin(), bytes.end()));
  }
  std::optional<poshark_test::ScopedEnv> page_;
};

TEST_F(GraphListenerTest, DeliversEncodedLinesInSingleAndDoubleByteCodePages) {
  const struct {
    const char* page;
    std::u16string text;
    size_t split;  // inside a sequence: the rest arrives with the next call
    std::vector<std::string> lines;
  } cases[] = {
      {"windows-1252",
       u"Caf\u00e9 latte  3.20\nTotal \u20ac 3.20\n",
       5,
       {"Caf\xe9 latte  3.20\n", "Total \x80 3.20\n"}},
      // U+4E2D U+6587 (GBK D6D0 CEC4), U+4EF7 U+683C (GBK BCDB B8F1).
      {"windows-936",
       u"\u4e2d\u6587 OK\n\u4ef7\u683c 12.50\n",
       5,
       {"\xD6\xD0\xCE\xC4 OK\n", "\xBC\xDB\xB8\xF1 12.50\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    poshark_test::LineCollector lines;
    StartGraph(c.page);
    std::vector<unsigned char> stream = GraphEncode(c.text, 9);
    FeedBytes({stream.begin(), stream.begin() + static_cast<long>(c.split)});
    FeedBytes({stream.begin() + static_cast<long>(c.split), stream.end()});
    EXPECT_EQ(Texts(lines.WaitFor(2)), c.lines);
    TearDown();
  }
}

TEST_F(GraphListenerTest, ChunkLongerThanTheGraphBufferLosesNothing) {
  StartGraph("windows-1252");
  // 500 lines of 15 characters, every character in a four-byte sequence
  // (low part 15): 30000 input bytes in one call, with sequences that cross
  // the decoder's slices.
  std::vector<std::string> expected;
  std::vector<unsigned char> stream;
  for (int i = 0; i < 500; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "item %04d %4d\n", i, i * 7);
    expected.push_back(line);
    for (const char* p = line; *p; ++p)
      poshark_test::AppendGraphSequence(stream,
                                        poshark_test::GraphValue(static_cast<uint16_t>(*p), 15));
  }
  ASSERT_GT(stream.size(), 50001u / 2);
  FeedBytes(stream);
  EXPECT_EQ(Texts(lines_.WaitFor(expected.size(), 10000)), expected);
}

TEST_F(GraphListenerTest, InputWhoseOutputExceedsTheGraphBufferIsCutWhole) {
  StartGraph("windows-1252");
  // With the workers stopped the chunks stay in the analyze queue, where
  // every decoded byte can be counted.
  listener_->ListenStop();
  // One-byte sequences decode to one byte each: 0x46 is 'D' (w = 0x40 ^ 4),
  // 0x23 is LF (w = 8 ^ 2). 60000 input bytes give 60000 output bytes,
  // more than the 50001-byte graph buffer holds at once.
  std::vector<unsigned char> stream;
  for (int i = 0; i < 6000; ++i) {
    stream.insert(stream.end(), 9, 0x46);
    stream.push_back(0x23);
  }
  FeedBytes(stream);
  RCDataQueue& queue = RCPosHarkTestAccess::AnalyzeQueue(*listener_);
  EXPECT_EQ(queue.GetCount(), 6000);
  EXPECT_EQ(queue.GetTotalBytes(), 60000);
  unsigned char buf[16];
  int nLen = sizeof buf;
  ASSERT_TRUE(queue.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 5999, false));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(nLen)), "DDDDDDDDD\n");
}

}  // namespace
