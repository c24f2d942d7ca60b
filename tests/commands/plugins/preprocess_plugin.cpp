// Preprocess plug-in for the tests ("DllPreprocess"). Depending on the text
// of a record it drops it, replaces its bytes, changes its event or attaches
// an extra block. Output memory stays the plug-in's: the queue copies it at
// once, and the queue's lock serialises calls per listener.
#include <cstring>
#include <string>

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

thread_local std::string g_strOut;
thread_local std::string g_strExtra;
unsigned char g_byEmpty[1] = {0};

bool Contains(const unsigned char* pData, int nCount, const char* pszWord) {
  if (!pData || nCount <= 0) return false;
  std::string strText(reinterpret_cast<const char*>(pData), static_cast<size_t>(nCount));
  return strText.find(pszWord) != std::string::npos;
}

void PassThrough(unsigned char* pData, int nCount, unsigned char** ppOut, int* pOutCount) {
  // The idle stop record comes as null/0; an empty block keeps it.
  *ppOut = pData ? pData : g_byEmpty;
  *pOutCount = nCount;
}

}  // namespace

PLUGIN_EXPORT int Preprocess(unsigned char* pData, int nCount, unsigned char** ppOut,
                              int* pOutCount, unsigned char** ppExtra, int* pExtraCount,
                              int* pEvent) {
  if (Contains(pData, nCount, "DROP")) return 0;  // out data stays null
  if (Contains(pData, nCount, "SWAP")) {
    g_strOut.assign(reinterpret_cast<const char*>(pData), static_cast<size_t>(nCount));
    size_t nAt = g_strOut.find("SWAP");
    g_strOut.replace(nAt, 4, "replaced text");
    *ppOut = reinterpret_cast<unsigned char*>(g_strOut.data());
    *pOutCount = static_cast<int>(g_strOut.size());
  } else {
    PassThrough(pData, nCount, ppOut, pOutCount);
  }
  if (Contains(pData, nCount, "CANCEL")) *pEvent = 2;
  if (Contains(pData, nCount, "TAG")) {
    g_strExtra = "extra:" + std::to_string(nCount);
    *ppExtra = reinterpret_cast<unsigned char*>(g_strExtra.data());
    *pExtraCount = static_cast<int>(g_strExtra.size());
  }
  return 0;
}

// Misbehaving variants.

// Negative out count: the record must be dropped.
PLUGIN_EXPORT int PreprocessNegativeCount(unsigned char* pData, int nCount, unsigned char** ppOut,
                                           int* pOutCount, unsigned char**, int*, int*) {
  PassThrough(pData, nCount, ppOut, pOutCount);
  if (Contains(pData, nCount, "NEG")) *pOutCount = -3;
  return 0;
}

// An extra block with a negative count, and one far larger than the writer's
// 260-byte extra buffer.
PLUGIN_EXPORT int PreprocessBadExtra(unsigned char* pData, int nCount, unsigned char** ppOut,
                                      int* pOutCount, unsigned char** ppExtra, int* pExtraCount,
                                      int*) {
  static unsigned char byLong[4096];
  PassThrough(pData, nCount, ppOut, pOutCount);
  if (Contains(pData, nCount, "NEGX")) {
    *ppExtra = byLong;
    *pExtraCount = -7;
  } else if (Contains(pData, nCount, "LONGX")) {
    std::memset(byLong, 'L', sizeof(byLong));
    *ppExtra = byLong;
    *pExtraCount = static_cast<int>(sizeof(byLong));
  } else if (Contains(pData, nCount, "HUGEX")) {
    std::memset(byLong, 'H', 16);
    *ppExtra = byLong;  // far fewer bytes than the count claims
    *pExtraCount = 0x7fffffff;
  } else if (Contains(pData, nCount, "NULLX")) {
    *ppExtra = nullptr;
    *pExtraCount = 50;
  }
  return 0;
}

// An out block longer than the writer can take (100000 bytes).
PLUGIN_EXPORT int PreprocessHugeOut(unsigned char* pData, int nCount, unsigned char** ppOut,
                                     int* pOutCount, unsigned char**, int*, int*) {
  static unsigned char byHuge[150000];
  PassThrough(pData, nCount, ppOut, pOutCount);
  if (Contains(pData, nCount, "HUGE")) {
    std::memset(byHuge, 'H', sizeof(byHuge));
    *ppOut = byHuge;
    *pOutCount = static_cast<int>(sizeof(byHuge));
  } else if (Contains(pData, nCount, "LIAR")) {
    *pOutCount = 0x7fffffff;  // far more than the block it points at
  }
  return 0;
}
