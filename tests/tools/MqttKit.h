// A real MQTT broker for the forward tests: Debian's mosquitto on a
// loopback port of its own, configured in a temporary folder (its sessions
// and queued messages saved there at every change, so that they outlive a
// SIGKILL too), and a subscriber that collects every message through
// libmosquitto.
#pragma once

#include <mosquitto.h>

#include <condition_variable>
#include <mutex>

#include "ToolProcess.h"
#include "support/LineCollector.h"

namespace poshark_test {

class Broker {
 public:
  // `settings` follow the listener line (TLS files, who may connect).
  explicit Broker(std::string settings = "allow_anonymous true\n")
      : settings_(std::move(settings)) {
    close(ListenLoopback(port_));  // a free port, kept over restarts
  }
  ~Broker() {
    if (process_) Stop();
  }
  int Port() const { return port_; }
  const TempDir& Dir() const { return dir_; }
  // Started, and accepting connections (bounded).
  void Start() {
    dir_.Write("m.conf", "listener " + std::to_string(port_) + " 127.0.0.1\n" + settings_ +
                             "persistence true\nautosave_on_changes true\nautosave_interval 1\n"
                             "persistence_location " +
                             dir_.Path() + "/\nuser root\n");
    process_ = std::make_unique<ChildProcess>(
        ChildProcess::Options{{"/usr/sbin/mosquitto", "-c", dir_ / "m.conf"}});
    ASSERT_TRUE(poshark::testing::WaitUntil(
        [&] {
          int fd = ConnectLoopback(port_);
          if (fd >= 0) close(fd);
          return fd >= 0;
        },
        10000))
        << process_->Err();
  }
  void Stop(int sig = SIGTERM) {
    process_->Signal(SIGCONT);  // also when paused
    process_->Signal(sig);
    process_->Wait(std::chrono::seconds(10));
    process_.reset();
  }
  void Signal(int sig) { process_->Signal(sig); }

 private:
  std::string settings_;
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// Subscribes to everything with QoS 1 in a session the broker keeps, so
// that nothing is missed while it reconnects after the broker restarted.
class Collector {
 public:
  struct Message {
    std::string topic, payload;
    int qos = 0;
  };
  explicit Collector(int port) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new("collector", false, this);
    mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void*, int rc) {
      if (rc == 0) mosquitto_subscribe(m, nullptr, "#", 1);
    });
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
      auto* c = static_cast<Collector*>(self);
      std::lock_guard lock(c->mutex_);
      c->subscribed_ = true;
      c->changed_.notify_all();
    });
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* c = static_cast<Collector*>(self);
      std::lock_guard lock(c->mutex_);
      c->messages_.push_back(
          {m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen), m->qos});
      c->changed_.notify_all();
    });
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect_async(mosq_, "127.0.0.1", port, 5);
    mosquitto_loop_start(mosq_);
  }
  ~Collector() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }
  // Waits (bounded) until pred holds for the messages; answers a copy.
  std::vector<Message> WaitUntil(const std::function<bool(const std::vector<Message>&)>& pred,
                                 std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return pred(messages_); });
    return messages_;
  }
  bool WaitSubscribed() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return subscribed_; });
  }

 private:
  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Message> messages_;
  bool subscribed_ = false;
};

}  // namespace poshark_test
