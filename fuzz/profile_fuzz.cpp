// The profile (INI) parser on arbitrary file contents: every section and key
// it reports is looked up again, through the reader and through the
// Win32-style functions, and one change is written back and read again.
#include "FuzzSupport.h"
#include "platform/Profile.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace pf = poshark::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file =
      poshark_fuzz::Home().Write("fuzz-profile.ini", {reinterpret_cast<const char*>(data), size});

  pf::ProfileReader reader(file.c_str());
  size_t keys = 0;
  for (const std::string& section : reader.GetSectionNames()) {
    if (!reader.HasSection(section)) std::abort();  // a listed section must be found
    for (const std::string& key : reader.GetKeyNames(section)) {
      if (!reader.HasKey(section, key)) std::abort();
      std::string value = reader.GetString(section, key, "", pf::kProfileValueSize);
      if (value.size() >= static_cast<size_t>(pf::kProfileValueSize)) std::abort();
      reader.GetInt(section, key, -7);
      pf::ParseProfileInt(value, 0);
      if (++keys > 64) break;  // enough per input; keeps each run short
    }
    reader.GetNumberedValues(section, 1000, 16);
    if (keys > 64) break;
  }

  // The Win32-style reads: the lists and a small buffer must stay bounded.
  char small[8];
  std::memset(small, 'x', sizeof small);
  for (const char* section : {static_cast<const char*>(nullptr), "Main"}) {
    int n = pf::GetPrivateProfileStringA(section, nullptr, "", small, sizeof small, file.c_str());
    if (n < 0 || n >= static_cast<int>(sizeof small)) std::abort();
  }
  pf::GetPrivateProfileIntA("Main", "Num", 0, file.c_str());

  // A write keeps the file readable and its key is found again.
  if (pf::WritePrivateProfileStringA("Fuzz", "Key", "value 1", file.c_str()) &&
      !pf::ProfileReader(file.c_str()).HasKey("Fuzz", "Key"))
    std::abort();
  return 0;
}
