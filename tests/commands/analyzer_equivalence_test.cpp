// The analyzer keeps the head and the rest apart and lets the matchers see a
// window of the rest. These tests run it against a plain in-place analyzer
// that follows the steps literally (every removal and emission shifts the
// whole buffer) over random command sets and streams, and require the same
// records with the same events, time stamps and DST flags.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

#include "commands/PluginTestSupport.h"
#include "listener/RCLineQueue.h"
#include "listener/TestAccess.h"
#include "platform/Event.h"

namespace {

// A listener whose analyzer thread runs over chunks queued beforehand, and a
// recorder of every record pushed into the write queue (installed as the
// preprocess entry, which sees each push).
struct Record {
  std::string text;
  int nEvent = 0;
  uint16_t wSecond = 0;  // time stamp: the chunk's second, set by the tests
  bool bDST = false;
  bool operator==(const Record&) const = default;
};

std::vector<Record> g_pushed;

struct Chunk {
  std::string bytes;
  uint16_t wSecond;
  bool bDST;
};

// Preprocess entry: notes the bytes and event, and stores an empty record so
// that the write queue never reaches its overflow limit.
int RecordPush(unsigned char* pData, int nCount, unsigned char** ppOut, int* pOutCount,
               unsigned char**, int*, int* pEvent) {
  static unsigned char byNone = 0;
  g_pushed.push_back({std::string(reinterpret_cast<char*>(pData), static_cast<size_t>(nCount)),
                      *pEvent, 0, false});
  *ppOut = &byNone;
  *pOutCount = 0;
  return 0;
}

class AnalyzerProbe : public RCPosHark {
 public:
  AnalyzerProbe() : RCPosHark(7) {}

  RCCmdSet* LoadSet(const std::string& path) {
    auto pLoaded = std::make_unique<RCCmdSet>();
    pLoaded->Load(path);
    RCCmdSet* pSet = RCPosHarkTestAccess::SetCmdSet(*this, std::move(pLoaded));
    pSet->bDllPreprocess = true;
    pSet->pfnPreprocess = &RecordPush;
    g_pushed.clear();
    return pSet;
  }

  // Runs the analyzer thread over the chunks, queued beforehand. Once the
  // queue is empty the stop event is set, so every later wait for more data
  // fails at once: the passes end exactly where the data ends. Answers the
  // records pushed, with the time and DST flag the write queue kept.
  std::vector<Record> Run(const std::deque<Chunk>& chunks) {
    for (const Chunk& c : chunks) {
      SYSTEMTIME st{2026, 1, 0, 1, 0, 0, c.wSecond, 0};
      m_AnalyzeQueue->Push(reinterpret_cast<unsigned char*>(const_cast<char*>(c.bytes.data())),
                           static_cast<int>(c.bytes.size()), &st, c.bDST, 0, -1);
    }
    CreateMyEvent();
    hStopEvent->Reset();
    bAnalyzeRun = true;
    std::thread worker([this] { AnalyzeThread(); });
    hAnalyzeEvent->Set();
    while (m_AnalyzeQueue->GetCount() > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    hStopEvent->Set();
    worker.join();
    bAnalyzeRun = false;
    std::vector<Record> out = g_pushed;
    for (Record& rec : out) {
      unsigned char byBuf[16], byExtra[8];
      int nLen = sizeof byBuf, nExtra = sizeof byExtra, nEvent = 0;
      SYSTEMTIME st{0, 0, 0, 0, 0, 0, 0xFFFF, 0};  // the second shows a record not kept
      m_WriteQueue->GetAt(&nLen, byBuf, &st, &rec.bDST, nullptr, &nEvent, 0, true, byExtra,
                          &nExtra);
      rec.wSecond = st.wSecond;
    }
    return out;
  }
};

// Byte token for a command-set file: a decimal of two digits or more.
std::string Token(unsigned char by) { return "0" + std::to_string(by); }

constexpr int kRoom = 100000;

// A parameter measure as a plug-in would give it: the parameter runs up to
// and including the next 'x'; its first byte stays in the text when the run
// is longer than two bytes. Without an 'x' in the first 50 bytes it takes
// every byte it is given (so it must be given all there are); with fewer
// bytes and no 'x' it answers 1.
int MeasureUpToX(unsigned char* pData, int nCount, int* pStart, int* pLen) {
  if (nCount >= 50 && !std::memchr(pData, 'x', 50)) {
    *pLen = nCount;
    return 2;
  }
  for (int i = 0; i < nCount; ++i) {
    if (pData[i] == 'x') {
      *pStart = i + 1 > 2 ? 1 : 0;
      *pLen = i + 1 - *pStart;
      return 2;
    }
  }
  return 1;
}

// Turns every command whose last byte is 'c' into a plug-in measured one.
void UsePluginMeasure(RCCmdSet& set) {
  auto convert = [](STRUCT_PrnCmd& cmd) {
    if (cmd.pCmd[cmd.nCmdLen - 1] == 'c') {
      cmd.nType = 3;
      cmd.pfnAnalyze = &MeasureUpToX;
    }
  };
  for (auto& pCmd : set.arSingle) convert(*pCmd);
  for (auto& pGroup : set.arMulti)
    for (auto& pCmd : pGroup->arCmds) convert(*pCmd);
  if (set.pBarcode) convert(*set.pBarcode);
}

// The analysis done literally in one buffer, shifting it in place at every
// removal and emission.
class InPlaceAnalyzer {
 public:
  explicit InPlaceAnalyzer(const std::string& iniPath) {
    set_.Load(iniPath);
    UsePluginMeasure(set_);
  }

