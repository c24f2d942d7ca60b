// Reads keys for the catcher targets from the front of an input:
//   count byte (0..7 keys), then per key:
//   flags, shift, decimal sign, thousands sign, condition byte, key length,
//   key bytes.
// The condition byte: bit 0 on, bits 1-3 the operator, bit 4 numeric,
// bit 5 a frequency limit, bit 6 an idle limit, bit 7 a second comparison.
#pragma once

#include <poshark/KeyRecords.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace poshark_fuzz {

// The input not read yet; past its end every byte reads as 0.
struct ByteReader {
  std::string_view rest;
  uint8_t Byte() { return rest.empty() ? 0 : static_cast<uint8_t>(Text(1)[0]); }
  std::string Text(size_t n) {
    std::string s(rest.substr(0, n));
    rest.remove_prefix(s.size());
    return s;
  }
};

struct FuzzKey {
  std::string text;
  int flags = 0, nShift = 0;
  bool shift = false, condition = false;
  char decimal = '.', thousands = ',';
  STRUCT_Condition cond{};
  FreqRecList freq;
};

inline std::vector<FuzzKey> ReadKeys(ByteReader& in) {
  std::vector<FuzzKey> keys(in.Byte() % 8);
  for (FuzzKey& k : keys) {
    k.flags = in.Byte();
    uint8_t shift = in.Byte();
    k.shift = (shift & 0x80) != 0;
    k.nShift = shift & 0x7F;
    k.decimal = static_cast<char>(in.Byte());
    k.thousands = static_cast<char>(in.Byte());
    uint8_t c = in.Byte();
    k.text = in.Text(in.Byte() % 40);
    k.condition = (c & 1) != 0;
    k.cond.bNumeric = (c & 0x10) != 0;
    k.cond.nOperator1 = (c >> 1) & 7;  // 6 and 7 are outside the known operators
    k.cond.fValue1 = 10.5f;
    std::memcpy(k.cond.szValue1, "AB", 3);
    k.cond.nJoin = (c & 0x80) ? 1 + (c & 1) : 0;
    k.cond.nOperator2 = (c >> 2) & 7;
    k.cond.fValue2 = 100;
    std::memcpy(k.cond.szValue2, "1", 2);
    k.cond.bFreq = (c & 0x20) != 0;
    k.cond.nFreqUnit = 1 + (c >> 5);
    k.cond.nFreqCount = 2;
    k.cond.bIdle = (c & 0x40) != 0;
    k.cond.nIdleMinutes = 1;
    k.cond.pFreqRecs = &k.freq;
  }
  return keys;
}

// Takes every result of a catcher in blocks of 16, as a host does: check
// sees each caught text and range before the text is freed.
template <typename Catcher, typename Check>
void TakeAll(Catcher& catcher, Check check) {
  STRUCT_CatchData caught[16];
  STRUCT_AlarmData alarms[16];
  STRUCT_ColorKeyRange ranges[16];
  for (int got = 16; got == 16;) {
    got = catcher.GetKeyData(caught, alarms, ranges, 16);
    if (got < 0 || got > 16) std::abort();
    for (int i = 0; i < got; ++i) {
      check(caught[i], ranges[i]);
      std::free(caught[i].pszData);
    }
  }
}

}  // namespace poshark_fuzz
