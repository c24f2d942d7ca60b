// The output of `listen` and `serve`: delivered lines formatted and written
// to standard output or a file.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>

#include "output/LineRecord.h"
#include "output/LineSink.h"

namespace poshark::tool {

using LineKeeper = std::function<void(LineRecord&&)>;

// Standard output ("-") or a file opened for appending, which can be
// reopened after a log rotation.
class OutputStream {
 public:
  // How lines are written: text rows (painted when colour), or JSON rows
  // (docs/OUTPUT.md), with the channel's name when with_channel.
  struct Form {
    bool json = false;
    bool colour = false;
    bool with_channel = false;
  };
  OutputStream(std::string path, Form form) : path_(std::move(path)), form_(form) {}
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Opens (again); false with a message naming the file.
  bool Open(std::string& error);
  // Reads every line of the batch into its record with its channel's
  // reader, writes the record out and hands it to the keeper (written out
  // or not), and empties the batch. What is formatted is written in large
  // pieces, the rest by Flush. False once the output cannot be written any
  // more.
  bool Write(LineBatch& batch, const LineKeeper& keep = {});
  // Writes what is formatted and flushes: before every wait for lines.
  bool Flush();

 private:
  std::string path_;
  Form form_;
  // Writes out what the lines so far came to.
  void WritePending();

  FILE* file_ = nullptr;
  bool ok_ = true;
  std::string pending_;  // formatted lines not yet written
  LineRecord record_;    // the line being written; its room is reused
};

}  // namespace poshark::tool
