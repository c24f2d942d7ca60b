#include "settings/ForwardSettings.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

#include "base/Usage.h"

namespace poshark::tool {

namespace {

bool Same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool SafeName(const std::string& s, size_t most, const char* also) {
  if (s.empty() || s.size() > most) return false;
  return std::all_of(s.begin(), s.end(), [also](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr(also, c) != nullptr;
  });
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; HOST may be [IPv6].
bool ParseUrl(const std::string& v, ForwardSettings& f) {
  std::string rest;
  if (v.rfind("mqtt://", 0) == 0) {
    f.tls = false;
    rest = v.substr(7);
  } else if (v.rfind("mqtts://", 0) == 0) {
    f.tls = true;
    rest = v.substr(8);
  } else {
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  f.port = f.tls ? kMqttsPort : kMqttPort;
  size_t host_end = rest.size();
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string::npos) return false;
    f.host = rest.substr(1, close - 1);
    host_end = close + 1;
    if (host_end < rest.size() && rest[host_end] != ':') return false;
  } else {
    host_end = std::min(rest.find(':'), rest.size());
    f.host = rest.substr(0, host_end);
  }
  if (f.host.empty() || f.host.find_first_of("/@ ") != std::string::npos) return false;
  if (host_end < rest.size()) {
    long port = 0;
    if (!ParseNumberIn(rest.substr(host_end + 1), 1, 65535, port)) return false;
    f.port = static_cast<int>(port);
  }
  return true;
}

// Only {store}, {channel} and {pos}; no wildcards, which no topic may hold.
bool ValidTopic(const std::string& t) {
  if (t.empty() || t.size() > kMaxTopicBytes || t.find_first_of("+#") != std::string::npos)
    return false;
  for (size_t at = t.find('{'); at != std::string::npos; at = t.find('{', at + 1)) {
    if (t.compare(at, 7, "{store}") != 0 && t.compare(at, 9, "{channel}") != 0 &&
        t.compare(at, 5, "{pos}") != 0)
      return false;
  }
  return std::all_of(t.begin(), t.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= ' '; });
}

bool ParseSend(const std::string& v, unsigned& send) {
  send = 0;
  size_t from = 0;
  while (from <= v.size()) {
    size_t comma = std::min(v.find(',', from), v.size());
    std::string word(Trim(std::string_view(v).substr(from, comma - from)));
    if (Same(word, "receipts")) {
      send |= kSendReceipts;
    } else if (Same(word, "lines")) {
      send |= kSendLines;
    } else if (Same(word, "alarms")) {
      send |= kSendAlarms;
    } else {
      return false;
    }
    from = comma + 1;
  }
  return send != 0;
}

// The password: the first line of a regular file that only its owner may
// read or write, as ssh asks of a private key; anyone else who could read
// it could publish as the store.
bool ReadPassword(const std::string& path, std::string& password, std::string& expected) {
  struct stat st {};
  expected = "a readable file";
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  expected = "a file that only its owner can read (chmod 600)";
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) return false;
  expected = "a readable file of at most " + std::to_string(kMaxPasswordBytes) + " bytes";
  std::ifstream in(path, std::ios::binary);
  if (!in || st.st_size > static_cast<off_t>(kMaxPasswordBytes)) return false;
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

bool Readable(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

}  // namespace

bool ValidStore(const std::string& store) { return SafeName(store, kMaxStoreBytes, "-._"); }

bool ReadForwardKey(const std::string& key, const std::string& value, ForwardSettings& f,
                    std::string& expected) {
  long n = 0;
  if (Same(key, "url")) {
    expected = "mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    f.url_set = true;
    return ParseUrl(value, f);
  }
  if (Same(key, "topic")) {
    expected = "a topic of at most 256 bytes without + or #, with {store}, {channel}, {pos}";
    f.topic = value;
    return ValidTopic(value);
  }
  if (Same(key, "send")) {
    expected = "receipts, lines or alarms, separated by commas";
    return ParseSend(value, f.send);
  }
  if (Same(key, "qos")) {
    expected = "0 or 1";
    if (!ParseNumberIn(value, 0, 1, n)) return false;
    f.qos = static_cast<int>(n);
    return true;
  }
  if (Same(key, "keepalive")) {
    expected = "seconds from 5 to 3600";
    if (!ParseNumberIn(value, kMinKeepalive, kMaxKeepalive, n)) return false;
    f.keepalive = static_cast<int>(n);
    return true;
  }
  if (Same(key, "needs_subscriber")) {
    expected = kSwitchWords;
    return ParseSwitchWord(value, f.needs_subscriber);
  }
  if (Same(key, "client_id") || Same(key, "username")) {
    expected = "1 to 128 letters, digits or - . _ : @";
    (Same(key, "username") ? f.username : f.client_id) = value;
    return SafeName(value, kMaxClientIdBytes, "-._:@");
  }
  if (Same(key, "password_file")) {
    f.password_file = value;
    return ReadPassword(value, f.password, expected);
  }
  if (Same(key, "ca") || Same(key, "cert") || Same(key, "key")) {
    expected = "a readable file";
    (Same(key, "ca") ? f.ca : Same(key, "cert") ? f.cert : f.key) = value;
    return Readable(value);
  }
  expected =
      "one of the keys url, topic, send, qos, client_id, username, password_file, ca, cert, key, "
      "keepalive, needs_subscriber";
  return false;
}

bool CheckForward(const ForwardSettings& f, std::string& key, std::string& expected) {
  if (!f.url_set) {
    key = "url";
    expected = "a url = mqtt://HOST[:PORT] or mqtts://HOST[:PORT] in the section";
    return false;
  }
  if (!f.tls && (!f.ca.empty() || !f.cert.empty() || !f.key.empty())) {
    key = !f.ca.empty() ? "ca" : !f.cert.empty() ? "cert" : "key";
    expected = "an mqtts:// url for certificates";
    return false;
  }
  if (f.cert.empty() != f.key.empty()) {
    key = f.cert.empty() ? "key" : "cert";
    expected = "both cert and key, or neither";
    return false;
  }
  if (!f.password_file.empty() && f.username.empty()) {
    key = "password_file";
    expected = "a username with it";
    return false;
  }
  if (f.needs_subscriber && f.qos == 0) {
    key = "needs_subscriber";
    expected = "qos = 1 with it (a QoS 0 message is never acknowledged)";
    return false;
  }
  return true;
}

}  // namespace poshark::tool
