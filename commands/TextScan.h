// The scan over text: finds the next byte that may start a command, a group
// or a barcode. A 256-entry table (non-zero: the byte may start something)
// is the ground truth; the scan only passes over blocks in which no byte can
// be such a start. A scan for the listed starting bytes finds exactly them;
// a scan for a range asks the table at every byte in it.
//
// On x86-64 the blocks are 16 bytes, compared with SSE2 (always there);
// elsewhere they are 8 bytes in a 64-bit word. Both paths are built on
// x86-64, so that the tests run each of them.
#pragma once

#include <cstdint>

namespace poshark::commands {

// A set with at most this many distinct starting bytes is scanned for
// exactly those bytes; one with more for the range from its lowest to its
// highest starting byte.
inline constexpr int kMaxListedStarts = 6;

// How to find starting bytes in a block; made once per table.
struct ScanPlan {
  int nStarts = 0;  // distinct bytes that may start something
  // Those bytes, each repeated over a 16-byte block, when nStarts <=
  // kMaxListedStarts; the rows past nStarts repeat the first byte.
  alignas(16) uint8_t aListed[kMaxListedStarts][16] = {};
  uint8_t byLow = 0;   // lowest starting byte
  uint8_t byHigh = 0;  // highest starting byte
};

ScanPlan MakeScanPlan(const uint8_t* byStarts);

// First i in [nFrom, nEnd) at which pData[i] may start something, or nEnd
// when there is none (also when nEnd <= nFrom). Reads pData[nFrom, nEnd)
// only. byStarts is the table the plan was made from.
int FindStart(const ScanPlan& plan, const uint8_t* byStarts, const unsigned char* pData, int nFrom,
              int nEnd);

// The two paths FindStart chooses from; the vector one exists where SSE2 is.
int FindStartPortable(const ScanPlan& plan, const uint8_t* byStarts, const unsigned char* pData,
                      int nFrom, int nEnd);
#if defined(__SSE2__)
#define POSHARK_HAVE_SSE2_SCAN 1
int FindStartSse2(const ScanPlan& plan, const uint8_t* byStarts, const unsigned char* pData,
                  int nFrom, int nEnd);
#endif

}  // namespace poshark::commands
