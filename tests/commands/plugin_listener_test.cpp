// Plug-ins at work inside a running listener: command-set files name the
// test library, bytes go in through GotData and the host's lines show what
// the preprocess plug-in, the output filter, the code map and the analyzer
// plug-in did.
#include "commands/PluginTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using poshark_test::PluginPath;
using poshark_test::Texts;
using Strings = std::vector<std::string>;

namespace {

class PluginListenerTest : public poshark_test::ListenerTest {
 protected:
  void StartWith(const std::string& keys) { Start("[Main]\nModule_Name=Plugins\n" + keys); }
};

TEST_F(PluginListenerTest, PreprocessDropsReplacesRetagsAndAttachesExtraBlocks) {
  StartWith("DllPreprocess=1," + PluginPath() + ",Preprocess\n");
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

TEST_F(PluginListenerTest, CountsBeyondTheirBlocksAreCheckedBeforeUse) {
  StartWith("DllPreprocess=1," + PluginPath() + ",PreprocessBadCounts\n");
  // A negative, oversized or lying out count drops only its record.
  Feed("one\nNEG two\nHUGE\nLIAR\nNEGX\nLONGX\nNULLX\nHUGEX\nend\n");
  auto got = lines_.WaitFor(6);
  ASSERT_EQ(Texts(got), Strings({"one\n", "NEGX\n", "LONGX\n", "NULLX\n", "HUGEX\n", "end\n"}));
  EXPECT_EQ(got[1].extra, "");
  EXPECT_EQ(got[2].extra, std::string(260, 'L'));  // bounded by the writer's extra buffer
  EXPECT_EQ(got[3].extra, "");
  // A count far beyond the block: only the bounded part is ever read.
  EXPECT_EQ(got[4].extra.substr(0, 16), std::string(16, 'H'));
}

TEST_F(PluginListenerTest, PluginsActOnTheDeliveredText) {
  const struct {
    std::string keys;
    Strings chunks, lines;
  } cases[] = {
      // A preprocess key without function leaves records alone.
      {"DllPreprocess=1," + PluginPath() + "\n",
       {"DROP is plain text\n"},
       {"DROP is plain text\n"}},
      {"UseFilterDll=1," + PluginPath() + ",FilterMaskDigits\n",
       {"Card 4111 1111\n"},
       {"Card #### ####\n"}},
      {"UseFilterDll=1," + PluginPath() + ",FilterAppendMark\n", {"paid", "\n"}, {"paid\n [ok]"}},
      {"UseDll=1," + PluginPath() + "\nS-Num=1\n[Single-Command]\n1=2,ESC,L,3,MeasureAnswerSeven\n",
       {"ab\x1bL\x01xcd\n", "next line\n"},
       {"ab", "next line\n"}},  // never stalls
      // The LF inside the parameter ends the first chunk; the plug-in asks
      // for more and the analyzer merges the next chunk. The unused
      // TRAN_START switches the automatic start off, so no record is cut
      // at the removed command.
      {"UseDll=1," + PluginPath() +
           "\nS-Num=2\n[Single-Command]\n1=2,ESC,L,3,MeasureLenPrefixed\n"
           "2=1,0xFF,1,1,0,TRAN_START\n",
       {"Item\x1bL\x04"
        "ab\ncd 2.00\n"},
       {"Itemd 2.00\n"}},
      // The barcode comes first, as a record of its own; the text around it follows.
      {"UseDll=1," + PluginPath() +
           "\n[BARCODE]\n1=2,GS,k,3,MeasureSkipPrefix,1,BC:\n"
           "[BARCODE_Analyze]\n1=BarcodeLastByte\n",
       {"pre\x1dk\x03"
        "987post\n"},
       {"BC:7", "prepost\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    poshark_test::LineCollector lines;
    StartWith(c.keys);
    for (const std::string& chunk : c.chunks) Feed(chunk);
    EXPECT_EQ(Texts(lines.WaitFor(c.lines.size())), c.lines);
    TearDown();
  }
}

TEST_F(PluginListenerTest, CodeMapIsAppliedBeforeTheOutputFilter) {
  StartWith("UseFilterDll=1," + PluginPath() + ",FilterMaskDigits\n");
  unsigned char table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
  table[static_cast<unsigned char>('O')] = '0';  // the filter then masks it as a digit
  listener_->EnableCodeMap(true, table);
  Feed("TOTAL 5\n");
  EXPECT_EQ(Texts(lines_.WaitFor(1)), Strings({"T#TAL #\n"}));
}

TEST_F(PluginListenerTest, CodeMapChangedWhileListeningNeverTearsARecord) {
  StartWith("");
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
  for (const auto& line : got)
    EXPECT_TRUE(line.text == std::string(26, 'x') + "\n" ||
                line.text == std::string(26, 'y') + "\n")
        << line.text;
}

}  // namespace
