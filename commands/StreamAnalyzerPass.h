// Internals of StreamAnalyzer shared by its two source files: what the
// analyzer derives from a command set, and the state of one Analyze pass.
// Only commands/StreamAnalyzer*.cpp include this header.
#pragma once

#include "commands/PrnCmd.h"
#include "commands/StreamAnalyzer.h"
#include "commands/TextScan.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

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

// A plain command that its first two bytes settle, with what taking it
// needs at hand.
struct SettledCommand {
  STRUCT_PrnCmd* pCmd = nullptr;         // becomes the set's last command
  const unsigned char* pText = nullptr;  // replacement text, nText bytes
  int nText = 0;
  int nTake = 0;         // bytes removed, or a marker's bytes passed
  int nParams = 0;       // of them, parameter bytes after the command's own
  bool bMarker = false;  // its bytes stay in the text
};
// The commands settled at one first byte.
struct SettledRow {
  using Index = uint16_t;
  int nNeed = 2;  // bytes left from which the row holds
  // For each second byte: 0, or one more than the index of the settled
  // command that the two bytes start.
  std::array<Index, 256> aCommand{};
};
// First bytes with a row of their own, at most.
inline constexpr size_t kMaxSettledRows = 255;

struct StreamAnalyzer::ByteClasses {
  uint8_t byClass[256] = {};
  int nMaxSingle = 0;    // longest single command
  int nFirstWindow = 1;  // bytes that settle every fixed-length command
  ScanPlan scan;         // how to find the bytes of non-zero class
  // Plain commands that the analyzer takes by itself, without the matchers,
  // once the bytes left hold every command tried at their first byte: for
  // each first byte 0, or one more than the index of its row.
  uint8_t aSettledRow[256] = {};
  std::vector<SettledRow> settledRows;
  std::vector<SettledCommand> settled;
};

// Two blocks of type T, at 0 and at nLast, read before either is written.
template <typename T>
[[gnu::always_inline]] inline void CopyTwoBlocks(unsigned char* pTo, const unsigned char* pFrom,
                                                 int nLast) {
  T a;
  T b;
  std::memcpy(&a, pFrom, sizeof a);
  std::memcpy(&b, pFrom + nLast, sizeof b);
  std::memcpy(pTo, &a, sizeof a);
  std::memcpy(pTo + nLast, &b, sizeof b);
}

// Copies the bytes between two commands, or a replacement text, without a
// library call: most are shorter than 64 bytes. Each branch copies two
// possibly overlapping blocks that together cover [0, n).
[[gnu::always_inline]] inline void CopyShort(unsigned char* pTo, const unsigned char* pFrom,
                                             int n) {
  struct Block32 {
    uint64_t w[4];
  };
  struct Block16 {
    uint64_t w[2];
  };
  if (n > 64) {
    std::memcpy(pTo, pFrom, static_cast<size_t>(n));
  } else if (n >= 32) {
    CopyTwoBlocks<Block32>(pTo, pFrom, n - 32);
  } else if (n >= 16) {
    CopyTwoBlocks<Block16>(pTo, pFrom, n - 16);
  } else if (n >= 8) {
    CopyTwoBlocks<uint64_t>(pTo, pFrom, n - 8);
  } else if (n >= 4) {
    CopyTwoBlocks<uint32_t>(pTo, pFrom, n - 4);
  } else if (n > 0) {
    pTo[0] = pFrom[0];
    pTo[n / 2] = pFrom[n / 2];
    pTo[n - 1] = pFrom[n - 1];
  }
}

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

// Inlined: it runs once for every chunk.
[[gnu::always_inline]] inline bool StreamAnalyzer::TakeChunk(unsigned char* pTo, int* pnLen) {
  if (shelf_.Empty() && !links_.FillShelf()) {
    return false;
  }
  const ChunkShelf::Chunk& chunk = shelf_.aChunks[static_cast<size_t>(shelf_.nNext)];
  if (chunk.nLen > *pnLen) {
    *pnLen = chunk.nLen;
    return false;
  }
  ++shelf_.nNext;
  CopyShort(pTo, chunk.pData, chunk.nLen);
  stCurTime_ = chunk.stTime;
  bCurDST_ = chunk.bDST;
  *pnLen = chunk.nLen;
  if (shelf_.pfnHook) {
    shelf_.pfnHook(chunk.nLen, pTo, &stCurTime_);
  }
  return true;
}

}  // namespace poshark::commands
