// The catalogue of command-set files and the current command set.
//
// Contract: the catalogue lists the ".ini" files of the "Printer Commands"
// folder under the work path once, at construction (not POS_DBExtra.ini,
// which lives beside the sets), in ListFiles order, and numbers them by that
// position. It owns the one current RCCmdSet object: the first selection
// creates it, later selections reload it in place, so pointers to it stay
// valid for the catalogue's life.
//
// Locking: none. Selection runs on the host's thread while the listener is
// not listening; the workers only read the current set meanwhile.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Profile.h"

class RCCmdSet;
namespace poshark::platform {
class CodePage;
}

// Room for a command set's name, terminating NUL included.
inline constexpr int kCmdSetNameRoom = poshark::platform::kProfileValueSize;

// One command-set file of the catalogue.
struct STRUCT_CmdSetInfo {
  char szName[kCmdSetNameRoom] = {};  // [Main] "Module_Name", "" when absent
  std::string szPath;                 // full path of the file (any length)
  bool bGraphMode = false;
  bool bPOSTextSenderMode = false;
};

namespace poshark::commands {

class CmdSetCatalog {
 public:
  // An empty catalogue; LoadList fills it.
  CmdSetCatalog();
  ~CmdSetCatalog();
  CmdSetCatalog(const CmdSetCatalog&) = delete;
  CmdSetCatalog& operator=(const CmdSetCatalog&) = delete;

  // The command-set file names of a folder in catalogue order: files (not
  // folders) ending in ".ini" in any case, except POS_DBExtra.ini, sorted by
  // name without case (names equal that way in byte order).
  static std::vector<std::string> ListFiles(const std::string& folder);

  // Lists the sets under the work path anew (none without a work path).
  void LoadList();
  // The work path, cached after the first successful look-up.
  std::string WorkPath();
  const std::vector<STRUCT_CmdSetInfo>& Entries() const { return entries_; }
  int Count() const { return static_cast<int>(entries_.size()); }
  const STRUCT_CmdSetInfo* Entry(int nIndex) const;

  // Loads set nIndex into the current set; null when out of range.
  RCCmdSet* Select(int nIndex);
  // Selects the first set whose name equals strName without case.
  RCCmdSet* Select(const std::string& strName);
  // Makes pSet the current set without reading a file (tests, tools).
  RCCmdSet* Adopt(std::unique_ptr<RCCmdSet> pSet);
  // The host wants code tables followed: applied to the current set and to
  // every set selected later.
  // pStartPage: the host's page of text before any select command (null:
  // POSHARK_CODEPAGE).
  void SetFollowTables(bool bOn, const platform::CodePage* pStartPage);
  bool FollowTables() const { return bFollowTables_; }
  RCCmdSet* Current() const { return pCurrent_.get(); }
  // Index of the entry named like the current set; -1 when none.
  int CurrentIndex() const;
  // The entry with exactly this name (case-sensitive), or null.
  const STRUCT_CmdSetInfo* FindExact(const char* pszName) const;

 private:
  std::string strWorkPath_;
  std::vector<STRUCT_CmdSetInfo> entries_;
  std::unique_ptr<RCCmdSet> pCurrent_;
  bool bFollowTables_ = false;
  const platform::CodePage* pStartPage_ = nullptr;
};

}  // namespace poshark::commands
