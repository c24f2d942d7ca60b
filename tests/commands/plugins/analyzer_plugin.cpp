// Analyzer plug-in for the tests ("UseDll"): parameter measures for type-3
// commands and barcode transforms. Some entries misbehave on purpose, so the
// tests can show the listener checks every answer and count it gets back.
#include <cstring>

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

// Length-prefixed parameter: one count byte n, then n bytes. The prefix is
// part of the parameter, so a single command removes it with the bytes.
PLUGIN_EXPORT int MeasureLenPrefixed(unsigned char* pData, int nCount, int* pStart, int* pLength) {
  if (nCount < 1) return 1;
  int n = pData[0];
  if (nCount < 1 + n) return 1;
  *pStart = 0;
  *pLength = 1 + n;
  return 2;
}

// The same parameter reported as start 1 (the count byte) and length n: a
// single command keeps the count byte in the text, a barcode drops it.
PLUGIN_EXPORT int MeasureSkipPrefix(unsigned char* pData, int nCount, int* pStart, int* pLength) {
  if (nCount < 1) return 1;
  int n = pData[0];
  if (nCount < 1 + n) return 1;
  *pStart = 1;
  *pLength = n;
  return 2;
}

// Only the low 16 bits of an answer count: 0x10002 means "complete".
PLUGIN_EXPORT int MeasureHighBitsComplete(unsigned char* pData, int nCount, int* pStart,
                                          int* pLength) {
  int nAnswer = MeasureLenPrefixed(pData, nCount, pStart, pLength);
  return nAnswer == 2 ? 0x10002 : nAnswer;
}

// Answers outside 1..3.
PLUGIN_EXPORT int MeasureAnswerSeven(unsigned char*, int, int*, int*) { return 7; }
PLUGIN_EXPORT int MeasureAnswerZero(unsigned char*, int, int*, int*) { return 0; }
PLUGIN_EXPORT int MeasureAnswerFour(unsigned char*, int, int*, int*) { return 4; }

// "Complete" with a range that ends past the bytes it was given.
PLUGIN_EXPORT int MeasureOverrun(unsigned char*, int nCount, int* pStart, int* pLength) {
  *pStart = 0;
  *pLength = nCount + 1;
  return 2;
}

// "Complete" with negative counts.
PLUGIN_EXPORT int MeasureNegative(unsigned char*, int, int* pStart, int* pLength) {
  *pStart = -1;
  *pLength = 1;
  return 2;
}

// start + length overflows int.
PLUGIN_EXPORT int MeasureHuge(unsigned char*, int, int* pStart, int* pLength) {
  *pStart = 0x7fffffff;
  *pLength = 0x7fffffff;
  return 2;
}

// Barcode transform: the data reversed, written into the second half of the
// block it is given.
PLUGIN_EXPORT int BarcodeReverse(unsigned char* pBuf, int nCount, int* pOutStart, int* pOutLen) {
  for (int i = 0; i < nCount; ++i) pBuf[nCount + i] = pBuf[nCount - 1 - i];
  *pOutStart = nCount;
  *pOutLen = nCount;
  return 2;
}

// Barcode transform that keeps the first byte only (out length shrinks).
PLUGIN_EXPORT int BarcodeFirstByte(unsigned char*, int nCount, int* pOutStart, int* pOutLen) {
  *pOutStart = nCount > 0 ? nCount - 1 : 0;
  *pOutLen = nCount > 0 ? 1 : 0;
  return 2;
}

// Claims a range one byte past the end of the block.
PLUGIN_EXPORT int BarcodeOutOfRange(unsigned char*, int nCount, int* pOutStart, int* pOutLen) {
  *pOutStart = nCount;
  *pOutLen = nCount + 1;
  return 2;
}

// Negative out start.
PLUGIN_EXPORT int BarcodeNegative(unsigned char*, int, int* pOutStart, int* pOutLen) {
  *pOutStart = -4;
  *pOutLen = 2;
  return 2;
}

// Declines: the measured bytes are used unchanged.
PLUGIN_EXPORT int BarcodeDecline(unsigned char* pBuf, int nCount, int*, int*) {
  std::memset(pBuf, 'X', static_cast<size_t>(nCount));
  return 1;
}
