#include "settings/ServeConfig.h"

#include <poshark/Home.h>

#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "base/IniFile.h"
#include "base/Text.h"

namespace poshark::tool {

namespace {

bool Same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The most of a bad value a message repeats.
constexpr size_t kShownValueBytes = 80;

// Where an entry stood, for messages: "FILE, line N, [SECTION] KEY".
struct Place {
  const std::string& path;
  const IniSection& section;

  [[noreturn]] void Fail(const IniEntry& e, const std::string& expected) const {
    Usage(path + ", line " + std::to_string(e.line) + ", [" + section.name + "] " + e.key + " = " +
          Shown(e.value) + ": expected " + expected);
  }

  // A value as a message shows it: a long one cut, with its length.
  static std::string Shown(const std::string& value) {
    if (value.size() <= kShownValueBytes) return value;
    return value.substr(0, kShownValueBytes) + "... (" + std::to_string(value.size()) + " bytes)";
  }

  // Each key once in a section: a second one would silently win.
  void CheckOnce() const {
    std::map<std::string, int> seen;
    for (const auto& e : section.entries) {
      std::string key = e.key;
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (auto [it, fresh] = seen.emplace(key, e.line); !fresh) {
        Usage(path + ", line " + std::to_string(e.line) + ", [" + section.name + "] " + e.key +
              ": expected once in the section (also on line " + std::to_string(it->second) + ")");
      }
    }
  }
};

bool ValidToken(const std::string& t) {
  if (t.size() < kMinTokenLength || t.size() > kMaxTokenLength) return false;
  return std::all_of(t.begin(), t.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr("-._~", c) != nullptr;
  });
}

void ReadService(const Place& at, ServiceSettings& s) {
  const IniEntry* http = nullptr;
  for (const auto& e : at.section.entries) {
    if (Same(e.key, "home")) {
      if (e.value.empty()) at.Fail(e, "a folder");
      s.home = e.value;
    } else if (Same(e.key, "output")) {
      if (e.value.empty()) at.Fail(e, "- for standard output, or a file");
      s.output = e.value;
    } else if (Same(e.key, "log")) {
      if (!ParseLogLevel(e.value, s.log)) at.Fail(e, "error, warning, info or debug");
    } else if (Same(e.key, "journal")) {
      bool on = true;
      const bool word = ParseSwitchWord(e.value, on);
      s.journal = e.value.empty() || (word && !on) ? "" : word ? kDefaultJournal : e.value;
    } else if (Same(e.key, "keep")) {
      if (!ParseKeep(e.value, s.keep)) at.Fail(e, kKeepExpected);
    } else if (Same(e.key, "http")) {
      if (!ParseHttpAddress(e.value, s.http)) at.Fail(e, "off, on, HOST:PORT or :PORT");
      http = &e;
    } else if (Same(e.key, "store")) {
      if (!ValidStore(e.value)) at.Fail(e, "1 to 64 letters, digits or - . _");
      s.store = e.value;
    } else if (Same(e.key, "token")) {
      if (!ValidToken(e.value)) at.Fail(e, "16 to 256 letters, digits or - . _ ~");
      s.http.token = e.value;
    } else {
      at.Fail(e, "one of the keys home, output, log, journal, keep, http, token, store");
    }
  }
  // Anyone who can reach the address could read every receipt.
  if (http != nullptr && s.http.port >= 0 && s.http.token.empty() && !IsLoopbackHost(s.http.host))
    at.Fail(*http, "a loopback address (127.0.0.1, ::1, localhost) unless token is set");
}

// N seconds, Ns or Nm, from 1 s to kMaxIdleMs.
bool ParseIdle(const std::string& v, int64_t& ms) {
  if (v.empty()) return false;
  int64_t unit = 1000;
  std::string digits = v;
  if (v.back() == 's' || v.back() == 'm') {
    unit = v.back() == 'm' ? 60 * 1000 : 1000;
    digits.pop_back();
  }
  long n = 0;
  if (!ParseNumberIn(digits, 1, kMaxIdleMs / unit, n)) return false;
  ms = n * unit;
  return true;
}

void ReadChannelKey(const Place& at, const IniEntry& e, ChannelSettings& c) {
  std::string expected;
  long n = 0;
  if (Same(e.key, "pos")) {
    if (!ParseNumberIn(e.value, 0, 9999, n)) at.Fail(e, "a POS number from 0 to 9999");
    c.pos = static_cast<int>(n);
  } else if (Same(e.key, "set")) {
    if (e.value.empty()) at.Fail(e, "a command set name or number");
    c.set = e.value;
  } else if (Same(e.key, "source")) {
    if (!ParseSource(e.value, c.source, expected)) at.Fail(e, expected);
  } else if (Same(e.key, "codepage")) {
    try {
      Decoder check(e.value);
    } catch (const std::exception&) {
      at.Fail(e, "a code page that ICU knows, such as windows-1252");
    }
    c.codepage = e.value;
  } else if (Same(e.key, "keys") || Same(e.key, "mask")) {
    if (!ParseSwitchWord(e.value, Same(e.key, "keys") ? c.keys : c.mask)) at.Fail(e, kSwitchWords);
  } else if (Same(e.key, "order")) {
    if (e.value != "display" && e.value != "logical") at.Fail(e, "display or logical");
    c.order = e.value == "logical" ? TextOrder::kLogical : TextOrder::kDisplay;
  } else if (Same(e.key, "allow")) {
    if (!ParseAllowList(e.value, c.allow, expected)) at.Fail(e, expected);
  } else if (Same(e.key, "idle")) {
    if (!ParseIdle(e.value, c.idle_ms)) at.Fail(e, "a time from 1s to 60m, such as 30s or 2m");
  } else {
    at.Fail(e, "one of the keys pos, set, source, codepage, keys, mask, order, allow, idle");
  }
}

std::string DefaultCodepage() {
  const char* env = std::getenv("POSHARK_CODEPAGE");
  return env != nullptr && *env != '\0' ? env : kDefaultCodepage;
}

// Channel sections may not share a name, a POS number or a port.
void CheckDistinct(const std::string& path, const std::vector<ChannelSettings>& channels,
                   const std::vector<int>& lines) {
  std::map<std::string, size_t> names, ports;
  std::map<int, size_t> pos;
  for (size_t i = 0; i < channels.size(); ++i) {
    const ChannelSettings& c = channels[i];
    std::string where = path + ", line " + std::to_string(lines[i]) + ", [channel " + c.name + "]";
    auto clash = [&](const char* key, size_t other, const char* what) {
      Usage(where + " " + key + ": expected " + what + " of its own (channel " +
            channels[other].name + " has it too)");
    };
    if (!names.emplace(c.name, i).second) clash("name", names[c.name], "a name");
    if (!pos.emplace(c.pos, i).second) clash("pos", pos[c.pos], "a POS number");
    std::string port;
    if (c.source.kind == SourceKind::kSerial) port = "COM" + std::to_string(c.source.com_port);
    if ((c.source.kind == SourceKind::kTcp || c.source.kind == SourceKind::kTap) && c.source.port)
      port = "TCP " + std::to_string(c.source.port);
    if (!port.empty() && !ports.emplace(port, i).second) clash("source", ports[port], "a port");
  }
}

bool Listens(const ChannelSettings& c) {
  return (c.source.kind == SourceKind::kTcp || c.source.kind == SourceKind::kTap) && c.source.port;
}

// A printer address that reaches a socket this service listens on.
bool ReachesListener(const std::string& host, int port, const SourceSetting& listener) {
  if (port != listener.port) return false;
  const std::string& on = listener.host;
  const bool any = on.empty() || on == "0.0.0.0" || on == "::";
  return host == on || (IsLoopbackHost(host) && (any || IsLoopbackHost(on)));
}

// No channel listens on the page's port, and no tap's printer is a socket
// of this service: the tap would relay to itself, over and over.
void CheckAddresses(const std::string& path, const ServeConfig& config,
                    const std::vector<int>& lines) {
  const auto& channels = config.channels;
  for (size_t i = 0; i < channels.size(); ++i) {
    const ChannelSettings& c = channels[i];
    std::string where = path + ", line " + std::to_string(lines[i]) + ", [channel " + c.name +
                        "] source: expected ";
    if (Listens(c) && c.source.port == config.service.http.port) {
      Usage(where + "a port other than the page's ([service] http)");
    }
    if (c.source.kind != SourceKind::kTap) continue;
    for (const ChannelSettings& other : channels) {
      if (Listens(other) &&
          ReachesListener(c.source.printer_host, c.source.printer_port, other.source)) {
        Usage(where + "a printer that is not a socket of this service (channel " + other.name +
              " listens there)");
      }
    }
  }
}

// A [forward NAME] section, checked whole.
ForwardSettings ReadForward(const Place& at, const std::string& name) {
  ForwardSettings f;
  f.name = name;
  std::string expected, key;
  for (const auto& e : at.section.entries) {
    if (!ReadForwardKey(e.key, e.value, f, expected)) at.Fail(e, expected);
  }
  if (!CheckForward(f, key, expected)) {
    auto it = std::find_if(at.section.entries.begin(), at.section.entries.end(),
                           [&](const IniEntry& e) { return Same(e.key, key.c_str()); });
    if (it != at.section.entries.end()) at.Fail(*it, expected);
    Usage(at.path + ", line " + std::to_string(at.section.line) + ", [" + at.section.name + "] " +
          key + ": expected " + expected);
  }
  return f;
}

// The host name as the store's id unless [service] store names one.
void SettleStore(const std::string& path, ServeConfig& config) {
  std::string& store = config.service.store;
  if (store.empty()) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    store = host;
    if (!ValidStore(store) && !config.forwards.empty()) {
      Usage(path + ", [service] store: expected a store id (the host name \"" + store +
            "\" is not one: 1 to 64 letters, digits or - . _)");
    }
  }
  for (auto& f : config.forwards) {
    if (f.client_id.empty()) f.client_id = "poshark-" + store + "-" + f.name;
    if (f.client_id.size() > kMaxClientIdBytes) f.client_id.resize(kMaxClientIdBytes);
  }
}

