// The stream analyzer's session: while an object of this class lives on a
// thread, Analyze keeps what it derived from a command set (the byte classes
// of its fast path) instead of deriving it again for every buffer. The set
// must not be reloaded meanwhile; the listener reloads sets only while it is
// not listening, and its analyzer thread holds a session for its whole run.
// Within a session the writer is woken once per batch of pushed records (see
// PushLine in Analyzer.cpp); what is still due is woken when the session ends.
#pragma once

namespace poshark::commands {

class AnalyzeSession {
 public:
  AnalyzeSession();
  ~AnalyzeSession();
  AnalyzeSession(const AnalyzeSession&) = delete;
  AnalyzeSession& operator=(const AnalyzeSession&) = delete;
};

}  // namespace poshark::commands
