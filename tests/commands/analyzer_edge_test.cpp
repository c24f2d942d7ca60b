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
    return probe_.LoadSet(dir_.Write("set.ini", "[Main]\nModule_Name=Edge\n" + sections), bRecord);
  }
  std::vector<Record> Run(const std::vector<std::string>& chunks, bool bDST = false) {
    uint16_t wSecond = 1;
    for (const std::string& c : chunks) {
      probe_.Queue(c, wSecond++, bDST);
    }
    probe_.Drain();
    return probe_.Records();
  }

  TempDir dir_;
  AnalyzerProbe probe_;
};

TEST_F(AnalyzerEdge, SetWithoutCommandsPassesChunksAndOpensWithTheFirst) {
  Load("");
  auto records = Run({"first\n", "second\n"});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (Record{"first\n", 0, 1, false}));
  EXPECT_EQ(records[1], (Record{"second\n", -1, 2, false}));
}

TEST_F(AnalyzerEdge, ThreeByteCommandMergesFollowingChunksIntoOneText) {
  Load("S-Num=2\n[Single-Command]\n1=3,GS,V,A,1,3\n2=2,ESC,s,1,2,0,TRAN_START\n");
  // Near each chunk's end fewer than three bytes are left: the next chunk is
  // taken in, and the command split across chunks is still removed.
  auto records = Run({"one\n", "two\n" + kGs, "VAthree\n"});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "one\ntwo\nthree\n");
  EXPECT_EQ(records[0].nEvent, -1);
  EXPECT_EQ(records[0].wSecond, 3);  // the time of the chunk taken last
}

TEST_F(AnalyzerEdge, StopCommandBeforeMoreBytesEmitsTheWholeBufferOnceWithStop) {
  Load("S-Num=1\n[Single-Command]\n1=2,GS,V,1,2,0,TRAN_STOP\n");
  auto records = Run({"total 5\n" + kGs + "V" + "after\n"});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "total 5\nafter\n");
  EXPECT_EQ(records[0].nEvent, 1);
}

TEST_F(AnalyzerEdge, StopCommandAtTheEndOfTheDataClosesAtOnce) {
  Load("S-Num=1\n[Single-Command]\n1=2,GS,V,1,2,0,TRAN_STOP\n");
  auto records = Run({"total 5\n" + kGs + "V", "next\n"});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (Record{"total 5\n", 1, 1, false}));
  // The stop closed the transaction: the next text opens a new one.
  EXPECT_EQ(records[1], (Record{"next\n", 0, 2, false}));
}

TEST_F(AnalyzerEdge, VoidCommandAtTheStartEmitsAnEmptyVoidRecord) {
  Load("S-Num=2\n[Single-Command]\n1=2,ESC,v,1,2,0,TRAN_VOID\n2=2,ESC,s,1,2,0,TRAN_START\n");
  auto records = Run({kEsc + "v" + "void me\n"});
  ASSERT_GE(records.size(), 1u);
  EXPECT_EQ(records[0], (Record{"", 2, 1, false}));
  EXPECT_EQ(records.back().text, "void me\n");
}

TEST_F(AnalyzerEdge, RemovedStartCommandAfterTextEmitsThatTextAsTheOpening) {
  Load("S-Num=1\n[Single-Command]\n1=2,ESC,s,1,2,0,TRAN_START\n");
  auto records = Run({"tail of last\n" + kEsc + "s" + "ITEM 1\n"});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (Record{"tail of last\n", 0, 1, false}));
  EXPECT_EQ(records[1], (Record{"ITEM 1\n", -1, 1, false}));
}

TEST_F(AnalyzerEdge, StartCommandAtTheBufferStartOpensWithTheTextUpToTheNextCommand) {
  Load("S-Num=2\n[Single-Command]\n1=2,ESC,s,1,2,0,TRAN_START\n2=2,ESC,E,1,2\n");
  auto records = Run({kEsc + "s" + "HEADER\n" + kEsc + "E" + "ITEM\n"});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (Record{"HEADER\n", 0, 1, false}));
  EXPECT_EQ(records[1], (Record{"ITEM\n", -1, 1, false}));
}

TEST_F(AnalyzerEdge, StartMarkerAfterTextOpensTheTransactionWithTheChunksDstFlag) {
  // A marker stays in the text; the head up to and including it opens the
  // transaction, stamped like every other record of the chunk.
  Load("S-Num=1\n[Single-Command]\n1=2,ESC,M,1,0,0,TRAN_START\n");
  auto records = Run({"before\n" + kEsc + "M" + "after\n"}, /*bDST=*/true);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (Record{"before\n" + kEsc + "M", 0, 1, true}));
  EXPECT_EQ(records[1], (Record{"after\n", -1, 1, true}));
}

TEST_F(AnalyzerEdge, ReplacementTextTakesTheCommandsPlace) {
  Load("S-Num=2\n[TAB]\nSpaceCount=4\n[Single-Command]\n1=1,HT,1,1\n2=3,ESC,!,0x01,1,3,1,\"[B]\"\n");
  auto records = Run({"A\tB" + kEsc + "!\x01" + "C\n"});
  // The first command after a close opens the transaction automatically:
  // the head up to it (with its replacement) is the opening record.
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (Record{"A    ", 0, 1, false}));
  EXPECT_EQ(records[1], (Record{"B[B]C\n", -1, 1, false}));
}

