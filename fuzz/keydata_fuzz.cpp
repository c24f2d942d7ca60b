// KeyDataCatcher::FindKeyData with arbitrary keywords and arbitrary data in
// chunks of varying size; every result is collected and its text released
// after each call, as a host does. Input: keys (see KeyInput.h), a seed byte
// for the chunk sizes, then the data.
#include "FuzzSupport.h"
#include "KeyInput.h"

#include <poshark/KeyDataCatcher.h>

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  poshark_fuzz::Home();
  poshark_fuzz::ByteReader in(data, size);
  std::vector<poshark_fuzz::FuzzKey> keys = poshark_fuzz::ReadKeys(in);
  KeyDataCatcher catcher;
  for (poshark_fuzz::FuzzKey& k : keys) {
    catcher.AddKeyWord(k.text.c_str(), k.flags, k.shift, k.nShift, nullptr, 1 + (k.flags & 3), -1,
                       k.decimal, k.thousands, 0, 0, 0, false, SYSTEMTIME{}, SYSTEMTIME{},
                       k.condition, &k.cond);
  }
  catcher.ReBuildGroupFromAll();
  poshark_fuzz::Chunker chunks(in.Byte());

  STRUCT_CatchData caught[16];
  STRUCT_AlarmData alarms[16];
  STRUCT_ColorKeyRange ranges[16];
  const char* p = reinterpret_cast<const char*>(in.Rest());
  size_t left = in.Left();
  while (left > 0) {
    size_t n = chunks.Next(2048);
    if (n > left) n = left;
    int count = 0;
    catcher.FindKeyData(p, static_cast<int>(n), count);
    if (count < 0) std::abort();
    for (;;) {
      int got = catcher.GetKeyData(caught, alarms, ranges, 16);
      if (got < 0 || got > 16) std::abort();
      for (int i = 0; i < got; ++i) {
        // A caught text lies within the data it was caught from.
        if (caught[i].pszData && std::strlen(caught[i].pszData) > KeyDataCatcher::kBufferSize)
          std::abort();
        std::free(caught[i].pszData);
      }
      if (got < 16) break;
    }
    p += n;
    left -= n;
  }
  catcher.FindKeyDataZero();
  return 0;
}
