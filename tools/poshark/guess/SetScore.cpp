#include "guess/SetScore.h"

#include <poshark/RCPosHark.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

namespace poshark::tool {

namespace {

// Bytes handed to the listener at a time.
constexpr size_t kScoreBlock = 64 * 1024;
// How long the listener may take to deliver the lines of a capture once it
// has every byte: far more than a capture of many megabytes needs.
constexpr uint32_t kScoreDrainMs = 30 * 1000;
// Leftover sequences kept for the report, most frequent first.
constexpr size_t kMaxLeftovers = 16;
// How strongly stray characters in the delivered text lower a score (see Weigh).
constexpr double kCleanWeight = 4;
// The least share of the capture's other bytes that a set must deliver as
// characters to keep its score: the bundled receipts deliver 0.38 (a QR
// code's data read as a command) to 1.0 with their own sets, and a receipt
// with a large logo far less; a set that reads (or drops) everything as
// commands delivers nothing.
constexpr double kMinTextShare = 0.05;

constexpr unsigned char kLeads[] = {0x1B, 0x1C, 0x1D, 0x10};  // ESC FS GS DLE

// What the line callback counts; touched by the listener's writer thread
// while the listener runs, read by the scoring thread after it stopped.
struct Tally {
  SetScore* score = nullptr;
  std::map<std::string, uint64_t> leftovers;
  std::vector<UChar32> points;  // the line being weighed, reused
};

std::mutex g_score_mutex;  // one score at a time: g_tally is the callback's only context
std::atomic<Tally*> g_tally{nullptr};

void NoteStray(Tally& t, const unsigned char* text, size_t at, size_t size) {
  ++t.score->stray;
  if (!IsCommandLead(text[at])) return;
  ++t.score->stray_leads;
  size_t n = at + 1 < size && text[at + 1] < 0x80 ? 2 : 1;
  ++t.leftovers[std::string(reinterpret_cast<const char*>(text + at), n)];
}

// Text whose bytes are a single-byte page: only controls can be judged.
void TallyBytes(Tally& t, const unsigned char* text, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    ++t.score->chars;
    if (IsControlByte(text[i]) && text[i] != '\t') {
      NoteStray(t, text, i, size);
    } else if (text[i] < 0x80) {
      ++t.score->ascii;
    }
  }
}

bool IsLetter(UChar32 c) { return c > 0 && u_isalpha(c); }

// Two letters of different scripts (Latin beside Katakana); letters every
// script uses do not count.
bool ScriptsDiffer(UChar32 a, UChar32 b) {
  UErrorCode status = U_ZERO_ERROR;
  const UScriptCode sa = uscript_getScript(a, &status);
  const UScriptCode sb = uscript_getScript(b, &status);
  auto shared = [](UScriptCode s) { return s == USCRIPT_COMMON || s == USCRIPT_INHERITED; };
  return U_SUCCESS(status) && !shared(sa) && !shared(sb) && sa != sb;
}

// An a with a grave accent stands alone or at a word's start or end in the
// languages of Latin script that print it on receipts ("à", "às",
// "città", "déjà"), hardly ever inside a word: there it is most likely
// another page's Ã (PC860's 0x8E is PC863's À).
bool IsGraveA(UChar32 c) { return c == 0xC0 || c == 0xE0; }

// How badly character c, beyond ASCII, fits between prev and next (0 at
// the ends of the line): 0 when it fits. Outside words anything fits (a
// currency sign, a symbol, a letter alone). Inside one (a letter beside it)
// a character that is no letter, or a letter of another script than its
// neighbours, weighs kForeignMisfit: no page prints those in words. A
// letter of the wrong case weighs 1, as words are sometimes run together
// ("CaféÑandú"): a capital followed by a small letter after a letter
// ("çÂo"), a small letter between capitals ("CãO"), or an a with a grave
// accent between letters.
constexpr uint64_t kForeignMisfit = 2;

uint64_t Misfit(UChar32 prev, UChar32 c, UChar32 next) {
  const bool prev_letter = IsLetter(prev);
  const bool next_letter = IsLetter(next);
  if (!prev_letter && !next_letter) return 0;
  if (!IsLetter(c) || (prev_letter && ScriptsDiffer(prev, c)) ||
      (next_letter && ScriptsDiffer(c, next)))
    return kForeignMisfit;
  const bool wrong_case = (u_isupper(c) && prev_letter && next_letter && u_islower(next)) ||
                          (u_islower(c) && u_isupper(prev) && u_isupper(next)) ||
                          (IsGraveA(c) && prev_letter && next_letter);
  return wrong_case ? 1 : 0;
}

uint64_t Misfits(const std::vector<UChar32>& line) {
  uint64_t weight = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] < 0xA0) continue;
    const UChar32 prev = i > 0 ? line[i - 1] : 0;
    const UChar32 next = i + 1 < line.size() ? line[i + 1] : 0;
    weight += Misfit(prev, line[i], next);
  }
  return weight;
}

