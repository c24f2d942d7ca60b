#include "channel/Channel.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "base/Log.h"
#include "channel/Source.h"

namespace poshark::tool {

namespace {

using Clock = std::chrono::steady_clock;

// The listener's callbacks are plain functions without a context argument:
// each channel takes a slot whose functions lead to it.
constexpr int kSlots = 64;
std::mutex g_slots_mutex;
std::array<std::atomic<Channel*>, kSlots> g_slots{};

template <int I>
unsigned short OnLineSlot(char* text, SYSTEMTIME* time, bool dst, int pos, int event, char* extra) {
  if (Channel* c = g_slots[I].load()) c->OnLine(text, time, dst, pos, event, extra);
  return 0;
}

template <int I>
unsigned short OnChunkSlot(int length, unsigned char*, SYSTEMTIME*) {
  if (Channel* c = g_slots[I].load()) c->OnChunk(length);
  return 0;
}

template <int... I>
constexpr auto LineTable(std::integer_sequence<int, I...>) {
  return std::array<RCPosHark::LineOutFt, kSlots>{&OnLineSlot<I>...};
}
template <int... I>
constexpr auto ChunkTable(std::integer_sequence<int, I...>) {
  return std::array<RCPosHark::TestListenFt, kSlots>{&OnChunkSlot<I>...};
}
constexpr auto kLineSlots = LineTable(std::make_integer_sequence<int, kSlots>{});
constexpr auto kChunkSlots = ChunkTable(std::make_integer_sequence<int, kSlots>{});

bool OnDst(void*) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  return localtime_r(&now, &tm) != nullptr && tm.tm_isdst > 0;
}

// The longest extra block a listener hands over with a line.
constexpr size_t kMaxExtraBytes = 260;

// The held bytes of set auto go to the listener in pieces of this size.
constexpr size_t kMaxHeldPiece = 64 * 1024;

// Quiet time that ends a drain once the analyzer has taken everything.
constexpr auto kDrainQuiet = std::chrono::milliseconds(60);

}  // namespace

// The kernel's last tick, a few milliseconds behind at most: read for every
// line, and far cheaper than the exact clock.
int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Channel::Channel(ChannelSettings settings, LineSink& sink, std::shared_ptr<LineReader> reader)
    : settings_(std::move(settings)),
      sink_(sink),
      reader_(std::move(reader)),
      listener_(settings_.pos) {
  std::lock_guard lock(g_slots_mutex);
  for (int i = 0; i < kSlots; ++i) {
    if (g_slots[i].load() == nullptr) {
      slot_ = i;
      g_slots[i] = this;
      break;
    }
  }
  if (slot_ < 0) throw std::runtime_error("more than " + std::to_string(kSlots) + " channels");
}

Channel::~Channel() {
  Stop(Clock::now());
  std::lock_guard lock(g_slots_mutex);
  g_slots[slot_] = nullptr;
}

std::string Channel::LogPrefix() const {
  return settings_.name.empty() ? "" : "channel " + settings_.name + ": ";
}

void Channel::Say(LogLevel level, const std::string& text) const {
  const std::string source = DescribeSource(settings_.source);
  Log(level, LogPrefix() + text, LogFields{settings_.name, settings_.pos, source});
}

bool SelectCommandSet(RCPosHark& listener, const std::string& set) {
  bool numeric = !set.empty() && set.find_first_not_of("0123456789") == std::string::npos;
  return numeric ? (set.size() < 9 && listener.SelectCmdSet(std::stoi(set)))
                 : listener.SelectCmdSet(set);
}

bool Channel::PrepareSet(const std::string& set, std::string& error) {
  if (!SelectCommandSet(listener_, set)) {
    error = "set " + set + ": no such command set (" + std::to_string(listener_.GetCmdSetNum()) +
            " found; `poshark sets` lists them)";
    return false;
  }
  char name[260] = {};
  set_name_ = listener_.GetCurCmdSetName(name) ? name : set;
  for (const std::string& fault : listener_.GetCodeTableErrors()) {
    Say(LogLevel::kWarning, fault + " (the set is read without code tables)");
  }
  // A set with code tables delivers UTF-8; --codepage stays the page of
  // the others, and of the text before the first select command.
  tables_ = listener_.EnableCodeTables(true, settings_.codepage.c_str());
  if (tables_) reader_->UseUtf8();
  unknown_seen_ = 0;
  unknown_logged_.fill(false);
  return true;
}

