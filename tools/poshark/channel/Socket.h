// Sockets of the tcp and tap sources: a listening socket, a connection to
// the printer, a wake-up pipe for the threads that wait on them.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <string>

namespace poshark::tool {

// How long the tap waits for the printer to accept a connection.
inline constexpr auto kPrinterConnectTimeout = std::chrono::milliseconds(3000);

// A descriptor closed with its owner.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  int Get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Ends every wait that includes its descriptor, for good.
class Waker {
 public:
  Waker();
  ~Waker();
  void Wake();
  int Fd() const { return fds_[0]; }
  bool Woken() const;

 private:
  int fds_[2] = {-1, -1};
};

// Binds and listens; the bound address in `where`. False with error set.
bool OpenListener(const std::string& host, int port, Fd& fd, std::string& where,
                  std::string& error);

// Connects to host:port without blocking for longer than the timeout or
// past a wake-up. False with error set.
bool ConnectTo(const std::string& host, int port, const Waker& waker, Fd& fd, std::string& error);

// Milliseconds from now until the deadline, 0 once it has passed.
int RemainingMs(std::chrono::steady_clock::time_point deadline);

// Waits until fd is readable (or has an error); false once woken.
bool WaitReadable(int fd, const Waker& waker);

enum class Readiness { kReadable, kWoken, kIdle };
// The same, giving up once `idle` has passed without the fd being readable.
Readiness WaitReadableFor(int fd, const Waker& waker, std::chrono::milliseconds idle);

// Closes a connection with a reset rather than an orderly end.
void Abort(Fd& fd);

}  // namespace poshark::tool
