// KeyDataCatcher::FindKeyData with arbitrary keywords and arbitrary data in
// chunks of varying size; every result is collected and its text released
// after each call, as a host does. Input: keys (see KeyInput.h), a seed byte
// for the chunk sizes, then the data.
#include "FuzzSupport.h"
#include "KeyInput.h"

#include <poshark/KeyDataCatcher.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  poshark_fuzz::Home();
  poshark_fuzz::ByteReader in{{reinterpret_cast<const char*>(data), size}};
  std::vector<poshark_fuzz::FuzzKey> keys = poshark_fuzz::ReadKeys(in);
  KeyDataCatcher catcher;
  for (poshark_fuzz::FuzzKey& k : keys) {
    catcher.AddKeyWord(k.text.c_str(), k.flags, k.shift, k.nShift, nullptr, 1 + (k.flags & 3), -1,
                       k.decimal, k.thousands, 0, 0, 0, false, SYSTEMTIME{}, SYSTEMTIME{},
                       k.condition, &k.cond);
  }
  catcher.ReBuildGroupFromAll();
  poshark_fuzz::Chunker chunks(in.Byte());

  while (!in.rest.empty()) {
    std::string_view chunk = in.rest.substr(0, chunks.Next(2048));  // within the input
    in.rest.remove_prefix(chunk.size());
    int count = 0;
    catcher.FindKeyData(chunk.data(), static_cast<int>(chunk.size()), count);
    if (count < 0) std::abort();
    // A caught text lies within the data it was caught from.
    poshark_fuzz::TakeAll(catcher, [](const STRUCT_CatchData& c, const STRUCT_ColorKeyRange&) {
      if (c.pszData && std::strlen(c.pszData) > KeyDataCatcher::kBufferSize) std::abort();
    });
  }
  catcher.FindKeyDataZero();
  return 0;
}
