// Plug-in libraries of a command set: reading the [Main] keys that name them,
// finding the library files, and checking what a parameter measure answers.
//
// A command set names up to three libraries: the analyzer plug-in
// ("UseDll": type-3 parameter measures and the barcode transform), the
// preprocess plug-in ("DllPreprocess": sees every write-queue record) and the
// output filter ("UseFilterDll": rewrites the writer's text in place). The
// entry names come from the file; no fixed name is looked up.
#pragma once

#include "commands/PrnCmd.h"

#include <string>
#include <string_view>

namespace poshark::commands {

// Bounds on what a preprocess plug-in hands back. A record longer than the
// writer's 100000-byte room could never be delivered and would hold up the
// records behind it; the writer passes at most 260 bytes of an extra block
// to the host. Counts above these are never used to read the plug-in's
// memory.
inline constexpr int kMaxPreprocessedLen = 100000;
inline constexpr int kMaxExtraLen = 260;

// What one [Main] plug-in key says.
struct PluginKey {
  bool bOn = false;         // the switch (first field, decimal, non-zero is on)
  std::string strLibrary;   // library path as written in the file
  std::string strFunction;  // entry name (preprocess and filter keys)
  bool bComplete = false;   // the key has every field its loading needs
};

// "UseDll": switch, then the whole rest after the first comma is the path
// (further commas included).
PluginKey ParseUseDll(std::string_view value);
// "DllPreprocess": without a comma the switch is off; otherwise switch,
// library up to the next comma, function name after it. Without that second
// comma the key is incomplete.
PluginKey ParseDllPreprocess(std::string_view value);
// "UseFilterDll": switch, library field, function field.
PluginKey ParseUseFilterDll(std::string_view value);

// The folder of a command-set file: its path up to and including the last
// '/', or "" when there is none or it is the path's first character.
std::string CmdSetFolder(const std::string& strCmdSetPath);

// The file a library path names: the path as written when a file exists
// there (bAsWrittenFirst), else the folder followed by the path when a file
// exists there; "" when neither holds. An absolute path is always taken as
// written (appending it to a folder can never name a file).
std::string FindPluginFile(const std::string& strLibrary, const std::string& strFolder,
                           bool bAsWrittenFirst);

// Measures a type-3 parameter through the plug-in. *pStart and *pParamLen
// are preset by the caller. The answer is the low 16 bits of the plug-in's
// result, checked: 2 only with 0 <= start, 0 <= length and start + length
// <= nCount; 1 and 3 as given; a complete answer whose range does not fit,
// and any answer outside 1..3, discard the rest (3), since the parameter's
// end is unknown then.
int CallParamAnalyze(PFN_ParamAnalyze pfn, unsigned char* pData, int nCount, int* pStart,
                     int* pParamLen);

}  // namespace poshark::commands
