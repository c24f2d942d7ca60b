#include "Runtime.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace poshark::tool {

OutputStream::~OutputStream() {
  if (file_ != nullptr && file_ != stdout) std::fclose(file_);
}

bool OutputStream::Open(std::string& error) {
  if (path_ == "-") {
    file_ = stdout;
    return ok_ = true;
  }
  FILE* f = std::fopen(path_.c_str(), "ae");
  if (f == nullptr) {
    error = "output " + path_ + ": " + std::strerror(errno);
    return false;
  }
  if (file_ != nullptr) std::fclose(file_);
  file_ = f;
  return ok_ = true;
}

bool OutputStream::IsTerminal() const { return file_ != nullptr && isatty(fileno(file_)); }

bool OutputStream::Write(std::deque<DeliveredLine>& batch, const LineKeeper& keep) {
  for (auto& line : batch) {
    const bool writing = ok_ && file_ != nullptr;
    if (!line.printer || (!writing && !keep)) continue;
    LineRecord record;
    std::string out = line.printer->Format(line, keep ? &record : nullptr);
    if (writing) ok_ = std::fwrite(out.data(), 1, out.size(), file_) == out.size();
    if (keep) keep(std::move(record));
  }
  batch.clear();
  return ok_;
}

bool OutputStream::Flush() {
  if (ok_ && file_ != nullptr) ok_ = std::fflush(file_) == 0;
  return ok_;
}

SignalWatcher::SignalWatcher(std::function<void(int)> on_signal)
    : on_signal_(std::move(on_signal)) {
  sigemptyset(&set_);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set_, sig);
  pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  thread_ = std::thread([this] {
    int sig = 0;
    while (sigwait(&set_, &sig) == 0) {
      if (sig == SIGUSR1) {
        if (finishing_) break;
        continue;
      }
      on_signal_(sig);
    }
  });
}

SignalWatcher::~SignalWatcher() {
  finishing_ = true;
  pthread_kill(thread_.native_handle(), SIGUSR1);
  thread_.join();
}

}  // namespace poshark::tool
