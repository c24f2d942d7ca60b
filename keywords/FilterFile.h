// The filter file "POSKeyFilter.ini", as both catchers read and write it:
// the value grammar, the character-code tokens, and the condition keys
// that follow the comparisons (forwarding target, output, frequency and idle
// limits, frequency records). The two catchers use different key names for
// the same values; ConditionKeyNames carries them.
//
// A FilterSection reads from a file parsed once; a FilterWriter collects the
// writes of one save and applies them in one atomic replacement of the file,
// keeping every other section and line. Nothing here takes a lock.
#pragma once

#include <poshark/KeyRecords.h>

#include "platform/Profile.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace poshark::keywords {

inline constexpr const char* kFilterFileName = "POSKeyFilter.ini";
// Longest text field the profile module hands back.
inline constexpr int kFilterValueSize = platform::kProfileValueSize;
inline constexpr int kMaxOperandLen = 10;  // szValue1, szValue2
inline constexpr int kMaxRNVLen = 80;      // szRNV
// Longest key name or formatted value the writers build.
inline constexpr int kMaxKeyNameSize = 64;
inline constexpr int kMaxFormattedSize = kFilterValueSize + 64;

// Character-code token to byte, in the grammar the command sets use
// (platform/ByteTokens.h): one character stands for itself, "0xHH" is
// hexadecimal, control names ("ESC", "SO", "SP", ...) their codes, anything
// else a decimal number of which the low 8 bits count. The signs the
// writers store ("%.3d" of the char: "046", "-001") read back unchanged.
char ASCII2BYTE(const std::string& token);
// A hexadecimal digit's value in the high (HexHiByte) or low (HexLoByte)
// four bits; any other character gives 0.
uint8_t HexHiByte(char c);
uint8_t HexLoByte(char c);

// Key names with the item number n (and record number k) filled in.
std::string ItemKey(const char* pszFormat, int n);
std::string ItemKey(const char* pszFormat, int n, int k);
// printf into a string of at most kMaxFormattedSize - 1 characters.
std::string Format(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// True when key is pszFormat ("%d" standing for positive numbers as printf
// writes them) with the literal parts matched without case; *pn and *pk
// (when the format has a second "%d") receive the numbers.
bool MatchNumberedKey(const std::string& key, const char* pszFormat, int* pn, int* pk);

// One section of a filter file that was read once. A missing key reads as "".
class FilterSection {
 public:
  FilterSection(const platform::ProfileReader& reader, std::string name);
  const std::string& Name() const { return name_; }
  std::string Value(const std::string& key) const;
  std::string Value(const char* pszFormat, int n) const { return Value(ItemKey(pszFormat, n)); }
  int Int(const std::string& key, int nDefault) const;
  // The numbers 1..nMax of the keys of pszFormat ("Item%d") present, ascending.
  std::vector<int> ItemNumbers(const char* pszFormat, int nMax) const;
  // The highest record number k of the keys of pszFormat ("%dFreqRec%d")
  // present for item n; 0 when there is none. The keys are indexed once.
  int LastRecord(const char* pszFormat, int n) const;

 private:
  const platform::ProfileReader& reader_;
  std::string name_;
  mutable std::unordered_map<int, int> lastRecord_;
  mutable bool bRecordsIndexed_ = false;
};

// The writes of one save. Nothing reaches the file before Commit, which
// applies them all or none. A value the file cannot hold is refused on its
// own (false) without spoiling the rest.
class FilterWriter {
 public:
  explicit FilterWriter(const std::string& file);
  bool Write(const std::string& section, const std::string& key, const std::string& value);
  // Replaces the section's contents by nothing; the header stays.
  bool ClearSection(const std::string& section);
  bool Commit() { return writer_.Commit(); }

 private:
  std::string file_;
  platform::ProfileWriter writer_;
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
  const char* pszCompare1;    // "%d", null when the catcher has no comparisons
  const char* pszCompare2;    // "%d", null likewise
  const char* pszRNV;         // "%d"
  const char* pszOutput;      // "%d"
  const char* pszFreq;        // "%d"
  const char* pszIdle;        // "%d"
  const char* pszFreqRecNum;  // "%d"
  const char* pszFreqRec;     // "%d" item, "%d" record
  bool bFreqResetDefault;     // bFreqReset when the file does not say
};

inline constexpr ConditionKeyNames kKeyWordConditionKeys{"Condition%d_1", "Condition%d_2", "RNV%d",
                                                         "Output%d",      "Freq%d",        "Idle%d",
                                                         "%dFreqRecNum",  "%dFreqRec%d",   true};
inline constexpr ConditionKeyNames kColorKeyConditionKeys{
    nullptr,    nullptr,          "CKRNV%d",       "CKOutput%d", "CKFreq%d",
    "CKIdle%d", "%dCKFreqRecNum", "%dCKFreqRec%d", false};

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
ConditionExtras LoadConditionExtras(const FilterSection& section, int n,
                                    const ConditionKeyNames& names);
// Copies the gathered values into pCond; pFreqRecs is left as it is.
void StoreConditionExtras(const ConditionExtras& extras, STRUCT_Condition* pCond);

// Replaces the records in pList by those of item n: records 1 to the
// record-count key's value, or to the last record key present when that is
// lower (a record that does not read as a time is skipped); beyond
// kMaxFreqCount the newest are kept. False for a null list.
bool LoadFreqRecs(const FilterSection& section, int n, const ConditionKeyNames& names,
                  FreqRecList* pList);
// Writes the record count and the records of item n, oldest as record 1.
// False for a null list.
bool WriteFreqRecs(FilterWriter& out, const std::string& section, int n,
                   const ConditionKeyNames& names, const FreqRecList* pList);

// Writes the forwarding-target, output, frequency and idle keys of item n.
void WriteConditionExtras(FilterWriter& out, const std::string& section, int n,
                          const ConditionKeyNames& names, const STRUCT_Condition& cond);
// Writes "" to the comparison, forwarding-target, output, frequency, idle
// and record-count keys of item n; the keys stay and read back as missing.
void CleanConditionKeys(FilterWriter& out, const std::string& section, int n,
                        const ConditionKeyNames& names);
// Saves the limit state of every keyword with a condition: item i+1 gets
// its idle key (when bIdle) and its frequency records (when bFreq).
void WriteLimitState(FilterWriter& out, const std::string& section,
                     const std::vector<STRUCT_KeyWord*>& keys, const ConditionKeyNames& names);

}  // namespace poshark::keywords
