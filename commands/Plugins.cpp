#include "commands/Plugins.h"

#include "platform/Paths.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace poshark::commands {
namespace {

// A switch field read as a decimal number: leading blanks, optional sign,
// digits; anything after them is ignored. Non-zero is on.
bool ParseSwitch(std::string_view field) {
  size_t i = 0;
  while (i < field.size() && (field[i] == ' ' || field[i] == '\t')) ++i;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) ++i;
  bool bNonZero = false;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i)
    if (field[i] != '0') bNonZero = true;
  return bNonZero;
}

// Splits "head,rest" at the first comma; false without a comma.
bool SplitFirst(std::string_view value, std::string_view* pHead, std::string_view* pRest) {
  size_t nComma = value.find(',');
  if (nComma == std::string_view::npos) return false;
  *pHead = value.substr(0, nComma);
  *pRest = value.substr(nComma + 1);
  return true;
}

}  // namespace

PluginKey ParseUseDll(std::string_view value) {
  PluginKey key;
  std::string_view head = value, rest;
  if (!SplitFirst(value, &head, &rest)) rest = {};
  key.bOn = ParseSwitch(head);
  key.strLibrary = std::string(rest);
  key.bComplete = !key.strLibrary.empty();
  return key;
}

PluginKey ParseDllPreprocess(std::string_view value) {
  PluginKey key;
  std::string_view head, rest;
  if (!SplitFirst(value, &head, &rest)) return key;  // no comma: switch off
  key.bOn = ParseSwitch(head);
  std::string_view library, function;
  if (!SplitFirst(rest, &library, &function)) {
    key.strLibrary = std::string(rest);
    return key;  // no function field: nothing to load
  }
  key.strLibrary = std::string(library);
  key.strFunction = std::string(function);
  key.bComplete = true;
  return key;
}

PluginKey ParseUseFilterDll(std::string_view value) {
  PluginKey key;
  std::string_view head = value, rest;
  if (!SplitFirst(value, &head, &rest)) rest = {};
  key.bOn = ParseSwitch(head);
  std::string_view library = rest, function;
  if (SplitFirst(rest, &library, &function)) {
    // The function is the field after the library; a further comma ends it.
    size_t nComma = function.find(',');
    if (nComma != std::string_view::npos) function = function.substr(0, nComma);
  }
  key.strLibrary = std::string(library);
  key.strFunction = std::string(function);
  key.bComplete = !rest.empty();
  return key;
}

std::string CmdSetFolder(const std::string& strCmdSetPath) {
  size_t nSlash = strCmdSetPath.rfind('/');
  if (nSlash == std::string::npos || nSlash == 0) return {};
  return strCmdSetPath.substr(0, nSlash + 1);
}

std::string FindPluginFile(const std::string& strLibrary, const std::string& strFolder,
                           bool bAsWrittenFirst) {
  if (strLibrary.empty()) return {};
  if (strLibrary[0] == '/') return platform::FileExists(strLibrary) ? strLibrary : std::string();
  if (bAsWrittenFirst && platform::FileExists(strLibrary)) {
    // A bare name would send the loader through its search path; the file
    // found here is the one meant.
    return strLibrary.find('/') == std::string::npos ? "./" + strLibrary : strLibrary;
  }
  std::string strInFolder = strFolder + strLibrary;
  if (!platform::FileExists(strInFolder)) return {};
  if (strInFolder.find('/') == std::string::npos) strInFolder = "./" + strInFolder;
  return strInFolder;
}

int CallParamAnalyze(PFN_ParamAnalyze pfn, unsigned char* pData, int nCount, int* pStart,
                     int* pParamLen) {
  int nStart = *pStart;
  int nLength = *pParamLen;
  int nAnswer = pfn(pData, nCount, &nStart, &nLength) & 0xFFFF;
  *pStart = nStart;
  *pParamLen = nLength;
  switch (nAnswer) {
    case CMD_MORE:
    case CMD_DISCARD:
      return nAnswer;
    case CMD_DONE:
      if (nStart >= 0 && nLength >= 0 &&
          static_cast<int64_t>(nStart) + nLength <= static_cast<int64_t>(nCount))
        return CMD_DONE;
      break;
    default:
      break;
  }
  *pStart = 0;
  *pParamLen = 0;
  return CMD_DISCARD;
}

}  // namespace poshark::commands
