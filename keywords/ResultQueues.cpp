#include "keywords/ResultQueues.h"

#include <cstdlib>

namespace poshark::keywords {

ResultQueues::~ResultQueues() { Clear(); }

void ResultQueues::Push(const STRUCT_CatchData& catchData, const STRUCT_AlarmData& alarm,
                        const STRUCT_ColorKeyRange& range) {
  try {
    entries_.push_back(Entry{catchData, alarm, range});
  } catch (...) {
    std::free(catchData.pszData);
    throw;
  }
}

int ResultQueues::Take(int nMax, STRUCT_CatchData* pCatch, STRUCT_AlarmData* pAlarm,
                       STRUCT_ColorKeyRange* pRange) {
  int nCount = Count();
  int nTake = nMax < nCount ? nMax : nCount;
  if (nTake < 1) {
    return nTake;
  }
  for (int i = 0; i < nTake; ++i) {
    Entry& e = entries_.front();
    if (pCatch != nullptr) {
      pCatch[i] = e.catchData;
    } else {
      std::free(e.catchData.pszData);
    }
    if (pAlarm != nullptr) {
      pAlarm[i] = e.alarm;
    }
    if (pRange != nullptr) {
      pRange[i] = e.range;
    }
    entries_.pop_front();
  }
  return nTake;
}

void ResultQueues::Clear() {
  for (Entry& e : entries_) {
    std::free(e.catchData.pszData);
  }
  std::deque<Entry>().swap(entries_);
}

}  // namespace poshark::keywords
