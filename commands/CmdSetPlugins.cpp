// Plug-in libraries of a command set: the switches are read here; loading
// the libraries and resolving their entry points is not built yet, so every
// plug-in stays off (type-3 entries are left out, barcodes pass through
// untransformed, no preprocess or output filter runs).
#include "commands/RCCmdSet.h"

#include "platform/Profile.h"

#include <string>

using poshark::platform::ProfileReader;

namespace {

bool SwitchOn(const std::string& value) {
  return poshark::platform::ParseProfileInt(value.substr(0, value.find(',')), 0) != 0;
}

}  // namespace

void RCCmdSet::LoadAnalyzerPlugin(const ProfileReader& ini) {
  bUseDll = SwitchOn(ini.GetString("Main", "UseDll", "0,"));
  hUseDll = nullptr;
}

void RCCmdSet::LoadPreprocessPlugin(const ProfileReader&) {
  bDllPreprocess = false;
  hPreprocessDll = nullptr;
  pfnPreprocess = nullptr;
}

void RCCmdSet::LoadFilterPlugin(const ProfileReader& ini) {
  bUseFilterDll = SwitchOn(ini.GetString("Main", "UseFilterDll", "0,"));
  hFilterDll = nullptr;
  pfnFilter = nullptr;
}

void RCCmdSet::LoadBarcodeAnalyze(const ProfileReader&) { pfnBarcodeAnalyze = nullptr; }

PFN_ParamAnalyze RCCmdSet::ResolveAnalyze(const std::string&) { return nullptr; }

void RCCmdSet::ReleasePlugins() {
  bUseDll = false;
  hUseDll = nullptr;
  bDllPreprocess = false;
  hPreprocessDll = nullptr;
  pfnPreprocess = nullptr;
  bUseFilterDll = false;
  hFilterDll = nullptr;
  pfnFilter = nullptr;
}
