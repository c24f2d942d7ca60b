// `poshark listen`: one listener, one source, lines on stdout.
#pragma once

#include <cstdint>
#include <string>

namespace poshark::tool {

enum class Source { kNone, kCom, kTcp, kFeed };

// Defaults live here and are printed by --help.
struct ListenOptions {
  int pos = -1;                 // --pos, required
  std::string set;              // --set NAME|NUMBER, required
  Source source = Source::kNone;
  // --com
  int com_port = 0;
  int baud = 9600;
  int data_bits = 8;
  int stop_bits_code = 0;       // 0 one, 1 one and a half, 2 two
  int parity_code = 0;          // 0 none, 1 odd, 2 even, 3 mark, 4 space
  // --tcp
  std::string tcp_host = "0.0.0.0";
  int tcp_port = 9100;
  // --feed
  std::string feed_path;
  bool force_trace = false;     // --trace
  uint32_t pace_baud = 115200;  // --pace; 0 means none
  // output
  bool keys = false;            // --keys
  bool json = false;            // --json
  int64_t gate_ms = -1;         // --gate-ms; -1 keeps the listener's 1000 ms
  std::string codepage;         // resolved code page for display
};

// Exit status: 0 success, 1 runtime failure. Errors go to stderr, each
// naming the file, key, port or argument concerned.
int RunListen(const ListenOptions& options);

}  // namespace poshark::tool
