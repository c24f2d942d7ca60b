// Output filter plug-in for command sets ([Main] UseFilterDll): masks card
// numbers in every record before the listener cuts it into lines.
//
//   UseFilterDll=1,libposhark-cardmask.so,MaskCardNumbers
//
// The writer hands over its buffer holding the record's text and a NUL; the
// text is masked up to that NUL, in place, its length unchanged.
#include <cstring>

#include "CardMask.h"

extern "C" __attribute__((visibility("default"))) int MaskCardNumbers(char* text, int capacity) {
  if (text == nullptr || capacity <= 0) return 0;
  size_t size = strnlen(text, static_cast<size_t>(capacity));
  return poshark::cardmask::MaskCardNumbers(text, size);
}
