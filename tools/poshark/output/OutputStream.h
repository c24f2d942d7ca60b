// The output of `listen` and `serve`: delivered lines formatted and written
// to standard output or a file.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>

#include "output/LineSink.h"
#include "output/Output.h"

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

}  // namespace poshark::tool