bool Channel::Start(std::string& error) {
  const bool guessed = settings_.set == kAutoSet;
  if (guessed) {
    if (settings_.source.kind == SourceKind::kSerial) {
      error = "set auto: the listener reads a serial port itself; name the set of this source";
      return false;
    }
    if (listener_.GetCmdSetNum() == 0) {
      error = "set auto: no command sets to guess from";
      return false;
    }
    auto_ = std::make_unique<AutoSet>(settings_.codepage);
  } else if (!PrepareSet(settings_.set, error)) {
    return false;
  }
  listener_.SetDstFt(OnDst);
  listener_.SetTestListenFt(kChunkSlots[static_cast<size_t>(slot_)]);
  if (settings_.gate_ms >= 0) listener_.SetGateOpenTime(static_cast<uint32_t>(settings_.gate_ms));
  switch (settings_.source.kind) {
    case SourceKind::kSerial:
      source_ = MakeSerialSource(*this);
      break;
    case SourceKind::kFeed:
      source_ = MakeFeedSource(*this);
      break;
    default:
      source_ = MakeNetSource(*this);
  }
  stopping_ = false;
  last_activity_ms_ = NowMs();
  if (settings_.source.kind == SourceKind::kTap) StartIntake();
  // A serial source opens the port before the listener starts reading it;
  // the others start giving bytes at once, so the listener starts first.
  bool serial = settings_.source.kind == SourceKind::kSerial;
  // Set auto starts the listener once the set is chosen.
  if (!serial && !guessed) listener_.ListenStart(kLineSlots[static_cast<size_t>(slot_)], true);
  listening_ = !serial && !guessed;
  // Up before the source's threads run: a short feed may end at once.
  counters_->source_up = true;
  if (!source_->Start(error)) {
    counters_->source_up = false;
    source_.reset();
    StopIntake();
    if (listening_) listener_.ListenStop();
    listening_ = false;
    return false;
  }
  if (serial) {
    listener_.ListenStart(kLineSlots[static_cast<size_t>(slot_)], false);
    listening_ = true;
    counters_->connections.fetch_add(1, std::memory_order_relaxed);
  }
  return true;
}

void Channel::NotifyProgress() {
  { std::lock_guard lock(progress_mutex_); }
  progress_.notify_all();
}

void Channel::Drain(Clock::time_point deadline) {
  std::unique_lock lock(progress_mutex_);
  auto quiet = [&] {
    int64_t idle = NowMs() - last_activity_ms_;
    // In graph mode the analyzer counts fewer bytes than were fed: there a
    // longer quiet time alone ends the drain.
    return idle >= kDrainQuiet.count() && (analyzed_ >= fed_ || idle >= 4 * kDrainQuiet.count());
  };
  while (!quiet() && Clock::now() < deadline) {
    progress_.wait_for(lock, std::chrono::milliseconds(10));
  }
}

void Channel::Stop(Clock::time_point deadline) {
  if (!listening_ && !source_) return;
  stopping_ = true;
  NotifyProgress();
  sink_.WakeWriters();  // a feed source may wait in EndInput for a blocked writer
  if (source_) source_->Stop();
  StopIntake();
  {
    std::lock_guard lock(give_mutex_);
    DecideSet();
  }
  // A feed whose end was delivered has nothing left to wait for.
  if (!input_drained_) Drain(deadline);
  sink_.WakeWriters();
  if (listening_) listener_.ListenStop();
  if (settings_.source.kind == SourceKind::kSerial) listener_.CloseCom();
  listening_ = false;
  counters_->source_up = false;
}

std::string Channel::Where() const {
  return source_ ? source_->Where() : DescribeSource(settings_.source);
}
bool Channel::SourceDone() const { return source_ && source_->Done(); }
std::string Channel::SourceError() const { return source_ ? source_->Error() : ""; }

bool Channel::WaitForListener() {
  sink_.WaitForRoom(stopping_, kMaxPrintBacklog);
  return !stopping_;
}

