// A graph-encoded stream, produced by the test's encoder from the sender's
// rule, fed to a listener in host-feed mode and delivered as host lines, in
// a single-byte and a double-byte code page.
#include "GraphEncoder.h"
#include "PluginTestSupport.h"
#include "listener/RCDataQueue.h"
#include "listener/TestAccess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using poshark_test::GraphEncode;
using poshark_test::LineCollector;
using poshark_test::Texts;

namespace {

constexpr const char* kGraphSet =
    "[Main]\nModule_Name=Graph\nbGraphMode=1\n";

class GraphListenerTest : public ::testing::Test {
 protected:
  // Starts a listener on the graph set in host-feed mode.
  void Start() {
    work_.WriteSet("graph.ini", kGraphSet);
    listener_ = std::make_unique<RCPosHark>(3);
    ASSERT_TRUE(listener_->SelectCmdSet(0));
    ASSERT_TRUE(listener_->IsGraphMode());
    listener_->SetGateOpenTime(0);
    listener_->ListenStart(&LineCollector::Callback, true);
  }
  void Feed(std::vector<unsigned char> bytes) {
    listener_->GotData(static_cast<int>(bytes.size()), bytes.data());
  }
  void TearDown() override {
    if (listener_) listener_->ListenStop();
    listener_.reset();
  }

  poshark_test::WorkFolder work_;
  LineCollector lines_;
  std::unique_ptr<RCPosHark> listener_;
};

TEST_F(GraphListenerTest, DeliversEncodedLinesInASingleByteCodePage) {
  poshark_test::ScopedEnv page("POSHARK_CODEPAGE", "windows-1252");
  Start();
  std::vector<unsigned char> stream = GraphEncode(u"Caf\u00e9 latte  3.20\nTotal \u20ac 3.20\n");
  // Split inside a sequence: the rest arrives with the next call.
  std::vector<unsigned char> first(stream.begin(), stream.begin() + 7);
  std::vector<unsigned char> rest(stream.begin() + 7, stream.end());
  Feed(first);
  Feed(rest);
  auto got = lines_.WaitFor(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, "Caf\xe9 latte  3.20\n");
  EXPECT_EQ(got[1].text, "Total \x80 3.20\n");
}

TEST_F(GraphListenerTest, DeliversEncodedLinesInADoubleByteCodePage) {
  poshark_test::ScopedEnv page("POSHARK_CODEPAGE", "windows-936");
  Start();
  // U+4E2D U+6587 (GBK D6D0 CEC4), U+4EF7 U+683C (GBK BCDB B8F1).
  Feed(GraphEncode(u"\u4e2d\u6587 OK\n\u4ef7\u683c 12.50\n", 9));
  auto got = lines_.WaitFor(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, "\xD6\xD0\xCE\xC4 OK\n");
  EXPECT_EQ(got[1].text, "\xBC\xDB\xB8\xF1 12.50\n");
}

TEST_F(GraphListenerTest, ChunkLongerThanTheGraphBufferLosesNothing) {
  poshark_test::ScopedEnv page("POSHARK_CODEPAGE", "windows-1252");
  Start();
  // 500 lines of 15 characters, every character in a four-byte sequence
  // (low part 15): 30000 input bytes in one call, with sequences that cross
  // the decoder's slices.
  std::u16string text;
  std::vector<std::string> expected;
  for (int i = 0; i < 500; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "item %04d %4d\n", i, i * 7);
    expected.push_back(line);
    for (const char* p = line; *p; ++p) text.push_back(static_cast<char16_t>(*p));
  }
  std::vector<unsigned char> stream;
  for (char16_t c : text)
    poshark_test::AppendGraphSequence(stream, poshark_test::GraphValue(c, 15));
  ASSERT_GT(stream.size(), 50001u / 2);
  Feed(stream);
  auto got = lines_.WaitFor(expected.size(), 10000);
  EXPECT_EQ(Texts(got), expected);
}

TEST_F(GraphListenerTest, InputWhoseOutputExceedsTheGraphBufferIsCutWhole) {
  poshark_test::ScopedEnv page("POSHARK_CODEPAGE", "windows-1252");
  Start();
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
  Feed(stream);
  RCDataQueue& queue = RCPosHarkTestAccess::AnalyzeQueue(*listener_);
  EXPECT_EQ(queue.GetCount(), 6000);
  EXPECT_EQ(queue.GetTotalBytes(), 60000);
  unsigned char buf[16];
  int nLen = sizeof buf;
  ASSERT_TRUE(queue.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 5999, false));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(nLen)), "DDDDDDDDD\n");
}

}  // namespace
