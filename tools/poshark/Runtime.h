// What `listen` and `serve` share at run time: the output stream, the
// writing of delivered lines, and the signals that stop or reload them.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "LineSink.h"
#include "Output.h"

namespace poshark::tool {

using LineKeeper = std::function<void(LineRecord&&)>;

// Standard output ("-") or a file opened for appending, which can be
// reopened after a log rotation.
class OutputStream {
 public:
  explicit OutputStream(std::string path) : path_(std::move(path)) {}
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Opens (again); false with a message naming the file.
  bool Open(std::string& error);
  bool IsTerminal() const;
  // Formats every line of the batch with its channel's printer, and empties
  // it. What is formatted is written in large pieces, the rest by Flush. False
  // once the output cannot be written any more. A keeper gets the record of
  // every line, written out or not.
  bool Write(LineBatch& batch, const LineKeeper& keep = {});
  // Writes what is formatted and flushes: before every wait for lines.
  bool Flush();

 private:
  std::string path_;
  // Writes out what the lines so far came to.
  void WritePending();

  FILE* file_ = nullptr;
  bool ok_ = true;
  std::string pending_;  // formatted lines not yet written
};

// SIGINT, SIGTERM and SIGHUP, taken on a thread of their own: the callback
// runs there. The signals stay blocked in every thread.
class SignalWatcher {
 public:
  explicit SignalWatcher(std::function<void(int)> on_signal);
  ~SignalWatcher();

 private:
  std::function<void(int)> on_signal_;
  sigset_t set_;
  std::atomic<bool> finishing_{false};
  std::thread thread_;
};

}  // namespace poshark::tool
