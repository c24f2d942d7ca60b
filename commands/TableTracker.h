// Follows a command set's code tables along the analyzer's text and turns
// each record into UTF-8 text, every piece read in the page of the table
// that was active where its bytes stood.
//
// Contract: the analyzer notes each table command it takes, with the
// length of the text already before it in the record being built (the
// head); Decode turns a finished head into UTF-8 and consumes the switches
// noted in it, and decodes other records (barcodes) in the page active at
// the cursor. The state survives records, chunks and passes; Reset (at
// ListenStart and at each reset command) returns to the start table.
//
// Threads: one at a time, the thread that runs the analyzer (Reset also
// while the listener is stopped). No locking.
#pragma once

#include <string>
#include <vector>

#include "commands/CodeTables.h"

namespace poshark::commands {

class TableTracker {
 public:
  // Back to the start table and out of double-byte mode; no switch pending.
  void Reset(const CodeTables& tables);
  // A command with a table role was taken with nHead bytes of text before
  // it in the head; nParam is a select command's table number.
  void OnCommand(CodeTables& tables, TableRole role, int nParam, int nHead);
  // The UTF-8 text of pData[0, n), *pnOut bytes. bHead: the bytes are the
  // head, whose switches apply and are consumed. Valid until the next call.
  const char* Decode(const CodeTables& tables, const unsigned char* pData, int n, bool bHead,
                     int* pnOut);
  // Drops the switches of a head that will not be decoded (a direct
  // analysis whose caller takes the bytes as they are), keeping the table
  // they lead to.
  void Settle();

 private:
  struct State {
    int nTable = 0;
    bool bDouble = false;
  };
  struct Switch {
    int nAt = 0;
    State state;
  };
  State Current() const { return switches_.empty() ? active_ : switches_.back().state; }
  void AddSwitch(State state, int nHead);
  static const TablePage* PageOf(const CodeTables& tables, State state);

  State active_;  // at the start of the head
  std::vector<Switch> switches_;
  std::vector<char> out_;  // grows to the longest record's room
};

}  // namespace poshark::commands
