// ColorKeyCatcher: finds configured colour keys anywhere in a POS text line
// and reports where each one stands, with the key's colour values, so that
// the host can mark it when it shows the line.
//
// A colour key is a STRUCT_KeyWord of MDB type 12 (see <poshark/KeyRecords.h>
// for the record layouts and who allocates what). Each key may carry a daily
// time window outside which it is not looked for, and a condition whose
// frequency and idle limits decide whether a find raises an alarm. For the
// Hebrew (177) and Arabic (178) character sets keys are searched in display
// order, the order in which their characters show from left to right; that
// form is computed once per key whenever the character set of the fed lines
// changes.
//
// The keys of POS number p live in section "ColorKey<p>" of the filter file
// "POSKeyFilter.ini" in the poshark home, beside the keyword catcher's
// "POS<p>" sections.
//
// Threads: FindKeyData, GetKeyData and FindKeyDataZero take the object's
// lock, so one thread may feed lines while another collects results. The
// list and file operations take no lock: the host must not run them (nor edit
// a record it got from GetKeyWord) while another thread runs FindKeyData on
// the same object.
#pragma once

#include <poshark/Export.h>
#include <poshark/KeyRecords.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace poshark::keywords {
class CatcherCore;
}
namespace poshark::colorkeys {
class KeySearch;
}

// Font character sets whose keys are searched in display order.
enum : uint32_t {
  POSHARK_HEBREW_CHARSET = 177,
  POSHARK_ARABIC_CHARSET = 178,
};

class POSHARK_EXPORT ColorKeyCatcher {
 public:
  // The MDB type of colour keys; only it has MDB slots (IDs 0..31).
  static constexpr int kColorKeyMDBType = 12;
  static constexpr int kMDBSlots = 32;
  // Most results kept for the host; beyond it the oldest are dropped.
  static constexpr int kMaxQueuedResults = 100000;

  ColorKeyCatcher();
  virtual ~ColorKeyCatcher();
  ColorKeyCatcher(const ColorKeyCatcher&) = delete;
  ColorKeyCatcher& operator=(const ColorKeyCatcher&) = delete;

  // ---- Key list -----------------------------------------------------------

  // Appends a key with its own copies of the texts and of the condition
  // (frequency records included). nMDBID < 0 asks for the lowest free type-12
  // ID. pszName null: the name is the key text. Names longer than 30
  // characters are cut to 30. False, and nothing added, when the key text is
  // null, empty or longer than 30 characters, or when a free ID is asked for
  // and the type is not 12 or all 32 are taken. Keys of other types, and
  // type-12 keys with an explicit ID outside 0..31, keep their ID but take
  // no MDB slot.
  bool AddKeyWord(const char* pszKeyWord, const char* pszName, int nMDBType, int nMDBID,
                  uint32_t nColorValue1, uint32_t nColorValue2, uint32_t crKeyColor,
                  bool bCatchTime, SYSTEMTIME stCatchStart, SYSTEMTIME stCatchEnd, bool bCondition,
                  const STRUCT_Condition* pCondition);
  // The long form with the record's fields; the record stays the caller's.
  bool AddKeyWord(const STRUCT_KeyWord* pKeyWord);
  // Stores pKeyWord at nIndex; the catcher owns it from then on. A different
  // record held there before is released. False when nIndex is not below the
  // count, when pKeyWord is null or is already held at another index.
  // Throws std::invalid_argument for a negative index.
  bool SetKeyWord(STRUCT_KeyWord* pKeyWord, int nIndex);
  // The live record at nIndex, owned by the catcher. Throws
  // std::invalid_argument for an index outside the list.
  STRUCT_KeyWord* GetKeyWord(int nIndex);
  int GetKeyWordNum();
  // Frees the record's type-12 slot, releases it and closes the gap; later
  // records keep their nIndex. False when nIndex is not below the count;
  // std::invalid_argument for a negative index.
  bool DeleteKeyWord(int nIndex);
  // Releases every key and frees every MDB slot.
  bool DeleteAllKeyWord();
  // Releases every key; the MDB slots stay as they are.
  void ReleaseKeyWordAll();
  // Type 12 and IDs 0..31: slot nMDBID now names list index nIndex. Other
  // types and IDs are ignored. Always true.
  bool SetMDBID2KeyImdex(int nMDBType, int nMDBID, int nIndex);
  // Type 12: the lowest free ID, -1 when all 32 are taken; -1 for other types.
  int GetNewMDBID(int nMDBType);

