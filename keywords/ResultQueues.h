// The three result queues of a catcher (caught data, alarms, ranges), kept
// index for index, and the hand-out rules of GetKeyData. Not synchronised:
// the owning catcher holds its lock around every call.
#pragma once

#include <poshark/KeyRecords.h>

#include <deque>

namespace poshark::keywords {

class ResultQueues {
 public:
  ResultQueues() = default;
  ~ResultQueues();
  ResultQueues(const ResultQueues&) = delete;
  ResultQueues& operator=(const ResultQueues&) = delete;

  // Queues one result; the queues own catchData.pszData (malloc'ed) from now.
  void Push(const STRUCT_CatchData& catchData, const STRUCT_AlarmData& alarm,
            const STRUCT_ColorKeyRange& range);
  int Count() const { return static_cast<int>(entries_.size()); }

  // Hands out min(Count(), nMax) results from the front into the arrays
  // that are not null, drops them from all three queues and answers the
  // number; answers that number without change when it is below 1. Texts
  // handed out in pCatch pass to the caller; those of entries dropped
  // without a pCatch are freed.
  int Take(int nMax, STRUCT_CatchData* pCatch, STRUCT_AlarmData* pAlarm,
           STRUCT_ColorKeyRange* pRange);

  // Frees every queued text and empties the queues, giving back storage.
  void Clear();

 private:
  struct Entry {
    STRUCT_CatchData catchData;
    STRUCT_AlarmData alarm;
    STRUCT_ColorKeyRange range;
  };
  std::deque<Entry> entries_;
};

}  // namespace poshark::keywords
