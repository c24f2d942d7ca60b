// The analyzer's records for the cases a command set meets in practice:
// transaction commands and markers, barcodes, merging of chunks, overflow of
// the write queue, plug-in measured parameters.
#include <gtest/gtest.h>

#include "analyzer_support.h"

using namespace analyzer_test;

namespace {

const std::string kEsc = "\x1b";
const std::string kGs = "\x1d";

class AnalyzerEdge : public ::testing::Test {
 protected:
  RCCmdSet* Load(const std::string& sections, bool bRecord = true) {
    return probe_.LoadSet(work_.WriteSet("set.ini", "[Main]\nModule_Name=Edge\n" + sections),
                          bRecord);
  }
  // Queues the chunks at seconds 1, 2, ... and answers the records pushed.
  std::vector<Record> Run(const std::vector<std::string>& chunks, bool bDST = false) {
    uint16_t wSecond = 1;
    for (const std::string& c : chunks) probe_.Queue(c, wSecond++, bDST);
    probe_.Drain();
    return probe_.Records();
  }

  poshark_test::WorkFolder work_;
  AnalyzerProbe probe_;
};

TEST_F(AnalyzerEdge, CommandSetsAndChunksGiveTheirRecords) {
  const std::string kStop = "S-Num=1\n[Single-Command]\n1=2,GS,V,1,2,0,TRAN_STOP\n";
  const struct {
    const char* what;
    std::string sections;
    std::vector<std::string> chunks;
    bool bDST;
    std::vector<Record> records;
  } cases[] = {
      {"no commands: chunks pass, the first opens",
       "",
       {"first\n", "second\n"},
       false,
       {{"first\n", 0, 1}, {"second\n", -1, 2}}},
      // Near each chunk's end fewer than three bytes are left: the next chunk
      // is taken in, and the command split across chunks is still removed;
      // the record carries the time of the chunk taken last.
      {"three-byte command merges chunks",
       "S-Num=2\n[Single-Command]\n1=3,GS,V,A,1,3\n2=2,ESC,s,1,2,0,TRAN_START\n",
       {"one\n", "two\n" + kGs, "VAthree\n"},
       false,
       {{"one\ntwo\nthree\n", -1, 3}}},
      {"stop before more bytes: the whole buffer once",
       kStop,
       {"total 5\n" + kGs + "V" + "after\n"},
       false,
       {{"total 5\nafter\n", 1, 1}}},
      {"stop at the data's end closes at once",
       kStop,
       {"total 5\n" + kGs + "V", "next\n"},
       false,
       {{"total 5\n", 1, 1}, {"next\n", 0, 2}}},
      {"removed start after text: that text opens",
       "S-Num=1\n[Single-Command]\n1=2,ESC,s,1,2,0,TRAN_START\n",
       {"tail of last\n" + kEsc + "s" + "ITEM 1\n"},
       false,
       {{"tail of last\n", 0, 1}, {"ITEM 1\n", -1, 1}}},
      {"start at the buffer start opens with the text up to the next command",
       "S-Num=2\n[Single-Command]\n1=2,ESC,s,1,2,0,TRAN_START\n2=2,ESC,E,1,2\n",
       {kEsc + "s" + "HEADER\n" + kEsc + "E" + "ITEM\n"},
       false,
       {{"HEADER\n", 0, 1}, {"ITEM\n", -1, 1}}},
      // A marker stays in the text; the head up to and including it opens.
      {"start marker after text, DST chunk",
       "S-Num=1\n[Single-Command]\n1=2,ESC,M,1,0,0,TRAN_START\n",
       {"before\n" + kEsc + "M" + "after\n"},
       true,
       {{"before\n" + kEsc + "M", 0, 1, true}, {"after\n", -1, 1, true}}},
      // The first command after a close opens automatically: the head up to
      // it, with its replacement, is the opening record.
      {"replacement text",
       "S-Num=2\n[TAB]\nSpaceCount=4\n[Single-Command]\n1=1,HT,1,1\n2=3,ESC,!,0x01,1,3,1,\"[B]\"\n",
       {"A\tB" + kEsc + "!\x01" + "C\n"},
       false,
       {{"A    ", 0, 1}, {"B[B]C\n", -1, 1}}},
      {"barcode pushed before the text around it",
       "[BARCODE]\n1=3,GS,k,0x02,1,11,1,ID:\n",
       {"before " + kGs + "k\x02" + "12345678 after\n"},
       false,
       {{"ID:12345678", -1, 1}, {"before  after\n", 0, 1}}},
      {"discard drops the rest",
       "S-Num=1\n[Single-Command]\n1=2,ESC,Z,0,0\n",
       {"kept" + kEsc + "Z" + "gone\n"},
       false,
       {{"kept", 0, 1}}},
      {"a lone NUL chunk is not emitted",
       "",
       {std::string(1, '\0'), "x\n"},
       false,
       {{"x\n", 0, 2}}},
      // The chunk ends inside a possible barcode: after the wait the barcode
      // check finds none, and the commands of the rest still go.
      {"after a barcode wait commands are still removed",
       "S-Num=2\n[Single-Command]\n1=2,GS,B,1,2\n2=2,ESC,s,1,2,0,TRAN_START\n[BARCODE]\n1=3,GS,k,"
       "0x02,1,5\n",
       {"a" + kGs, "xb" + kGs + "Bc\n"},
       false,
       {{"a" + kGs + "xbc\n", -1, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    AnalyzerProbe probe;  // fresh transaction state for each
    probe.LoadSet(work_.WriteSet("set.ini", "[Main]\n" + c.sections));
    uint16_t wSecond = 1;
    for (const std::string& chunk : c.chunks) probe.Queue(chunk, wSecond++, c.bDST);
    probe.Drain();
    EXPECT_EQ(probe.Records(), c.records);
  }
}

TEST_F(AnalyzerEdge, VoidCommandAtTheStartEmitsAnEmptyVoidRecord) {
  Load("S-Num=2\n[Single-Command]\n1=2,ESC,v,1,2,0,TRAN_VOID\n2=2,ESC,s,1,2,0,TRAN_START\n");
  auto records = Run({kEsc + "v" + "void me\n"});
  ASSERT_GE(records.size(), 1u);
  EXPECT_EQ(records[0], (Record{"", 2, 1, false}));
  EXPECT_EQ(records.back().text, "void me\n");
}

TEST_F(AnalyzerEdge, PluginMeasureSeesEveryByteLeftAndAnswersOutsideTheContractDiscard) {
  RCCmdSet* pSet = Load("S-Num=1\n[Single-Command]\n1=2,ESC,P,1,2\n");
  static int s_nCountSeen = 0;
  pSet->arSingle[0]->nType = 3;
  pSet->arSingle[0]->pfnAnalyze = [](unsigned char*, int nCount, int*, int* pLen) {
    s_nCountSeen = nCount;
    *pLen = nCount;  // takes everything it is shown
    return 2;
  };
  EXPECT_EQ(Run({"ab" + kEsc + "P" + std::string(500, 'y') + "\n"}),
            (std::vector<Record>{{"ab", 0, 1}}));
  EXPECT_EQ(s_nCountSeen, 501);
  AnalyzerProbe other;
  pSet = other.LoadSet(
      work_.WriteSet("set.ini", "[Main]\nS-Num=1\n[Single-Command]\n1=2,ESC,P,1,2\n"));
  pSet->arSingle[0]->nType = 3;
  pSet->arSingle[0]->pfnAnalyze = [](unsigned char*, int, int*, int*) { return 7; };
  other.Queue("ab" + kEsc + "P" + "cd\n", 1, false);
  other.Queue("next\n", 2, false);
  other.Drain();  // and no hang
  auto records = other.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, "ab");
  EXPECT_EQ(records[1].text, "next\n");
}

TEST_F(AnalyzerEdge, WriteQueueOverflowReplacesItsLinesByTheNote) {
  Load("", /*bRecord=*/false);
  // 4 records of 4000 bytes: the fourth push takes the queue to 16000.
  for (int i = 0; i < 4; ++i) probe_.Queue(std::string(3999, 'a' + i) + "\n", i + 1, i == 3);
  probe_.Drain();
  unsigned char byBuf[100001], byExtra[8];
  int nLen = 100000, nExtra = 8, nEvent = 0;
  SYSTEMTIME st{};
  bool bDST = false;
  ASSERT_TRUE(probe_.WriteQueue().GetAt(&nLen, byBuf, &st, &bDST, nullptr, &nEvent, 0, true,
                                        byExtra, &nExtra));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(byBuf), nLen), "... 16000 bytes");
  EXPECT_EQ(nEvent, -2);
  EXPECT_EQ(st.wSecond, 4);
  EXPECT_TRUE(bDST);
  EXPECT_EQ(probe_.WriteQueue().GetCount(), 0);
}

TEST_F(AnalyzerEdge, RawCallbackSeesEveryChunkAndAnalyzeKeepsUnemittedBytesAtTheStart) {
  Load("S-Num=2\n[Single-Command]\n1=2,ESC,E,1,2,1,<b>\n2=2,ESC,s,1,2,0,TRAN_START\n");
  static std::vector<std::string> s_seen;
  s_seen.clear();
  probe_.SetTestListenFt([](int nLen, unsigned char* pData, SYSTEMTIME*) -> unsigned short {
    s_seen.emplace_back(reinterpret_cast<char*>(pData), static_cast<size_t>(nLen));
    return 0;
  });
  Run({"one\n", "two\n"});
  EXPECT_EQ(s_seen, (std::vector<std::string>{"one\n", "two\n"}));
  std::vector<unsigned char> buf(100001);
  std::string in = "x" + kEsc + "Ey\n";
  std::memcpy(buf.data(), in.data(), in.size());
  int nLen = static_cast<int>(in.size());
  EXPECT_EQ(probe_.RunAnalyze(buf.data(), nLen), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), nLen), "x<b>y\n");
}

}  // namespace