  // ---- Matching (locked) -------------------------------------------------

  // Searches the line (up to its first NUL; nLength is not used) for every
  // key, in list order, and queues a caught-data, an alarm and a range record
  // for each occurrence; occurrences of one key may overlap. stTime is the
  // line's local time stamp (hour and minute decide the catch windows);
  // nCharSet the font character set of the line. Adds the number of
  // occurrences to nCount. Always true. At most kMaxQueuedResults results
  // wait; a find beyond that drops the oldest. A key with a condition runs its
  // frequency and idle limits (local clock) once per occurrence.
  // With a double-byte code page (POSHARK_CODEPAGE) no occurrence starts on
  // the second byte of a character.
  bool FindKeyData(const char* pszData, int nLength, int& nCount, SYSTEMTIME stTime,
                   uint32_t nCharSet);
  // Hand out up to nMax queued results, oldest first, into the caller's
  // arrays (at least nMax entries each) and drop them; the first form drops
  // the alarm and range records of what it hands out, the second the range
  // records. Answer the number handed out; with a null array, the number
  // waiting (nothing dropped); with nMax below 1, min(nMax, waiting).
  int GetKeyData(STRUCT_CatchData*& pCatchData, int nMax);
  int GetKeyData(STRUCT_CatchData*& pCatchData, STRUCT_AlarmData*& pAlarmData, int nMax);
  int GetKeyData(STRUCT_CatchData* pCatchData, STRUCT_AlarmData* pAlarmData,
                 STRUCT_ColorKeyRange* pRange, int nMax);
  // Drops every queued result and forgets the character set, so the next
  // FindKeyData recomputes the display-order forms.
  void FindKeyDataZero();

  // ---- Limits (same as KeyDataCatcher) ----------------------------------

  SYSTEMTIME GetFreqLimitTime(uint32_t nUnit, SYSTEMTIME t);
  // Applies the limits of the key's condition to a match now; false without
  // a condition. Takes no lock.
  bool IsMatchFreqAndRec(STRUCT_KeyWord* pKeyWord);

  // ---- Filter file (same grammar as KeyDataCatcher) ---------------------

  std::string GetIniFile();
  char ASCII2BYTE(std::string strToken);
  uint8_t HexHiByte(char c);
  uint8_t HexLoByte(char c);
  // Replaces the key list with the usable items of section "ColorKey<p>".
  // MDB slots and the remembered character set are left as they are.
  bool LoadIni(int nPOSNo);
  // Rewrites section "ColorKey<p>" from the list (no frequency records).
  bool WriteIni(int nPOSNo);
  // Reads item nItem into pKeyWord, whose pszKeyWord and pszName must be
  // 31-byte buffers. A null pCondition gets a new condition when the item
  // has one. False when the item is unusable or a text buffer is missing.
  bool LoadIniItem(std::string strSection, int nItem, STRUCT_KeyWord* pKeyWord);
  bool WriteItem(std::string strSection, int nItem, STRUCT_KeyWord* pKeyWord);
  // Saves what matching changes: idle times and frequency records.
  bool WriteIni_FreqIdleRec(int nPOSNo);

 private:
  void CleanMDBID2KeyImdex();

  // The list, map (type 12, 32 slots), results and filter-file part shared
  // with KeyDataCatcher.
  std::unique_ptr<poshark::keywords::CatcherCore> m_pCore;
  // Display-order forms and the line search, under the core's lock.
  std::unique_ptr<poshark::colorkeys::KeySearch> m_pSearch;
};
