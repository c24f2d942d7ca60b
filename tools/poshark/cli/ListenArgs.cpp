#include "cli/ListenArgs.h"

#include <getopt.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "base/Usage.h"

namespace poshark::tool {

namespace {

enum {
  kPos = 256,
  kSet,
  kCommands,
  kCom,
  kBaud,
  kDataBits,
  kStopBits,
  kParity,
  kTcp,
  kFeed,
  kTrace,
  kPace,
  kKeys,
  kJson,
  kGate,
  kCodepage,
  kHome,
  kNoMask,
  kOrder,
  kQuiet
};

const option kOptions[] = {{"pos", required_argument, nullptr, kPos},
                           {"set", required_argument, nullptr, kSet},
                           {"commands", required_argument, nullptr, kCommands},
                           {"com", required_argument, nullptr, kCom},
                           {"baud", required_argument, nullptr, kBaud},
                           {"data-bits", required_argument, nullptr, kDataBits},
                           {"stop-bits", required_argument, nullptr, kStopBits},
                           {"parity", required_argument, nullptr, kParity},
                           {"tcp", required_argument, nullptr, kTcp},
                           {"feed", required_argument, nullptr, kFeed},
                           {"trace", no_argument, nullptr, kTrace},
                           {"pace", required_argument, nullptr, kPace},
                           {"keys", no_argument, nullptr, kKeys},
                           {"json", no_argument, nullptr, kJson},
                           {"gate-ms", required_argument, nullptr, kGate},
                           {"codepage", required_argument, nullptr, kCodepage},
                           {"home", required_argument, nullptr, kHome},
                           {"no-mask", no_argument, nullptr, kNoMask},
                           {"order", required_argument, nullptr, kOrder},
                           {"quiet", no_argument, nullptr, kQuiet},
                           {"help", no_argument, nullptr, 'h'},
                           {nullptr, 0, nullptr, 0}};

void SetKind(SourceSetting& s, SourceKind kind, const char* option) {
  if (s.kind != SourceKind::kNone && s.kind != kind) {
    Usage(std::string(option) + ": only one of --com, --tcp and --feed may be given");
  }
  s.kind = kind;
}

// The options of the serial port; answers false for any other option.
bool SerialOption(int c, SourceSetting& s) {
  std::string v = optarg != nullptr ? optarg : "";
  switch (c) {
    case kBaud:
      s.baud = static_cast<int>(ParseNumber("--baud", optarg, 50, 4000000));
      return true;
    case kDataBits:
      s.data_bits = static_cast<int>(ParseNumber("--data-bits", optarg, 5, 8));
      return true;
    case kStopBits:
      if (v == "1")
        s.stop_bits_code = 0;
      else if (v == "1.5")
        s.stop_bits_code = 1;
      else if (v == "2")
        s.stop_bits_code = 2;
      else
        Usage("--stop-bits " + v + ": expected 1, 1.5 or 2");
      return true;
    case kParity: {
      static const char* const kNames[] = {"none", "odd", "even", "mark", "space"};
      auto it = std::find(std::begin(kNames), std::end(kNames), v);
      if (it == std::end(kNames))
        Usage("--parity " + v + ": expected none, odd, even, mark or space");
      s.parity_code = static_cast<int>(it - std::begin(kNames));
      return true;
    }
    default:
      return false;
  }
}

// The options of a feed; answers false for any other option.
bool FeedOption(int c, SourceSetting& s) {
  if (c == kTrace) {
    s.force_trace = true;
  } else if (c == kPace) {
    s.pace_baud = std::strcmp(optarg, "none") == 0
                      ? 0
                      : static_cast<uint32_t>(ParseNumber("--pace", optarg, 50, 100000000));
  } else {
    return false;
  }
  return true;
}

// The options that choose the source; answers false for any other option.
bool SourceOption(int c, SourceSetting& s) {
  std::string expected;
  switch (c) {
    case kCom:
      SetKind(s, SourceKind::kSerial, "--com");
      s.com_port = static_cast<int>(ParseNumber("--com", optarg, 1, 255));
      return true;
    case kTcp:
      SetKind(s, SourceKind::kTcp, "--tcp");
      if (!ParseHostPort(optarg, false, s.host, s.port, expected)) {
        Usage(std::string("--tcp ") + optarg + ": expected " + expected);
      }
      return true;
    case kFeed:
      SetKind(s, SourceKind::kFeed, "--feed");
      if (*optarg == '\0') Usage("--feed: empty file name");
      s.feed_path = optarg;
      return true;
    default:
      return false;
  }
}

void ChannelOption(int c, ListenCommand& cmd, const std::string& opt) {
  ChannelSettings& ch = cmd.options.channel;
  switch (c) {
    case kPos:
      ch.pos = static_cast<int>(ParseNumber("--pos", optarg, 0, 9999));
      break;
    case kSet:
      if (*optarg == '\0') Usage("--set: empty name");
      ch.set = optarg;
      break;
    case kCommands:
      cmd.commands = optarg;
      break;
    case kKeys:
      ch.keys = true;
      break;
    case kJson:
      cmd.options.json = true;
      break;
    case kNoMask:
      ch.mask = false;
      break;
    case kOrder:
      if (std::strcmp(optarg, "display") != 0 && std::strcmp(optarg, "logical") != 0) {
        Usage(std::string("--order ") + optarg + ": expected display or logical");
      }
      ch.order = std::strcmp(optarg, "logical") == 0 ? TextOrder::kLogical : TextOrder::kDisplay;
      break;
    case kGate:
      ch.gate_ms = ParseNumber("--gate-ms", optarg, 0, 86400000);
      break;
    case kCodepage:
      cmd.codepage = optarg;
      break;
    case kHome:
      cmd.home = optarg;
      break;
    case kQuiet:
      cmd.options.quiet = true;
      break;
    case ':':
      Usage("listen: option " + opt + " needs an argument");
    default:
      Usage("listen: unknown option " + opt);
  }
}

}  // namespace

ListenCommand ParseListenArgs(int argc, char** argv) {
  ListenCommand cmd;
  SourceSetting& s = cmd.options.channel.source;
  bool serial_option = false;
  bool feed_option = false;
  optind = 1;
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, "+:h", kOptions, nullptr)) != -1) {
    std::string opt = optind >= 1 && optind <= argc ? argv[optind - 1] : "";
    if (c == 'h') {
      cmd.help = true;
      return cmd;
    }
    if (SourceOption(c, s)) continue;
    if (SerialOption(c, s)) {
      serial_option = true;
    } else if (FeedOption(c, s)) {
      feed_option = true;
    } else {
      ChannelOption(c, cmd, opt);
    }
  }
  if (optind < argc) Usage(std::string("listen: unexpected argument ") + argv[optind]);
  if (cmd.options.channel.pos < 0) Usage("listen: --pos N is required");
  if (cmd.options.channel.set.empty()) Usage("listen: --set NAME|NUMBER is required");
  if (s.kind == SourceKind::kNone) {
    Usage("listen: a source is required: --com N, --tcp [HOST:]PORT or --feed FILE");
  }
  if (cmd.options.channel.set == kAutoSet && s.kind == SourceKind::kSerial) {
    Usage("listen: --set auto needs --tcp or --feed (the listener reads a serial port itself)");
  }
  if (serial_option && s.kind != SourceKind::kSerial) {
    Usage("listen: --baud, --data-bits, --stop-bits and --parity go with --com");
  }
  if (feed_option && s.kind != SourceKind::kFeed)
    Usage("listen: --trace and --pace go with --feed");
  return cmd;
}

}  // namespace poshark::tool
