// Plug-ins at work inside a running listener: command-set files name the
// test libraries, bytes go in through GotData and the host's lines show what
// the preprocess plug-in, the output filter, the code map and the analyzer
// plug-in did.
#include "PluginTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using poshark_test::LineCollector;
using poshark_test::PluginPath;
using poshark_test::Texts;
using Strings = std::vector<std::string>;

namespace {

class PluginListenerTest : public ::testing::Test {
 protected:
  void Start(const std::string& main) {
    work_.WriteSet("set.ini", "[Main]\nModule_Name=Plugins\n" + main);
    listener_ = std::make_unique<RCPosHark>(4);
    ASSERT_TRUE(listener_->SelectCmdSet(0));
    listener_->SetGateOpenTime(0);
    listener_->ListenStart(&LineCollector::Callback, true);
  }
  void Feed(const std::string& bytes) {
    std::string copy = bytes;
    listener_->GotData(static_cast<int>(copy.size()), reinterpret_cast<unsigned char*>(copy.data()));
  }
  void TearDown() override {
    if (listener_) listener_->ListenStop();
    listener_.reset();
  }
  std::string PreprocessKey(const std::string& function) {
    work_.CopyPlugin("preprocess", "libpre.so");
    return "DllPreprocess=1,libpre.so," + function + "\n";
  }