void Channel::Give(const unsigned char* data, size_t size) {
  std::lock_guard lock(give_mutex_);
  if (stopping_ || size == 0 || !WaitForListener()) return;
  ReportDropped();
  Feed(data, size);
}

void Channel::EndInput() {
  {
    std::lock_guard lock(give_mutex_);
    DecideSet();
    if (!stopping_ && listening_) input_drained_ = listener_.EndOfInput(kEndOfInputWaitMs);
    // Set auto on an empty input: no set chosen, nothing to deliver.
    if (auto_ && !listening_) input_drained_ = true;
  }
  sink_.Wake();
}

void Channel::EndConnection() {
  std::lock_guard lock(give_mutex_);
  DecideSet();
  if (!stopping_ && listening_) listener_.EndOfInput(kConnectionEndWaitMs);
}

void Channel::OfferEnd() {
  std::lock_guard lock(intake_mutex_);
  if (offered_ == ended_at_ || ends_.size() >= kMaxIntakeEnds) return;  // nothing to end
  ends_.push_back(offered_);
  ended_at_ = offered_;
  intake_wake_.notify_one();
}

// Under give_mutex_.
void Channel::Feed(const unsigned char* data, size_t size) {
  if (auto_ && !auto_->Decided()) {
    NoteActivity();
    if (auto_->Add(data, size)) StartGuessed();
    return;
  }
  listener_.GotData(static_cast<int>(size), const_cast<unsigned char*>(data));
  fed_ += size;
  counters_->bytes.fetch_add(size, std::memory_order_relaxed);
  NoteActivity();
}

void Channel::DecideSet() {
  if (auto_ && !auto_->Decided() && auto_->Decide()) StartGuessed();
}

void Channel::StartGuessed() {
  Say(LogLevel::kInfo, auto_->Choice());
  std::string error;
  std::vector<unsigned char> held = auto_->TakeHeld();
  if (!PrepareSet(std::to_string(auto_->Set()), error)) {
    Say(LogLevel::kError, error + "; " + std::to_string(held.size()) + " bytes are not read");
    return;
  }
  listener_.ListenStart(kLineSlots[static_cast<size_t>(slot_)], true);
  listening_ = true;
  // In pieces a GotData call takes (its length is an int).
  for (size_t at = 0; at < held.size(); at += kMaxHeldPiece) {
    Feed(held.data() + at, std::min(kMaxHeldPiece, held.size() - at));
  }
}

void Channel::ReportDropped() {
  uint64_t dropped = dropped_;
  if (dropped == drop_reported_) return;
  Say(LogLevel::kWarning, "the listener fell behind; " + std::to_string(dropped - drop_reported_) +
                              " bytes passed through without being read");
  drop_reported_ = dropped;
}

void Channel::StartIntake() {
  intake_ = std::make_unique<unsigned char[]>(kIntakeRing);
  intake_head_ = intake_size_ = 0;
  offered_ = taken_ = ended_at_ = 0;
  ends_.clear();
  intake_stop_ = false;
  intake_thread_ = std::thread([this] { IntakeLoop(); });
}

void Channel::StopIntake() {
  if (!intake_thread_.joinable()) return;
  {
    std::lock_guard lock(intake_mutex_);
    intake_stop_ = true;
  }
  intake_wake_.notify_all();
  intake_thread_.join();
}

void Channel::Offer(const unsigned char* data, size_t size) {
  std::lock_guard lock(intake_mutex_);
  size_t room = kIntakeRing - intake_size_;
  if (size > room) {
    dropped_ += size - room;
    counters_->intake_lost.fetch_add(size - room, std::memory_order_relaxed);
    size = room;
  }
  for (size_t done = 0; done < size;) {  // at most two pieces: the ring wraps once
    size_t at = (intake_head_ + intake_size_) % kIntakeRing;
    size_t n = std::min(size - done, kIntakeRing - at);
    std::memcpy(intake_.get() + at, data + done, n);
    intake_size_ += n;
    done += n;
  }
  offered_ += size;
  intake_wake_.notify_one();
}

