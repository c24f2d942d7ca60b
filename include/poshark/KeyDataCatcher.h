// KeyDataCatcher: finds configured keywords in the text lines a listener
// delivers, captures the data that follows each of them (an amount, a
// number, a text), checks it against the keyword's condition and limits,
// and queues caught-data, alarm and range records for the host.
//
// Threads: FindKeyData, the GetKeyData forms and FindKeyDataZero take the
// object's lock, so one thread may feed lines while another collects
// results. The list, group, map and file operations take no lock: the host
// must not run them while another of its threads feeds the same object.
//
// Ownership: the catcher owns its keyword records (see
// <poshark/KeyRecords.h> for how they are allocated). Texts handed out in
// STRUCT_CatchData::pszData are malloc'ed; the host releases them with free().
//
// Filter file: "POSKeyFilter.ini" in the poshark home (POSHARK_HOME),
// section "POS<n>" per POS number. Saving rewrites that section only.
#pragma once

#include <poshark/Export.h>
#include <poshark/KeyRecords.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace poshark::keywords {
class CatcherCore;
class KeyGroups;
class KeyMatcher;
}  // namespace poshark::keywords

// Catch flags (STRUCT_KeyWord::nCatchFlags): which bytes form the data.
enum : int {
  POSHARK_CATCH_DIGITS = 1,        // "0".."9"; digits also start the data
  POSHARK_CATCH_1KSIGN = 2,        // c1KSign, removed from the caught text
  POSHARK_CATCH_DECIMAL = 4,       // cDecimalSign, the last one becomes "."
  POSHARK_CATCH_TEXT = 16,         // every byte but a space
  POSHARK_CATCH_TEXT_SPACES = 32,  // with TEXT: single spaces too, two end it
};

class POSHARK_EXPORT KeyDataCatcher {
 public:
  // Capture buffer: the most bytes fed since the last reset.
  static constexpr int kBufferSize = 50000;

  KeyDataCatcher();
  virtual ~KeyDataCatcher();
  KeyDataCatcher(const KeyDataCatcher&) = delete;
  KeyDataCatcher& operator=(const KeyDataCatcher&) = delete;

  // ---- Keyword list ------------------------------------------------------

  // Appends a keyword. A negative nMDBID asks for the lowest free ID of the
  // type (types 1, 3 and 4 have 5 IDs each); false, and nothing added, when
  // none is free or the type has none. Also false for a null or empty
  // keyword or one longer than 30 characters. A name longer than 30
  // characters is cut; a null name makes the name equal the keyword. An
  // explicit ID outside 0..4 is kept in the record but takes no map slot.
  // The condition (when bCondition and pCondition is not null) is copied
  // with its own frequency records. The keyword takes part in matching
  // after the next ReBuildGroupFromAll (LoadIni, DeleteKeyWord, WriteIni).
  bool AddKeyWord(const char* pszKeyWord, int nCatchFlags, bool bShift, int nShift,
                  const char* pszName, int nMDBType, int nMDBID, char cDecimalSign, char c1KSign,
                  uint32_t nColorValue1, uint32_t nColorValue2, uint32_t crKeyColor,
                  bool bCatchTime, SYSTEMTIME stCatchStart, SYSTEMTIME stCatchEnd, bool bCondition,
                  STRUCT_Condition* pCondition);
  // The long form with the record's fields (nIndex and pszKeyRTL ignored);
  // the record stays the caller's.
  bool AddKeyWord(STRUCT_KeyWord* pKeyWord);
  // Stores pKeyWord at nIndex; the catcher owns it from then on. Pass back
  // the record from GetKeyWord after editing it, or a record allocated as
  // <poshark/KeyRecords.h> says. A different record at the index is
  // released, and the groups and matching state are pointed at the new one.
  // nKeyLen is recomputed from pszKeyWord (at most 30 bytes are read).
  // False for a null record, one already stored at another index, or an
  // index at or beyond the count; std::invalid_argument for a negative one.
  bool SetKeyWord(STRUCT_KeyWord* pKeyWord, int nIndex);
  // The live record at nIndex, owned by the catcher.
  // std::invalid_argument for an index outside 0..count-1.
  STRUCT_KeyWord* GetKeyWord(int nIndex);
  int GetKeyWordNum();
  // Frees the record's MDB slot, releases it and rebuilds the groups. The
  // following records keep their nIndex until ReBuildAllFromGroup.
  // False for an index at or beyond the count; std::invalid_argument for a
  // negative one.
  bool DeleteKeyWord(int nIndex);
  // Releases every keyword and group and frees every MDB slot.
  bool DeleteAllKeyWord();
  // Releases every keyword (and the groups that refer to them); the MDB map
  // stays as it is.
  void ReleaseKeyWordAll();
  // Drops the groups; the keywords stay but match nothing until the next
  // ReBuildGroupFromAll.
  void ReleaseKeyWordGroup();
  // One group per first byte, in order of first occurrence in the list.
  void ReBuildGroupFromAll();
  // Reorders the list group by group, renumbers nIndex and rebuilds the MDB
  // map. Keywords not in any group (added since the last regrouping) follow
  // in their list order.
  void ReBuildAllFromGroup();
  // Sets the slot of types 1, 3, 4 and IDs 0..4; other slots are ignored.
  // Always true.
  bool SetMDBID2KeyImdex(int nMDBType, int nMDBID, int nIndex);
  // Lowest free ID of type 1, 3 or 4, else -1.
  int GetNewMDBID(int nMDBType);

