// The keyword catcher's matching: finds grouped keywords in the bytes fed,
// captures the data after each, checks the condition and limits, and queues
// the results in the catcher's core. Everything here is guarded by the
// core's lock; the public operations take it.
#pragma once

#include <poshark/KeyRecords.h>

#include "keywords/CatcherCore.h"
#include "keywords/KeyWordGroup.h"

#include <memory>

namespace poshark::keywords {

class KeyMatcher {
 public:
  KeyMatcher(CatcherCore& core, const KeyGroups& groups);

  // KeyDataCatcher::FindKeyData.
  bool Find(const char* pData, int nLen, int& nCount) EXCLUDES(core_.mu);
  // Drops the queued results and any keyword waiting for its data.
  void Zero() EXCLUDES(core_.mu);
  // A keyword waiting for its data is replaced (pNew) or released (null):
  // the wait follows the new record, or ends.
  void Replace(STRUCT_KeyWord* pOld, STRUCT_KeyWord* pNew) EXCLUDES(core_.mu);
  // Ends any wait for data.
  void Forget() EXCLUDES(core_.mu);

 private:
  bool FeedPiece(const char* pData, int nLen, int& nCount, bool bFirstPiece) REQUIRES(core_.mu);
  bool SkipAfterKeyWord() REQUIRES(core_.mu);
  void FinishPiece(int& nCount) REQUIRES(core_.mu);
  void ResetLocked() REQUIRES(core_.mu);
  bool FindMatchKeyWord(const char* pAt) REQUIRES(core_.mu);
  bool FindDataStart(char c) REQUIRES(core_.mu);
  bool FindDataEnd(char c) REQUIRES(core_.mu);
  bool CaptureData() REQUIRES(core_.mu);
  bool IsMatchCondition(const char* pszData) REQUIRES(core_.mu);

  CatcherCore& core_;
  const KeyGroups& groups_;
  STRUCT_KeyWord* pCur_ GUARDED_BY(core_.mu) = nullptr;   // waiting for or inside its data
  std::unique_ptr<char[]> pBuffer_ GUARDED_BY(core_.mu);  // kBufferSize bytes and terminators
  int nFedLen GUARDED_BY(core_.mu) = 0;                   // bytes fed since the last reset
  int nScanPos GUARDED_BY(core_.mu) = 0;                  // buffer position being examined
  int nRemainLen GUARDED_BY(core_.mu) = 0;                // bytes left to examine, minus one
  int nCatchState GUARDED_BY(core_.mu) = 0;  // 0 looking for a keyword, 1 for data, 2 in data
  int nSpaceRun GUARDED_BY(core_.mu) = 0;    // spaces in a row inside text data
  int nDataStart GUARDED_BY(core_.mu) = 0;
  int nDataEnd GUARDED_BY(core_.mu) = 0;
  int nShiftLeft GUARDED_BY(core_.mu) = 0;  // shift still to skip at the start of the next call
  int nEndPos GUARDED_BY(core_.mu) = 0;     // position of the terminator after the fed bytes
};

}  // namespace poshark::keywords
