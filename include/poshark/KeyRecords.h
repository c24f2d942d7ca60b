// Record types shared by the listener and both catchers. They cross the
// exported interface, so their layouts are pinned below.
//
// Widths: the Win32 unsigned long / DWORD is uint32_t here, int is
// 32-bit and bool is one byte, with natural alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Local time, eight 16-bit fields in the Win32 order.
struct SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;  // 0 = Sunday
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);
static_assert(offsetof(SYSTEMTIME, wDayOfWeek) == 4);
static_assert(offsetof(SYSTEMTIME, wMilliseconds) == 14);

// ---------------------------------------------------------------------------
// Catcher records, shared by KeyDataCatcher and ColorKeyCatcher.
//
// Memory: records, conditions and frequency lists are created with `new` and
// released with `delete`; every text (pszKeyWord, pszName, pszKeyRTL,
// pszData) is a malloc'ed buffer released with free(). pszKeyWord and
// pszName are 31-byte buffers: at most 30 characters and a NUL. A host that
// builds a record for SetKeyWord allocates it the same way.

// Local times at which a condition held, oldest first. Only year, month,
// day, hour, minute and second are significant. Copying copies the records.
class FreqRecList {
 public:
  int GetSize() const { return static_cast<int>(m_records.size()); }
  bool IsEmpty() const { return m_records.empty(); }
  // REQUIRES: 0 <= nIndex < GetSize().
  const SYSTEMTIME& GetAt(int nIndex) const { return m_records[static_cast<size_t>(nIndex)]; }
  SYSTEMTIME& GetAt(int nIndex) { return m_records[static_cast<size_t>(nIndex)]; }
  void Add(const SYSTEMTIME& st) { m_records.push_back(st); }
  // Removes the nCount oldest records (all of them when nCount is larger).
  void RemoveOldest(int nCount) {
    if (nCount <= 0) return;
    if (static_cast<size_t>(nCount) >= m_records.size()) {
      m_records.clear();
    } else {
      m_records.erase(m_records.begin(), m_records.begin() + nCount);
    }
  }
  // Empties the list and gives back its storage.
  void RemoveAll() { std::vector<SYSTEMTIME>().swap(m_records); }

 private:
  std::vector<SYSTEMTIME> m_records;
};

// Comparison operators of a condition (nOperator1, nOperator2). Any other
// code makes the comparison false.
enum : int {
  POSHARK_OP_EQUAL = 0,
  POSHARK_OP_GREATER_EQUAL = 1,
  POSHARK_OP_LESS_EQUAL = 2,
  POSHARK_OP_GREATER = 3,
  POSHARK_OP_LESS = 4,
  POSHARK_OP_NOT_EQUAL = 5,
};

// Condition and limits of one keyword.
struct STRUCT_Condition {
  bool bNumeric;  // compare numbers (fValue*) rather than texts (szValue*)
  int nOperator1;
  float fValue1;
  char szValue1[11];  // at most 10 characters
  int nJoin;          // 0 first comparison only, 1 both, 2 either
  int nOperator2;
  float fValue2;
  char szValue2[11];
  bool bRNV;       // alarm-forwarding target set (stored and saved only)
  char szRNV[81];  // at most 80 characters
  bool bOutput;    // output action set (stored and saved only)
  int nOutput1;
  int nOutput2;
  bool bFreq;       // frequency limit on
  bool bFreqReset;  // clear the records when the limit lets an alarm through
  int nFreqUnit;    // 1 hour, 2 half day, 3 day, 4 week, 5 month
  int nFreqCount;   // matches needed within one period
  bool bIdle;       // idle limit on
  int nIdleHours;
  int nIdleMinutes;
  SYSTEMTIME stIdleLast;   // when the limits last let an alarm through
  FreqRecList* pFreqRecs;  // owned, or null
};

// One keyword (keyword catcher) or colour key (colour-key catcher).
struct STRUCT_KeyWord {
  int nIndex;  // list position when added or last renumbered
  int nMDBID;  // slot within its MDB type
  int nMDBType;
  int nKeyLen;       // bytes in pszKeyWord
  char* pszKeyWord;  // owned, 31 bytes
  char* pszKeyRTL;   // owned display-order form, or null (colour keys only)
  int nCatchFlags;   // 1 digits, 2 c1KSign, 4 cDecimalSign, 16 text, 32 text with single spaces
  char* pszName;     // owned, 31 bytes
  bool bShift;
  int nShift;  // characters skipped after the keyword when bShift
  char cDecimalSign;
  char c1KSign;
  bool bCatchTime;          // colour keys: active only inside the daily window
  SYSTEMTIME stCatchStart;  // hour and minute used
  SYSTEMTIME stCatchEnd;
  uint32_t nColorValue1;
  uint32_t nColorValue2;
  uint32_t crKeyColor;  // red in the low byte, then green, then blue
  bool bCondition;
  STRUCT_Condition* pCondition;  // owned, or null when !bCondition
};

// One caught datum.
struct STRUCT_CatchData {
  int nMDBID;
  int nMDBType;
  char* pszData;  // keyword catcher: malloc'ed text the host frees with free(); colour keys: null
};

