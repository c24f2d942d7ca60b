// ColorKeyCatcher::FindKeyData with arbitrary keys and lines, in the
// character sets that change how keys are searched (none, Hebrew, Arabic)
// and at arbitrary times of day. Input: keys (see KeyInput.h), then lines
// separated by LF; each line's first byte picks the character set and the
// hour.
#include "FuzzSupport.h"
#include "KeyInput.h"

#include <poshark/ColorKeyCatcher.h>

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  poshark_fuzz::Home();
  poshark_fuzz::ByteReader in{{reinterpret_cast<const char*>(data), size}};
  std::vector<poshark_fuzz::FuzzKey> keys = poshark_fuzz::ReadKeys(in);
  ColorKeyCatcher catcher;
  for (poshark_fuzz::FuzzKey& k : keys) {
    SYSTEMTIME start{}, end{};
    start.wHour = static_cast<uint16_t>(k.flags % 24);
    end.wHour = static_cast<uint16_t>(k.nShift % 24);
    catcher.AddKeyWord(k.text.c_str(), nullptr, ColorKeyCatcher::kColorKeyMDBType, -1, 1, 2, 0xFF,
                       (k.flags & 0x80) != 0, start, end, k.condition, &k.cond);
  }

  std::istringstream lines{std::string(in.rest)};
  for (std::string line; std::getline(lines, line);) {
    uint8_t pick = line.empty() ? 0 : static_cast<uint8_t>(line[0]);
    static const uint32_t kSets[] = {0, 177, 178, 1};
    SYSTEMTIME t{2026, 3, 0, 1, static_cast<uint16_t>((pick >> 2) % 24), 30, 0, 0};
    int count = 0;
    catcher.FindKeyData(line.c_str(), static_cast<int>(line.size()), count, t, kSets[pick & 3]);
    // A range lies within the searched text (up to its first NUL).
    const int len = static_cast<int>(std::strlen(line.c_str()));
    poshark_fuzz::TakeAll(catcher, [len](const STRUCT_CatchData&, const STRUCT_ColorKeyRange& r) {
      if (r.nStart < 0 || r.nStart > r.nEnd || r.nEnd > len) std::abort();
    });
  }
  catcher.FindKeyDataZero();
  return 0;
}