// Forwards send what the journal holds: none without it, each its own name.
void CheckForwards(const std::string& path, const ServeConfig& config,
                   const std::vector<int>& lines) {
  std::set<std::string> names;
  for (size_t i = 0; i < config.forwards.size(); ++i) {
    std::string where =
        path + ", line " + std::to_string(lines[i]) + ", [forward " + config.forwards[i].name + "]";
    if (config.service.journal.empty())
      Usage(where + ": expected [service] journal on (the journal is what a forward sends)");
    if (!names.insert(config.forwards[i].name).second)
      Usage(where + " name: expected a name of its own");
  }
}

// The channel's set, when the caller can tell, must be one of the sets.
void CheckSet(const Place& at, const ChannelSettings& c, const SetExists& set_exists) {
  if (!set_exists || set_exists(c.set)) return;
  constexpr char kExpected[] = "a command set that `poshark sets` lists";
  for (auto it = at.section.entries.rbegin(); it != at.section.entries.rend(); ++it) {
    if (Same(it->key, "set")) at.Fail(*it, kExpected);
  }
  Usage(at.path + ", line " + std::to_string(at.section.line) + ", [" + at.section.name +
        "] set (default " + c.set + "): expected " + kExpected);
}

}  // namespace

bool ParseHttpAddress(const std::string& value, HttpSettings& http) {
  bool on = false;
  if (value.empty() || (ParseSwitchWord(value, on) && !on)) {
    http.port = -1;
    return true;
  }
  if (on) {
    http.host = kDefaultHttpHost;
    http.port = kDefaultHttpPort;
    return true;
  }
  size_t colon = value.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = value.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  long port = 0;
  if (!ParseNumberIn(value.substr(colon + 1), 0, 65535, port)) return false;
  http.host = host.empty() ? kDefaultHttpHost : host;
  http.port = static_cast<int>(port);
  return true;
}

