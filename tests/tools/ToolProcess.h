// Runs the poshark tool as a child process for end-to-end tests: arguments,
// extra environment, stdin from a file or /dev/null, stdout and stderr
// collected by a reader thread, signals, bounded waits.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace poshark_test {

inline std::string ToolPath() { return POSHARK_TOOL_PATH; }
inline std::string SourceDir() { return POSHARK_SOURCE_DIR; }
inline std::string ReceiptsDir() { return SourceDir() + "/examples/receipts"; }

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/poshark-tool-test-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class ToolProcess {
 public:
  struct Options {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;  // added or replaced; "" removes
    std::string stdin_path = "/dev/null";
    bool stdout_on_pty = false;  // stdout is a terminal
  };

  explicit ToolProcess(const Options& o) {
    int out_pipe[2];
    int err_pipe[2];
    int pty_slave = -1;
    if (o.stdout_on_pty) {
      openpty(&out_pipe[0], &pty_slave, nullptr, nullptr, nullptr);
      out_pipe[1] = pty_slave;
    } else if (pipe(out_pipe) != 0) {
      return;
    }
    if (pipe(err_pipe) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, o.stdin_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&fa, out_pipe[0]);
    posix_spawn_file_actions_addclose(&fa, err_pipe[0]);

    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string kv = *e;
      size_t eq = kv.find('=');
      if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    env.erase("NO_COLOR");
    env.erase("POSHARK_WORKDIR");
    env.erase("POSHARK_CODEPAGE");
    // Never the real home of an installation.
    env["POSHARK_HOME"] = home_.path();
    for (const auto& [k, v] : o.env) {
      if (v.empty()) {
        env.erase(k);
      } else {
        env[k] = v;
      }
    }
    std::vector<std::string> env_strings;
    for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> args = {ToolPath()};
    args.insert(args.end(), o.args.begin(), o.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The child must not inherit blocked signals of a test thread.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    if (posix_spawn(&pid_, argv[0], &fa, &attr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    close(out_pipe[1]);
    close(err_pipe[1]);
    reader_ = std::thread([this, out = out_pipe[0], err = err_pipe[0]] { Read(out, err); });
  }

  ~ToolProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
    if (reader_.joinable()) reader_.join();
  }

  void Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }

  // Exit status, or -1 when the process did not end in time (it is killed).
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!exited_) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        exited_ = true;
        code_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reader_.joinable()) reader_.join();
    return code_;
  }

  // Waits until the collected output satisfies the predicate.
  bool WaitFor(const std::function<bool(const std::string& out, const std::string& err)>& pred,
               std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return pred(out_, err_) || done_reading_; }) &&
           pred(out_, err_);
  }

  std::string Out() {
    std::lock_guard lock(mutex_);
    return out_;
  }
  std::string Err() {
    std::lock_guard lock(mutex_);
    return err_;
  }

 private:
  void Read(int out, int err) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
      if (poll(fds, 2, 200) < 0) break;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_count;
          continue;
        }
        std::lock_guard lock(mutex_);
        (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
        changed_.notify_all();
      }
    }
    std::lock_guard lock(mutex_);
    done_reading_ = true;
    changed_.notify_all();
  }

  TempDir home_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_;
  std::string err_;
  bool done_reading_ = false;
};

// Runs the tool to its end.
struct Result {
  int code;
  std::string out;
  std::string err;
};

inline Result RunTool(ToolProcess::Options o,
                      std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  ToolProcess p(o);
  int code = p.Wait(limit);
  return {code, p.Out(), p.Err()};
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  std::string line;
  while (std::getline(ss, line)) lines.push_back(line);
  return lines;
}

}  // namespace poshark_test
