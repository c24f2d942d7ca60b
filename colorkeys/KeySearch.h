// The colour-key catcher's search: every key of the list in one line, each
// occurrence queued with the key's colours, the display-order forms of the
// keys for right-to-left character sets, the daily catch windows and the
// alarms of the keys' limits. Its state is guarded by the core's lock; the
// public operations take it.
#pragma once

#include <poshark/KeyRecords.h>

#include "colorkeys/LineSearch.h"
#include "keywords/CatcherCore.h"

#include <cstdint>
#include <string_view>

namespace poshark::colorkeys {

class KeySearch {
 public:
  explicit KeySearch(keywords::CatcherCore& core) : core_(core) {}

  // ColorKeyCatcher::FindKeyData: the line up to its first NUL.
  void Find(const char* pszLine, int& nCount, SYSTEMTIME stTime, uint32_t nCharSet)
      EXCLUDES(core_.mu);
  // Drops the queued results and forgets the character set.
  void Zero() EXCLUDES(core_.mu);
  // A key added after the display-order forms were worked out gets its own
  // at once (else a reloaded Hebrew key would go unfound until the
  // character set of the lines changed).
  void PrepareNewKey(STRUCT_KeyWord* pKey) EXCLUDES(core_.mu);

 private:
  void Renew(uint32_t nCharSet) REQUIRES(core_.mu);
  void SearchKey(const STRUCT_KeyWord& key, std::string_view needle, int& nCount)
      REQUIRES(core_.mu);

  keywords::CatcherCore& core_;
  uint32_t nCharSet_ GUARDED_BY(core_.mu) = 0xFFFFFFFFu;  // all bits: none yet
  LineSearch search_ GUARDED_BY(core_.mu);
};

}  // namespace poshark::colorkeys
