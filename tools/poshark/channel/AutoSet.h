// The command set of a channel whose set is "auto": the channel's first
// bytes are held here and guessed on (guess/SetGuess.h) until one of
//   - a guess names a set, and that set's listener ended a receipt (a
//     transaction stop) in them;
//   - kAutoGuessBytes or more are held;
//   - the input, a connection or the channel ends (Decide).
// The set is then chosen and the held bytes are handed over once, to be
// given to the listener before any later byte: nothing is lost and nothing
// given twice.
//
// Threads: one caller at a time (the channel's give lock).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "settings/ChannelSettings.h"

namespace poshark::tool {

// The guess is taken on this many bytes at most, at the latest once this
// many are held: a receipt or two, a few kilobytes each with a logo.
inline constexpr size_t kAutoGuessBytes = 64 * 1024;
// Bytes that must come in before a guess is taken again: a guess runs every
// set over what is held, and a serial line hands over a few hundred bytes
// at a time.
inline constexpr size_t kAutoRetryBytes = 2048;

class AutoSet {
 public:
  // codepage: the page of text before any select command (ScoreSet).
  explicit AutoSet(std::string codepage) : codepage_(std::move(codepage)) {}

  bool Decided() const { return decided_; }
  // Holds the bytes; true when the set is chosen now.
  bool Add(const unsigned char* data, size_t size);
  // Chooses on what is held; false when nothing is held (nothing chosen).
  bool Decide();

  // Once chosen: the set's number in the catalogue (0, the first, when no
  // set could be scored), a line for the log, and the held bytes (once;
  // empty afterwards).
  int Set() const { return set_; }
  const std::string& Choice() const { return choice_; }
  std::vector<unsigned char> TakeHeld();

 private:
  // Guesses on what is held; with bFinal, chooses whatever the guess says.
  bool Guess(bool bFinal);

  std::string codepage_;
  std::vector<unsigned char> held_;
  size_t guessed_at_ = 0;  // held_.size() at the last guess
  bool decided_ = false;
  int set_ = 0;
  std::string choice_;
};

}  // namespace poshark::tool