  // ---- Filter file -------------------------------------------------------

  // "POSKeyFilter.ini" (resolved in the poshark home).
  std::string GetIniFile();
  // Replaces the list with the usable items of section "POS<nPOSNo>" and
  // rebuilds the groups; unusable items are skipped. The MDB map is not
  // cleared. Always true.
  bool LoadIni(int nPOSNo);
  // Reads item n of the section into pKeyWord, whose pszKeyWord and pszName
  // must be 31-byte buffers and whose pCondition (when not null) receives
  // the condition. False when the item is unusable.
  bool LoadIniItem(std::string strSection, int n, STRUCT_KeyWord* pKeyWord);
  // Regroups and renumbers the list, then rewrites section "POS<nPOSNo>"
  // (other sections of the file stay as they are). Frequency records are
  // not written: call WriteIni_FreqIdleRec afterwards to keep them.
  // Always true.
  bool WriteIni(int nPOSNo);
  // Writes the keys of item n. True.
  bool WriteItem(std::string strSection, int n, STRUCT_KeyWord* pKeyWord);
  // Saves the idle time and frequency records of every keyword with a
  // condition to section "POS<nPOSNo>", item numbers as WriteIni gives them.
  // Run it while no FindKeyData runs on this object. Always true.
  bool WriteIni_FreqIdleRec(int nPOSNo);

  // Character-code tokens of the filter file: one character, "0xHH", a
  // control name ("ESC", "SP", ...) or a decimal code.
  char ASCII2BYTE(std::string strToken);
  uint8_t HexHiByte(char c);
  uint8_t HexLoByte(char c);

  // ---- Matching ----------------------------------------------------------

  // Scans nLen bytes of pData for keywords and captures their data; adds 1
  // to nCount for every datum captured. A keyword waiting for its data
  // carries into the next call; data never does. A call that starts with no
  // keyword waiting, or that would pass kBufferSize bytes since the last
  // reset, first drops every uncollected result, so collect after each
  // call. More than kBufferSize bytes are scanned as successive pieces of
  // kBufferSize bytes without dropping the results of earlier pieces.
  // False when the last keyword found plus its shift reaches or passes the
  // end of the data, and for a negative nLen or null pData with nLen > 0
  // (nothing happens then); true otherwise.
  bool FindKeyData(const char* pData, int nLen, int& nCount);
  // Hand out up to nMax results, oldest first, into the caller's arrays
  // (each with room for nMax entries) and drop them from all three queues.
  // Answer the number handed out; the queue length, without change, when
  // an array pointer is null; nMax itself when it is below 1.
  int GetKeyData(STRUCT_CatchData*& pCatchData, int nMax);
  int GetKeyData(STRUCT_CatchData*& pCatchData, STRUCT_AlarmData*& pAlarmData, int nMax);
  int GetKeyData(STRUCT_CatchData* pCatchData, STRUCT_AlarmData* pAlarmData,
                 STRUCT_ColorKeyRange* pRange, int nMax);
  // Drops every queued result and any keyword waiting for its data.
  void FindKeyDataZero();

  // ---- Limits ------------------------------------------------------------

  // Start of the period after t: nUnit 1 next hour, 2 next half day, 3 next
  // day, 4 next week (Sunday 00:00), 5 next month; any other unit gives a
  // time before every real time.
  SYSTEMTIME GetFreqLimitTime(uint32_t nUnit, SYSTEMTIME t);
  // Applies the frequency and idle limits of the keyword's condition to a
  // match now (local time), records it, and answers whether the alarm goes
  // through. Takes no lock: not while another thread feeds this object.
  bool IsMatchFreqAndRec(STRUCT_KeyWord* pKeyWord);

 private:
  void CleanMDBID2KeyImdex();

  // The list, map, results and filter-file part shared with ColorKeyCatcher.
  std::unique_ptr<poshark::keywords::CatcherCore> m_pCore;
  std::unique_ptr<poshark::keywords::KeyGroups> m_pGroups;
  // Capture state, under the core's lock.
  std::unique_ptr<poshark::keywords::KeyMatcher> m_pMatcher;
};