void Channel::IntakeLoop() {
  constexpr size_t kPiece = 64 * 1024;
  std::unique_ptr<unsigned char[]> piece(new unsigned char[kPiece]);
  for (;;) {
    size_t n = 0;
    bool end = false;
    {
      std::unique_lock lock(intake_mutex_);
      intake_wake_.wait(lock, [&] { return intake_stop_ || intake_size_ > 0 || !ends_.empty(); });
      if (intake_stop_) break;
      // A piece never reaches past a connection's end.
      uint64_t to_end = ends_.empty() ? kPiece : ends_.front() - taken_;
      n = std::min({intake_size_, kPiece, kIntakeRing - intake_head_, static_cast<size_t>(to_end)});
      std::memcpy(piece.get(), intake_.get() + intake_head_, n);
      intake_head_ = (intake_head_ + n) % kIntakeRing;
      intake_size_ -= n;
      taken_ += n;
      end = !ends_.empty() && ends_.front() == taken_;
      if (end) ends_.pop_front();
    }
    if (n > 0) Give(piece.get(), n);
    if (end) EndConnection();
  }
  // The channel stops: what was read still goes to the listener, whose
  // lines are delivered before it stops.
  std::lock_guard give(give_mutex_);
  std::lock_guard lock(intake_mutex_);
  while (intake_size_ > 0) {
    size_t n = std::min(intake_size_, kIntakeRing - intake_head_);
    Feed(intake_.get() + intake_head_, n);
    intake_head_ = (intake_head_ + n) % kIntakeRing;
    intake_size_ -= n;
  }
}

void Channel::OnLine(char* text, SYSTEMTIME* time, bool dst, int pos, int event, char* extra) {
  sink_.Push(stopping_, [&](DeliveredLine& line) {
    line.text.assign(text != nullptr ? text : "");
    line.time = time != nullptr ? *time : SYSTEMTIME{};
    line.dst = dst;
    line.pos = pos;
    line.event = event;
    // Most lines carry no extra block: clearing costs far less than assigning nothing.
    if (extra != nullptr && extra[0] != 0) {
      line.extra.assign(extra, strnlen(extra, kMaxExtraBytes));
    } else {
      line.extra.clear();
    }
    if (line.reader != reader_) line.reader = reader_;
  });
  if (tables_ && listener_.GetUnknownTableCount(-1) != unknown_seen_) ReportUnknownTables();
  NoteActivity();
  CountLine(event, text);
}

// On the listener's writer thread.
void Channel::CountLine(int event, const char* text) {
  ChannelCounters& c = *counters_;
  c.lines.fetch_add(1, std::memory_order_relaxed);
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  c.last_line_ms.store(static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000,
                       std::memory_order_relaxed);
  if (event == POSHARK_EVENT_STOP) c.receipts.fetch_add(1, std::memory_order_relaxed);
  if (event != POSHARK_EVENT_OVERFLOW) return;
  c.overflow_notes.fetch_add(1, std::memory_order_relaxed);
  // The note reads "... N bytes".
  long long lost = 0;
  if (text != nullptr && std::sscanf(text, "... %lld bytes", &lost) == 1 && lost > 0)
    c.overflow_bytes.fetch_add(static_cast<uint64_t>(lost), std::memory_order_relaxed);
}

// On the listener's writer thread: each table number the set lacks is
// reported once.
void Channel::ReportUnknownTables() {
  unknown_seen_ = listener_.GetUnknownTableCount(-1);
  for (size_t n = 0; n < unknown_logged_.size(); ++n) {
    if (!unknown_logged_[n] && listener_.GetUnknownTableCount(static_cast<int>(n)) > 0) {
      unknown_logged_[n] = true;
      Say(LogLevel::kWarning, "code table " + std::to_string(n) + " is not in set " + set_name_ +
                                  "; its text is read in the table in force before it");
    }
  }
}

// Written only when the coarse clock has moved on: the analyzer and the
// writer note activity at every chunk and line, and a store each time would
// pass the counters' cache line between their processors.
void Channel::NoteActivity() {
  const int64_t now = NowMs();
  if (last_activity_ms_.load(std::memory_order_relaxed) != now) {
    last_activity_ms_.store(now, std::memory_order_relaxed);
  }
}

void Channel::OnChunk(int length) {
  if (length > 0) analyzed_ += static_cast<uint64_t>(length);
  NoteActivity();
}

}  // namespace poshark::tool
