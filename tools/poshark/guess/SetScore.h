// How well one command set reads a capture: the capture is run through a
// listener of its own in host-feed mode with that set (the library's own
// analyzer, code tables followed), and the lines it delivers are weighed.
//
// Threads: ScoreSet may be called from any thread; calls are serialised
// inside (the listener's line callback has no context argument, so one
// score is taken at a time in a process). Each call starts and stops the
// workers of its own listener and returns when they have stopped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace poshark::tool {

// Lead bytes of printer commands (ESC, FS, GS, DLE): a set that leaves one
// in the text does not know the command it starts.
bool IsCommandLead(unsigned char byte);
// A byte that no printed text holds: the C0 controls but LF and CR, and DEL.
bool IsControlByte(unsigned char byte);

// A command-like sequence a set left in its text: the lead byte and the
// byte after it (one byte when the lead ends a line).
struct Leftover {
  std::string bytes;
  uint64_t count = 0;
  int64_t offset = -1;  // where the capture first holds these bytes; -1: not found
};

struct SetScore {
  int index = -1;  // in the catalogue
  std::string name;
  bool utf8 = false;  // the set's code tables were followed
  // The capture: its bytes, control bytes (IsControlByte), command leads,
  // and the other bytes but LF and CR (text, or command parameters).
  uint64_t bytes = 0;
  uint64_t controls = 0;
  uint64_t leads = 0;
  uint64_t printable = 0;
  // The delivered text: lines, receipts ended, characters, control
  // characters (C0 but tab, and DEL), leads among them, characters that are
  // not text (ill-formed UTF-8, U+FFFD, and C1 controls: bytes read in a
  // page they were not printed in), printable ASCII characters.
  uint64_t lines = 0;
  uint64_t receipts = 0;
  uint64_t chars = 0;
  uint64_t stray = 0;
  uint64_t stray_leads = 0;
  uint64_t odd = 0;
  uint64_t ascii = 0;
  // Characters beyond ASCII that do not fit the word they stand in, weighed
  // (see Misfit in SetScore.cpp): a page read in place of another turns
  // accented letters into box drawing, letters of another script (2 each),
  // or capitals amid small letters (1).
  uint64_t misfits = 0;
  // Select commands naming a table the set's map lacks.
  uint64_t unknown_tables = 0;
  // Command lead bytes the set's fixed-length commands took as parameters.
  uint64_t swallowed_leads = 0;
  // 0 to 1: how much of the capture the set reads as commands and text
  // (see SetScore.cpp).
  double score = 0;
  // The command-like sequences left in the text, most frequent first.
  std::vector<Leftover> leftovers;
};

// Scores set nIndex of the catalogue (the library's work path) on bytes;
// codepage is the page of text before any select command, and of sets
// without code tables. False with error set when the set cannot be selected
// or the listener does not deliver everything within its time.
bool ScoreSet(int nIndex, const std::vector<unsigned char>& bytes, const std::string& codepage,
              SetScore& out, std::string& error);

}  // namespace poshark::tool
