// Test plug-in, one library for every kind a command set names: parameter
// measures and barcode transforms ("UseDll"), preprocess ("DllPreprocess")
// and output filters ("UseFilterDll"). Some entries misbehave on purpose, so
// the tests can show the listener checks every answer and count it gets.
#include <cstring>
#include <string>

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

// Length-prefixed parameter: one count byte n, then n bytes, answered as
// start kStart and length n + 1 - kStart (start 1 keeps the count byte in a
// single command's text and drops it from a barcode).
template <int kStart, int kDone>
int MeasurePrefixed(unsigned char* pData, int nCount, int* pStart, int* pLength) {
  if (nCount < 1 || nCount < 1 + pData[0]) return 1;
  *pStart = kStart;
  *pLength = 1 + pData[0] - kStart;
  return kDone;
}
PLUGIN_EXPORT int MeasureLenPrefixed(unsigned char* p, int n, int* s, int* l) {
  return MeasurePrefixed<0, 2>(p, n, s, l);
}
PLUGIN_EXPORT int MeasureSkipPrefix(unsigned char* p, int n, int* s, int* l) {
  return MeasurePrefixed<1, 2>(p, n, s, l);
}

// Fixed answers: outside 1..3, or "complete" with a range that does not fit
// the nCount bytes given (past the end, negative, overflowing int). Barcode
// transforms have the same shape.
#define FIXED_ANSWER(name, answer, start, length)                        \
  PLUGIN_EXPORT int name(unsigned char*, int nCount, int* pS, int* pL) { \
    (void)nCount;                                                        \
    *pS = (start);                                                       \
    *pL = (length);                                                      \
    return (answer);                                                     \
  }
FIXED_ANSWER(MeasureAnswerSeven, 7, 0, 0)
FIXED_ANSWER(MeasureOverrun, 2, 0, nCount + 1)
FIXED_ANSWER(MeasureNegative, 2, -1, 1)
FIXED_ANSWER(MeasureHuge, 2, 0x7fffffff, 0x7fffffff)
FIXED_ANSWER(BarcodeOutOfRange, 2, nCount, nCount + 1)
FIXED_ANSWER(BarcodeNegative, 2, -4, 2)
FIXED_ANSWER(BarcodeLastByte, 2, nCount > 0 ? nCount - 1 : 0, nCount > 0 ? 1 : 0)

// The data reversed, written into the second half of the block it is given.
PLUGIN_EXPORT int BarcodeReverse(unsigned char* pBuf, int nCount, int* pOutStart, int* pOutLen) {
  for (int i = 0; i < nCount; ++i) pBuf[nCount + i] = pBuf[nCount - 1 - i];
  *pOutStart = nCount;
  *pOutLen = nCount;
  return 2;
}
// Declines after scribbling over its input: the measured bytes are used unchanged.
PLUGIN_EXPORT int BarcodeDecline(unsigned char* pBuf, int nCount, int*, int*) {
  std::memset(pBuf, 'X', static_cast<size_t>(nCount));
  return 1;
}

// Output filter: masks digits in place.
PLUGIN_EXPORT int FilterMaskDigits(char* pBuf, int nCapacity) {
  for (int i = 0; i < nCapacity && pBuf[i] != '\0'; ++i)
    if (pBuf[i] >= '0' && pBuf[i] <= '9') pBuf[i] = '#';
  return 0;
}
// Preprocess. Output memory stays the plug-in's: the queue copies it at once.
namespace {
thread_local std::string g_strOut;
thread_local std::string g_strExtra;
unsigned char g_byEmpty[1] = {0};

bool Has(const unsigned char* pData, int nCount, const char* pszWord) {
  return pData && nCount > 0 &&
         std::string(reinterpret_cast<const char*>(pData), static_cast<size_t>(nCount))
                 .find(pszWord) != std::string::npos;
}
void Give(unsigned char** pp, int* pCount, const void* p, int n) {
  *pp = static_cast<unsigned char*>(const_cast<void*>(p));
  *pCount = n;
}
// 16 'H', then 'L' up to 4096, then NULs.
const unsigned char* Block() {
  static unsigned char by[150000];
  static const bool bInit = (std::memset(by, 'L', 4096), std::memset(by, 'H', 16), true);
  (void)bInit;
  return by;
}
}  // namespace

// DROP drops the record, SWAP is replaced, CANCEL sets event 2, TAG attaches
// an extra block. Counts that do not fit their blocks: NEGX a negative extra
// count, LONGX an extra beyond the writer's 260 bytes, HUGEX and LIAR counts
// far beyond the block, NULLX a count without a block, NEG a negative out
// count, HUGE an out block longer than the writer takes.
PLUGIN_EXPORT int Preprocess(unsigned char* pData, int nCount, unsigned char** ppOut,
                             int* pOutCount, unsigned char** ppExtra, int* pExtraCount,
                             int* pEvent) {
  if (Has(pData, nCount, "DROP")) return 0;  // out data stays null
  // The idle stop record comes as null/0; an empty block keeps it.
  Give(ppOut, pOutCount, pData ? pData : g_byEmpty, nCount);
  if (Has(pData, nCount, "SWAP")) {
    g_strOut.assign(reinterpret_cast<const char*>(pData), static_cast<size_t>(nCount));
    g_strOut.replace(g_strOut.find("SWAP"), 4, "replaced text");
    Give(ppOut, pOutCount, g_strOut.data(), static_cast<int>(g_strOut.size()));
  }
  if (Has(pData, nCount, "CANCEL")) *pEvent = 2;
  if (Has(pData, nCount, "TAG")) {
    g_strExtra = "extra:" + std::to_string(nCount);
    Give(ppExtra, pExtraCount, g_strExtra.data(), static_cast<int>(g_strExtra.size()));
  } else if (Has(pData, nCount, "NEGX"))
    Give(ppExtra, pExtraCount, Block(), -7);
  else if (Has(pData, nCount, "LONGX"))
    Give(ppExtra, pExtraCount, Block() + 16, 4080);
  else if (Has(pData, nCount, "HUGEX"))
    Give(ppExtra, pExtraCount, Block(), 0x7fffffff);
  else if (Has(pData, nCount, "NULLX"))
    Give(ppExtra, pExtraCount, nullptr, 50);
  else if (Has(pData, nCount, "NEG"))
    *pOutCount = -3;
  else if (Has(pData, nCount, "HUGE"))
    Give(ppOut, pOutCount, Block(), 150000);
  else if (Has(pData, nCount, "LIAR"))
    *pOutCount = 0x7fffffff;
  return 0;
}