void TallyUtf8(Tally& t, const unsigned char* text, size_t size) {
  int32_t i = 0;
  const auto length = static_cast<int32_t>(size);
  t.points.clear();
  while (i < length) {
    const int32_t at = i;
    UChar32 c = 0;
    U8_NEXT(text, i, length, c);
    t.points.push_back(c);
    ++t.score->chars;
    // C1 controls are bytes read in a page they were not printed in.
    if (c < 0 || c == 0xFFFD || (c >= 0x80 && c < 0xA0)) {
      ++t.score->odd;
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      NoteStray(t, text, static_cast<size_t>(at), size);
    } else if (c < 0x80) {
      ++t.score->ascii;
    }
  }
  t.score->misfits += Misfits(t.points);
}

unsigned short OnScoreLine(char* text, SYSTEMTIME*, bool, int, int event, char*) {
  Tally* t = g_tally.load();
  if (t == nullptr || text == nullptr) return 0;
  ++t->score->lines;
  if (event == POSHARK_EVENT_STOP) ++t->score->receipts;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  if (t->score->utf8) {
    TallyUtf8(*t, bytes, std::strlen(text));
  } else {
    TallyBytes(*t, bytes, std::strlen(text));
  }
  return 0;
}

void CountCapture(const std::vector<unsigned char>& bytes, SetScore& s) {
  s.bytes = bytes.size();
  for (unsigned char b : bytes) {
    if (IsControlByte(b)) ++s.controls;
    if (IsCommandLead(b)) ++s.leads;
    if (b >= ' ' && b != 0x7F) ++s.printable;
  }
}

// The share of a count that was explained, 0 to 1; nothing to explain: 1.
double Explained(uint64_t left, uint64_t total) {
  if (total == 0) return 1;
  return 1.0 - static_cast<double>(std::min(left, total)) / static_cast<double>(total);
}

// The share of the capture's control bytes that the set reads (as commands
// or their parameters), times the share of the delivered characters that
// are text, to the power kCleanWeight. A set of another language leaves
// half or more of the controls in the text; random bytes, which a set may
// read as long image or code commands, leave far more controls and odd
// characters in what is delivered (one in eight) than a receipt with a
// few commands the set lacks (one in a hundred or fewer). Times the share
// of kMinTextShare that the delivered characters reach (at most 1). A
// capture without a control byte scores 0: any set reads it alike.
double Weigh(const SetScore& s) {
  if (s.controls == 0) return 0;
  const double wanted = kMinTextShare * static_cast<double>(s.printable);
  const double text = wanted == 0 ? 1 : std::min(1.0, static_cast<double>(s.chars) / wanted);
  return Explained(s.stray, s.controls) *
         std::pow(Explained(s.stray + s.odd, s.chars), kCleanWeight) * text;
}

void RankLeftovers(const Tally& t, const std::vector<unsigned char>& bytes, SetScore& s) {
  for (const auto& [seq, count] : t.leftovers) s.leftovers.push_back({seq, count, -1});
  std::stable_sort(s.leftovers.begin(), s.leftovers.end(),
                   [](const Leftover& a, const Leftover& b) { return a.count > b.count; });
  if (s.leftovers.size() > kMaxLeftovers) s.leftovers.resize(kMaxLeftovers);
  for (Leftover& l : s.leftovers) {
    auto at = std::search(bytes.begin(), bytes.end(), l.bytes.begin(), l.bytes.end());
    if (at != bytes.end()) l.offset = at - bytes.begin();
  }
}

bool Feed(RCPosHark& listener, const std::vector<unsigned char>& bytes, std::string& error) {
  std::vector<unsigned char> block(kScoreBlock);
  for (size_t at = 0; at < bytes.size(); at += kScoreBlock) {
    const size_t n = std::min(kScoreBlock, bytes.size() - at);
    std::memcpy(block.data(), bytes.data() + at, n);
    listener.GotData(static_cast<int>(n), block.data());
  }
  if (listener.EndOfInput(kScoreDrainMs)) return true;
  error = "the listener did not read the capture within " + std::to_string(kScoreDrainMs) + " ms";
  return false;
}

}  // namespace

bool IsCommandLead(unsigned char byte) {
  return std::find(std::begin(kLeads), std::end(kLeads), byte) != std::end(kLeads);
}

bool IsControlByte(unsigned char byte) {
  return (byte < 0x20 && byte != '\n' && byte != '\r') || byte == 0x7F;
}

bool ScoreSet(int nIndex, const std::vector<unsigned char>& bytes, const std::string& codepage,
              SetScore& out, std::string& error) {
  out = SetScore{};
  out.index = nIndex;
  RCPosHark listener(0);
  char name[260] = {};
  bool graph = false;
  if (!listener.GetCmdSetName(nIndex, name, graph) || !listener.SelectCmdSet(nIndex)) {
    error = "command set " + std::to_string(nIndex) + " cannot be read";
    return false;
  }
  out.name = name;
  out.utf8 = listener.EnableCodeTables(true, codepage.c_str());
  listener.SetGateOpenTime(0);
  CountCapture(bytes, out);
  Tally tally;
  tally.score = &out;
  std::lock_guard lock(g_score_mutex);
  g_tally = &tally;
  listener.ListenStart(OnScoreLine, true);
  const bool fed = Feed(listener, bytes, error);
  listener.ListenStop();
  g_tally = nullptr;
  if (!fed) return false;
  out.unknown_tables = listener.GetUnknownTableCount(-1);
  out.swallowed_leads = listener.GetSwallowedLeadCount();
  out.score = Weigh(out);
  RankLeftovers(tally, bytes, out);
  return true;
}

}  // namespace poshark::tool
