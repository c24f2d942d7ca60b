// Internals of StreamAnalyzer shared by its two source files: what the
// analyzer derives from a command set, and the state of one Analyze pass.
// Only commands/Analyzer*.cpp include this header.
#pragma once

#include "commands/StreamAnalyzer.h"
#include "commands/TextScan.h"

#include <cstdint>

namespace poshark::commands {

// Bytes a matcher sees first, at most; the rest's buffer has this many
// bytes more, so that a window can always be copied whole.
inline constexpr int kMaxFirstWindow = 64;
// The rest's buffer: twice the room, see StreamAnalyzer::WaitMore.
inline constexpr int kInputCap = 2 * kAnalyzeRoom;

// What may start at a byte, for the byte-by-byte fast path.
enum : uint8_t {
  kText = 0,       // no command, group or barcode starts with this byte
  kWindowed = 1,   // something may start here; a window of the rest is enough
  kFullLength = 2  // a plug-in may measure here: it must see all the bytes left
};

struct StreamAnalyzer::ByteClasses {
  uint8_t byClass[256] = {};
  int nMaxSingle = 0;    // longest single command
  int nFirstWindow = 1;  // bytes that settle every fixed-length command
  ScanPlan scan;         // how to find the bytes of non-zero class
};

// One pass of Analyze. The in-place buffer would hold head then rest,
// len = p + rem bytes; here the head is pHead[0, p) and the rest pIn[r, e).
struct StreamAnalyzer::Pass {
  RCCmdSet* pSet = nullptr;
  const ByteClasses* pClasses = nullptr;
  unsigned char* pBuf = nullptr;  // the caller's buffer
  int* pnLen = nullptr;           // the caller's length
  int p = 0;
  int r = 0;
  int e = 0;
  int Rem() const { return e - r; }
};

}  // namespace poshark::commands
