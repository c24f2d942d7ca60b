// The configuration of `poshark serve`: a [service] section and one
// [channel NAME] section per channel.
#pragma once

#include <string>
#include <vector>

#include "ChannelSettings.h"
#include "Cli.h"
#include "JournalKeep.h"

namespace poshark::tool {

inline constexpr char kDefaultConfigPath[] = "/etc/poshark/poshark.ini";
inline constexpr char kDefaultCodepage[] = "windows-1252";
inline constexpr char kDefaultSet[] = "ESC/POS";
inline constexpr char kDefaultSource[] = "tcp:9100";
// The journal's file, under the home folder unless the path is absolute.
inline constexpr char kDefaultJournal[] = "journal.sqlite";
// Channels in one service: each needs its own callback slot.
inline constexpr int kMaxChannels = 64;

struct ServiceSettings {
  std::string home;          // "" until loaded: poshark::HomeFolder()
  std::string output = "-";  // "-" standard output, else a file
  LogLevel log = LogLevel::kInfo;
  std::string journal = kDefaultJournal;  // "" when off; absolute once loaded
  Keep keep;                              // kDefaultKeep unless set
  bool operator==(const ServiceSettings&) const = default;
};

struct ServeConfig {
  ServiceSettings service;
  std::vector<ChannelSettings> channels;
};

// Reads and checks the whole file. Throws UsageError whose message names the
// file, the section, the key and what was expected; nothing is half-loaded.
ServeConfig LoadServeConfig(const std::string& path);

}  // namespace poshark::tool
