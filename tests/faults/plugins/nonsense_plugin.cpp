// A plug-in that answers nonsense at every entry point: result codes outside
// the known ones, ranges before, past and far beyond the data, negative and
// huge counts, null and dangling-looking output blocks, and an output filter
// that fills its buffer without a terminator. The answers come from a fixed
// pseudo-random sequence, so a failing run repeats.
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<uint32_t> g_state{12345};

uint32_t Next() { return (g_state = g_state * 1103515245u + 12345u) >> 8; }

int Count(int nCount) {
  static const int kPicks[] = {0, -1, 1, INT_MAX, INT_MIN, 0x10000, 65535};
  uint32_t r = Next();
  if (r % 3 == 0) return kPicks[(r >> 2) % std::size(kPicks)];
  return static_cast<int>(r % static_cast<uint32_t>(nCount > 0 ? 2 * nCount + 3 : 3)) - 1;
}

int Answer() {
  static const int kAnswers[] = {0, 1, 2, 3, 4, 7, -1, 0x10001, 0x10002, 0x7fffffff};
  return kAnswers[Next() % std::size(kAnswers)];
}

// Larger than anything the listener takes from a block whose count it cannot
// trust (it keeps at most 260 bytes of an extra block).
unsigned char g_block[4096];

}  // namespace

PLUGIN_EXPORT int MeasureNonsense(unsigned char*, int nCount, int* pStart, int* pLength) {
  *pStart = Count(nCount);
  *pLength = Count(nCount);
  return Answer();
}

PLUGIN_EXPORT int BarcodeNonsense(unsigned char* pBuf, int nCount, int* pOutStart, int* pOutLen) {
  // Scribbles within the block it was given (2 * nCount bytes), then lies
  // about where the result is.
  if (pBuf && nCount > 0) std::memset(pBuf, 'Z', static_cast<size_t>(nCount));
  *pOutStart = Count(nCount);
  *pOutLen = Count(nCount);
  return Answer();
}

PLUGIN_EXPORT int PreprocessNonsense(unsigned char*, int nCount, unsigned char** ppOut,
                                     int* pOutCount, unsigned char** ppExtra, int* pExtraCount,
                                     int* pEvent) {
  uint32_t r = Next();
  // Either no block, or our block with a count that may exceed it. The
  // listener cannot know the block's size, so a count is either within the
  // block or one it must reject on its own: negative, or absurdly large.
  *ppOut = (r & 1) ? g_block : nullptr;
  int n = Count(nCount);
  *pOutCount = n <= static_cast<int>(sizeof g_block) || n >= (1 << 30)
                   ? n
                   : static_cast<int>(sizeof g_block);
  if (ppExtra) *ppExtra = (r & 2) ? g_block : nullptr;
  if (pExtraCount) *pExtraCount = (r & 4) ? -7 : ((r & 8) ? INT_MAX : 16);
  if (pEvent) *pEvent = static_cast<int>(Next() % 9) - 4;
  return Answer();
}

PLUGIN_EXPORT int FilterNonsense(char* pBuf, int nCapacity) {
  if (pBuf && nCapacity > 0) std::memset(pBuf, 'Q', static_cast<size_t>(nCapacity));
  return Answer();
}
