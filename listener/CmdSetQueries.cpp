// RCPosHark's command-set operations: the catalogue's answers and the
// selection.
#include <poshark/RCPosHark.h>

#include "commands/CmdSetCatalog.h"
#include "commands/RCCmdSet.h"
#include "platform/CodePage.h"

#include <cstring>

std::string RCPosHark::GetWorkPath() { return m_Catalog->WorkPath(); }

void RCPosHark::LoadCmds() { m_Catalog->LoadList(); }

RCCmdSet* RCPosHark::CurSet() const { return m_Catalog->Current(); }

bool RCPosHark::SelectCmdSet(int nIndex) { return m_Catalog->Select(nIndex) != nullptr; }

// NOLINTNEXTLINE(performance-unnecessary-value-param): the exported signature takes a copy
bool RCPosHark::SelectCmdSet(std::string strName) { return m_Catalog->Select(strName) != nullptr; }

int RCPosHark::GetCmdSetNum() { return m_Catalog->Count(); }

bool RCPosHark::GetCmdSetName(int nIndex, char* pszName, bool& bGraph) {
  const STRUCT_CmdSetInfo* pInfo = m_Catalog->Entry(nIndex);
  if (!pInfo || !pszName) {
    return false;
  }
  std::memcpy(pszName, pInfo->szName, std::strlen(pInfo->szName) + 1);
  bGraph = pInfo->bGraphMode;
  return true;
}

bool RCPosHark::GetCmdSetPath(int nIndex, std::string& strPath) {
  const STRUCT_CmdSetInfo* pInfo = m_Catalog->Entry(nIndex);
  if (!pInfo) {
    return false;
  }
  strPath = pInfo->szPath;
  return true;
}

bool RCPosHark::GetCurCmdSetName(char* pszName) {
  RCCmdSet* pSet = CurSet();
  if (!pSet || pSet->strName.empty()) {
    return false;
  }
  if (pszName) {
    std::memcpy(pszName, pSet->strName.c_str(), pSet->strName.size() + 1);
  }
  return true;
}

int RCPosHark::GetCurCmdSetNum() { return m_Catalog->CurrentIndex(); }

bool RCPosHark::IsGraphByName(const char* pszName) {
  const STRUCT_CmdSetInfo* pInfo = m_Catalog->FindExact(pszName);
  return pInfo && pInfo->bGraphMode;
}

bool RCPosHark::IsSoftwarePOSByName(const char* pszName) {
  const STRUCT_CmdSetInfo* pInfo = m_Catalog->FindExact(pszName);
  return pInfo && pInfo->bPOSTextSenderMode;
}

bool RCPosHark::EnableCodeTables(bool bOn, const char* pszStartPage) {
  const poshark::platform::CodePage* pStart =
      pszStartPage ? poshark::platform::CodePage::Get(pszStartPage) : nullptr;
  m_Catalog->SetFollowTables(bOn, pStart);
  return IsUtf8Text();
}

bool RCPosHark::IsUtf8Text() {
  RCCmdSet* pSet = CurSet();
  return pSet && pSet->tables.Following();
}

uint32_t RCPosHark::GetUnknownTableCount(int nTable) {
  RCCmdSet* pSet = CurSet();
  return pSet ? pSet->tables.UnknownCount(nTable) : 0;
}

uint32_t RCPosHark::GetSwallowedLeadCount() {
  RCCmdSet* pSet = CurSet();
  return pSet ? pSet->nSwallowedLeads.load(std::memory_order_relaxed) : 0;
}

std::vector<std::string> RCPosHark::GetCodeTableErrors() {
  RCCmdSet* pSet = CurSet();
  return pSet ? pSet->tables.Errors() : std::vector<std::string>();
}
