// What both catchers share: the keyword list with its ownership rules, the
// MDB map, the result queues and their lock, the limits, and their part of
// the filter file (where their items live, loading every item of a section
// from one read of the file, saving a section in one replacement of it, and
// saving the limit state). Each catcher adds what is its own: the keyword
// catcher its groups and capture, the colour-key catcher its windows,
// colours and display order.
//
// Threads: the result queues are guarded by mu; the list, the map and the
// file operations take no lock (the host must not run them while another of
// its threads feeds the same catcher).
#pragma once

#include <poshark/KeyRecords.h>

#include "keywords/FilterFile.h"
#include "keywords/MdbMap.h"
#include "keywords/Records.h"
#include "keywords/ResultQueues.h"
#include "platform/ThreadAnnotations.h"

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace poshark::keywords {

// Where one catcher keeps its items in the filter file.
struct FilterLayout {
  const char* pszSection;  // "%d" of the POS number
  const char* pszCount;    // the item count key
  const char* pszItem;     // "%d" of the item number: key text and flags
  const char* pszName;     // "%d": name, MDB type, MDB ID, decimal sign
  bool bEmptySignAllowed;  // an empty decimal sign reads as 0 instead of failing
  const ConditionKeyNames* pConditionKeys;
};

inline constexpr FilterLayout kKeyWordLayout{"POS%d",  "Num", "Item%d",
                                             "Name%d", false, &kKeyWordConditionKeys};
inline constexpr FilterLayout kColorKeyLayout{"ColorKey%d", "CKNum", "CKItem%d",
                                              "CKName%d",   true,    &kColorKeyConditionKeys};

// The scratch record into which loading reads each item before a copy of it
// is added: its texts point at two kKeyTextSize buffers, its condition at a
// scratch condition whose records are a scratch list.
struct ScratchItem {
  ScratchItem();
  ScratchItem(const ScratchItem&) = delete;
  ScratchItem& operator=(const ScratchItem&) = delete;
  // Empties the buffers and the records and points the record at them again.
  STRUCT_KeyWord* Clear();

  STRUCT_KeyWord record{};
  STRUCT_Condition condition{};
  FreqRecList freqRecs;
  char szKeyWord[kKeyTextSize] = {};
  char szName[kKeyTextSize] = {};
};

// A record with the fields both catchers take, the rest zero: the common
// part of the long AddKeyWord forms. Its texts and condition are the
// caller's, only read by CatcherCore::Add (which copies them).
STRUCT_KeyWord KeyFields(const char* pszKeyWord, const char* pszName, int nMDBType, int nMDBID,
                         uint32_t nColorValue1, uint32_t nColorValue2, uint32_t crKeyColor,
                         bool bCatchTime, SYSTEMTIME stCatchStart, SYSTEMTIME stCatchEnd,
                         bool bCondition, const STRUCT_Condition* pCondition);

class CatcherCore {
 public:
  using KeyCallback = std::function<void(STRUCT_KeyWord*)>;
  // Reads item n of the section into the scratch record; false when unusable.
  using ItemReader = std::function<bool(const FilterSection&, int, STRUCT_KeyWord*)>;
  using ItemWriter = std::function<void(FilterWriter&, const std::string&, int, STRUCT_KeyWord*)>;

  // nMaxResults: most results kept, the oldest giving way; 0 no bound.
  CatcherCore(std::initializer_list<int> mdbTypes, int nSlots, const FilterLayout& layout,
              int nMaxResults);
  ~CatcherCore();
  CatcherCore(const CatcherCore&) = delete;
  CatcherCore& operator=(const CatcherCore&) = delete;

  // ---- Keyword list -------------------------------------------------------

  // Appends a copy of the record's fields (nIndex and pszKeyRTL ignored)
  // with its own texts and condition; a negative nMDBID takes the lowest
  // free one of the type. Null, and nothing added, when the keyword is null,
  // empty or longer than kMaxKeyTextLen, or no ID is free.
  STRUCT_KeyWord* Add(const STRUCT_KeyWord& fields);
  // The record at nIndex; std::invalid_argument outside the list.
  STRUCT_KeyWord* At(int nIndex) const;
  // The record at nIndex, null at or beyond the count; std::invalid_argument
  // (naming pszWho) for a negative index.
  STRUCT_KeyWord* Find(int nIndex, const char* pszWho) const;
  int Count() const { return static_cast<int>(keys_.size()); }
  const std::vector<STRUCT_KeyWord*>& Keys() const { return keys_; }
  // Stores pKey at nIndex (nKeyLen recomputed) after onReplace(old record),
  // releasing a different old record. False for a null record, one held at
  // another index, or an index at or beyond the count.
  bool Store(STRUCT_KeyWord* pKey, int nIndex, const char* pszWho, const KeyCallback& onReplace);
  // Frees the record's MDB slot, calls onRemove(record), then releases and
  // removes it. False at or beyond the count.
  bool Delete(int nIndex, const char* pszWho, const KeyCallback& onRemove);
  // Releases every record; the MDB map stays.
  void ReleaseAll();
  // Takes the records in the given order as the list, renumbers nIndex and
  // rebuilds the MDB map.
  void Reorder(std::vector<STRUCT_KeyWord*> order);
  MdbMap& Map() { return map_; }

  // ---- Results ----------------------------------------------------------

  // The GetKeyData forms: up to nMax results into the arrays given (pRange
  // and pAlarm may be left out by the shorter forms); the count waiting
  // when an array a form needs is null.
  int Take(STRUCT_CatchData* pCatch, STRUCT_AlarmData* pAlarm, STRUCT_ColorKeyRange* pRange,
           int nMax, int nArrays) EXCLUDES(mu);
  void PushLocked(const STRUCT_CatchData& caught, const STRUCT_AlarmData& alarm,
                  const STRUCT_ColorKeyRange& range) REQUIRES(mu);
  void ClearResultsLocked() REQUIRES(mu) { results_.Clear(); }

  // ---- Filter file --------------------------------------------------------

  std::string IniFile();
  std::string Section(int nPOSNo) const;
  // Reads the file once and hands every item of section nPOSNo whose item
  // key exists (numbers 1 to the count) to read, then each usable one to add.
  void Load(int nPOSNo, const ItemReader& read, const KeyCallback& add);
  // Reads item n of a section on its own (one read of the file).
  bool LoadOne(const std::string& section, int n, STRUCT_KeyWord* pKey, const ItemReader& read);
  // Replaces section nPOSNo by the count and every item, in one write.
  void Save(int nPOSNo, const ItemWriter& write);
  // Writes item n of a section on its own (one write of the file).
  void SaveOne(const std::string& section, int n, STRUCT_KeyWord* pKey, const ItemWriter& write);
  // The idle keys and frequency records of every keyword with a condition.
  void SaveLimitState(int nPOSNo);
  // The item and name keys of item n, split from the right (texts may hold
  // commas): fills the texts, nKeyLen, nCatchFlags, nMDBType, nMDBID and
  // cDecimalSign. False when a part is missing or empty, or the key text is
  // longer than kMaxKeyTextLen; a longer name is cut.
  bool ReadNames(const FilterSection& section, int n, STRUCT_KeyWord* pKey) const;
  void WriteNames(FilterWriter& out, const std::string& section, int n,
                  const STRUCT_KeyWord& key) const;
  // The condition keys after the comparisons of item n, or "" in all of
  // them (comparisons too) when the record has no condition.
  void WriteConditionKeys(FilterWriter& out, const std::string& section, int n,
                          const STRUCT_KeyWord& key) const;
  // Gathers the condition keys after the comparisons of item n into pCond
  // and loads its records when bFreq; pCond's comparison fields stay.
  void ReadConditionExtras(const FilterSection& section, int n, STRUCT_Condition* pCond) const;

  platform::Mutex mu;

 private:
  std::vector<STRUCT_KeyWord*> keys_;  // owned, in list order
  MdbMap map_;
  const FilterLayout& layout_;
  const int nMaxResults_;
  ResultQueues results_ GUARDED_BY(mu);
  std::string strIniFile_;
  ScratchItem scratch_;
};

}  // namespace poshark::keywords
