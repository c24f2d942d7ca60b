// The collector's subscription on the broker, driven from the collector's
// own loop rather than a library thread, so that the acknowledgements of
// the messages it received leave only when it says: after their batch is
// committed. A collector killed before that has acknowledged nothing of
// the batch, and the broker sends it again (the session is kept for the
// client id; QoS 1).
//
// libmosquitto (2.0.11, Debian 12) has no call to hold an acknowledgement
// back: it queues the acknowledgement of a QoS 1 message as it reads it and
// writes it with whatever else waits at the next write. The client is
// marked threaded (mosquitto_threaded_set), so that nothing is written on
// the spot, and only Flush writes. So Read, never Flush, is called while a
// batch waits for its commit (a test fails when the order is turned round).
//
// One thread uses an object: every callback runs inside Read, Flush or Tick.
#pragma once

#include <functional>
#include <string>

#include "collect/CollectConfig.h"

struct mosquitto;

namespace poshark::tool {

// How long the broker keeps the session (its subscription and the
// messages not yet acknowledged) while the collector is away.
inline constexpr int kSessionExpirySeconds = 7 * 24 * 3600;

class MqttInbox {
 public:
  using Handler = std::function<void(const std::string& topic, const std::string& payload)>;
  // receive_maximum: the most messages the broker may have unacknowledged
  // with this client (the largest batch). Throws std::runtime_error when
  // the library refuses the settings.
  MqttInbox(const BrokerSettings& settings, int receive_maximum, Handler handler);
  ~MqttInbox();
  MqttInbox(const MqttInbox&) = delete;
  MqttInbox& operator=(const MqttInbox&) = delete;

  // Opens the connection (blocking until the TCP connection is made or
  // refused); the subscription follows once the broker answers. False with
  // the reason.
  bool Connect(std::string& error);
  // The socket while a connection is open, else -1.
  int Socket() const;
  bool Subscribed() const { return subscribed_; }
  // Reads what came: each message goes to the handler. False once the
  // connection is lost (the reason in `error`).
  bool Read(std::string& error);
  // Whether something waits to be written (acknowledgements, pings).
  bool WantsWrite() const;
  // Writes what waits. False once the connection is lost.
  bool Flush(std::string& error);
  // Keep-alive: false once the connection is lost.
  bool Tick(std::string& error);
  // Writes what waits and closes the connection: call only when every
  // message read is committed.
  void Close();

 private:
  friend struct InboxCallbacks;
  bool Lost(int rc, std::string& error);

  const BrokerSettings settings_;
  Handler handler_;
  mosquitto* mosq_ = nullptr;
  bool subscribed_ = false;
  std::string refused_;  // what the broker said when it refused the connection
};

}  // namespace poshark::tool
