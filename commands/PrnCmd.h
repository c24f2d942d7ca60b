// Command records of a command set, their entry syntax and the byte tokens
// that name their bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Matcher result codes, also answered by the plug-ins; other values pass
// through unchanged.
enum : int {
  CMD_NONE = 0,     // nothing starts here
  CMD_MORE = 1,     // more data is needed before the question can be answered
  CMD_DONE = 2,     // complete: the bytes were taken
  CMD_DISCARD = 3,  // the data from the cursor to the end is dropped
  CMD_MARKER = 4,   // MatchCommand only: a marker; its bytes stay in place
};

// Transaction keywords of a command entry.
enum : int {
  TRAN_NONE = -1,
  TRAN_START = 0,
  TRAN_STOP = 1,
  TRAN_VOID = 2,
};

// Plug-in entry points (plain exported functions of the libraries a command
// set names; all integers 32-bit).
// Measures a type-3 parameter: data after the command, bytes available,
// start and length out (preset to 0). Low 16 bits of the result count.
using PFN_ParamAnalyze = int (*)(unsigned char* pData, int nCount, int* pStart, int* pLen);
// Transforms barcode data in a block of 2 * nCount bytes; out start preset to
// 0, out length to nCount.
using PFN_BarcodeAnalyze = int (*)(unsigned char* pBuf, int nCount, int* pOutStart, int* pOutLen);
// Sees every record pushed into the write queue; result not used.
using PFN_Preprocess = int (*)(unsigned char* pData, int nCount, unsigned char** ppOut,
                               int* pOutCount, unsigned char** ppExtra, int* pExtraCount,
                               int* pEvent);
// Rewrites the writer's text in place within nCapacity bytes; result not used.
using PFN_Filter = int (*)(char* pBuf, int nCapacity);

// What a command does to the code table (commands/CodeTables.h).
enum class TableRole : uint8_t { kNone, kSelect, kReset, kDoubleOn, kDoubleOff };

// One command. Change-line commands use only nCmdLen and pCmd.
struct STRUCT_PrnCmd {
  int nCmdLen = 0;                        // >= 1 for every loaded command
  std::unique_ptr<unsigned char[]> pCmd;  // nCmdLen bytes
  int nParam = 0;  // type 1: total length of command plus parameter; 0 = marker
  int nType = 0;   // 1 fixed length, 2 up to and including NUL, 3 plug-in, other: discard
  PFN_ParamAnalyze pfnAnalyze = nullptr;   // type 3 only
  int nTextLen = 0;                        // replacement text length, 0 for none
  std::unique_ptr<char[]> pText;           // NUL-terminated replacement text or null
  int nTran = TRAN_NONE;                   // TRAN_NONE / TRAN_START / TRAN_STOP / TRAN_VOID
  TableRole tableRole = TableRole::kNone;  // named by the set's [CodeTables]
  int nTableAt = 0;                        // kSelect: the number's offset after the command bytes
};

// One multi-command group: commands sharing a lead byte, in entry order. The
// first byte of each command stands for the lead byte and is not compared.
struct STRUCT_MultiCmd {
  unsigned char byLead = 0;
  std::vector<std::unique_ptr<STRUCT_PrnCmd>> arCmds;
};

namespace poshark::commands {

// Decodes one byte token of a command-set file: one character is its own
// code; "0x" + two characters is hex (characters that are not 1-9, A-F, a-f
// count as 0); other four-character tokens are decimal; two, three or five+
// characters are a control name (NUL..US, SP; case-insensitive) or decimal.
// Text that is not a number gives 0; larger numbers keep their low 8 bits.
unsigned char DecodeToken(std::string_view token);

// "TRAN_START" 0, "TRAN_STOP" 1, "TRAN_VOID" 2 (case-insensitive), else -1.
int ParseTranKeyword(std::string_view keyword);

// Splits a value at single commas; every field is kept, empty ones too.
std::vector<std::string_view> SplitFields(std::string_view value);

// What the file says about transaction keywords while an entry is parsed.
struct EntryKeywords {
  bool bSawStart = false;
  bool bSawStop = false;
};

// Resolves the entry point of a type-3 command ("" never resolves).
using ResolveAnalyzeFn = PFN_ParamAnalyze (*)(void* pContext, const std::string& name);

// Parses "N,b1,...,bN". Null when invalid (missing field, N < 1).
std::unique_ptr<STRUCT_PrnCmd> ParseChangeLineEntry(std::string_view value);

// Parses a command entry: "N,b1..bN,type[,param][,switch[,text][,keyword]]"
// (type 2 has no parameter field). nSpaceCount applies the HT rule (already
// limited to 1..12 by the caller). Type-3 entries resolve through
// pfnResolve; without a resolver, or when it answers null, they are invalid.
// Keywords met are reported in *pKeywords. Null when invalid.
std::unique_ptr<STRUCT_PrnCmd> ParseCommandEntry(std::string_view value, int nSpaceCount,
                                                 EntryKeywords* pKeywords,
                                                 ResolveAnalyzeFn pfnResolve = nullptr,
                                                 void* pResolveContext = nullptr);

// Parses a group entry "section,lead,M". False when invalid.
bool ParseGroupEntry(std::string_view value, std::string* pSection, unsigned char* pLead,
                     int* pCount);

}  // namespace poshark::commands
