// tcp: poshark listens in place of the printer. tap: poshark listens in
// front of the printer and relays each connection to it (Tap.h). Either
// takes one POS connection at a time, as a network printer prints one job
// at a time: the next waits in the listening socket's queue until the one
// before has ended, so that two receipts never mix. A connection without a
// byte for the channel's idle time is closed.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <set>
#include <thread>

#include "base/Log.h"
#include "channel/Channel.h"
#include "channel/Socket.h"
#include "channel/Source.h"
#include "channel/Tap.h"

namespace poshark::tool {

namespace {

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
  }

  std::string Where() const override { return where_; }

 private:
  void Say(LogLevel level, const std::string& text) { channel_.Say(level, text); }

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
      if (!Admit(peer)) {
        Abort(conn);  // as from a printer that is off: a POS never takes it for a receipt printed
        continue;
      }
      channel_.Counters().connections.fetch_add(1, std::memory_order_relaxed);
      std::string from = DescribeAddress(peer);
      if (setting_.kind == SourceKind::kTcp) {
        Say(LogLevel::kInfo, "connection from " + from);
        bool idle = Receive(conn);
        channel_.EndConnection();
        if (!waker_.Woken()) Closed(from, idle);
      } else {
        RelayOne(std::move(conn), from);
        channel_.OfferEnd();
      }
    }
  }

  void Closed(const std::string& from, bool idle) {
    Say(LogLevel::kInfo,
        "connection from " + from + " closed" +
            (idle ? " after " + std::to_string(Idle().count() / 1000) + " s without a byte" : ""));
  }

  std::chrono::milliseconds Idle() const {
    return std::chrono::milliseconds(channel_.Settings().idle_ms);
  }

  // Reads until the POS ends; true when it was closed for idling.
  bool Receive(Fd& conn) {
    unsigned char buf[kReadBlock];
    for (;;) {
      Readiness ready = WaitReadableFor(conn.Get(), waker_, Idle());
      if (ready != Readiness::kReadable) return ready == Readiness::kIdle;
      ssize_t n = recv(conn.Get(), buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      channel_.Give(buf, static_cast<size_t>(n));
    }
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
    RelayEnd end = Relay(
        std::move(pos), std::move(printer), waker_, Idle(),
        [this](const unsigned char* data, size_t size) { channel_.Offer(data, size); },
        channel_.Counters());
    if (end != RelayEnd::kStopped) Closed(from, end == RelayEnd::kIdle);
  }

  Channel& channel_;
  const SourceSetting setting_;
  Fd listener_;
  std::string where_;
  Waker waker_;
  std::thread accept_thread_;
  std::set<std::string> refused_;  // accept thread only
};

}  // namespace

std::unique_ptr<Source> MakeNetSource(Channel& channel) {
  return std::make_unique<NetSource>(channel);
}

}  // namespace poshark::tool
