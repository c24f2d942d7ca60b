#include "cli/Guess.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/Usage.h"
#include "channel/TraceFile.h"
#include "guess/SetGuess.h"

namespace poshark::tool {

namespace {

// The most of a capture that is read: a guess needs a receipt or two, and
// a larger file is guessed on its start.
constexpr size_t kMaxGuessBytes = 64u * 1024 * 1024;
constexpr size_t kReadBlock = 64 * 1024;

// Reads a raw stream or a trace file's records, at most kMaxGuessBytes.
bool ReadCapture(FILE* f, const std::string& name, bool trace, std::vector<unsigned char>& bytes,
                 std::string& error) {
  if (trace) {
    TraceReader reader(f, name);
    std::vector<unsigned char> record;
    while (bytes.size() < kMaxGuessBytes && reader.Next(record, error)) {
      bytes.insert(bytes.end(), record.begin(),
                   record.begin() +
                       static_cast<long>(std::min(record.size(), kMaxGuessBytes - bytes.size())));
    }
    return error.empty();
  }
  std::vector<unsigned char> block(kReadBlock);
  while (bytes.size() < kMaxGuessBytes) {
    size_t n = std::fread(block.data(), 1, std::min(kReadBlock, kMaxGuessBytes - bytes.size()), f);
    bytes.insert(bytes.end(), block.begin(), block.begin() + static_cast<long>(n));
    if (n == 0) break;
  }
  if (!std::ferror(f)) return true;
  error = name + ": " + std::strerror(errno);
  return false;
}

// A leftover sequence as a set's command entries write bytes: control
// names, characters, commas between ("ESC,t", "GS,~").
std::string Spelled(const std::string& seq) {
  static const char* const kControls[] = {
      "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
      "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
      "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US",  "SP"};
  std::string out;
  for (unsigned char b : seq) {
    if (!out.empty()) out += ',';
    if (b <= ' ') {
      out += kControls[b];
    } else if (b < 0x7F && b != ',') {
      out += static_cast<char>(b);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", b);
      out += hex;
    }
  }
  return out;
}

std::string Details(const SetScore& s) {
  char buf[224];
  std::snprintf(
      buf, sizeof buf,
      "controls left %llu/%llu, leads left %llu/%llu, unknown tables %llu, swallowed leads "
      "%llu, misfits %llu",
      static_cast<unsigned long long>(s.stray), static_cast<unsigned long long>(s.controls),
      static_cast<unsigned long long>(s.stray_leads), static_cast<unsigned long long>(s.leads),
      static_cast<unsigned long long>(s.unknown_tables),
      static_cast<unsigned long long>(s.swallowed_leads),
      static_cast<unsigned long long>(s.misfits));
  return buf;
}

void PrintText(const SetGuess& g) {
  for (const SetScore& s : g.ranked) {
    std::printf("%-3d %-24s %.4f  %s\n", s.index, s.name.empty() ? "(unnamed)" : s.name.c_str(),
                s.score, Details(s).c_str());
  }
  const SetScore& best = g.ranked.front();
  if (best.bytes == 0) return;
  if (best.leftovers.empty()) {
    std::printf("\n%s leaves no command-like bytes in the text.\n", best.name.c_str());
    return;
  }
  std::printf("\nCommand-like bytes %s leaves in the text:\n%-12s %8s %10s\n", best.name.c_str(),
              "bytes", "count", "offset");
  for (const Leftover& l : best.leftovers) {
    std::printf("%-12s %8llu %10lld\n", Spelled(l.bytes).c_str(),
                static_cast<unsigned long long>(l.count), static_cast<long long>(l.offset));
  }
}

nlohmann::json ScoreJson(const SetScore& s) {
  return {{"number", s.index},
          {"name", s.name},
          {"score", s.score},
          {"utf8", s.utf8},
          {"controls", s.controls},
          {"controls_left", s.stray},
          {"leads", s.leads},
          {"leads_left", s.stray_leads},
          {"odd", s.odd},
          {"chars", s.chars},
          {"lines", s.lines},
          {"receipts", s.receipts},
          {"unknown_tables", s.unknown_tables},
          {"swallowed_leads", s.swallowed_leads},
          {"misfits", s.misfits}};
}

void PrintJson(const SetGuess& g) {
  nlohmann::json out = {{"found", g.found}, {"bytes", g.ranked.front().bytes}};
  out["set"] = g.found ? nlohmann::json(g.ranked.front().name) : nlohmann::json(nullptr);
  if (!g.found) out["reason"] = g.reason;
  out["alike"] = g.alike;
  out["ranked"] = nlohmann::json::array();
  for (const SetScore& s : g.ranked) out["ranked"].push_back(ScoreJson(s));
  out["leftovers"] = nlohmann::json::array();
  {
    for (const Leftover& l : g.ranked.front().leftovers) {
      out["leftovers"].push_back(
          {{"bytes", Spelled(l.bytes)}, {"count", l.count}, {"offset", l.offset}});
    }
  }
  std::printf("%s\n", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

}  // namespace

GuessCommand ParseGuessArgs(int argc, char** argv) {
  enum { kCommands = 1000, kCodepage, kJson, kTrace };
  static const option kOptions[] = {{"commands", required_argument, nullptr, kCommands},
                                    {"codepage", required_argument, nullptr, kCodepage},
                                    {"json", no_argument, nullptr, kJson},
                                    {"trace", no_argument, nullptr, kTrace},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  GuessCommand cmd;
  optind = 1;
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
    switch (c) {
      case kCommands:
        cmd.commands = optarg;
        break;
      case kCodepage:
        cmd.codepage = optarg;
        break;
      case kJson:
        cmd.json = true;
        break;
      case kTrace:
        cmd.trace = true;
        break;
      case 'h':
        cmd.help = true;
        return cmd;
      case ':':
        Usage(std::string("sets guess: option ") + argv[optind - 1] + " needs an argument");
      default:
        Usage("sets guess: unknown option " + std::string(argv[optind - 1]));
    }
  }
  if (optind >= argc) Usage("sets guess: a capture FILE (or - for standard input) is required");
  if (optind + 1 < argc) Usage(std::string("sets guess: unexpected argument ") + argv[optind + 1]);
  cmd.path = argv[optind];
  if (cmd.path.empty()) Usage("sets guess: empty FILE");
  return cmd;
}

int RunGuess(const GuessCommand& cmd) {
  const bool stdin_input = cmd.path == "-";
  FILE* f = stdin_input ? stdin : std::fopen(cmd.path.c_str(), "rb");
  const std::string name = stdin_input ? "standard input" : cmd.path;
  if (f == nullptr) {
    std::fprintf(stderr, "poshark: %s: %s\n", cmd.path.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  const bool trace = cmd.trace || (!stdin_input && LooksLikeTrace(f));
  std::vector<unsigned char> bytes;
  std::string error;
  const bool read = ReadCapture(f, name, trace, bytes, error);
  if (!stdin_input) std::fclose(f);
  SetGuess guess;
  if (!read || !GuessSet(bytes, cmd.codepage, guess, error)) {
    std::fprintf(stderr, "poshark: %s\n", error.c_str());
    return kExitFailure;
  }
  if (cmd.json) {
    PrintJson(guess);
  } else {
    PrintText(guess);
  }
  if (bytes.size() == kMaxGuessBytes) {
    std::fprintf(stderr, "poshark: %s: guessed on its first %zu bytes\n", name.c_str(),
                 bytes.size());
  }
  if (!guess.found) {
    std::fprintf(stderr, "poshark: %s: no command set found: %s\n", name.c_str(),
                 guess.reason.c_str());
    return kExitFailure;
  }
  if (!guess.alike.empty()) {
    std::string others;
    for (const std::string& a : guess.alike) others += (others.empty() ? "" : ", ") + a;
    std::fprintf(stderr,
                 "poshark: %s: %s score it alike; %s is named as it comes first in the catalogue\n",
                 name.c_str(), others.c_str(), guess.ranked.front().name.c_str());
  }
  return 0;
}

}  // namespace poshark::tool
