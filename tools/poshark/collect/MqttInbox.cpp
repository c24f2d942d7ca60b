#include "collect/MqttInbox.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "forward/MqttLink.h"

namespace poshark::tool {

namespace {

std::string Reason(int rc) {
  return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc);
}

}  // namespace

struct InboxCallbacks {
  static void Connect(mosquitto* m, void* self, int rc, int, const mosquitto_property*) {
    auto* inbox = static_cast<MqttInbox*>(self);
    if (rc != 0) {
      inbox->refused_ = std::string("refused: ") + mosquitto_reason_string(rc);
      return;
    }
    const std::string filter = inbox->settings_.Subscription();
    mosquitto_subscribe_v5(m, nullptr, filter.c_str(), 1, 0, nullptr);
  }
  static void Subscribe(mosquitto*, void* self, int, int count, const int* granted,
                        const mosquitto_property*) {
    auto* inbox = static_cast<MqttInbox*>(self);
    inbox->subscribed_ = count == 1 && granted[0] <= 1;
    if (!inbox->subscribed_)
      inbox->refused_ = "the broker refused the subscription to " + inbox->settings_.Subscription();
  }
  static void Message(mosquitto*, void* self, const mosquitto_message* m,
                      const mosquitto_property*) {
    auto* inbox = static_cast<MqttInbox*>(self);
    inbox->handler_(m->topic, std::string(static_cast<const char*>(m->payload),
                                          static_cast<size_t>(m->payloadlen)));
  }
};

MqttInbox::MqttInbox(const BrokerSettings& settings, int receive_maximum, Handler handler)
    : settings_(settings), handler_(std::move(handler)) {
  static const int once = mosquitto_lib_init();  // kept for the process
  (void)once;
  // A session the broker keeps: what it sent and was not acknowledged comes again.
  mosq_ = mosquitto_new(settings_.link.client_id.c_str(), false, this);
  if (mosq_ == nullptr) throw std::runtime_error("cannot make an MQTT client (out of memory)");
  try {
    auto check = [](int rc, const char* what) {
      if (rc != MOSQ_ERR_SUCCESS)
        throw std::runtime_error(std::string(what) + ": " + mosquitto_strerror(rc));
    };
    check(mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5), "MQTT 5");
    check(mosquitto_int_option(mosq_, MOSQ_OPT_RECEIVE_MAXIMUM, receive_maximum),
          "receive maximum");
    // Acknowledgements are queued, never written inside Read.
    check(mosquitto_threaded_set(mosq_, true), "threaded");
    mosquitto_connect_v5_callback_set(mosq_, &InboxCallbacks::Connect);
    mosquitto_subscribe_v5_callback_set(mosq_, &InboxCallbacks::Subscribe);
    mosquitto_message_v5_callback_set(mosq_, &InboxCallbacks::Message);
    ConfigureMqttLogin(mosq_, settings_.link);
  } catch (...) {
    mosquitto_destroy(mosq_);
    throw;
  }
}

MqttInbox::~MqttInbox() { mosquitto_destroy(mosq_); }

bool MqttInbox::Connect(std::string& error) {
  subscribed_ = false;
  refused_.clear();
  mosquitto_property* props = nullptr;
  mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, kSessionExpirySeconds);
  const int rc = mosquitto_connect_bind_v5(mosq_, settings_.link.host.c_str(), settings_.link.port,
                                           settings_.link.keepalive, nullptr, props);
  mosquitto_property_free_all(&props);
  if (rc == MOSQ_ERR_SUCCESS) return true;
  error = Reason(rc);
  subscribed_ = false;
  return false;
}

int MqttInbox::Socket() const { return mosquitto_socket(mosq_); }

bool MqttInbox::Lost(int rc, std::string& error) {
  if (rc == MOSQ_ERR_SUCCESS && refused_.empty()) return true;
  error = !refused_.empty() ? refused_ : rc == MOSQ_ERR_CONN_LOST ? "connection lost" : Reason(rc);
  subscribed_ = false;
  return false;
}

bool MqttInbox::Read(std::string& error) { return Lost(mosquitto_loop_read(mosq_, 1), error); }

bool MqttInbox::WantsWrite() const { return mosquitto_want_write(mosq_); }

bool MqttInbox::Flush(std::string& error) {
  if (!mosquitto_want_write(mosq_)) return true;
  return Lost(mosquitto_loop_write(mosq_, 1), error);
}

bool MqttInbox::Tick(std::string& error) {
  if (Socket() < 0) return true;
  return Lost(mosquitto_loop_misc(mosq_), error);
}

void MqttInbox::Close() {
  subscribed_ = false;
  if (Socket() < 0) return;
  mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
  mosquitto_loop_write(mosq_, 1);  // what waits, then the DISCONNECT, then the socket is closed
}

}  // namespace poshark::tool
