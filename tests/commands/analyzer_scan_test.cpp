// The scan for bytes that may start a command, each path against a plain
// walk over the table: one starting byte at every place of a block, every
// start position and end of the buffer, sets scanned byte by byte as well as
// by range (with bytes inside the range that start nothing).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "commands/TextScan.h"

namespace {

using namespace poshark::commands;
using FindFn = int (*)(const ScanPlan&, const uint8_t*, const unsigned char*, int, int);

TEST(TextScan, OneStartingByteAtEveryPlaceOfABlock) {
  std::vector<std::pair<const char*, FindFn>> paths{{"chosen", FindStart},
                                                    {"portable", FindStartPortable}};
#if defined(POSHARK_HAVE_SSE2_SCAN)
  paths.push_back({"sse2", FindStartSse2});
#endif
  // name, bytes that may start something, a byte that starts nothing
  const std::tuple<const char*, std::vector<int>, int> kSets[] = {
      {"none", {}, 'a'},
      {"printer controls", {0x09, 0x10, 0x1B, 0x1C, 0x1D}, 0x0A},
      {"both ends of the byte range", {0x00, 0xFF}, 0xFE},
      {"six high bytes", {0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xFF}, 0x81},
      // More than are listed: scanned by range, the filler lies inside it.
      {"seven controls", {0x01, 0x09, 0x10, 0x1B, 0x1C, 0x1D, 0x1F}, 0x0A},
      {"range across 0x80", {0x7E, 0x7F, 0x80, 0x81, 0x83, 0x85, 0x87, 0x89}, 0x82},
  };
  constexpr int kLen = 40;  // more than two blocks, so every place is met whole and at the end
  for (const auto& [what, starts, nFiller] : kSets) {
    std::array<uint8_t, 256> table{};
    for (int b : starts) table[static_cast<size_t>(b)] = static_cast<uint8_t>(1 + b % 2);
    ScanPlan plan = MakeScanPlan(table.data());
    std::vector<int> placed = {-1};  // no starting byte at all
    if (!starts.empty()) placed = {starts.front(), starts.back()};
    for (int nStart : placed) {
      for (int k = 0; k < kLen; ++k) {
        std::vector<unsigned char> data(kLen, static_cast<unsigned char>(nFiller));
        if (nStart >= 0) data[static_cast<size_t>(k)] = static_cast<unsigned char>(nStart);
        // The buffer is exactly nEnd bytes long, so that a read past its end
        // is caught under the address sanitizer.
        for (int nEnd = 0; nEnd <= kLen; ++nEnd) {
          std::vector<unsigned char> exact(data.begin(), data.begin() + nEnd);
          for (int nFrom = 0; nFrom <= nEnd + 1; ++nFrom) {
            int nWant = nStart >= 0 && k >= nFrom && k < nEnd ? k : nEnd;
            for (const auto& [name, find] : paths) {
              ASSERT_EQ(find(plan, table.data(), exact.data(), nFrom, nEnd), nWant)
                  << what << ", " << name << ": byte " << nStart << " at " << k << ", from "
                  << nFrom << " to " << nEnd;
            }
          }
        }
      }
    }
  }
}

}  // namespace