  std::vector<Record> Run(std::deque<Chunk> chunks) {
    chunks_ = std::move(chunks);
    while (!chunks_.empty()) {
      int nLen = 0;
      WaitMore(nLen);
      if (nLen >= 1) Analyze(nLen);
      if (nStopPending_ == 1) {
        Push(buf_.data(), nLen, 1);
        nStopPending_ = -1;
      } else if (nLen > 0 && !(nLen == 1 && buf_[0] == 0)) {
        Push(buf_.data(), nLen,
             std::exchange(bStartPending_, false) || set_.TakeAutoStart() ? 0 : -1);
      }
    }
    return out_;
  }

 private:
  void Push(const unsigned char* pData, int n, int nEvent) {
    out_.push_back({std::string(reinterpret_cast<const char*>(pData), static_cast<size_t>(n)),
                    nEvent, wSecond_, bDST_});
  }

  // Appends the next chunk at nLen if it fits; its time stamp becomes the
  // current one.
  bool WaitMore(int& nLen) {
    if (chunks_.empty() || static_cast<int>(chunks_.front().bytes.size()) > kRoom - nLen)
      return false;
    const Chunk& c = chunks_.front();
    std::memcpy(buf_.data() + nLen, c.bytes.data(), c.bytes.size());
    nLen += static_cast<int>(c.bytes.size());
    std::tie(wSecond_, bDST_) = std::tuple(c.wSecond, c.bDST);
    chunks_.pop_front();
    return true;
  }

  void Analyze(int& nLen) {
    unsigned char* buf = buf_.data();
    int p = 0;
    bool bAfterBarcodeWait = false;
    auto emit = [&](int nEvent) {
      Push(buf, p, nEvent);
      std::memmove(buf, buf + p, static_cast<size_t>(nLen - p));
      nLen -= p;
      p = 0;
    };
    auto close = [&] {
      Push(buf, p, 1);
      nStopPending_ = -1;
      nLen = 0;
      p = 0;
    };
    auto eventStep = [&] {
      int rem = nLen - p;
      if (nStopPending_ == 1) {
        if (rem == 0) close();
        return;
      }
      int t = set_.TakeTranEvent();
      if (t == 1) {
        if (rem > 0)
          nStopPending_ = 1;
        else
          close();
      } else if (bStartPending_) {
        if (p > 0 && rem == 0) {  // the line's end: its head opens
          emit(0);
          bStartPending_ = false;
        }
      } else if (t == 0) {
        // A head before an opening command opens now; an automatic start
        // inside a line waits for its end.
        bool bOpener = set_.pLastCmd && set_.pLastCmd->nTran == 0;
        bStartPending_ = p == 0 || (!bOpener && rem > 0);
        if (!bStartPending_) emit(0);
      } else if (t != -1) {
        emit(t);
      }
    };

    while (nLen - p >= 1) {
      int rem = nLen - p;
      int nBefore = rem;
      int nBarcode = set_.AnalyzeBarcode(buf + p, rem);
      if (nBarcode == 2) {
        nLen -= nBefore - rem;
        int nSize = 0;
        set_.GetBarcodeText(nullptr, nSize);
        std::vector<unsigned char> text(static_cast<size_t>(nSize) + 1);
        set_.GetBarcodeText(text.data(), nSize);
        if (nSize > 0) Push(text.data(), nSize, -1);
        bAfterBarcodeWait = false;
        continue;
      } else if (nBarcode == 1) {
        if (!WaitMore(nLen)) return;
        bAfterBarcodeWait = true;
        continue;
      } else if (nBarcode == 3) {
        nLen = p;
        return;
      } else if (bAfterBarcodeWait) {
        if (nBarcode == 0) ++p;
        bAfterBarcodeWait = false;
        continue;
      }

      rem = nLen - p;
      nBefore = rem;
      int nResult = set_.MatchCommand(buf + p, rem);
      while (nResult == 1) {
        if (!WaitMore(nLen)) return;
        rem = nLen - p;
        nBefore = rem;
        nResult = set_.MatchCommand(buf + p, rem);
      }
      bAfterBarcodeWait = false;
      if (nResult == 4) {
        p += set_.GetLastCmdLen();
        eventStep();
      } else if (nResult == 2) {
        nLen -= nBefore - rem;
        int t = set_.GetLastCmdText(nullptr);
        std::vector<unsigned char> text(static_cast<size_t>(t) + 1);
        set_.GetLastCmdText(text.data());
        t = std::min(t, kRoom - nLen);
        if (t > 0) {
          std::memmove(buf + p + t, buf + p, static_cast<size_t>(nLen - p));
          std::memcpy(buf + p, text.data(), static_cast<size_t>(t));
          nLen += t;
          p += t;
        }
        eventStep();
      } else if (nResult == 3) {
        nLen = p;
      } else if (nResult == 0) {
        if (nLen - p > 0) ++p;
      } else {
        return;
      }
    }
  }

