// Filter-file loading from arbitrary POSKeyFilter.ini text: both catchers
// load their sections, match a line with what they loaded, and save again;
// what they saved loads back to the same number of entries.
#include "FuzzSupport.h"
#include "KeyInput.h"

#include <poshark/ColorKeyCatcher.h>
#include <poshark/KeyDataCatcher.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  poshark_fuzz::Home().Write("POSKeyFilter.ini", {reinterpret_cast<const char*>(data), size});

  KeyDataCatcher keys;
  ColorKeyCatcher colors;
  keys.LoadIni(1);
  colors.LoadIni(1);

  static const char kLine[] = "TOTAL 1,234.50 CASH 20.00 VOID item 7  x\n";
  int count = 0;
  keys.FindKeyData(kLine, sizeof kLine - 1, count);
  const SYSTEMTIME t{2026, 1, 0, 5, 12, 0, 0, 0};
  colors.FindKeyData(kLine, sizeof kLine - 1, count, t, 0);
  auto none = [](const STRUCT_CatchData&, const STRUCT_ColorKeyRange&) {};
  poshark_fuzz::TakeAll(keys, none);
  poshark_fuzz::TakeAll(colors, none);

  // Saving what was loaded, and loading it again, keeps every entry.
  const int nKeys = keys.GetKeyWordNum();
  const int nColors = colors.GetKeyWordNum();
  keys.WriteIni(1);
  keys.WriteIni_FreqIdleRec(1);
  colors.WriteIni(1);
  colors.WriteIni_FreqIdleRec(1);
  KeyDataCatcher keysAgain;
  ColorKeyCatcher colorsAgain;
  keysAgain.LoadIni(1);
  colorsAgain.LoadIni(1);
  if (keysAgain.GetKeyWordNum() != nKeys || colorsAgain.GetKeyWordNum() != nColors) std::abort();
  return 0;
}
