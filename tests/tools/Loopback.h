// Loopback sockets for the end-to-end tests: a POS that connects and sends,
// and a fake network printer that records what it gets and answers status
// requests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace poshark_test {

// Sends everything to a socket or a terminal.
inline void SendAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

// A socket bound to 127.0.0.1:port (0: a free port, which port is set to)
// and listening, or connected to it when connect is true; -1 on failure.
inline int Loopback(int& port, bool connect) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  auto* a = reinterpret_cast<sockaddr*>(&addr);
  socklen_t len = sizeof addr;
  if (connect ? ::connect(fd, a, len) == 0
              : bind(fd, a, len) == 0 && listen(fd, 8) == 0 && getsockname(fd, a, &len) == 0) {
    port = ntohs(addr.sin_port);
    return fd;
  }
  close(fd);
  return -1;
}
inline int ConnectLoopback(int port) { return Loopback(port, true); }
inline int ListenLoopback(int& port) { return Loopback(port = 0, false); }

// Reads until the peer ends or `ms` pass without data; answers what came.
inline std::string ReadUntilEnd(int fd, int ms = 5000) {
  std::string got;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// A network printer: keeps every byte of every connection and answers each
// real-time status request DLE EOT n with one status byte. Each connection
// has its own thread, so an idle one holds up no other. With reading off it
// accepts connections but never reads them.
class FakePrinter {
 public:
  static constexpr char kStatus = 0x12;

  explicit FakePrinter(bool reading = true) : reading_(reading) {
    fd_ = ListenLoopback(port_);
    accept_ = std::thread([this] { Run(); });
  }
  ~FakePrinter() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    accept_.join();
    for (int c : conns_) shutdown(c, SHUT_RDWR);
    for (auto& t : serving_) t.join();
    for (int c : conns_) close(c);
    close(fd_);
  }
  int Port() const { return port_; }
  std::string Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void Run() {
    for (int c; !stop_ && (c = accept(fd_, nullptr, nullptr)) >= 0;) {
      conns_.push_back(c);
      if (reading_) serving_.emplace_back([this, c] { Serve(c); });
    }
  }
  void Serve(int c) {
    char buf[65536];
    uint32_t last = 0;  // the last three bytes
    for (ssize_t n; !stop_ && (n = recv(c, buf, sizeof buf, 0)) > 0;) {
      std::lock_guard lock(mutex_);
      received_.append(buf, static_cast<size_t>(n));
      for (ssize_t i = 0; i < n; ++i) {
        last = (last << 8 | static_cast<unsigned char>(buf[i])) & 0xFFFFFF;
        if (last >> 8 == 0x1004) send(c, &kStatus, 1, MSG_NOSIGNAL);  // DLE EOT n
      }
    }
    shutdown(c, SHUT_WR);  // the POS's end passed on: end ours too
  }

  bool reading_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<int> conns_;  // accept thread, then the destructor
  std::vector<std::thread> serving_;
  std::mutex mutex_;
  std::string received_;
  std::thread accept_;
};

}  // namespace poshark_test
