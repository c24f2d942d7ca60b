// Catalogue entries of the listener's command-set files.
#pragma once

#include "platform/Profile.h"

#include <string>

// One command-set file found in "Printer Commands", owned by the listener's
// m_CmdSetList (freed with delete).
struct STRUCT_CmdSetInfo {
  char szName[poshark::platform::kProfileValueSize] = {};  // [Main] "Module_Name", "" when absent
  std::string szPath;     // full path of the file (any length)
  bool bGraphMode = false;
  bool bPOSTextSenderMode = false;
};
