#include "output/OutputStream.h"

#include "output/JsonRow.h"
#include "output/LineReader.h"
#include "output/TextRows.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace poshark::tool {
namespace {

// Formatted bytes gathered before they are written: one large write in
// place of one per line or per small batch.
constexpr size_t kWriteChunk = 64 * 1024;

}  // namespace

OutputStream::~OutputStream() {
  WritePending();
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
  if (file_ != nullptr) {
    WritePending();  // the lines before the reopening go to the old file
    std::fclose(file_);
  }
  file_ = f;
  return ok_ = true;
}

bool OutputStream::Write(LineBatch& batch, const LineKeeper& keep) {
  for (auto& line : batch) {
    const bool writing = ok_ && file_ != nullptr;
    if (!line.reader || (!writing && !keep)) continue;
    line.reader->Read(line, record_);
    if (writing) {
      if (form_.json) {
        AppendJsonRow(pending_, record_, form_.with_channel);
        pending_ += '\n';
      } else {
        AppendTextRows(pending_, record_, form_.colour ? &line.reader->CodePage() : nullptr);
      }
      if (pending_.size() >= kWriteChunk) WritePending();
    }
    if (keep) keep(std::move(record_));
  }
  batch.clear();
  return ok_;
}

void OutputStream::WritePending() {
  if (ok_ && file_ != nullptr && !pending_.empty()) {
    ok_ = std::fwrite(pending_.data(), 1, pending_.size(), file_) == pending_.size();
  }
  pending_.clear();
}

bool OutputStream::Flush() {
  WritePending();
  if (ok_ && file_ != nullptr) ok_ = std::fflush(file_) == 0;
  return ok_;
}

}  // namespace poshark::tool
