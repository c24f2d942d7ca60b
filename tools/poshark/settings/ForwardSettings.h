// One [forward NAME] section of poshark.ini: an MQTT broker that receives
// the journal's receipts, lines and alarms (docs/SERVE.md).
#pragma once

#include <string>

namespace poshark::tool {

inline constexpr char kDefaultTopic[] = "poshark/{store}/{channel}";
inline constexpr int kMqttPort = 1883;
inline constexpr int kMqttsPort = 8883;
// Keep-alive of the connection in seconds: the broker is thought lost after
// one and a half times this without a word.
inline constexpr int kDefaultKeepalive = 30;
inline constexpr int kMinKeepalive = 5;
inline constexpr int kMaxKeepalive = 3600;
// Forward sections in one service, and the longest topic template, client
// id, user name and store id (the broker refuses longer ones or they make
// topics unwieldy).
inline constexpr int kMaxForwards = 8;
inline constexpr size_t kMaxTopicBytes = 256;
inline constexpr size_t kMaxClientIdBytes = 128;
inline constexpr size_t kMaxStoreBytes = 64;
// The longest password file read (its first line is the password).
inline constexpr size_t kMaxPasswordBytes = 1024;

// What a forward sends: any of these, or-ed.
enum ForwardSend : unsigned {
  kSendReceipts = 1,
  kSendLines = 2,
  kSendAlarms = 4,
};

struct ForwardSettings {
  std::string name;
  std::string host;
  int port = kMqttPort;
  bool tls = false;
  std::string topic = kDefaultTopic;
  unsigned send = kSendReceipts | kSendAlarms;
  int qos = 1;
  std::string client_id;  // "" until loaded: poshark-STORE-NAME
  std::string username;   // "" for none
  std::string password_file;
  std::string password;  // read from password_file at load; never logged
  std::string ca;        // "" for the system's certificate authorities
  std::string cert, key;
  int keepalive = kDefaultKeepalive;
  // A message the broker acknowledges with "no matching subscribers" is not
  // taken as delivered but sent again (needs_subscriber; qos 1 only).
  bool needs_subscriber = false;
  bool url_set = false;
  bool operator==(const ForwardSettings&) const = default;
};

// One key of a [forward NAME] section. False, with what was expected, for a
// bad value or an unknown key.
bool ReadForwardKey(const std::string& key, const std::string& value, ForwardSettings& f,
                    std::string& expected);

// After the whole section: a url is given, certificates only with mqtts://,
// cert with key, a password file only with a user name, needs_subscriber
// only with qos 1. The key at fault
// and what was expected when not.
bool CheckForward(const ForwardSettings& f, std::string& key, std::string& expected);

// A store id: 1 to kMaxStoreBytes letters, digits or - . _ (safe in a topic).
bool ValidStore(const std::string& store);

}  // namespace poshark::tool
