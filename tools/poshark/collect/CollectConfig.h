// The configuration of `poshark collect` (docs/CENTRAL.md): a [service]
// section (log level, the page's address and token), a [broker] section
// (the MQTT broker the stores forward to) and a [database] section (the
// PostgreSQL database every receipt is written to).
#pragma once

#include <string>

#include "base/Log.h"
#include "settings/ForwardSettings.h"
#include "settings/JournalKeep.h"
#include "settings/ServeConfig.h"

namespace poshark::tool {

inline constexpr char kDefaultCollectConfigPath[] = "/etc/poshark/collect.ini";
// Every store's messages under the forwards' default template.
inline constexpr char kDefaultCollectTopic[] = "poshark/#";
// The longest shared-subscription group name.
inline constexpr size_t kMaxGroupBytes = 64;
// The longest database url or keyword string.
inline constexpr size_t kMaxDatabaseUrlBytes = 1024;
// The database keeps receipts this long unless [database] keep says
// otherwise (whole months are dropped once all of a month is older).
inline constexpr char kDefaultCentralKeep[] = "all";

struct BrokerSettings {
  // url, client_id, user name, password and TLS files, as in [forward NAME].
  ForwardSettings link;
  std::string topic = kDefaultCollectTopic;  // a subscription filter
  std::string group;                         // "" for a subscription of its own
  // The filter subscribed to: $share/GROUP/TOPIC with a group.
  std::string Subscription() const {
    return group.empty() ? topic : "$share/" + group + "/" + topic;
  }
};

struct DatabaseSettings {
  std::string url;  // postgresql://... or libpq keywords
  std::string password_file;
  std::string password;  // read from password_file at load; never logged
  Keep keep;             // age only: retention drops whole month partitions
};

struct CollectConfig {
  LogLevel log = LogLevel::kInfo;
  HttpSettings http;
  BrokerSettings broker;
  DatabaseSettings database;
};

// Reads and checks the whole file. Throws UsageError whose message names the
// file, the line, the section, the key and what was expected.
CollectConfig LoadCollectConfig(const std::string& path);

}  // namespace poshark::tool