TEST_F(AnalyzerEdge, BarcodeInTheMiddleIsPushedBeforeTheTextAroundIt) {
  Load("[BARCODE]\n1=3,GS,k,0x02,1,11,1,ID:\n");
  auto records = Run({"before " + kGs + "k\x02" + "12345678 after\n"});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (Record{"ID:12345678", -1, 1, false}));
  EXPECT_EQ(records[1], (Record{"before  after\n", 0, 1, false}));
}

TEST_F(AnalyzerEdge, DiscardCommandDropsTheRestOfTheBuffer) {
  Load("S-Num=1\n[Single-Command]\n1=2,ESC,Z,0,0\n");
  auto records = Run({"kept" + kEsc + "Z" + "gone\n"});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "kept");
}

TEST_F(AnalyzerEdge, LoneNulChunkIsNotEmitted) {
  Load("");
  auto records = Run({std::string(1, '\0'), "x\n"});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "x\n");
}

TEST_F(AnalyzerEdge, PluginMeasureSeesEveryByteLeftInTheBuffer) {
  RCCmdSet* pSet = Load("S-Num=1\n[Single-Command]\n1=2,ESC,P,1,2\n");
  static int s_nCountSeen = 0;
  pSet->arSingle[0]->nType = 3;
  pSet->arSingle[0]->pfnAnalyze = [](unsigned char*, int nCount, int*, int* pLen) {
    s_nCountSeen = nCount;
    *pLen = nCount;  // takes everything it is shown
    return 2;
  };
  std::string tail(500, 'y');
  auto records = Run({"ab" + kEsc + "P" + tail + "\n"});
  EXPECT_EQ(s_nCountSeen, 501);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "ab");
}

TEST_F(AnalyzerEdge, PluginAnswerOutsideTheContractEndsWithoutHanging) {
  RCCmdSet* pSet = Load("S-Num=1\n[Single-Command]\n1=2,ESC,P,1,2\n");
  pSet->arSingle[0]->nType = 3;
  pSet->arSingle[0]->pfnAnalyze = [](unsigned char*, int, int*, int*) { return 7; };
  auto records = Run({"ab" + kEsc + "P" + "cd\n", "next\n"});
  // The answer counts as a discard of the rest of the buffer.
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, "ab");
  EXPECT_EQ(records[1].text, "next\n");
}

TEST_F(AnalyzerEdge, AfterABarcodeWaitCommandsAreStillRemoved) {
  // The chunk ends inside a possible barcode: after the wait the barcode
  // check finds none, and the commands of the rest of the text still go.
  Load("S-Num=2\n[Single-Command]\n1=2,GS,B,1,2\n2=2,ESC,s,1,2,0,TRAN_START\n[BARCODE]\n1=3,GS,k,0x02,1,5\n");
  auto records = Run({"a" + kGs, "xb" + kGs + "Bc\n"});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "a" + kGs + "xbc\n");
}

TEST_F(AnalyzerEdge, WriteQueueOverflowReplacesItsLinesByTheNote) {
  Load("", /*bRecord=*/false);
  std::vector<std::string> chunks;
  for (int i = 0; i < 4; ++i) {
    chunks.push_back(std::string(3999, 'a' + i) + "\n");
  }
  // 4 records of 4000 bytes: the fourth push takes the queue to 16000.
  probe_.Queue(chunks[0], 1, false);
  probe_.Queue(chunks[1], 2, false);
  probe_.Queue(chunks[2], 3, false);
  probe_.Queue(chunks[3], 4, true);
  probe_.Drain();
  unsigned char byBuf[100001];
  unsigned char byExtra[8];
  int nLen = 100000;
  int nExtra = 8;
  int nEvent = 0;
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

TEST_F(AnalyzerEdge, RawRecordCallbackSeesEveryChunkTaken) {
  Load("S-Num=1\n[Single-Command]\n1=3,GS,V,A,1,3\n");
  static std::vector<std::string> s_seen;
  s_seen.clear();
  probe_.SetTestListenFt([](int nLen, unsigned char* pData, SYSTEMTIME*) -> unsigned short {
    s_seen.emplace_back(reinterpret_cast<char*>(pData), static_cast<size_t>(nLen));
    return 0;
  });
  Run({"one\n", "two\n"});
  EXPECT_EQ(s_seen, (std::vector<std::string>{"one\n", "two\n"}));
}

TEST_F(AnalyzerEdge, AnalyzeLeavesUnemittedBytesAtTheBufferStart) {
  Load("S-Num=2\n[Single-Command]\n1=2,ESC,E,1,2,1,<b>\n2=2,ESC,s,1,2,0,TRAN_START\n");
  std::vector<unsigned char> buf(100001);
  std::string in = "x" + kEsc + "Ey\n";
  std::memcpy(buf.data(), in.data(), in.size());
  int nLen = static_cast<int>(in.size());
  EXPECT_EQ(probe_.RunAnalyze(buf.data(), nLen), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), nLen), "x<b>y\n");
}

}  // namespace
