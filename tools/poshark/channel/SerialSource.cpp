// serial: the listener opens and reads the port itself, and reopens it when
// it comes back after an unplug. This source opens it and says in the log
// when the port's device goes away and when it is back.
#include <poshark/Home.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "base/Log.h"
#include "channel/Channel.h"
#include "channel/Source.h"

namespace poshark::tool {

namespace {

// How often the device is looked for.
constexpr auto kWatchPeriod = std::chrono::milliseconds(200);

bool Present(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

class SerialSource : public Source {
 public:
  explicit SerialSource(Channel& channel)
      : channel_(channel), setting_(channel.Settings().source) {}
  ~SerialSource() override { Stop(); }

  bool Start(std::string& error) override {
    device_ = poshark::SerialDevicePath(setting_.com_port);
    char name[64];
    std::snprintf(name, sizeof name, "poshark POS %d", channel_.Settings().pos);
    if (channel_.Listener().OpenCom(setting_.com_port, setting_.baud, setting_.data_bits,
                                    setting_.stop_bits_code, setting_.parity_code, nullptr,
                                    name) != 1) {
      error = "com " + std::to_string(setting_.com_port) + ": cannot open COM" +
              std::to_string(setting_.com_port) + ", " + device_ + " (the device of [Ports] COM" +
              std::to_string(setting_.com_port) +
              " in ComPorts.ini in the poshark home, else /dev/ttyS" +
              std::to_string(setting_.com_port - 1) + ")";
      return false;
    }
    thread_ = std::thread([this] { Watch(); });
    return true;
  }

  void Stop() override {
    stop_.Request();
    if (thread_.joinable()) thread_.join();
  }

  std::string Where() const override { return "COM" + std::to_string(setting_.com_port); }

 private:
  void Watch() {
    std::string port = "COM" + std::to_string(setting_.com_port) + " (" + device_ + ")";
    bool present = true;
    while (!stop_.WaitUntil(std::chrono::steady_clock::now() + kWatchPeriod)) {
      bool now = Present(device_);
      if (now == present) continue;
      present = now;
      channel_.Counters().source_up = present;
      if (present) channel_.Counters().connections.fetch_add(1, std::memory_order_relaxed);
      channel_.Say(present ? LogLevel::kInfo : LogLevel::kWarning,
                   port + (present ? " is back; listening again"
                                   : " was lost; waiting for it to come back"));
    }
  }

  Channel& channel_;
  const SourceSetting setting_;
  std::string device_;
  StopSignal stop_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Source> MakeSerialSource(Channel& channel) {
  return std::make_unique<SerialSource>(channel);
}

}  // namespace poshark::tool
