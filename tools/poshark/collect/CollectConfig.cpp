#include "collect/CollectConfig.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "base/IniFile.h"
#include "base/Usage.h"

namespace poshark::tool {

namespace {

bool Same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// Where an entry stood, for messages: "FILE, line N, [SECTION] KEY".
struct Where {
  const std::string& path;
  const IniSection& section;

  [[noreturn]] void Fail(const IniEntry& e, const std::string& expected) const {
    Usage(path + ", line " + std::to_string(e.line) + ", [" + section.name + "] " + e.key +
          ": expected " + expected);
  }
  [[noreturn]] void FailSection(const std::string& key, const std::string& expected) const {
    Usage(path + ", line " + std::to_string(section.line) + ", [" + section.name + "]" +
          (key.empty() ? "" : " " + key) + ": expected " + expected);
  }
  const IniEntry* Find(const std::string& key) const {
    for (const auto& e : section.entries)
      if (Same(e.key, key.c_str())) return &e;
    return nullptr;
  }
  void CheckOnce() const {
    std::map<std::string, int> seen;
    for (const auto& e : section.entries) {
      std::string key = e.key;
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (auto [it, fresh] = seen.emplace(key, e.line); !fresh)
        Fail(e, "once in the section (also on line " + std::to_string(it->second) + ")");
    }
  }
};

void ReadService(const Where& at, CollectConfig& config) {
  const IniEntry* http = nullptr;
  for (const auto& e : at.section.entries) {
    if (Same(e.key, "log")) {
      if (!ParseLogLevel(e.value, config.log)) at.Fail(e, "error, warning, info or debug");
    } else if (Same(e.key, "http")) {
      if (!ParseHttpAddress(e.value, config.http)) at.Fail(e, "off, on, HOST:PORT or :PORT");
      http = &e;
    } else if (Same(e.key, "token")) {
      const auto& t = e.value;
      const bool good =
          t.size() >= kMinTokenLength && t.size() <= kMaxTokenLength &&
          std::all_of(t.begin(), t.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr("-._~", c);
          });
      if (!good) at.Fail(e, "16 to 256 letters, digits or - . _ ~");
      config.http.token = t;
    } else {
      at.Fail(e, "one of the keys log, http, token");
    }
  }
  // Anyone who can reach the address could read every receipt.
  if (http != nullptr && config.http.port >= 0 && config.http.token.empty() &&
      !IsLoopbackHost(config.http.host))
    at.Fail(*http, "a loopback address (127.0.0.1, ::1, localhost) unless token is set");
}

// A subscription filter: levels of printable bytes, + alone in a level, #
// alone in the last; never $share itself (that is what group is for).
bool ValidFilter(const std::string& t) {
  if (t.empty() || t.size() > kMaxTopicBytes || t[0] == '$') return false;
  size_t from = 0;
  while (from <= t.size()) {
    const size_t end = std::min(t.find('/', from), t.size());
    const std::string level = t.substr(from, end - from);
    if (level.find_first_of("+#") != std::string::npos && level.size() != 1) return false;
    if (level == "#" && end != t.size()) return false;
    from = end + 1;
  }
  return std::all_of(t.begin(), t.end(),
                     [](char c) { return static_cast<unsigned char>(c) > ' '; });
}

void ReadBroker(const Where& at, BrokerSettings& b) {
  std::string expected, key;
  for (const auto& e : at.section.entries) {
    if (Same(e.key, "topic")) {
      if (!ValidFilter(e.value))
        at.Fail(e, "a subscription filter such as poshark/# (+ and # as whole levels)");
      b.topic = e.value;
    } else if (Same(e.key, "group")) {
      const bool good = !e.value.empty() && e.value.size() <= kMaxGroupBytes &&
                        std::all_of(e.value.begin(), e.value.end(), [](char c) {
                          return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
                                 std::strchr("-._", c) != nullptr;
                        });
      if (!good) at.Fail(e, "1 to 64 letters, digits or - . _");
      b.group = e.value;
    } else if (Same(e.key, "send") || Same(e.key, "qos")) {
      at.Fail(e,
              "one of the keys url, topic, group, client_id, username, password_file, ca, "
              "cert, key, keepalive");
    } else if (!ReadForwardKey(e.key, e.value, b.link, expected)) {
      if (expected.rfind("one of the keys", 0) == 0)
        expected =
            "one of the keys url, topic, group, client_id, username, password_file, ca, "
            "cert, key, keepalive";
      at.Fail(e, expected);
    }
  }
  if (!CheckForward(b.link, key, expected)) {
    if (const IniEntry* e = at.Find(key)) at.Fail(*e, expected);
    at.FailSection(key, expected);
  }
  if (b.link.client_id.empty()) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    b.link.client_id = std::string("poshark-collect-") + host;
    if (b.link.client_id.size() > kMaxClientIdBytes) b.link.client_id.resize(kMaxClientIdBytes);
  }
}

void ReadDatabase(const Where& at, DatabaseSettings& d) {
  std::string expected;
  for (const auto& e : at.section.entries) {
    if (Same(e.key, "url")) {
      const bool control = std::any_of(e.value.begin(), e.value.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < ' '; });
      if (e.value.empty() || e.value.size() > kMaxDatabaseUrlBytes || control)
        at.Fail(e,
                "postgresql://[USER@]HOST[:PORT]/DATABASE or libpq keywords (host=... dbname=...)");
      d.url = e.value;
    } else if (Same(e.key, "password_file")) {
      ForwardSettings scratch;  // the same rules as a broker's password file
      if (!ReadForwardKey(e.key, e.value, scratch, expected)) at.Fail(e, expected);
      d.password_file = e.value;
      d.password = scratch.password;
    } else if (Same(e.key, "keep")) {
      if (!ParseKeep(e.value, d.keep) || d.keep.bytes != 0)
        at.Fail(e, "an age (such as 400d) or all; the database is kept by age only");
    } else {
      at.Fail(e, "one of the keys url, password_file, keep");
    }
  }
  if (d.url.empty()) at.FailSection("url", "a url = postgresql://... in the section");
}

}  // namespace

CollectConfig LoadCollectConfig(const std::string& path) {
  std::vector<IniSection> sections;
  std::string error;
  if (!ReadIniFile(path, sections, error)) Usage(error);
  CollectConfig config;
  ParseKeep(kDefaultCentralKeep, config.database.keep);
  std::map<std::string, int> seen;
  for (const auto& section : sections) {
    Where at{path, section};
    at.CheckOnce();
    std::string name = section.name;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name != "service" && name != "broker" && name != "database")
      at.FailSection("", "[service], [broker] or [database]");
    if (auto [it, fresh] = seen.emplace(name, section.line); !fresh)
      at.FailSection(
          "", "one [" + name + "] section only (also on line " + std::to_string(it->second) + ")");
    if (name == "service") ReadService(at, config);
    if (name == "broker") ReadBroker(at, config.broker);
    if (name == "database") ReadDatabase(at, config.database);
  }
  if (!seen.count("broker")) Usage(path + ": expected a [broker] section with url");
  if (!seen.count("database")) Usage(path + ": expected a [database] section with url");
  return config;
}

}  // namespace poshark::tool
