#include "forward/MqttLink.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace poshark::tool {

namespace {

// The library's global state, set up once for the process and kept.
void InitLibrary() {
  static const int once = mosquitto_lib_init();
  (void)once;
}

// The publish properties every message carries.
struct Properties {
  Properties() {
    mosquitto_property_add_string(&list, MQTT_PROP_CONTENT_TYPE, kContentType);
    mosquitto_property_add_byte(&list, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, 1);  // UTF-8
  }
  ~Properties() { mosquitto_property_free_all(&list); }
  Properties(const Properties&) = delete;
  Properties& operator=(const Properties&) = delete;
  mosquitto_property* list = nullptr;
};

// The system's certificate authorities (Debian's ca-certificates), used
// when the forward names none.
constexpr char kSystemCaFolder[] = "/etc/ssl/certs";

void Check(int rc, const std::string& what) {
  if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(what + ": " + mosquitto_strerror(rc));
}

}  // namespace

struct LinkCallbacks {
  static void Connect(mosquitto* m, void* self, int rc, int, const mosquitto_property*) {
    auto* link = static_cast<MqttLink*>(self);
    if (rc != 0) {
      link->sink_({LinkEvent::kLost, 0, std::string("refused: ") + mosquitto_reason_string(rc)});
      return;
    }
    {
      std::lock_guard lock(link->mutex_);
      link->connected_ = true;
    }
    mosquitto_publish_v5(m, nullptr, link->status_topic_.c_str(), sizeof kStatusOnline - 1,
                         kStatusOnline, 1, true, nullptr);
    link->sink_({LinkEvent::kConnected, 0, {}});
  }
  static void Disconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* link = static_cast<MqttLink*>(self);
    {
      std::lock_guard lock(link->mutex_);
      link->connected_ = false;
    }
    std::string why = rc == MOSQ_ERR_SUCCESS ? "disconnected" : mosquitto_strerror(rc);
    if (std::string last = link->LastError(); !last.empty()) why += " (" + last + ")";
    link->sink_({LinkEvent::kLost, 0, why});
  }
  static void Publish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
    auto* link = static_cast<MqttLink*>(self);
    if (reason >= MQTT_RC_UNSPECIFIED) {  // 0x80 and above: not accepted
      link->sink_({LinkEvent::kRefused, mid, mosquitto_reason_string(reason)});
    } else if (reason == MQTT_RC_NO_MATCHING_SUBSCRIBERS) {
      link->sink_({LinkEvent::kUnheard, mid, {}});
    } else {
      link->sink_({LinkEvent::kAcked, mid, {}});
    }
  }
  static void Log(mosquitto*, void* self, int level, const char* text) {
    if ((level & MOSQ_LOG_ERR) == 0) return;
    auto* link = static_cast<MqttLink*>(self);
    std::lock_guard lock(link->mutex_);
    link->last_error_ = text;
  }
};

void ConfigureMqttLogin(mosquitto* mosq, const ForwardSettings& settings) {
  if (!settings.username.empty()) {
    Check(mosquitto_username_pw_set(
              mosq, settings.username.c_str(),
              settings.password_file.empty() ? nullptr : settings.password.c_str()),
          "user name");
  }
  if (!settings.tls) return;
  if (settings.ca.empty()) Check(mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1), "TLS");
  auto file = [](const std::string& path) { return path.empty() ? nullptr : path.c_str(); };
  Check(mosquitto_tls_set(mosq, file(settings.ca), settings.ca.empty() ? kSystemCaFolder : nullptr,
                          file(settings.cert), file(settings.key), nullptr),
        "TLS certificates");
  // The broker's certificate and name are checked; never turned off.
  Check(mosquitto_tls_opts_set(mosq, 1, nullptr, nullptr), "TLS");
  Check(mosquitto_tls_insecure_set(mosq, false), "TLS");
}

MqttLink::MqttLink(const ForwardSettings& settings, const std::string& status_topic, Sink sink)
    : settings_(settings), status_topic_(status_topic), sink_(std::move(sink)) {
  InitLibrary();
  mosq_ = mosquitto_new(settings_.client_id.c_str(), true, this);
  if (mosq_ == nullptr) throw std::runtime_error("cannot make an MQTT client (out of memory)");
  try {
    Configure();
  } catch (...) {
    mosquitto_destroy(mosq_);
    throw;
  }
}

void MqttLink::Configure() {
  Check(mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5), "MQTT 5");
  mosquitto_connect_v5_callback_set(mosq_, &LinkCallbacks::Connect);
  mosquitto_disconnect_v5_callback_set(mosq_, &LinkCallbacks::Disconnect);
  mosquitto_publish_v5_callback_set(mosq_, &LinkCallbacks::Publish);
  mosquitto_log_callback_set(mosq_, &LinkCallbacks::Log);
  Check(mosquitto_will_set_v5(mosq_, status_topic_.c_str(), sizeof kStatusOffline - 1,
                              kStatusOffline, 1, true, nullptr),
        "last will");
  ConfigureMqttLogin(mosq_, settings_);
}

MqttLink::~MqttLink() {
  if (started_) {
    bool connected = false;
    {
      std::lock_guard lock(mutex_);
      connected = connected_;
    }
    // A clean disconnect sends no last will: the status is said here.
    if (connected)
      mosquitto_publish_v5(mosq_, nullptr, status_topic_.c_str(), sizeof kStatusOffline - 1,
                           kStatusOffline, 0, true, nullptr);
    mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    mosquitto_loop_stop(mosq_, false);
  }
  mosquitto_destroy(mosq_);
}

bool MqttLink::Start(std::string& error) {
  int rc =
      mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, settings_.keepalive);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_start(mosq_);
  if (rc == MOSQ_ERR_SUCCESS) {
    started_ = true;
    return true;
  }
  error = rc == MOSQ_ERR_ERRNO ? std::string(strerror(errno)) : mosquitto_strerror(rc);
  return false;
}

bool MqttLink::Publish(const std::string& topic, const std::string& payload, int qos, int& mid) {
  Properties p;
  return mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), qos, false, p.list) == MOSQ_ERR_SUCCESS;
}

std::string MqttLink::LastError() const {
  std::lock_guard lock(mutex_);
  return last_error_;
}

}  // namespace poshark::tool
