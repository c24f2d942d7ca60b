// The listener's catalogue of command-set files and the selection of the
// current set.
#include <poshark/RCPosHark.h>

#include "commands/CmdSetCatalog.h"
#include "commands/RCCmdSet.h"
#include "listener/RCDataQueue.h"
#include "platform/DirList.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

#include <cstring>

namespace {

constexpr const char* kCmdSetFolder = "Printer Commands";
// Kept beside the command sets and never one of them.
constexpr const char* kExtraFile = "POS_DBExtra.ini";

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IsCmdSetFileName(const std::string& name) {
  if (name.find(kExtraFile) != std::string::npos) return false;
  return name.size() >= 4 && EqualNoCase(std::string_view(name).substr(name.size() - 4), ".ini");
}

}  // namespace

std::string RCPosHark::GetWorkPath() {
  if (!strWorkPath.empty()) return strWorkPath;
  std::string path = poshark::platform::WorkPath();
  if (path.empty()) return std::string();
  strWorkPath = path;
  return strWorkPath;
}

void RCPosHark::LoadCmds() {
  std::string work = GetWorkPath();
  // Without a work path there is no folder to look in (not the root's).
  if (work.empty()) return;
  std::string folder = poshark::platform::JoinPath(work, kCmdSetFolder);
  for (const poshark::platform::DirEntry& entry : poshark::platform::ListDirectory(folder)) {
    if (entry.bDirectory || !IsCmdSetFileName(entry.name)) continue;
    auto info = std::make_unique<STRUCT_CmdSetInfo>();
    info->szPath = poshark::platform::JoinPath(folder, entry.name);
    poshark::platform::ProfileReader ini(info->szPath.c_str());
    std::string name = ini.GetString("Main", "Module_Name", "", sizeof info->szName);
    std::memcpy(info->szName, name.c_str(), name.size() + 1);
    info->bGraphMode = ini.GetInt("Main", "bGraphMode", 0) != 0;
    info->bPOSTextSenderMode = ini.GetInt("Main", "bPOSTextSenderMode", 0) != 0;
    m_CmdSetList.push_back(info.release());
  }
}

bool RCPosHark::SelectCmdSet(int nIndex) {
  if (nIndex < 0 || nIndex >= static_cast<int>(m_CmdSetList.size())) return false;
  if (!pCurCmdSet) {
    pCurCmdSet = std::make_unique<RCCmdSet>();
    // The write queue lets the set's preprocess plug-in see every record.
    m_WriteQueue->pCmdSet = pCurCmdSet.get();
  } else {
    pCurCmdSet->Clear();
  }
  pCurCmdSet->Load(m_CmdSetList[static_cast<size_t>(nIndex)]->szPath);
  return true;
}

bool RCPosHark::SelectCmdSet(std::string strName) {
  for (size_t i = 0; i < m_CmdSetList.size(); ++i)
    if (EqualNoCase(m_CmdSetList[i]->szName, strName)) return SelectCmdSet(static_cast<int>(i));
  return false;
}

int RCPosHark::GetCmdSetNum() { return static_cast<int>(m_CmdSetList.size()); }

bool RCPosHark::GetCmdSetName(int nIndex, char* pszName, bool& bGraph) {
  if (nIndex < 0 || nIndex >= static_cast<int>(m_CmdSetList.size()) || !pszName) return false;
  const STRUCT_CmdSetInfo* info = m_CmdSetList[static_cast<size_t>(nIndex)];
  std::memcpy(pszName, info->szName, std::strlen(info->szName) + 1);
  bGraph = info->bGraphMode;
  return true;
}

bool RCPosHark::GetCurCmdSetName(char* pszName) {
  if (!pCurCmdSet || pCurCmdSet->strName.empty()) return false;
  if (pszName) std::memcpy(pszName, pCurCmdSet->strName.c_str(), pCurCmdSet->strName.size() + 1);
  return true;
}

int RCPosHark::GetCurCmdSetNum() {
  if (!pCurCmdSet || pCurCmdSet->strName.empty()) return -1;
  for (size_t i = 0; i < m_CmdSetList.size(); ++i)
    if (EqualNoCase(m_CmdSetList[i]->szName, pCurCmdSet->strName)) return static_cast<int>(i);
  return -1;
}

bool RCPosHark::IsGraphByName(const char* pszName) {
  if (!pszName || !*pszName) return false;
  for (const STRUCT_CmdSetInfo* info : m_CmdSetList)
    if (std::strcmp(info->szName, pszName) == 0) return info->bGraphMode;
  return false;
}

bool RCPosHark::IsSoftwarePOSByName(const char* pszName) {
  if (!pszName || !*pszName) return false;
  for (const STRUCT_CmdSetInfo* info : m_CmdSetList)
    if (std::strcmp(info->szName, pszName) == 0) return info->bPOSTextSenderMode;
  return false;
}
