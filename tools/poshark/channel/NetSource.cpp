// tcp: poshark listens in place of the printer, one POS connection at a
// time. tap: poshark listens in front of the printer and relays each
// connection to it (Tap.h).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "base/Log.h"
#include "channel/Channel.h"
#include "channel/Socket.h"
#include "channel/Source.h"
#include "channel/Tap.h"

namespace poshark::tool {

namespace {

// Tap connections relayed at once; more are refused.
constexpr size_t kMaxTapConnections = 16;
// Refused peers remembered so that each is logged once.
constexpr size_t kMaxRefusedPeers = 1024;
// Bytes read from a tcp connection at a time.
constexpr size_t kReadBlock = 4096;

std::string HostOf(const std::string& address) { return address.substr(0, address.rfind(':')); }

class NetSource : public Source {
 public:
  explicit NetSource(Channel& channel) : channel_(channel), setting_(channel.Settings().source) {}
  ~NetSource() override { Stop(); }

  bool Start(std::string& error) override {
    if (!OpenListener(setting_.host, setting_.port, listener_, where_, error)) {
      error = (setting_.kind == SourceKind::kTap ? "tap " : "tcp ") + error;
      return false;
    }
    accept_thread_ = std::thread([this] { AcceptLoop(); });
    return true;
  }

  void Stop() override {
    waker_.Wake();
    if (accept_thread_.joinable()) accept_thread_.join();
    std::lock_guard lock(relays_mutex_);
    for (auto& r : relays_) r.thread.join();
    relays_.clear();
  }

  std::string Where() const override { return where_; }

 private:
  struct RelayThread {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void Say(LogLevel level, const std::string& text) { Log(level, channel_.LogPrefix() + text); }

  bool Admit(const sockaddr_storage& peer) {
    if (Allowed(channel_.Settings().allow, peer)) return true;
    std::string host = HostOf(DescribeAddress(peer));
    if (refused_.size() < kMaxRefusedPeers && refused_.insert(host).second) {
      Say(LogLevel::kWarning, "refused a connection from " + host + " (not in allow)");
    }
    return false;
  }

  void AcceptLoop() {
    while (WaitReadable(listener_.Get(), waker_)) {
      sockaddr_storage peer{};
      socklen_t len = sizeof peer;
      Fd conn(accept4(listener_.Get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC));
      if (conn.Get() < 0) continue;
      if (!Admit(peer)) continue;
      std::string from = DescribeAddress(peer);
      if (setting_.kind == SourceKind::kTcp) {
        Say(LogLevel::kInfo, "connection from " + from);
        Receive(conn);
        if (!waker_.Woken()) Say(LogLevel::kInfo, "connection from " + from + " closed");
      } else {
        StartRelay(std::move(conn), from);
      }
    }
  }

  void Receive(Fd& conn) {
    unsigned char buf[kReadBlock];
    while (WaitReadable(conn.Get(), waker_)) {
      ssize_t n = recv(conn.Get(), buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      channel_.Give(buf, static_cast<size_t>(n));
    }
  }

  void StartRelay(Fd pos, const std::string& from) {
    std::lock_guard lock(relays_mutex_);
    for (auto it = relays_.begin(); it != relays_.end();) {
      if (it->done) {
        it->thread.join();
        it = relays_.erase(it);
      } else {
        ++it;
      }
    }
    if (relays_.size() >= kMaxTapConnections) {
      Say(LogLevel::kWarning, "refused a connection from " + from + ": " +
                                  std::to_string(kMaxTapConnections) + " connections are open");
      Abort(pos);
      return;
    }
    RelayThread& r = relays_.emplace_back();
    r.thread = std::thread([this, &r, from, fd = pos.Release()] {
      RelayOne(Fd(fd), from);
      r.done = true;
    });
  }

  // Connects to the printer before a byte of the POS is read: when the
  // printer cannot be reached, the POS sees the connection reset, as from a
  // printer that is off.
  void RelayOne(Fd pos, const std::string& from) {
    Fd printer;
    std::string error;
    if (!ConnectTo(setting_.printer_host, setting_.printer_port, waker_, printer, error)) {
      Say(LogLevel::kWarning, "connection from " + from + " closed: printer " + error);
      Abort(pos);
      return;
    }
    Say(LogLevel::kInfo, "connection from " + from + " relayed to " + setting_.printer_host + ":" +
                             std::to_string(setting_.printer_port));
    int one = 1;
    setsockopt(pos.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Relay(std::move(pos), std::move(printer), waker_,
          [this](const unsigned char* data, size_t size) { channel_.Offer(data, size); });
    if (!waker_.Woken()) Say(LogLevel::kInfo, "connection from " + from + " closed");
  }

  Channel& channel_;
  const SourceSetting setting_;
  Fd listener_;
  std::string where_;
  Waker waker_;
  std::thread accept_thread_;
  std::set<std::string> refused_;  // accept thread only
  std::mutex relays_mutex_;
  std::list<RelayThread> relays_;
};

}  // namespace

std::unique_ptr<Source> MakeNetSource(Channel& channel) {
  return std::make_unique<NetSource>(channel);
}

}  // namespace poshark::tool