bool IsLoopbackHost(const std::string& host) {
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return Same(host, "localhost");
}

ServeConfig LoadServeConfig(const std::string& path, const SetExists& set_exists) {
  std::vector<IniSection> sections;
  std::string error;
  if (!ReadIniFile(path, sections, error)) Usage(error);
  ServeConfig config;
  ParseKeep(kDefaultKeep, config.service.keep);
  std::vector<int> lines, forward_lines;
  bool service_seen = false;
  for (const auto& section : sections) {
    Place at{path, section};
    at.CheckOnce();
    std::string where =
        path + ", line " + std::to_string(section.line) + ", [" + section.name + "]";
    if (Same(section.name, "service")) {
      if (service_seen) Usage(where + ": expected one [service] section only");
      service_seen = true;
      ReadService(at, config.service);
      continue;
    }
    if (section.name.size() > 8 && strncasecmp(section.name.c_str(), "forward ", 8) == 0) {
      config.forwards.push_back(
          ReadForward(at, std::string(Trim(std::string_view(section.name).substr(8)))));
      forward_lines.push_back(section.line);
      if (config.forwards.size() > static_cast<size_t>(kMaxForwards))
        Usage(where + ": expected at most " + std::to_string(kMaxForwards) + " forwards");
      continue;
    }
    if (section.name.size() <= 8 || strncasecmp(section.name.c_str(), "channel ", 8) != 0) {
      Usage(where + ": expected [service], [channel NAME] or [forward NAME]");
    }
    ChannelSettings c;
    c.name = std::string(Trim(std::string_view(section.name).substr(8)));
    c.pos = static_cast<int>(config.channels.size()) + 1;
    c.set = kDefaultSet;
    std::string unused;
    ParseSource(kDefaultSource, c.source, unused);
    c.codepage = DefaultCodepage();
    for (const auto& e : section.entries) ReadChannelKey(at, e, c);
    if (c.set == kAutoSet && c.source.kind == SourceKind::kSerial) {
      Usage(
          where +
          ": set = auto needs a tcp, tap or feed source (the listener reads a serial port itself)");
    }
    CheckSet(at, c, set_exists);
    config.channels.push_back(c);
    lines.push_back(section.line);
    if (config.channels.size() > static_cast<size_t>(kMaxChannels)) {
      Usage(where + ": expected at most " + std::to_string(kMaxChannels) + " channels");
    }
  }
  if (config.channels.empty()) Usage(path + ": expected at least one [channel NAME] section");
  CheckDistinct(path, config.channels, lines);
  CheckAddresses(path, config, lines);
  CheckForwards(path, config, forward_lines);
  SettleStore(path, config);
  if (config.service.home.empty()) {
    config.service.home = poshark::HomeFolder();
  }
  std::string& journal = config.service.journal;
  if (!journal.empty() && journal[0] != '/') journal = config.service.home + "/" + journal;
  return config;
}

}  // namespace poshark::tool
