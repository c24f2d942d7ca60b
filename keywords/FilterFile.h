// The filter file "POSKeyFilter.ini", as both catchers read and write it:
// the value grammar, the character-code tokens, and the condition keys
// that follow the comparisons (forwarding target, output, frequency and idle
// limits, frequency records). The two catchers use different key names for
// the same values; ConditionKeyNames carries them.
//
// Reading and writing go through the platform profile module, so a bare
// file name resolves in the poshark home and a write keeps every other
// section and line of the file. Nothing here takes a lock.
#pragma once

#include <poshark/KeyRecords.h>

#include "platform/Profile.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace poshark::platform {
class ProfileWriter;
}

namespace poshark::keywords {

inline constexpr const char* kFilterFileName = "POSKeyFilter.ini";
// Longest text field the profile module hands back.
inline constexpr int kFilterValueSize = platform::kProfileValueSize;
inline constexpr int kMaxOperandLen = 10;  // szValue1, szValue2
inline constexpr int kMaxRNVLen = 80;      // szRNV
// Upper bound on the frequency records read for one item, whatever the
// count in the file says.
inline constexpr int kMaxFreqRecsLoaded = 4096;

// Character-code token to byte: one character stands for itself, "0xHH"
// is hexadecimal, control names ("ESC", "LF", "SP", ...) their codes, and
// anything else is read as a decimal number keeping the low 8 bits.
char ASCII2BYTE(const std::string& token);
// '1'..'9', 'A'..'F', 'a'..'f' to 0x10..0xF0; any other character to 0.
uint8_t HexHiByte(char c);
// '1'..'9', 'A'..'F', 'a'..'f' to 1..15; any other character to 0.
uint8_t HexLoByte(char c);

// atoi: leading white space, an optional sign, decimal digits up to the
// first other character; 0 without digits. Saturates at the int range.
int AtoiText(const char* pszText);
inline int AtoiText(const std::string& text) { return AtoiText(text.c_str()); }

// Key names with the item number n (and record number k) filled in.
std::string ItemKey(const char* pszFormat, int n);
std::string ItemKey(const char* pszFormat, int n, int k);

// Filter-file access. A missing key reads as "".
std::string ReadFilterValue(const std::string& file, const std::string& section,
                            const std::string& key);
int ReadFilterInt(const std::string& file, const std::string& section, const std::string& key,
                  int nDefault);
bool WriteFilterValue(const std::string& file, const std::string& section,
                      const std::string& key, const std::string& value);
// Replaces the section's contents by nothing; the header stays.
bool ClearFilterSection(const std::string& file, const std::string& section);

// While one lives on a thread, that thread's WriteFilterValue and
// ClearFilterSection calls on its file are collected, and Commit writes them
// all in one locked, atomic replacement of the file: a save cut short at any
// moment (a killed process) leaves the file as it was or as saved, never a
// section half rewritten. Nothing is written unless Commit is called. Reads
// in between see the file as it was. Batches of different files may nest.
class FilterSaveBatch {
 public:
  explicit FilterSaveBatch(const std::string& file);
  ~FilterSaveBatch();
  FilterSaveBatch(const FilterSaveBatch&) = delete;
  FilterSaveBatch& operator=(const FilterSaveBatch&) = delete;
  bool Commit();

 private:
  friend bool WriteFilterValue(const std::string&, const std::string&, const std::string&,
                               const std::string&);
  friend bool ClearFilterSection(const std::string&, const std::string&);
  static FilterSaveBatch* For(const std::string& file);

  std::string file_;
  std::unique_ptr<platform::ProfileWriter> writer_;
  FilterSaveBatch* previous_ = nullptr;
};

// Left-to-right fields: each field is the text up to the next comma; an
// empty field counts as missing. A text field in last place takes the rest,
// commas included.
class LeftFields {
 public:
  explicit LeftFields(std::string value) : rest_(std::move(value)) {}
  // The next field; false (and pField untouched) when it is missing.
  bool Next(std::string* pField);
  // The next field as an integer (atoi); false when it is missing.
  bool NextInt(int* pn);
  // Everything left, commas included; false when nothing is left.
  bool Rest(std::string* pRest);

 private:
  std::string rest_;
};

// Right-to-left fields: splits text at its last comma into the part before
// and the part after it. False when there is no comma.
bool SplitAtLastComma(const std::string& text, std::string* pBefore, std::string* pAfter);

// Key names of the condition keys of one catcher (printf formats of the
// item number n, and of n and the record number k for the records).
struct ConditionKeyNames {
  const char* pszRNV;         // "%d"
  const char* pszOutput;      // "%d"
  const char* pszFreq;        // "%d"
  const char* pszIdle;        // "%d"
  const char* pszFreqRecNum;  // "%d"
  const char* pszFreqRec;     // "%d" item, "%d" record
  bool bFreqResetDefault;     // bFreqReset when the file does not say
};

inline constexpr ConditionKeyNames kKeyWordConditionKeys{
    "RNV%d", "Output%d", "Freq%d", "Idle%d", "%dFreqRecNum", "%dFreqRec%d", true};
inline constexpr ConditionKeyNames kColorKeyConditionKeys{
    "CKRNV%d", "CKOutput%d", "CKFreq%d", "CKIdle%d", "%dCKFreqRecNum", "%dCKFreqRec%d", false};

// The condition values after the comparisons, as gathered from the file.
struct ConditionExtras {
  bool bRNV = false;
  char szRNV[kMaxRNVLen + 1] = {};
  bool bOutput = false;
  int nOutput1 = 0;
  int nOutput2 = 0;
  bool bFreq = false;
  bool bFreqReset = false;
  int nFreqUnit = 0;
  int nFreqCount = 0;
  bool bIdle = false;
  int nIdleHours = 0;
  int nIdleMinutes = 0;
  SYSTEMTIME stIdleLast = {};
};

// Reads the forwarding-target, output, frequency and idle keys of item n,
// with every fallback of the value grammar.
ConditionExtras LoadConditionExtras(const std::string& file, const std::string& section, int n,
                                    const ConditionKeyNames& names);
// Copies the gathered values into pCond; pFreqRecs is left as it is.
void StoreConditionExtras(const ConditionExtras& extras, STRUCT_Condition* pCond);

// Replaces the records in pList by those of item n. False for a null list.
bool LoadFreqRecs(const std::string& file, const std::string& section, int n,
                  const ConditionKeyNames& names, FreqRecList* pList);
// Writes the record count and the records of item n, oldest as record 1.
// False for a null list.
bool WriteFreqRecs(const std::string& file, const std::string& section, int n,
                   const ConditionKeyNames& names, const FreqRecList* pList);

// Writes the forwarding-target, output, frequency and idle keys of item n.
void WriteConditionExtras(const std::string& file, const std::string& section, int n,
                          const ConditionKeyNames& names, const STRUCT_Condition& cond);
// Writes the idle key of item n (enabled flag, period and last alarm time).
void WriteIdleKey(const std::string& file, const std::string& section, int n,
                  const ConditionKeyNames& names, const STRUCT_Condition& cond);
// Writes "" to the forwarding-target, output, frequency, idle and
// record-count keys of item n; the keys stay and read back as missing.
void CleanConditionExtras(const std::string& file, const std::string& section, int n,
                          const ConditionKeyNames& names);
// Saves the limit state of every keyword with a condition: item i+1 gets
// its idle key (when bIdle) and its frequency records (when bFreq).
void WriteLimitState(const std::string& file, const std::string& section,
                     const std::vector<STRUCT_KeyWord*>& keys, const ConditionKeyNames& names);

}  // namespace poshark::keywords
