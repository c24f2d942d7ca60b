// Which command set of the catalogue a capture was printed with: every set
// is scored (guess/SetScore.h) and ranked.
//
// Threads: any thread; guesses run one at a time in a process (ScoreSet).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "guess/SetScore.h"

namespace poshark::tool {

// The least score a set needs to be named. A set that knows the capture's
// printer language reads all of its commands: each bundled receipt scores
// 1.0 with its own set, and a small receipt with two commands the set lacks
// still 0.81. A set of another language scores 0.57 or less on the bundled
// receipts; random bytes (1 KB to 4 MB of them) score 0.48 or less, and
// must not be named. The threshold lies between.
inline constexpr double kMinGuessScore = 0.7;
// The least command leads (ESC, FS, GS, DLE) a capture must hold to tell
// sets apart: with fewer, most sets read it alike.
inline constexpr uint64_t kMinGuessLeads = 4;
// Scores closer than this are equal: the sets read the capture alike.
inline constexpr double kScoreTie = 1e-4;

struct SetGuess {
  // Every set of the catalogue, best first. Of sets that score alike: the
  // one whose selects name fewer tables it lacks first, then the one whose
  // fixed-length commands swallow fewer command leads (ESC W read with
  // ESC/POS's eight parameter bytes where the printer takes one), then the
  // one whose text has fewer misfits (a page read in place of the
  // printer's own), then the one that delivers fewer characters (it reads
  // as parameters bytes another set prints: ESC E 1 is bold on, not bold
  // and a "1"), then the first in the catalogue: ESC/POS, the language the
  // dialects extend, before them.
  std::vector<SetScore> ranked;
  // ranked[0] is the answer: its score reaches kMinGuessScore and the
  // capture holds kMinGuessLeads command leads.
  bool found = false;
  // Why nothing was found; "" when found.
  std::string reason;
  // The other sets that read the capture as ranked[0] does: the same
  // score, tables, swallowed leads, misfits and characters.
  std::vector<std::string> alike;
};

// Scores every set of the catalogue on bytes (codepage: see ScoreSet).
// False with error set when there is no set, or one cannot be scored.
bool GuessSet(const std::vector<unsigned char>& bytes, const std::string& codepage, SetGuess& out,
              std::string& error);

}  // namespace poshark::tool
