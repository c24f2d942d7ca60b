// Command table throughput: the analyzer's walk (barcode check, then command
// check, at every cursor position) over receipt-like data with a 40-command
// ESC/POS-like set. "Dispatch" is RCCmdSet as built; "ListWalk" is the plain
// walk over the lists in entry order that copies the rest of the buffer for
// every barcode check, kept here as the yardstick.
#include "commands/RCCmdSet.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

const char* const kSetIni =
    "[Main]\nModule_Name=Bench ESC/POS\nS-Num=7\nM-Num=2\n"
    "[Mutli-Command]\n1=ESC-Group,ESC,20\n2=GS-Group,GS,12\n"
    "[ESC-Group]\n"
    "1=2,ESC,@,1,2\n2=2,ESC,!,1,3\n3=2,ESC,E,1,3\n4=2,ESC,-,1,3\n5=2,ESC,a,1,3\n"
    "6=2,ESC,d,1,3,1,\" \"\n7=2,ESC,J,1,3\n8=2,ESC,M,1,3\n9=2,ESC,G,1,3\n10=2,ESC,t,1,3\n"
    "11=2,ESC,R,1,3\n12=2,ESC,{,1,3\n13=2,ESC,V,1,3\n14=3,ESC,c,5,1,4\n15=2,ESC,p,1,5\n"
    "16=2,ESC,2,1,2\n17=2,ESC,3,1,3\n18=2,ESC,SP,1,3\n19=2,ESC,$,1,4\n20=2,ESC,i,1,2,0,TRAN_STOP\n"
    "[GS-Group]\n"
    "1=2,GS,!,1,3\n2=2,GS,B,1,3\n3=2,GS,H,1,3\n4=2,GS,h,1,3\n5=2,GS,w,1,3\n6=2,GS,f,1,3\n"
    "7=2,GS,L,1,4\n8=2,GS,W,1,4\n9=2,GS,V,1,3,0,TRAN_STOP\n10=2,GS,b,1,3\n11=2,GS,a,1,3\n"
    "12=2,GS,r,1,3\n"
    "[Single-Command]\n"
    "1=1,HT,1,1\n2=1,FF,1,1\n3=1,CAN,1,1\n4=2,DLE,EOT,1,3\n5=2,DLE,ENQ,1,3\n6=2,FS,p,1,4\n"
    "7=2,FS,.,1,2\n"
    "[BARCODE]\n1=3,GS,k,4,2,1,BC:\n"
    "[TAB]\nSpaceCount=4\n";

// Receipt-like lines: mostly text, with style commands, tabs, a barcode now
// and then, and a cut at the end of each receipt.
std::vector<std::string> MakeLines(int count) {
  std::mt19937 rng(7);
  const char* items[] = {
      "Coffee",        "Croissant", "Sparkling water 0.5l", "Sandwich ham/cheese",
      "Chocolate bar", "Newspaper"};
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) {
    std::string line;
    switch (rng() % 8) {
      case 0:
        line =
            "\x1b"
            "a\x01"
            "\x1b"
            "E\x01"
            "CORNER SHOP #12\x1b"
            "E" +
            std::string(1, '\0');
        break;
      case 1:
        line =
            "\x1d!\x11"
            "TOTAL\t\t" +
            std::to_string(rng() % 9000 / 100.0) + "\x1d!" + std::string(1, '\0');
        break;
      case 2:
        line =
            "\x1dk\x04"
            "4006381333931" +
            std::string(1, '\0') + "ref " + std::to_string(rng() % 100000);
        break;
      case 3:
        line =
            "\x1b"
            "d\x03"
            "\x1dV\x00"
            "Thank you";
        break;
      default: {
        std::string item = items[rng() % 6];
        line = std::to_string(1 + rng() % 4) + " x " + item + std::string(28 - item.size(), ' ') +
               std::to_string(rng() % 2000 / 100.0).substr(0, 5);
      }
    }
    lines.push_back(line + "\n");
  }
  return lines;
}

// The plain walk over the lists, with the copy of the whole rest of the
// buffer that every barcode check makes.
class ListWalk {
 public:
  explicit ListWalk(RCCmdSet& set) : set_(set) {}

  int MatchCommand(unsigned char* p, int& len) {
    if (!cur_) {
      STRUCT_PrnCmd* found = nullptr;
      for (auto& g : set_.arMulti) {
        if (g->byLead != p[0]) continue;
        for (auto& c : g->arCmds) {
          if (c->nCmdLen > len) return 1;
          if (std::memcmp(c->pCmd.get() + 1, p + 1, c->nCmdLen - 1) == 0) {
            found = c.get();
            break;
          }
        }
        if (found) break;
      }
      if (!found) {
        for (auto& c : set_.arSingle) {
          if (c->nCmdLen > len) return 1;
          if (std::memcmp(c->pCmd.get(), p, c->nCmdLen) == 0) {
            found = c.get();
            break;
          }
        }
      }
      if (!found) return 0;
      cur_ = found;
    }
    if (cur_->nType == 1 && cur_->nParam == 0) {
      last_ = cur_;
      cur_ = nullptr;
      return 4;
    }
    int start = 0, plen = 0;
    int r = set_.MeasureParam(p + cur_->nCmdLen, len - cur_->nCmdLen, cur_, &start, &plen);
    if (r == 2) {
      std::memmove(p, p + cur_->nCmdLen, start);
      int rest = len - cur_->nCmdLen - start - plen;
      if (rest > 0) std::memmove(p + start, p + cur_->nCmdLen + start + plen, rest);
      len -= cur_->nCmdLen + plen;
      last_ = cur_;
      cur_ = nullptr;
    }
    return r;
  }