  RCCmdSet set_;
  std::deque<Chunk> chunks_;
  std::vector<unsigned char> buf_ = std::vector<unsigned char>(kRoom + 4096);
  std::vector<Record> out_;
  uint16_t wSecond_ = 0;
  bool bDST_ = false;
  int nStopPending_ = -1;
  bool bStartPending_ = false;
};

// Bytes drawn from a small alphabet, so that commands meet often.
const unsigned char kAlphabet[] = {0x1B, 0x1D, 'a', 'b', 'c', 'd', 0x00, 0x0A, 0x09, 'x'};

// roll(n): a number in 0..n-1; Pick(): a byte of the alphabet.
struct Roller {
  std::mt19937 rng;
  int operator()(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  unsigned char Pick() { return kAlphabet[(*this)(sizeof kAlphabet)]; }
};

std::string CommandEntry(Roller& roll, int nMaxLen, bool bBarcode) {
  int nCount = 1 + roll(nMaxLen);
  std::ostringstream out;
  out << nCount;
  for (int i = 0; i < nCount; ++i)
    out << "," << Token(i == 0 ? (roll(2) ? 0x1B : 0x1D) : roll.Pick());
  int nType = bBarcode ? (roll(2) ? 1 : 2) : std::vector<int>{1, 1, 1, 2, 0}[roll(5)];
  out << "," << nType;
  if (nType == 1)
    out << "," << (roll(4) == 0 && !bBarcode ? 0 : nCount + roll(3));  // 0: a marker
  else if (nType != 2)
    out << ",0";
  int nText = roll(3);
  const char* kTran[] = {",TRAN_START", ",TRAN_STOP", ",TRAN_VOID"};
  std::string tran = roll(3) == 0 ? kTran[roll(3)] : "";
  if (nText != 0)
    out << ",1," << std::string(static_cast<size_t>(roll(5)), "TXT#"[roll(4)]) << tran;
  else if (!tran.empty())
    out << ",0" << tran;
  return out.str();
}

std::string RandomCommandSet(Roller& roll) {
  int nSingles = 1 + roll(8);
  int nGroupCmds = roll(4);
  std::ostringstream ini;
  ini << "[Main]\nModule_Name=Random\nS-Num=" << nSingles << "\nM-Num=" << (nGroupCmds ? 1 : 0)
      << "\n[TAB]\nSpaceCount=" << 1 + roll(4) << "\n[Single-Command]\n";
  for (int i = 1; i <= nSingles; ++i) ini << i << "=" << CommandEntry(roll, 4, false) << "\n";
  if (nGroupCmds) {
    ini << "[Mutli-Command]\n1=GroupA," << Token(0x1D) << "," << nGroupCmds << "\n[GroupA]\n";
    for (int i = 1; i <= nGroupCmds; ++i) ini << i << "=" << CommandEntry(roll, 3, false) << "\n";
  }
  if (roll(2)) ini << "[BARCODE]\n1=" << CommandEntry(roll, 3, true) << "\n";
  return ini.str();
}

std::deque<Chunk> RandomChunks(Roller& roll, int nTotal) {
  std::deque<Chunk> chunks;
  int nDone = 0;
  uint16_t wSecond = 0;
  while (nDone < nTotal) {
    int n = std::min(nTotal - nDone, 1 + roll(roll(8) == 0 ? 4000 : 40));
    std::string bytes;
    for (int i = 0; i < n; ++i)
      bytes.push_back(roll(3) == 0 ? roll.Pick() : static_cast<char>('e' + roll(19)));
    chunks.push_back({bytes, wSecond, roll(2) == 0});
    wSecond = static_cast<uint16_t>((wSecond + 1) % 60);
    nDone += n;
  }
  return chunks;
}

// Answers the records of the analyzer, once checked against the in-place steps.
std::vector<Record> ExpectSameRecords(const cmdset_test::TempHome& home, const std::string& ini,
                                      const std::deque<Chunk>& chunks, int nSeed) {
  std::string path = home.CommandSet("set.ini", ini);
  std::vector<Record> expected = InPlaceAnalyzer(path).Run(chunks);

  AnalyzerProbe probe;
  UsePluginMeasure(*probe.LoadSet(path));
  std::vector<Record> actual = probe.Run(chunks);
  EXPECT_EQ(expected, actual) << "seed " << nSeed << "\n" << ini;
  return actual;
}

}  // namespace

// Many short streams (up to 600 bytes), a few longer than the room, and one
// whose replacement texts fill the room.
TEST(AnalyzerEquivalence, RandomSetsAndStreamsGiveTheInPlaceRecords) {
  // first and last seed, stream length (0: 1..600 bytes)
  const std::tuple<int, int, int> runs[] = {{1, 300, 0}, {1000, 1005, 150000}};
  cmdset_test::TempHome home;
  for (const auto& [first, last, total] : runs) {
    for (int nSeed = first; nSeed <= last && !HasFailure(); ++nSeed) {
      Roller roll{std::mt19937(nSeed)};
      std::string ini = RandomCommandSet(roll);
      int nTotal = total ? total : 1 + static_cast<int>(roll.rng() % 600);
      ExpectSameRecords(home, ini, RandomChunks(roll, nTotal), nSeed);
    }
  }
  // HT becomes 12 spaces: a buffer of tabs grows until the room is full, and
  // the replacement texts are cut to it.
  const std::deque<Chunk> tabs(40, Chunk{std::string(3000, '\t'), 0, false});
  for (const Record& rec : ExpectSameRecords(
           home,
           "[Main]\nS-Num=2\n[TAB]\nSpaceCount=12\n[Single-Command]\n1=1,HT,1,1\n2=3,ESC,a,b,1,3\n",
           tabs, 0))
    EXPECT_LE(rec.text.size(), 100000u);
}

// Records checked by hand where the random streams rarely go: the time of the
// chunk taken last, a barcode that ends the data, commands removed after a
// wait for a possible barcode, a fixed parameter that the next chunk ends,
// a short command at the end of the data behind a longer one of its group,
// and a plug-in-measured command in progress
// shown every byte left, not the window the matchers see.
TEST(AnalyzerEquivalence, HandCheckedRecords) {
  // set sections, chunks (arriving at seconds 1, 2, ...), records
  const std::tuple<std::string, std::vector<std::string>, std::vector<Record>> cases[] = {
      {"S-Num=2\n[Single-Command]\n1=3,GS,V,A,1,3\n2=2,ESC,s,1,2,0,TRAN_START\n",
       {"one\n", "two\n\035", "VAthree\n"},
       {{"one\ntwo\nthree\n", -1, 3}}},
      {"[BARCODE]\n1=3,GS,k,0x02,1,11,1,ID:\n",
       {"A\035k\00212345678"},
       {{"ID:12345678", -1, 1}, {"A", 0, 1}}},
      {"S-Num=2\n[Single-Command]\n1=2,GS,B,1,2\n2=2,ESC,s,1,2,0,TRAN_START\n"
       "[BARCODE]\n1=3,GS,k,0x02,1,5\n",
       {"a\035", "xb\035Bc\n"},
       {{"a\035xbc\n", -1, 2}}},
      {"S-Num=1\n[Single-Command]\n1=2,ESC,d,1,5\n",  // its parameter in the next chunk
       {"ab\033d12", "3cd\n"},
       {{"abcd\n", 0, 2}}},
      {"M-Num=1\n[Mutli-Command]\n1=G,GS,2\n[G]\n1=3,GS,x,y,1,3\n2=2,GS,b,1,2\n",
       {"a\035b"},  // a longer command of its group could still start here
       {{"a\035b", 0, 1}}},
      {"S-Num=1\n[Single-Command]\n1=2,ESC,P,1,2\n",  // its measure: every byte it is shown
       {"ab\033P" + std::string(500, 'y') + "\n"},
       {{"ab", 0, 1}}},
  };
  cmdset_test::TempHome home;
  for (const auto& [sections, given, records] : cases) {
    AnalyzerProbe probe;  // fresh transaction state for each
    RCCmdSet* pSet = probe.LoadSet(home.CommandSet("set.ini", "[Main]\n" + sections));
    if (sections.find("ESC,P") != std::string::npos) {
      pSet->arSingle[0]->nType = 3;
      pSet->arSingle[0]->pfnAnalyze = [](unsigned char*, int nCount, int*, int* pLen) {
        *pLen = nCount;
        return 2;
      };
    }
    std::deque<Chunk> chunks;
    for (const std::string& bytes : given)
      chunks.push_back({bytes, static_cast<uint16_t>(chunks.size() + 1), false});
    EXPECT_EQ(probe.Run(chunks), records) << sections;
  }
}
