// Output filter plug-in for the tests ("UseFilterDll"): rewrites the text
// in place, within the capacity it is given.
#include <cstring>

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

// Masks every digit of the first text with '#'; the length stays.
PLUGIN_EXPORT int FilterMaskDigits(char* pBuf, int nCapacity) {
  for (int i = 0; i < nCapacity && pBuf[i] != '\0'; ++i)
    if (pBuf[i] >= '0' && pBuf[i] <= '9') pBuf[i] = '#';
  return 0;
}

// Appends " [ok]" to the first text when it fits: the text grows.
PLUGIN_EXPORT int FilterAppendMark(char* pBuf, int nCapacity) {
  static const char kMark[] = " [ok]";
  size_t nLen = strnlen(pBuf, static_cast<size_t>(nCapacity));
  if (nLen + sizeof(kMark) <= static_cast<size_t>(nCapacity)) std::memcpy(pBuf + nLen, kMark, sizeof(kMark));
  return 0;
}
