// The catalogue of command-set files and the current command set.
#include "commands/CmdSetCatalog.h"

#include "commands/RCCmdSet.h"
#include "platform/Debug.h"
#include "platform/DirList.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/Text.h"

#include <cstring>

namespace poshark::commands {
namespace {

constexpr const char* kCmdSetFolder = "Printer Commands";
// Kept beside the command sets and never one of them.
constexpr const char* kExtraFile = "POS_DBExtra.ini";

bool IsCmdSetFileName(const std::string& name) {
  return name.find(kExtraFile) == std::string::npos && platform::EndsWithNoCase(name, ".ini");
}

}  // namespace

CmdSetCatalog::CmdSetCatalog() = default;

CmdSetCatalog::~CmdSetCatalog() = default;

std::vector<std::string> CmdSetCatalog::ListFiles(const std::string& folder) {
  std::vector<std::string> names;
  for (const platform::DirEntry& entry : platform::ListDirectory(folder)) {
    if (!entry.bDirectory && IsCmdSetFileName(entry.name)) {
      names.push_back(entry.name);
    }
  }
  return names;
}

std::string CmdSetCatalog::WorkPath() {
  if (strWorkPath_.empty()) {
    strWorkPath_ = platform::WorkPath();
  }
  return strWorkPath_;
}

void CmdSetCatalog::LoadList() {
  entries_.clear();
  std::string work = WorkPath();
  // Without a work path there is no folder to look in (not the root's).
  if (work.empty()) {
    return;
  }
  std::string folder = platform::JoinPath(work, kCmdSetFolder);
  for (const std::string& name : ListFiles(folder)) {
    STRUCT_CmdSetInfo info;
    info.szPath = platform::JoinPath(folder, name);
    platform::ProfileReader ini(info.szPath.c_str());
    std::string setName = ini.GetString("Main", "Module_Name", "", sizeof info.szName);
    std::memcpy(info.szName, setName.c_str(), setName.size() + 1);
    info.bGraphMode = ini.GetInt("Main", "bGraphMode", 0) != 0;
    info.bPOSTextSenderMode = ini.GetInt("Main", "bPOSTextSenderMode", 0) != 0;
    entries_.push_back(std::move(info));
  }
}

const STRUCT_CmdSetInfo* CmdSetCatalog::Entry(int nIndex) const {
  if (nIndex < 0 || nIndex >= Count()) {
    return nullptr;
  }
  return &entries_[static_cast<size_t>(nIndex)];
}

RCCmdSet* CmdSetCatalog::Select(int nIndex) {
  const STRUCT_CmdSetInfo* pInfo = Entry(nIndex);
  if (!pInfo) {
    return nullptr;
  }
  if (!pCurrent_) {
    pCurrent_ = std::make_unique<RCCmdSet>();
  } else {
    pCurrent_->Clear();
  }
  pCurrent_->Load(pInfo->szPath);
  pCurrent_->tables.SetFollow(bFollowTables_, pStartPage_);
  for (const std::string& error : pCurrent_->tables.Errors()) {
    platform::OutputDebugStringA(error.c_str());
  }
  return pCurrent_.get();
}

void CmdSetCatalog::SetFollowTables(bool bOn, const platform::CodePage* pStartPage) {
  bFollowTables_ = bOn;
  pStartPage_ = pStartPage;
  if (pCurrent_) {
    pCurrent_->tables.SetFollow(bOn, pStartPage);
  }
}

RCCmdSet* CmdSetCatalog::Select(const std::string& strName) {
  for (int i = 0; i < Count(); ++i) {
    if (platform::EqualNoCase(entries_[static_cast<size_t>(i)].szName, strName)) {
      return Select(i);
    }
  }
  return nullptr;
}

RCCmdSet* CmdSetCatalog::Adopt(std::unique_ptr<RCCmdSet> pSet) {
  pCurrent_ = std::move(pSet);
  if (pCurrent_) {
    pCurrent_->tables.SetFollow(bFollowTables_, pStartPage_);
  }
  return pCurrent_.get();
}

int CmdSetCatalog::CurrentIndex() const {
  if (!pCurrent_ || pCurrent_->strName.empty()) {
    return -1;
  }
  for (int i = 0; i < Count(); ++i) {
    if (platform::EqualNoCase(entries_[static_cast<size_t>(i)].szName, pCurrent_->strName)) {
      return i;
    }
  }
  return -1;
}

const STRUCT_CmdSetInfo* CmdSetCatalog::FindExact(const char* pszName) const {
  if (!pszName || !*pszName) {
    return nullptr;
  }
  for (const STRUCT_CmdSetInfo& info : entries_) {
    if (std::strcmp(info.szName, pszName) == 0) {
      return &info;
    }
  }
  return nullptr;
}

}  // namespace poshark::commands
