#include "channel/AutoSet.h"

#include <algorithm>
#include <cstdio>

#include "guess/SetGuess.h"

namespace poshark::tool {

namespace {

std::string Score(double score) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.2f", score);
  return buf;
}

}  // namespace

bool AutoSet::Add(const unsigned char* data, size_t size) {
  if (decided_) return true;
  held_.insert(held_.end(), data, data + size);
  if (held_.size() >= kAutoGuessBytes) return Guess(true);
  if (held_.size() - guessed_at_ < kAutoRetryBytes && guessed_at_ != 0) return false;
  return Guess(false);
}

bool AutoSet::Decide() {
  if (decided_) return true;
  return !held_.empty() && Guess(true);
}

bool AutoSet::Guess(bool bFinal) {
  guessed_at_ = held_.size();
  const size_t n = std::min(held_.size(), kAutoGuessBytes);
  const std::vector<unsigned char> prefix(held_.begin(), held_.begin() + static_cast<long>(n));
  SetGuess guess;
  std::string error;
  if (!GuessSet(prefix, codepage_, guess, error)) {
    if (!bFinal) return false;
    choice_ = "set auto: no guess on the first " + std::to_string(n) + " bytes (" + error +
              "); the catalogue's first set is used";
    decided_ = true;
    return true;
  }
  const SetScore& best = guess.ranked.front();
  if (!bFinal && (!guess.found || best.receipts == 0)) return false;
  set_ = best.index;
  choice_ = "set auto: " + best.name + " (score " + Score(best.score) + " on the first " +
            std::to_string(n) + " bytes)";
  if (!guess.found) choice_ += ", though it is no sure guess: " + guess.reason;
  for (const std::string& other : guess.alike) choice_ += "; " + other + " reads them alike";
  decided_ = true;
  return true;
}

std::vector<unsigned char> AutoSet::TakeHeld() {
  std::vector<unsigned char> held;
  held.swap(held_);
  return held;
}

}  // namespace poshark::tool