  poshark_test::WorkFolder work_;
  LineCollector lines_;
  std::unique_ptr<RCPosHark> listener_;
};

TEST_F(PluginListenerTest, PreprocessDropsReplacesRetagsAndAttachesExtraBlocks) {
  Start(PreprocessKey("Preprocess"));
  Feed("first\nDROP this\nSWAP here\nCANCEL sale\nTAG me\nlast\n");
  auto got = lines_.WaitFor(5);
  ASSERT_EQ(Texts(got),
            Strings({"first\n", "replaced text here\n", "CANCEL sale\n", "TAG me\n", "last\n"}));
  EXPECT_EQ(got[0].nEvent, 0);  // the first text opens the transaction
  EXPECT_EQ(got[1].nEvent, -1);
  EXPECT_EQ(got[2].nEvent, 2);  // changed by the plug-in
  EXPECT_EQ(got[3].extra, "extra:7");
  EXPECT_EQ(got[4].extra, "");
}

TEST_F(PluginListenerTest, PreprocessWithoutFunctionLeavesRecordsAlone) {
  work_.CopyPlugin("preprocess", "libpre.so");
  Start("DllPreprocess=1,libpre.so\n");
  Feed("DROP is plain text here\n");
  EXPECT_EQ(Texts(lines_.WaitFor(1)), Strings({"DROP is plain text here\n"}));
}

TEST_F(PluginListenerTest, NegativeOutCountDropsOnlyThatRecord) {
  Start(PreprocessKey("PreprocessNegativeCount"));
  Feed("one\nNEG two\nthree\n");
  EXPECT_EQ(Texts(lines_.WaitFor(2)), Strings({"one\n", "three\n"}));
}

TEST_F(PluginListenerTest, BadExtraBlocksAreCheckedBeforeUse) {
  Start(PreprocessKey("PreprocessBadExtra"));
  Feed("NEGX\nLONGX\nNULLX\nHUGEX\nend\n");
  auto got = lines_.WaitFor(5);
  ASSERT_EQ(Texts(got), Strings({"NEGX\n", "LONGX\n", "NULLX\n", "HUGEX\n", "end\n"}));
  EXPECT_EQ(got[0].extra, "");
  EXPECT_EQ(got[1].extra, std::string(260, 'L'));  // bounded by the writer's extra buffer
  EXPECT_EQ(got[2].extra, "");
  // A count far beyond the block: only the bounded part is ever read.
  EXPECT_EQ(got[3].extra.substr(0, 16), std::string(16, 'H'));
}

TEST_F(PluginListenerTest, OversizedPreprocessOutputIsDroppedAndLaterRecordsFlow) {
  Start(PreprocessKey("PreprocessHugeOut"));
  // 150000 bytes cannot be delivered; a count of 0x7fffffff over a small
  // block must not be copied at all.
  Feed("before\nHUGE\nLIAR\nafter\n");
  EXPECT_EQ(Texts(lines_.WaitFor(2)), Strings({"before\n", "after\n"}));
}

TEST_F(PluginListenerTest, OutputFilterRewritesTextInPlace) {
  Start("UseFilterDll=1," + PluginPath("filter") + ",FilterMaskDigits\n");
  Feed("Card 4111 1111\n");
  EXPECT_EQ(Texts(lines_.WaitFor(1)), Strings({"Card #### ####\n"}));
}

TEST_F(PluginListenerTest, OutputFilterMayLengthenTheText) {
  work_.CopyPlugin("filter", "libfilter.so");
  Start("UseFilterDll=1,libfilter.so,FilterAppendMark\n");
  Feed("paid");
  Feed("\n");
  EXPECT_EQ(Texts(lines_.WaitFor(1)), Strings({"paid\n [ok]"}));
}

TEST_F(PluginListenerTest, CodeMapIsAppliedBeforeTheOutputFilter) {
  Start("UseFilterDll=1," + PluginPath("filter") + ",FilterMaskDigits\n");
  unsigned char table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
  table['O'] = '0';  // the filter then masks it as a digit
  listener_->EnableCodeMap(true, table);
  Feed("TOTAL 5\n");
  EXPECT_EQ(Texts(lines_.WaitFor(1)), Strings({"T#TAL #\n"}));
}

TEST_F(PluginListenerTest, CodeMapChangedWhileListeningNeverTearsARecord) {
  Start("");
  unsigned char tableX[256], tableY[256];
  for (int i = 0; i < 256; ++i) tableX[i] = tableY[i] = static_cast<unsigned char>(i);
  for (int c = 'a'; c <= 'z'; ++c) {
    tableX[c] = 'x';
    tableY[c] = 'y';
  }
  listener_->EnableCodeMap(true, tableX);
  std::atomic<bool> bDone{false};
  std::thread host([&] {
    for (int i = 0; !bDone; ++i) listener_->EnableCodeMap(true, (i & 1) ? tableX : tableY);
  });
  for (int i = 0; i < 200; ++i) Feed("abcdefghijklmnopqrstuvwxyz\n");
  auto got = lines_.WaitFor(200);
  bDone = true;
  host.join();
  ASSERT_EQ(got.size(), 200u);
  for (const auto& line : got) {
    ASSERT_EQ(line.text.size(), 27u);
    EXPECT_TRUE(line.text == std::string(26, 'x') + "\n" || line.text == std::string(26, 'y') + "\n")
        << line.text;
  }
}

TEST_F(PluginListenerTest, MeasureAnsweringOutsideOneToThreeNeverStallsTheAnalyzer) {
  Start("UseDll=1," + PluginPath("analyzer") +
        "\nS-Num=1\n[Single-Command]\n1=2,ESC,L,3,MeasureAnswerSeven\n");
  Feed("ab\x1bL\x01xcd\n");
  Feed("next line\n");
  EXPECT_EQ(Texts(lines_.WaitFor(2)), Strings({"ab", "next line\n"}));
}

TEST_F(PluginListenerTest, LengthPrefixedParameterSpanningTwoChunksIsRemovedWhole) {
  // The unused TRAN_START command switches the automatic start off, so no
  // record is cut at the removed command.
  Start("UseDll=1," + PluginPath("analyzer") +
        "\nS-Num=2\n[Single-Command]\n1=2,ESC,L,3,MeasureLenPrefixed\n"
        "2=1,0xFF,1,1,0,TRAN_START\n");
  // The LF inside the parameter ends the first chunk; the plug-in asks for
  // more data and the analyzer merges the next chunk.
  Feed("Item\x1bL\x04" "ab\ncd 2.00\n");
  EXPECT_EQ(Texts(lines_.WaitFor(1)), Strings({"Itemd 2.00\n"}));
}

TEST_F(PluginListenerTest, BarcodeTransformResultReachesTheHost) {
  Start("UseDll=1," + PluginPath("analyzer") +
        "\n[BARCODE]\n1=2,GS,k,3,MeasureSkipPrefix,1,BC:\n[BARCODE_Analyze]\n1=BarcodeFirstByte\n");
  Feed("pre\x1dk\x03" "987post\n");
  // The barcode comes first, as a record of its own; the text around it follows.
  EXPECT_EQ(Texts(lines_.WaitFor(2)), Strings({"BC:7", "prepost\n"}));
}

}  // namespace
