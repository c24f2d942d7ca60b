// The scan for bytes that may start a command, each path against a plain
// walk over the table: every start position and end of a short buffer, the
// one wanted byte at every place of a block, and sets scanned byte by byte
// as well as by range (with bytes inside the range that start nothing).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "commands/TextScan.h"

namespace {

using poshark::commands::FindStart;
using poshark::commands::FindStartPortable;
using poshark::commands::MakeScanPlan;
using poshark::commands::ScanPlan;

using FindFn = std::function<int(const ScanPlan&, const uint8_t*, const unsigned char*, int, int)>;

struct Path {
  const char* name;
  FindFn find;
};

std::vector<Path> Paths() {
  std::vector<Path> paths{{"chosen", FindStart}, {"portable", FindStartPortable}};
#if defined(POSHARK_HAVE_SSE2_SCAN)
  paths.push_back({"sse2", poshark::commands::FindStartSse2});
#endif
  return paths;
}

struct StartSet {
  const char* name;
  std::vector<int> starts;     // bytes that may start something
  int nFiller;                 // a byte that starts nothing
  bool bAllButFiller = false;  // every other byte may start something
};

const std::vector<StartSet> kSets = {
    {"none", {}, 'a'},
    {"one control byte", {0x1B}, 0x1A},
    {"printer controls", {0x09, 0x10, 0x1B, 0x1C, 0x1D}, 0x0A},
    {"both ends of the byte range", {0x00, 0xFF}, 0xFE},
    {"six high bytes", {0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xFF}, 0x81},
    // More than are listed: scanned by range, the filler lies inside it.
    {"seven controls", {0x01, 0x09, 0x10, 0x1B, 0x1C, 0x1D, 0x1F}, 0x0A},
    {"range across 0x80", {0x7E, 0x7F, 0x80, 0x81, 0x83, 0x85, 0x87, 0x89}, 0x82},
    {"every byte but the filler", {}, 'q', true},
};

std::array<uint8_t, 256> Table(const StartSet& set) {
  std::array<uint8_t, 256> table{};
  if (set.bAllButFiller) {
    table.fill(1);
    table[static_cast<size_t>(set.nFiller)] = 0;
  }
  for (int b : set.starts) table[static_cast<size_t>(b)] = static_cast<uint8_t>(1 + b % 2);
  return table;
}

int Walk(const std::array<uint8_t, 256>& table, const std::vector<unsigned char>& data, int nFrom,
         int nEnd) {
  for (int i = nFrom; i < nEnd; ++i)
    if (table[data[static_cast<size_t>(i)]] != 0) return i;
  return nEnd;
}

// Every (from, end) pair over data; the buffer is exactly end bytes long, so
// that a read past the end is caught under the address sanitizer.
void ExpectAllRanges(const StartSet& set, const std::vector<unsigned char>& data,
                     const std::string& what) {
  std::array<uint8_t, 256> table = Table(set);
  ScanPlan plan = MakeScanPlan(table.data());
  for (const Path& path : Paths()) {
    for (int nEnd = 0; nEnd <= static_cast<int>(data.size()); ++nEnd) {
      std::vector<unsigned char> exact(data.begin(), data.begin() + nEnd);
      for (int nFrom = 0; nFrom <= nEnd + 1; ++nFrom) {
        int nWant = Walk(table, data, nFrom, nEnd);
        int nGot = path.find(plan, table.data(), exact.data(), nFrom, nEnd);
        if (nGot != nWant) {
          ADD_FAILURE() << set.name << ", " << path.name << ", " << what << ": from " << nFrom
                        << " to " << nEnd << " found " << nGot << ", the table says " << nWant;
          return;
        }
      }
    }
  }
}

TEST(TextScan, OneStartingByteAtEveryPlaceOfABlock) {
  constexpr int kLen = 40;  // more than two blocks, so every place is met whole and at the end
  for (const StartSet& set : kSets) {
    std::array<uint8_t, 256> table = Table(set);
    std::vector<int> starts;
    for (int b = 0; b < 256; ++b)
      if (table[static_cast<size_t>(b)] != 0) starts.push_back(b);
    if (starts.empty()) starts.push_back(-1);  // no starting byte at all
    for (int nStart : {starts.front(), starts.back()}) {
      for (int k = 0; k < kLen; ++k) {
        std::vector<unsigned char> data(kLen, static_cast<unsigned char>(set.nFiller));
        if (nStart >= 0) data[static_cast<size_t>(k)] = static_cast<unsigned char>(nStart);
        ExpectAllRanges(set, data, "byte " + std::to_string(nStart) + " at " + std::to_string(k));
        if (HasFailure()) return;
      }
    }
  }
}

TEST(TextScan, MixedBytesGiveTheFirstStartingByte) {
  std::mt19937 rng(7);
  for (const StartSet& set : kSets) {
    for (int nRound = 0; nRound < 20; ++nRound) {
      // Mostly filler and bytes next to the starting ones, sometimes one of them.
      std::vector<unsigned char> data(70);
      for (unsigned char& by : data) {
        int nRoll = static_cast<int>(rng() % 16);
        int nNear = set.starts.empty() ? set.nFiller : set.starts[rng() % set.starts.size()];
        by = static_cast<unsigned char>(nRoll == 0  ? nNear
                                        : nRoll < 4 ? nNear + 1
                                        : nRoll < 6 ? static_cast<int>(rng() % 256)
                                                    : set.nFiller);
      }
      ExpectAllRanges(set, data, "round " + std::to_string(nRound));
      if (HasFailure()) return;
    }
  }
}

}  // namespace