  int AnalyzeBarcode(unsigned char* p, int& len) {
    STRUCT_PrnCmd* bc = set_.pBarcode.get();
    if (!bc) return 0;
    if (copy_.size() < static_cast<size_t>(len)) copy_.resize(len);
    std::memcpy(copy_.data(), p, len);
    const unsigned char* q = copy_.data();
    if (!curBarcode_) {
      if (bc->pCmd[0] != q[0]) return 0;
      if (bc->nCmdLen > len) return 1;
      if (std::memcmp(bc->pCmd.get() + 1, q + 1, bc->nCmdLen - 1) != 0) return 0;
      curBarcode_ = bc;
    }
    int start = 0, plen = 0;
    int r = set_.MeasureParam(copy_.data() + bc->nCmdLen, len - bc->nCmdLen, bc, &start, &plen);
    if (r == 2) {
      out_.assign(bc->pText.get(), bc->pText.get() + bc->nTextLen);
      out_.insert(out_.end(), q + bc->nCmdLen + start, q + bc->nCmdLen + start + plen);
      int taken = bc->nCmdLen + start + plen;
      std::memmove(p, p + taken, len - taken);
      len -= taken;
      curBarcode_ = nullptr;
    }
    return r;
  }

  int GetLastCmdLen() { return last_ ? last_->nCmdLen : 0; }

 private:
  RCCmdSet& set_;
  STRUCT_PrnCmd* cur_ = nullptr;
  STRUCT_PrnCmd* last_ = nullptr;
  STRUCT_PrnCmd* curBarcode_ = nullptr;
  std::vector<unsigned char> copy_;
  std::vector<unsigned char> out_;
};

// The analyzer's walk over one buffer: barcode check, then command check, at
// every cursor position. Answers the text bytes kept.
template <typename Table>
int Walk(Table& t, unsigned char* buf, int len) {
  int p = 0;
  while (len - p > 0) {
    int rem = len - p;
    int before = rem;
    int r = t.AnalyzeBarcode(buf + p, rem);
    if (r == 2) {
      len -= before - rem;
      if (rem <= 0) break;
    } else if (r == 1 || r == 3) {
      break;  // the analyzer would wait for more data here
    }
    before = rem;
    r = t.MatchCommand(buf + p, rem);
    if (r == 0) {
      ++p;
    } else if (r == 2) {
      len -= before - rem;
    } else if (r == 4) {
      p += t.GetLastCmdLen();
    } else {
      break;
    }
  }
  return p;
}

class SetFixture {
 public:
  SetFixture() {
    char tmpl[] = "/tmp/poshark_bench_XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    dir_ = tmpl;
    std::string path = dir_ + "/bench.ini";
    std::ofstream(path) << kSetIni;
    set.Load(path);
    if (set.arMulti.size() != 2 || set.arSingle.size() != 7 || !set.pBarcode) std::abort();
    // Both walks must keep the same text before their speed means anything.
    ListWalk walk(set);
    std::vector<unsigned char> a(4096), b(4096);
    for (const std::string& l : MakeLines(2000)) {
      std::memcpy(a.data(), l.data(), l.size());
      std::memcpy(b.data(), l.data(), l.size());
      int ka = Walk(set, a.data(), static_cast<int>(l.size()));
      int kb = Walk(walk, b.data(), static_cast<int>(l.size()));
      if (ka != kb || std::memcmp(a.data(), b.data(), ka) != 0) std::abort();
    }
  }
  ~SetFixture() {
    std::remove((dir_ + "/bench.ini").c_str());
    rmdir(dir_.c_str());
  }
  RCCmdSet set;

 private:
  std::string dir_;
};

SetFixture& Fixture() {
  static SetFixture fixture;
  return fixture;
}

// Line by line, as the line splitter hands chunks to the analyzer.
template <typename Table>
void RunLines(benchmark::State& state, Table& table) {
  std::vector<std::string> lines = MakeLines(2000);
  size_t total = 0;
  for (const std::string& l : lines) total += l.size();
  std::vector<unsigned char> buf(4096);
  for (auto _ : state) {
    int kept = 0;
    for (const std::string& l : lines) {
      std::memcpy(buf.data(), l.data(), l.size());
      kept += Walk(table, buf.data(), static_cast<int>(l.size()));
    }
    benchmark::DoNotOptimize(kept);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * total);
}

// One large buffer, as after chunks were merged: the cost of a barcode check
// that copies the rest of the buffer grows with the buffer.
template <typename Table>
void RunMerged(benchmark::State& state, Table& table) {
  std::vector<std::string> lines = MakeLines(static_cast<int>(state.range(0)));
  std::string all;
  for (const std::string& l : lines) all += l;
  std::vector<unsigned char> buf(all.size());
  for (auto _ : state) {
    std::memcpy(buf.data(), all.data(), all.size());
    benchmark::DoNotOptimize(Walk(table, buf.data(), static_cast<int>(all.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * all.size());
}

void BM_Dispatch_Lines(benchmark::State& state) { RunLines(state, Fixture().set); }
void BM_ListWalk_Lines(benchmark::State& state) {
  ListWalk walk(Fixture().set);
  RunLines(state, walk);
}
void BM_Dispatch_Merged(benchmark::State& state) { RunMerged(state, Fixture().set); }
void BM_ListWalk_Merged(benchmark::State& state) {
  ListWalk walk(Fixture().set);
  RunMerged(state, walk);
}

BENCHMARK(BM_Dispatch_Lines);
BENCHMARK(BM_ListWalk_Lines);
BENCHMARK(BM_Dispatch_Merged)->Arg(25)->Arg(250);
BENCHMARK(BM_ListWalk_Merged)->Arg(25)->Arg(250);

}  // namespace

BENCHMARK_MAIN();
