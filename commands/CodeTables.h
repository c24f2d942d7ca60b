// Code tables of a command set: which commands select a printer's code
// table (and by which parameter byte), which page each table number means,
// the table the printer starts in, the commands that put it back there, and
// an optional double-byte mode with its page. Read from the set's
// [CodeTables] section; see the README ("Code tables") for the form.
//
// Contract: Load reads the section and names the commands it refers to; the
// command lists mark those commands (MarkCommand) while they load; Finish
// checks what was named and, when anything is wrong, switches the tables
// off and keeps one message per fault (file, section, key). A set whose
// tables are off, or that has no section, behaves as if it had none.
//
// Threads: Load, MarkCommand, Finish and SetFollow run while the listener is
// stopped (set selection, host set-up). Following() and the pages are read by
// the intake and analyzer threads; the unknown-table counts are written by
// the analyzer thread and read by the host, as atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "commands/PrnCmd.h"

namespace poshark::platform {
class CodePage;
class ProfileReader;
}  // namespace poshark::platform

namespace poshark::commands {

// Table numbers are one parameter byte.
inline constexpr int kTableCount = 256;
// The start "table" of a set that names none: the host's page.
inline constexpr int kHostPageTable = -1;
// Commands of one role (Select, Reset, DoubleOn, DoubleOff) a set may name:
// keys "Role", "Role2" .. "Role8".
inline constexpr int kMaxRoleCommands = 8;
// Longest select command, command bytes and parameter bytes up to the
// table number: what the line cutting looks back over.
inline constexpr int kMaxSelectLook = 16;

// One page as the decoder uses it.
struct TablePage {
  const platform::CodePage* pPage = nullptr;
  bool bMultiByte = false;
  // Single-byte pages: the UTF-8 bytes of each byte value (bytes below 0x80
  // always stand for themselves).
  std::array<std::array<char, 4>, 128> aUtf8{};
  std::array<uint8_t, 128> aLen{};
};

class CodeTables {
 public:
  CodeTables() = default;
  CodeTables(const CodeTables&) = delete;
  CodeTables& operator=(const CodeTables&) = delete;

  // Forgets everything (tables off, counts zero).
  void Clear();
  // Reads [CodeTables] of the file; false when the file has no such section.
  bool Load(const platform::ProfileReader& ini, bool bGraphOrSender);
  // Called for every command entry that loads: gives the command its role
  // when the section named it.
  void MarkCommand(std::string_view section, int nKey, STRUCT_PrnCmd& cmd);
  // Checks every named command was found and fits its role.
  void Finish();

  // The section was read and holds no fault.
  bool Valid() const { return bValid_; }
  // The host wants tables followed (and the set has valid ones).
  bool Following() const { return bFollow_.load(std::memory_order_relaxed); }
  // pStartPage: the host's page of the text before any select command when
  // the set names no Start table (null: POSHARK_CODEPAGE).
  void SetFollow(bool bOn, const platform::CodePage* pStartPage = nullptr);
  const std::vector<std::string>& Errors() const { return errors_; }

  // The Start table, or kHostPageTable.
  int StartTable() const { return nStart_; }
  // The page of a table number (kHostPageTable: the host's page), or null
  // when the map does not know it.
  const TablePage* Page(int nTable) const;
  const TablePage* DoublePage() const { return bDouble_ ? &double_ : nullptr; }

  // A select command's table number was not in the map.
  void CountUnknown(int nTable);
  // nTable -1: all numbers together.
  uint32_t UnknownCount(int nTable) const;

  // True when the byte at pLine[nAt] is the table number of a select
  // command whose bytes end just before it (within pLine[0, nAt)).
  bool IsSelectParam(const unsigned char* pLine, int nAt) const;

 private:
  struct Ref {
    std::string key;      // the [CodeTables] key that named it
    std::string section;  // lower case
    int nEntry = 0;
    int nParamByte = 0;  // Select: which parameter byte is the number (1-based)
    TableRole role = TableRole::kNone;
    STRUCT_PrnCmd* pCmd = nullptr;
  };
  void Fault(const std::string& key, const std::string& message);
  void ReadRefs(const platform::ProfileReader& ini, std::string_view base, TableRole role);
  void ReadPages(const platform::ProfileReader& ini);
  bool MakePage(const std::string& key, const std::string& value, TablePage* pOut);
  bool MakeIcuPage(const std::string& key, const std::string& name, TablePage* pOut);
  void CheckSelect(const Ref& ref);
  static void FillHighHalf(TablePage* pOut);

  std::string strFile_;
  bool bValid_ = false;
  std::atomic<bool> bFollow_{false};
  std::vector<std::string> errors_;
  std::vector<Ref> refs_;
  int nStart_ = kHostPageTable;
  TablePage hostPage_;
  std::array<int16_t, kTableCount> aPageOf_{};  // -1, or index into pages_
  std::vector<TablePage> pages_;
  bool bDouble_ = false;
  TablePage double_;
  // Select commands as the line cutting looks back for them: the bytes of
  // each command, then how many parameter bytes come before the number.
  struct SelectShape {
    std::array<unsigned char, kMaxSelectLook> aBytes{};
    int nCmdLen = 0;
    int nSkip = 0;
  };
  std::vector<SelectShape> shapes_;
  std::array<std::atomic<uint32_t>, kTableCount> aUnknown_{};
  std::atomic<uint32_t> nUnknownTotal_{0};
};

// Room WriteUtf8 needs for n bytes: four a byte (a single-byte page's
// character, or at most one character of four bytes per byte of a
// multi-byte page).
inline size_t Utf8Room(int n) { return 4 * static_cast<size_t>(n > 0 ? n : 0); }
// Writes the UTF-8 text of pData[0, n), read in page, to pOut (Utf8Room(n)
// bytes); answers its length.
int WriteUtf8(const TablePage& page, const unsigned char* pData, int n, char* pOut);
// The same, appended to *pOut.
void AppendUtf8(const TablePage& page, const unsigned char* pData, int n, std::string* pOut);

}  // namespace poshark::commands
