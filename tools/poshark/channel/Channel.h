// One channel at run time: a listener, the source that feeds it, and the
// hand-over of its lines to the output thread. Used by `listen` (one
// channel) and `serve` (one per configured channel).
#pragma once

#include <poshark/RCPosHark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/Log.h"
#include "channel/AutoSet.h"
#include "channel/ChannelCounters.h"
#include "output/LineReader.h"
#include "output/LineSink.h"
#include "settings/ChannelSettings.h"

namespace poshark::tool {

// A source that may wait waits while this many lines wait for the output: a
// slow output slows the source instead of blocking the writer. How far the
// listener may fall behind the source is the listener's own hold in
// GotData, which bounds its analyze queue.
inline constexpr size_t kMaxPrintBacklog = 8192;

// How long the end of a feed waits for the listener to deliver what it was
// given; past it the output ends once the channel has been quiet (listen).
inline constexpr uint32_t kEndOfInputWaitMs = 5000;

// Bytes offered by a tap that may wait for the listener's intake thread.
inline constexpr size_t kIntakeRing = 1024 * 1024;
// Ends of tap connections that may wait in the intake behind their bytes;
// beyond them an end is not marked (the next connection's first line may
// then follow an unfinished one).
inline constexpr size_t kMaxIntakeEnds = 4096;

// How long the end of a connection waits for the listener to deliver the
// connection's lines before the next connection's bytes are given.
inline constexpr uint32_t kConnectionEndWaitMs = 1000;

// Milliseconds of a coarse monotonic clock (steps of the kernel tick).
int64_t NowMs();

class Source;

// Selects a command set by name, or by number when the text is one; false
// when there is no such set.
bool SelectCommandSet(RCPosHark& listener, const std::string& set);

class Channel {
 public:
  // Throws std::runtime_error when every callback slot is taken.
  Channel(ChannelSettings settings, LineSink& sink, std::shared_ptr<LineReader> reader);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Selects the command set, opens the source and starts listening. False
  // with a message when anything fails; then nothing is left running.
  bool Start(std::string& error);
  // Delivers what the listener already has (for at most until the
  // deadline), then stops the source and the listener. Idempotent.
  void Stop(std::chrono::steady_clock::time_point deadline);

  // Hands bytes to the listener; one caller at a time is let through. The
  // caller waits while the listener is behind, so its POS is slowed down.
  void Give(const unsigned char* data, size_t size);
  // Copies bytes for the listener and returns at once: a thread of the
  // channel hands them over. Bytes that find the copy buffer full are left
  // out of the analysis and counted. For the tap, whose copying must not
  // wait for the listener.
  void Offer(const unsigned char* data, size_t size);
  // A connection of a tcp source ended: its unfinished line is delivered
  // as a line of its own before any byte of the next connection is given
  // (waits for at most kConnectionEndWaitMs).
  void EndConnection();
  // The same for a tap, in step with Offer: the intake thread ends the
  // connection once it has handed over every byte offered before.
  void OfferEnd();
  // The source has no more bytes: waits until the listener has delivered
  // every line of what it was given (see InputDrained), then wakes the
  // output thread.
  void EndInput();
  // EndInput saw every line delivered.
  bool InputDrained() const { return input_drained_; }

  const ChannelSettings& Settings() const { return settings_; }
  // What this channel counts; a fresh set unless CountInto gave one. Call
  // CountInto before Start.
  ChannelCounters& Counters() { return *counters_; }
  void CountInto(std::shared_ptr<ChannelCounters> counters) { counters_ = std::move(counters); }
  RCPosHark& Listener() { return listener_; }
  bool Stopping() const { return stopping_; }
  // Where the source listens or what it reads, for the log.
  std::string Where() const;
  // Feed sources: the input is exhausted; error set when it ended on one.
  bool SourceDone() const;
  std::string SourceError() const;
  int64_t LastActivityMs() const { return last_activity_ms_; }
  // "channel NAME: " in serve, "" in listen.
  std::string LogPrefix() const;
  // Logs text after LogPrefix, with the channel, POS and source as the
  // journal's fields. Any thread.
  void Say(LogLevel level, const std::string& text) const;

  // Called by the slot trampolines on the listener's threads.
  void OnLine(char* text, SYSTEMTIME* time, bool dst, int pos, int event, char* extra);
  void OnChunk(int length);

 private:
  bool WaitForListener();
  void StartIntake();
  void StopIntake();
  void IntakeLoop();
  void ReportDropped();
  void Feed(const unsigned char* data, size_t size);
  void NotifyProgress();
  void NoteActivity();
  void Drain(std::chrono::steady_clock::time_point deadline);
  // Selects the set (a name or a number) and makes the listener and the
  // reader ready for it.
  bool PrepareSet(const std::string& set, std::string& error);
  // Set auto, under give_mutex_: once the set is chosen, selects it, starts
  // the listener and gives it the held bytes; DecideSet chooses on what is
  // held (at the end of the input, a connection or the channel).
  void StartGuessed();
  void DecideSet();
  void ReportUnknownTables();
  void CountLine(int event, const char* text);

  ChannelSettings settings_;
  LineSink& sink_;
  std::shared_ptr<LineReader> reader_;
  std::shared_ptr<ChannelCounters> counters_ = std::make_shared<ChannelCounters>();
  int slot_ = -1;
  RCPosHark listener_;
  std::unique_ptr<Source> source_;
  std::atomic<bool> listening_{false};  // written by Start, Stop and the giving thread (set auto)
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> last_activity_ms_{0};
  std::atomic<bool> input_drained_{false};
  std::atomic<uint64_t> analyzed_{0};
  std::mutex give_mutex_;  // one Give at a time, never held by a callback
  // Wakes the drain's wait; never held while the library is called.
  std::mutex progress_mutex_;
  std::condition_variable progress_;
  std::atomic<uint64_t> fed_{0};
  std::atomic<uint64_t> dropped_{0};
  uint64_t drop_reported_ = 0;
  // Code tables followed (set by PrepareSet); on the writer thread: the unknown
  // selections seen and the numbers reported.
  bool tables_ = false;
  std::string set_name_;  // the selected set, for the log
  // Set auto: the bytes held until the set is chosen (null otherwise).
  std::unique_ptr<AutoSet> auto_;
  uint32_t unknown_seen_ = 0;
  std::array<bool, 256> unknown_logged_{};
  // Offered bytes on their way to the intake thread.
  std::mutex intake_mutex_;
  std::condition_variable intake_wake_;
  std::unique_ptr<unsigned char[]> intake_;  // a ring of kIntakeRing bytes
  size_t intake_head_ = 0;
  size_t intake_size_ = 0;
  uint64_t offered_ = 0;       // bytes ever put into the ring
  uint64_t taken_ = 0;         // bytes ever taken out of it
  uint64_t ended_at_ = 0;      // offered_ at the last connection's end
  std::deque<uint64_t> ends_;  // values of offered_ at each connection's end
  bool intake_stop_ = false;
  std::thread intake_thread_;
};

}  // namespace poshark::tool
