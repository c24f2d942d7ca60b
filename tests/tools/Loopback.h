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
#include <regex>
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

inline int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

// A listening socket on 127.0.0.1 with a free port.
inline int ListenLoopback(int& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// The port in the first "PREFIX127.0.0.1:PORT" of a text, or -1.
inline int PortAfter(const std::string& text, const std::string& prefix) {
  std::smatch m;
  std::regex re(prefix + R"(127\.0\.0\.1:(\d+))");
  return std::regex_search(text, m, re) ? std::stoi(m[1]) : -1;
}

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
  size_t Size() {
    std::lock_guard lock(mutex_);
    return received_.size();
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
    int dle = 0;  // bytes of DLE EOT seen before the next byte
    for (ssize_t n; !stop_ && (n = recv(c, buf, sizeof buf, 0)) > 0;) {
      std::lock_guard lock(mutex_);
      received_.append(buf, static_cast<size_t>(n));
      for (ssize_t i = 0; i < n; ++i) {
        unsigned char b = static_cast<unsigned char>(buf[i]);
        if (dle == 2) {
          send(c, &kStatus, 1, MSG_NOSIGNAL);
          dle = 0;
        } else if (dle == 1) {
          dle = b == 0x04 ? 2 : 0;
        } else {
          dle = b == 0x10 ? 1 : 0;
        }
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
