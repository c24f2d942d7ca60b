// Plug-in libraries of a command set: loading them as the [Main] keys
// "UseDll", "DllPreprocess" and "UseFilterDll" say, resolving the entry
// names the file gives, and releasing them when the set is cleared. A
// library that is missing or does not load, or a missing export, leaves its
// plug-in off; so does a library that a root or service process may not
// trust (platform/TrustedPath.h), with a warning naming the file.
#include "commands/Plugins.h"
#include "commands/RCCmdSet.h"
#include "platform/Debug.h"
#include "platform/DynLib.h"
#include "platform/Profile.h"
#include "platform/TrustedPath.h"

#include <string>

using poshark::platform::DynLib;
using poshark::platform::ProfileReader;
namespace cmds = poshark::commands;

namespace {

constexpr const char* kMain = "Main";

// Loads the library at path; null when it does not load.
std::unique_ptr<DynLib> OpenLibrary(const std::string& strPath) {
  if (strPath.empty()) return nullptr;
  if (poshark::platform::PluginFilesMustBeTrusted()) {
    std::string strWhy = poshark::platform::WhyNotTrusted(strPath);
    if (!strWhy.empty()) {
      poshark::platform::WarningPrintf("poshark: plug-in %s refused: %s", strPath.c_str(),
                                       strWhy.c_str());
      return nullptr;
    }
  }
  auto pLib = std::make_unique<DynLib>();
  if (!pLib->Open(strPath)) return nullptr;
  return pLib;
}

template <typename Fn>
Fn ResolveExport(const DynLib* pLib, const std::string& strName) {
  if (!pLib || strName.empty()) return nullptr;
  return reinterpret_cast<Fn>(pLib->Symbol(strName.c_str()));
}

}  // namespace

void RCCmdSet::LoadAnalyzerPlugin(const ProfileReader& ini) {
  cmds::PluginKey key = cmds::ParseUseDll(ini.GetString(kMain, "UseDll", "0,"));
  bUseDll = key.bOn;
  hUseDll.reset();
  if (!bUseDll || !key.bComplete) return;
  hUseDll = OpenLibrary(cmds::FindPluginFile(key.strLibrary, cmds::CmdSetFolder(strPath), true));
}

void RCCmdSet::LoadPreprocessPlugin(const ProfileReader& ini) {
  cmds::PluginKey key = cmds::ParseDllPreprocess(ini.GetString(kMain, "DllPreprocess", "0"));
  bDllPreprocess = key.bOn;
  hPreprocessDll.reset();
  pfnPreprocess = nullptr;
  if (!bDllPreprocess || !key.bComplete) return;
  // This library is looked for in the command-set folder only.
  std::string strFile = cmds::FindPluginFile(key.strLibrary, cmds::CmdSetFolder(strPath), false);
  if (!strFile.empty() && !key.strFunction.empty()) {
    hPreprocessDll = OpenLibrary(strFile);
    pfnPreprocess = ResolveExport<PFN_Preprocess>(hPreprocessDll.get(), key.strFunction);
  }
  if (!pfnPreprocess) {
    bDllPreprocess = false;
    hPreprocessDll.reset();
  }
}

void RCCmdSet::LoadFilterPlugin(const ProfileReader& ini) {
  cmds::PluginKey key = cmds::ParseUseFilterDll(ini.GetString(kMain, "UseFilterDll", "0,"));
  bUseFilterDll = key.bOn;
  hFilterDll.reset();
  pfnFilter = nullptr;
  if (!bUseFilterDll || !key.bComplete) return;
  std::string strFile = cmds::FindPluginFile(key.strLibrary, cmds::CmdSetFolder(strPath), true);
  if (strFile.empty() || key.strFunction.empty()) return;
  hFilterDll = OpenLibrary(strFile);
  pfnFilter = ResolveExport<PFN_Filter>(hFilterDll.get(), key.strFunction);
  if (!pfnFilter) hFilterDll.reset();
}

void RCCmdSet::LoadBarcodeAnalyze(const ProfileReader& ini) {
  pfnBarcodeAnalyze = nullptr;
  if (!bUseDll || !hUseDll) return;
  pfnBarcodeAnalyze =
      ResolveExport<PFN_BarcodeAnalyze>(hUseDll.get(), ini.GetString("BARCODE_Analyze", "1", ""));
}

PFN_ParamAnalyze RCCmdSet::ResolveAnalyze(const std::string& name) {
  if (!bUseDll || !hUseDll) return nullptr;
  return ResolveExport<PFN_ParamAnalyze>(hUseDll.get(), name);
}

void RCCmdSet::ReleasePlugins() {
  // Entry points first: nothing may call into a library once it is gone.
  pfnPreprocess = nullptr;
  pfnFilter = nullptr;
  pfnBarcodeAnalyze = nullptr;
  for (auto& pCmd : arSingle) pCmd->pfnAnalyze = nullptr;
  for (auto& pGroup : arMulti)
    for (auto& pCmd : pGroup->arCmds) pCmd->pfnAnalyze = nullptr;
  if (pBarcode) pBarcode->pfnAnalyze = nullptr;
  bUseDll = false;
  bDllPreprocess = false;
  bUseFilterDll = false;
  hUseDll.reset();
  hPreprocessDll.reset();
  hFilterDll.reset();
}
