#include "guess/SetGuess.h"

#include <poshark/RCPosHark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace poshark::tool {

namespace {

std::string Percent(double share) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", share);
  return buf;
}

// Scores are compared in steps of kScoreTie.
int64_t Level(const SetScore& s) { return std::llround(s.score / kScoreTie); }

// Sets that read a capture alike: the same score, as many tables they lack,
// swallowed leads, misfits and characters delivered.
bool ReadAlike(const SetScore& a, const SetScore& b) {
  return Level(a) == Level(b) && a.unknown_tables == b.unknown_tables &&
         a.swallowed_leads == b.swallowed_leads && a.misfits == b.misfits && a.chars == b.chars;
}

void Decide(SetGuess& g) {
  const SetScore& best = g.ranked.front();
  for (size_t i = 1; i < g.ranked.size(); ++i) {
    if (ReadAlike(g.ranked[i], best)) g.alike.push_back(g.ranked[i].name);
  }
  if (best.bytes == 0) {
    g.reason = "the capture is empty";
  } else if (best.leads < kMinGuessLeads) {
    g.reason = "the capture holds " + std::to_string(best.leads) +
               " command lead bytes (ESC, FS, GS, DLE), fewer than " +
               std::to_string(kMinGuessLeads) + ": every set reads it alike";
  } else if (best.score < kMinGuessScore) {
    g.reason = "no set reads the capture: the best, " + best.name + ", scores " +
               Percent(best.score) + ", below " + Percent(kMinGuessScore);
  }
  g.found = g.reason.empty();
}

}  // namespace

bool GuessSet(const std::vector<unsigned char>& bytes, const std::string& codepage, SetGuess& out,
              std::string& error) {
  out = SetGuess{};
  RCPosHark catalogue(0);
  const int count = catalogue.GetCmdSetNum();
  if (count <= 0) {
    error = "no command sets";
    return false;
  }
  for (int i = 0; i < count; ++i) {
    SetScore score;
    if (!ScoreSet(i, bytes, codepage, score, error)) return false;
    out.ranked.push_back(std::move(score));
  }
  // Of equal scores: fewer unknown tables, fewer swallowed leads, fewer
  // misfits, fewer characters, then the catalogue's order.
  std::stable_sort(out.ranked.begin(), out.ranked.end(), [](const SetScore& a, const SetScore& b) {
    if (Level(a) != Level(b)) return Level(a) > Level(b);
    if (a.unknown_tables != b.unknown_tables) return a.unknown_tables < b.unknown_tables;
    if (a.swallowed_leads != b.swallowed_leads) return a.swallowed_leads < b.swallowed_leads;
    if (a.misfits != b.misfits) return a.misfits < b.misfits;
    return a.chars < b.chars;
  });
  Decide(out);
  return true;
}

}  // namespace poshark::tool
