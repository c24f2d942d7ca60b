// The configuration of `poshark serve`: a [service] section, one
// [channel NAME] section per channel and one [forward NAME] section per
// MQTT broker the journal is forwarded to.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/Log.h"
#include "base/Usage.h"
#include "settings/ChannelSettings.h"
#include "settings/ForwardSettings.h"
#include "settings/JournalKeep.h"

namespace poshark::tool {

inline constexpr char kDefaultConfigPath[] = "/etc/poshark/poshark.ini";
inline constexpr char kDefaultCodepage[] = "windows-1252";
inline constexpr char kDefaultSet[] = "ESC/POS";
inline constexpr char kDefaultSource[] = "tcp:9100";
// The journal's file, under the home folder unless the path is absolute.
inline constexpr char kDefaultJournal[] = "journal.sqlite";
// Channels in one service: each needs its own callback slot.
inline constexpr int kMaxChannels = 64;
// The live page's address when `http` is switched on without one.
inline constexpr char kDefaultHttpHost[] = "127.0.0.1";
inline constexpr int kDefaultHttpPort = 8080;
// A token is 16 to 256 letters, digits or - . _ ~ (safe in a URL as it is).
inline constexpr size_t kMinTokenLength = 16;
inline constexpr size_t kMaxTokenLength = 256;

// The live page: off while port is negative; port 0 takes any free port.
struct HttpSettings {
  std::string host;
  int port = -1;
  std::string token;  // "" when none
  bool operator==(const HttpSettings&) const = default;
};

struct ServiceSettings {
  std::string home;          // "" until loaded: poshark::HomeFolder()
  std::string output = "-";  // "-" standard output, else a file
  LogLevel log = LogLevel::kInfo;
  std::string journal = kDefaultJournal;  // "" when off; absolute once loaded
  Keep keep;                              // kDefaultKeep unless set
  HttpSettings http;
  std::string store;  // "" until loaded: the host name
  bool operator==(const ServiceSettings&) const = default;
};

struct ServeConfig {
  ServiceSettings service;
  std::vector<ChannelSettings> channels;
  std::vector<ForwardSettings> forwards;
};

// Whether a command set (by name or number) is there; see LoadServeConfig.
using SetExists = std::function<bool(const std::string& set)>;

// Reads and checks the whole file. Throws UsageError whose message names the
// file, the section, the key and what was expected; nothing is half-loaded.
// With set_exists, a channel's set must be there too (at start-up; a set
// that goes missing later is the channel's run-time failure, retried).
ServeConfig LoadServeConfig(const std::string& path, const SetExists& set_exists = {});

// An `http` value: empty or a switch word for off (no page), one for on
// (the default address),
// HOST:PORT, :PORT or [IPv6]:PORT. False for anything else.
bool ParseHttpAddress(const std::string& value, HttpSettings& http);
// 127.0.0.0/8, ::1 and localhost.
bool IsLoopbackHost(const std::string& host);

}  // namespace poshark::tool
