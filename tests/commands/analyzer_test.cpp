// The analyzer's records for what command sets meet in practice: transaction
// commands and markers, barcodes, chunks merged for a command and
// replacement texts.
#include <gtest/gtest.h>

#include "analyzer_support.h"

using namespace analyzer_test;

namespace {

TEST(Analyzer, CommandSetsAndChunksGiveTheirRecords) {
  const struct {
    const char* what;
    std::string sections;
    std::vector<std::string> chunks;
    std::vector<Record> records;  // seconds: the chunks arrive at 1, 2, ...
  } cases[] = {
      // Near each chunk's end fewer than three bytes are left: the next chunk
      // is taken in, and the command split across chunks is still removed;
      // the record carries the time of the chunk taken last.
      {"three-byte command merges chunks",
       "S-Num=2\n[Single-Command]\n1=3,GS,V,A,1,3\n2=2,ESC,s,1,2,0,TRAN_START\n",
       {"one\n", "two\n\035", "VAthree\n"},
       {{"one\ntwo\nthree\n", -1, 3}}},
      {"stop at the data's end closes at once",
       "S-Num=1\n[Single-Command]\n1=2,GS,V,1,2,0,TRAN_STOP\n",
       {"total 5\n\035V", "next\n"},
       {{"total 5\n", 1, 1}, {"next\n", 0, 2}}},
      // A marker stays in the text; the head up to and including it opens.
      {"start marker after text, DST chunk",
       "S-Num=1\n[Single-Command]\n1=2,ESC,M,1,0,0,TRAN_START\n",
       {"before\n\033Mafter\n"},
       {{"before\n\033M", 0, 1, true}, {"after\n", -1, 1, true}}},
      // The first command after a close opens automatically: the head up to
      // it, with its replacement, is the opening record.
      {"replacement text",
       "S-Num=2\n[TAB]\nSpaceCount=4\n[Single-Command]\n1=1,HT,1,1\n2=3,ESC,!,0x01,1,3,1,\"[B]\"\n",
       {"A\tB\033!\001C\n"},
       {{"A    ", 0, 1}, {"B[B]C\n", -1, 1}}},
      {"barcode ending the data",
       "[BARCODE]\n1=3,GS,k,0x02,1,11,1,ID:\n",
       {"A\035k\00212345678"},
       {{"ID:12345678", -1, 1}, {"A", 0, 1}}},
      {"barcode pushed before the text around it",
       "[BARCODE]\n1=3,GS,k,0x02,1,11,1,ID:\n",
       {"before \035k\00212345678 after\n"},
       {{"ID:12345678", -1, 1}, {"before  after\n", 0, 1}}},
      // The chunk ends inside a possible barcode: after the wait the barcode
      // check finds none, and the commands of the rest still go.
      {"after a barcode wait commands are still removed",
       "S-Num=2\n[Single-Command]\n1=2,GS,B,1,2\n2=2,ESC,s,1,2,0,TRAN_START\n"
       "[BARCODE]\n1=3,GS,k,0x02,1,5\n",
       {"a\035", "xb\035Bc\n"},
       {{"a\035xbc\n", -1, 2}}},
  };
  cmdset_test::TempHome home;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    AnalyzerProbe probe;  // fresh transaction state for each
    probe.LoadSet(home.CommandSet("set.ini", "[Main]\n" + c.sections));
    uint16_t wSecond = 1;
    for (const std::string& chunk : c.chunks) probe.Queue(chunk, wSecond++, c.records[0].bDST);
    probe.Drain();
    EXPECT_EQ(probe.Records(), c.records);
  }
}

}  // namespace