// Alarm decision for one caught datum.
struct STRUCT_AlarmData {
  bool bAlarm;
  int nKeyIndex;  // nIndex of the keyword when bAlarm, else -1
  int nSource;    // 1 keyword catcher, 2 colour-key catcher, 0 when !bAlarm
};

// Byte range to mark for one caught datum (all 0 from the keyword catcher).
struct STRUCT_ColorKeyRange {
  uint32_t nColorValue1;
  uint32_t crKeyColor;
  uint32_t nColorValue2;
  int nStart;  // byte position in the line
  int nEnd;    // nStart + length of the matched text
};

static_assert(sizeof(bool) == 1 && sizeof(int) == 4 && sizeof(float) == 4);
static_assert(sizeof(STRUCT_Condition) == 192);
static_assert(offsetof(STRUCT_Condition, nOperator1) == 4);
static_assert(offsetof(STRUCT_Condition, fValue1) == 8);
static_assert(offsetof(STRUCT_Condition, szValue1) == 12);
static_assert(offsetof(STRUCT_Condition, nJoin) == 24);
static_assert(offsetof(STRUCT_Condition, nOperator2) == 28);
static_assert(offsetof(STRUCT_Condition, fValue2) == 32);
static_assert(offsetof(STRUCT_Condition, szValue2) == 36);
static_assert(offsetof(STRUCT_Condition, bRNV) == 47);
static_assert(offsetof(STRUCT_Condition, szRNV) == 48);
static_assert(offsetof(STRUCT_Condition, bOutput) == 129);
static_assert(offsetof(STRUCT_Condition, nOutput1) == 132);
static_assert(offsetof(STRUCT_Condition, nOutput2) == 136);
static_assert(offsetof(STRUCT_Condition, bFreq) == 140);
static_assert(offsetof(STRUCT_Condition, bFreqReset) == 141);
static_assert(offsetof(STRUCT_Condition, nFreqUnit) == 144);
static_assert(offsetof(STRUCT_Condition, nFreqCount) == 148);
static_assert(offsetof(STRUCT_Condition, bIdle) == 152);
static_assert(offsetof(STRUCT_Condition, nIdleHours) == 156);
static_assert(offsetof(STRUCT_Condition, nIdleMinutes) == 160);
static_assert(offsetof(STRUCT_Condition, stIdleLast) == 164);
static_assert(offsetof(STRUCT_Condition, pFreqRecs) == 184);

static_assert(sizeof(STRUCT_KeyWord) == 120);
static_assert(offsetof(STRUCT_KeyWord, nMDBID) == 4);
static_assert(offsetof(STRUCT_KeyWord, nMDBType) == 8);
static_assert(offsetof(STRUCT_KeyWord, nKeyLen) == 12);
static_assert(offsetof(STRUCT_KeyWord, pszKeyWord) == 16);
static_assert(offsetof(STRUCT_KeyWord, pszKeyRTL) == 24);
static_assert(offsetof(STRUCT_KeyWord, nCatchFlags) == 32);
static_assert(offsetof(STRUCT_KeyWord, pszName) == 40);
static_assert(offsetof(STRUCT_KeyWord, bShift) == 48);
static_assert(offsetof(STRUCT_KeyWord, nShift) == 52);
static_assert(offsetof(STRUCT_KeyWord, cDecimalSign) == 56);
static_assert(offsetof(STRUCT_KeyWord, c1KSign) == 57);
static_assert(offsetof(STRUCT_KeyWord, bCatchTime) == 58);
static_assert(offsetof(STRUCT_KeyWord, stCatchStart) == 60);
static_assert(offsetof(STRUCT_KeyWord, stCatchEnd) == 76);
static_assert(offsetof(STRUCT_KeyWord, nColorValue1) == 92);
static_assert(offsetof(STRUCT_KeyWord, nColorValue2) == 96);
static_assert(offsetof(STRUCT_KeyWord, crKeyColor) == 100);
static_assert(offsetof(STRUCT_KeyWord, bCondition) == 104);
static_assert(offsetof(STRUCT_KeyWord, pCondition) == 112);

static_assert(sizeof(STRUCT_CatchData) == 16);
static_assert(offsetof(STRUCT_CatchData, nMDBType) == 4);
static_assert(offsetof(STRUCT_CatchData, pszData) == 8);

static_assert(sizeof(STRUCT_AlarmData) == 12);
static_assert(offsetof(STRUCT_AlarmData, nKeyIndex) == 4);
static_assert(offsetof(STRUCT_AlarmData, nSource) == 8);

static_assert(sizeof(STRUCT_ColorKeyRange) == 20);
static_assert(offsetof(STRUCT_ColorKeyRange, crKeyColor) == 4);
static_assert(offsetof(STRUCT_ColorKeyRange, nColorValue2) == 8);
static_assert(offsetof(STRUCT_ColorKeyRange, nStart) == 12);
static_assert(offsetof(STRUCT_ColorKeyRange, nEnd) == 16);
