// One connection to an MQTT broker through libmosquitto's own network
// thread (mosquitto_loop_start): MQTT 5, TLS with the broker's certificate
// checked, a retained "offline" as its last will and a retained "online"
// once connected. What happens on the connection comes back as events,
// handed to a function on the library's thread; the owner reconnects by
// making a new link.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "settings/ForwardSettings.h"

struct mosquitto;

namespace poshark::tool {

// The payloads of the status topic.
inline constexpr char kStatusOnline[] = "online";
inline constexpr char kStatusOffline[] = "offline";
// The content type of every message (an MQTT 5 property).
inline constexpr char kContentType[] = "application/json";

// The user name, password and TLS settings of a client (a forward's or the
// collector's). Throws std::runtime_error when the library refuses them.
void ConfigureMqttLogin(mosquitto* mosq, const ForwardSettings& settings);

// kUnheard: the broker took a QoS 1 message but had no subscriber for it
// (PUBACK reason 16, "no matching subscribers"), so nobody received it.
struct LinkEvent {
  enum Type { kConnected, kLost, kAcked, kUnheard, kRefused } type;
  int mid = 0;      // kAcked, kUnheard, kRefused: the message
  std::string why;  // kLost, kRefused: what the broker or the library said
};

class MqttLink {
 public:
  using Sink = std::function<void(LinkEvent&&)>;  // called on the library's thread
  // Sets up the client (no connection yet). Throws std::runtime_error when
  // the library refuses the settings (a certificate file it cannot use).
  MqttLink(const ForwardSettings& settings, const std::string& status_topic, Sink sink);
  // Says "offline" (when connected), disconnects and ends the network
  // thread; returns within the time one poll of that thread takes.
  ~MqttLink();
  MqttLink(const MqttLink&) = delete;
  MqttLink& operator=(const MqttLink&) = delete;

  // Starts connecting; false with the reason when it cannot even begin.
  bool Start(std::string& error);
  // Queues one JSON message; its acknowledgement (QoS 1) or its sending
  // (QoS 0) comes as kAcked, kUnheard or kRefused with `mid`. False when
  // the link is down.
  bool Publish(const std::string& topic, const std::string& payload, int qos, int& mid);
  // The library's last error message, for the log ("" when none).
  std::string LastError() const;

 private:
  friend struct LinkCallbacks;  // the library's callbacks, on its thread
  void Configure();

  const ForwardSettings settings_;
  const std::string status_topic_;
  Sink sink_;
  mosquitto* mosq_ = nullptr;
  bool started_ = false;
  mutable std::mutex mutex_;
  std::string last_error_;  // guarded by mutex_
  bool connected_ = false;  // guarded by mutex_
};

}  // namespace poshark::tool
