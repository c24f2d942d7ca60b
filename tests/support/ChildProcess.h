// Runs a child process for a test: a program with its own arguments and
// environment changes (output read back), or a function of the test run in a
// forked copy of it (to kill it mid-way, or to act as a second process). The
// test thread drains stdout and stderr while it waits, so no reader thread is
// needed and the child never blocks on a full pipe.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace poshark::testing {

// Under a sanitizer a child's memory is the sanitizer's (shadow memory, a
// quarantine of freed blocks): its size says nothing about the child's own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;
  using Output = std::function<bool(const std::string& out, const std::string& err)>;
  struct Options {
    std::vector<std::string> argv;             // program path first; stdin is /dev/null
    std::map<std::string, std::string> env{};  // added or replaced; "" removes
    bool stdout_on_pty = false;                // stdout is a terminal
    bool stderr_on_pty = false;                // stderr is a terminal
  };

  explicit ChildProcess(const Options& o) { Spawn(o); }
  // Runs body in a forked copy of this process; its answer is the exit status.
  explicit ChildProcess(const std::function<int()>& body) {
    if ((pid_ = ::fork()) == 0) ::_exit(body());
  }
  ~ChildProcess() {
    if (!exited_) Wait(std::chrono::milliseconds(0));
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int sig) {
    if (pid_ > 0 && !exited_) ::kill(pid_, sig);
  }
  // Exit status (128 + signal when killed by one), or -1 when the process
  // did not end in time (it is killed then).
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    if (WaitFor([this](auto&, auto&) { return done_; }, limit)) return code_;
    Signal(SIGKILL);
    for (int i = 0; i < 100 && !Pump(); ++i) {
    }
    return code_ = -1;
  }
  // Reads output until pred holds on (stdout, stderr), the process is gone,
  // or the time passes.
  bool WaitFor(const Output& pred, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    for (auto end = Clock::now() + limit; !pred(out_, err_) && !Pump() && Clock::now() < end;) {
    }
    return pred(out_, err_);
  }
  bool WaitForErr(const std::string& what,
                  std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    return WaitFor([&](auto&, auto& err) { return err.find(what) != std::string::npos; }, limit);
  }
  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }
  // Peak resident memory of the running child in KiB (VmHWM), -1 when gone.
  long PeakKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
  }

 private:
  void Spawn(const Options& o) {
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    bool ok = o.stdout_on_pty ? ::openpty(&out[0], &out[1], nullptr, nullptr, nullptr) == 0
                              : ::pipe2(out, O_CLOEXEC) == 0;
    ok = ok && (o.stderr_on_pty ? ::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) == 0
                                : ::pipe2(err, O_CLOEXEC) == 0);
    if (!ok) return;
    // env(1) takes the environment changes, then runs the program in its place.
    std::vector<std::string> strings = {"/usr/bin/env"};
    for (const auto& [k, v] : o.env)
      strings.insert(v.empty() ? strings.begin() + 1 : strings.end(),
                     v.empty() ? "--unset=" + k : k + "=" + v);
    strings.insert(strings.end(), o.argv.begin(), o.argv.end());
    std::vector<char*> argv;
    for (auto& a : strings) argv.push_back(a.data());
    argv.push_back(nullptr);
    if ((pid_ = ::fork()) == 0) {  // async-signal-safe calls only from here
      sigset_t none;               // not the blocked signals of a test thread
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    fds_[0] = out[0];
    fds_[1] = err[0];
  }

  // One round: waits up to 50 ms for output and reads it; answers whether
  // the child has ended and both streams are closed.
  bool Pump() {
    pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (fds_[0] >= 0 || fds_[1] >= 0) {
      ::poll(p, 2, 50);  // closed streams (-1) are ignored
    } else if (!exited_) {
      ::usleep(2000);  // a forked child has no streams: only its end to wait for
    }
    for (int i = 0; i < 2; ++i) {
      if (fds_[i] < 0 || p[i].revents == 0) continue;
      char buf[65536];
      ssize_t n = ::read(fds_[i], buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
      } else {  // end of file, or EIO once a terminal's last writer closed it
        ::close(fds_[i]);
        fds_[i] = -1;
      }
    }
    int status = 0;
    if (pid_ <= 0 || (!exited_ && ::waitpid(pid_, &status, WNOHANG) == pid_)) {
      exited_ = true;
      code_ = pid_ <= 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return done_ = exited_ && fds_[0] < 0 && fds_[1] < 0;
  }

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};
  bool exited_ = false, done_ = false;
  int code_ = -1;
  std::string out_, err_;
};

}  // namespace poshark::testing
