#include "serve/Serve.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>

#include "base/Log.h"
#include "base/SignalWatcher.h"
#include "base/Usage.h"
#include "channel/Channel.h"
#include "forward/ForwardMetrics.h"
#include "forward/Forwarder.h"
#include "journal/Journal.h"
#include "journal/JournalDb.h"
#include "output/LineSink.h"
#include "output/OutputStream.h"
#include "page/LiveFeed.h"
#include "page/PageServer.h"
#include "serve/Notify.h"
#include "serve/ServiceHealth.h"
#include "settings/ServeConfig.h"
#include "settings/SourceSetting.h"

namespace poshark::tool {

namespace {

using Clock = std::chrono::steady_clock;

// A channel that cannot start is tried again after this long, doubled after
// every failure up to the longest wait.
constexpr auto kFirstRetry = std::chrono::milliseconds(1000);
constexpr auto kLongestRetry = std::chrono::milliseconds(60000);
// Lines already read are delivered for at most this long after a stop or
// before a changed channel restarts; the whole stop stays within 2 s.
constexpr auto kStopDrain = std::chrono::milliseconds(1200);
// The service writes JSON rows that name their channel.
constexpr OutputStream::Form kServeRows{true, false, true};
// Longest wait of the output loop for lines.
constexpr auto kLoopWait = std::chrono::milliseconds(100);
// The channels' states are published for /healthz, /metrics and STATUS= at
// most this often: a busy loop turns many times a second.
constexpr auto kPublishEvery = std::chrono::milliseconds(100);

// One configured channel and its run-time state.
struct Slot {
  ChannelSettings settings;
  std::shared_ptr<LineReader> reader;
  std::unique_ptr<Channel> channel;
  Clock::time_point next_try{};
  std::chrono::milliseconds backoff = kFirstRetry;
  std::string last_error;
  // The channel's counts, kept across its restarts; and how often it started.
  std::shared_ptr<ChannelCounters> counters = std::make_shared<ChannelCounters>();
  uint64_t starts = 0;
};

// A channel as /healthz shows it. Failed: a feed that ended on an error, or
// a channel whose back-off has grown to the longest (failing for a minute).
ChannelView ViewOf(const Slot& s) {
  ChannelView v;
  v.name = s.settings.name;
  v.counters = s.counters;
  v.restarts = s.starts > 0 ? s.starts - 1 : 0;
  v.last_error = s.last_error;
  if (s.channel) {
    v.source = s.channel->Where();
    const bool ended = s.channel->SourceDone();
    if (ended) v.last_error = s.channel->SourceError();
    v.state = !ended ? ChannelState::kRunning
                     : (v.last_error.empty() ? ChannelState::kEnded : ChannelState::kFailed);
  } else {
    v.source = DescribeSource(s.settings.source);
    v.state = s.backoff >= kLongestRetry ? ChannelState::kFailed : ChannelState::kRetrying;
  }
  return v;
}

class Service {
 public:
  explicit Service(std::string path) : path_(std::move(path)) {}
  int Run(ServeConfig config);

 private:
  void Say(LogLevel level, const Slot& s, const std::string& text) {
    const std::string source = DescribeSource(s.settings.source);
    Log(level, "channel " + s.settings.name + ": " + text,
        LogFields{s.settings.name, s.settings.pos, source});
  }
  bool TryStart(Slot& s, std::string& error);
  void Start(Slot& s);
  void Stop(Slot& s, Clock::time_point deadline);
  void RetryDue();
  void Reload();
  void ApplyChannels(const std::vector<ChannelSettings>& wanted);
  void Pump(std::chrono::milliseconds wait);
  bool StartJournal();
  void StartForwards(const std::vector<ForwardSettings>& forwards);
  bool StartPage();
  LineKeeper Keeper();
  std::chrono::milliseconds NextWait() const;
  void PublishHealth();

  const std::string path_;
  ServiceSettings service_;
  MetricsRegistry metrics_;
  std::unique_ptr<OutputStream> out_;
  std::unique_ptr<Journal> journal_;
  std::vector<ForwardSettings> forward_settings_;
  std::vector<std::unique_ptr<Forwarder>> forwards_;  // after journal_: end before it
  std::vector<MetricRegistration> forward_metrics_;   // after forwards_: end before them
  std::unique_ptr<LiveFeed> feed_;
  std::unique_ptr<ServiceHealth> health_;  // after what it counts: ends before them
  std::unique_ptr<PageServer> page_;       // after feed_ and health_: ends before them
  std::string status_;                     // the STATUS= text last sent
  Clock::time_point next_publish_{};
  LineSink sink_;
  std::map<std::string, Slot> slots_;
  LineBatch batch_;
  bool output_ok_ = true;
  std::atomic<bool> stop_{false};
  std::atomic<bool> reload_{false};
};

bool Service::TryStart(Slot& s, std::string& error) {
  try {
    s.reader = std::make_shared<LineReader>(s.settings);
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  if (s.settings.keys && !s.reader->LoadKeys(error)) return false;
  s.channel = std::make_unique<Channel>(s.settings, sink_, s.reader);
  s.channel->CountInto(s.counters);
  ++s.starts;
  if (s.channel->Start(error)) return true;
  s.channel.reset();
  return false;
}

void Service::Start(Slot& s) {
  std::string error;
  if (TryStart(s, error)) {
    bool feed = s.settings.source.kind == SourceKind::kFeed;
    Say(LogLevel::kInfo, s,
        (feed ? "replaying " : "listening on ") + s.channel->Where() + ", POS " +
            std::to_string(s.settings.pos));
    s.backoff = kFirstRetry;
    s.last_error.clear();
    return;
  }
  // The first failure and every new one are warnings; repeats are debug.
  LogLevel level = error == s.last_error ? LogLevel::kDebug : LogLevel::kWarning;
  Say(level, s, error + "; trying again in " + std::to_string(s.backoff.count() / 1000) + " s");
  s.last_error = error;
  s.next_try = Clock::now() + s.backoff;
  s.backoff = std::min(s.backoff * 2, kLongestRetry);
}

void Service::Stop(Slot& s, Clock::time_point deadline) {
  if (s.channel) {
    s.channel->Stop(deadline);
    s.channel.reset();
  }
  if (s.reader) s.reader->SaveKeys();
}

void Service::RetryDue() {
  auto now = Clock::now();
  for (auto& [name, s] : slots_) {
    if (!s.channel && now >= s.next_try) Start(s);
  }
}

// Every round of the loop: the channels' states for /healthz and
// /metrics, and to the service manager when the tally changed.
void Service::PublishHealth() {
  const auto now = Clock::now();
  if (now < next_publish_) return;
  next_publish_ = now + kPublishEvery;
  std::vector<ChannelView> views;
  views.reserve(slots_.size());
  for (const auto& [name, s] : slots_) views.push_back(ViewOf(s));
  health_->Publish(std::move(views));
  std::string status = StatusText(health_->Tally());
  if (status != status_) NotifyStatus(status);
  status_ = std::move(status);
}

std::chrono::milliseconds Service::NextWait() const {
  auto wait = kLoopWait;
  auto now = Clock::now();
  for (const auto& [name, s] : slots_) {
    if (s.channel) continue;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(s.next_try - now);
    wait = std::clamp(left, std::chrono::milliseconds(0), wait);
  }
  return wait;
}

// Channels whose settings changed are stopped and started again; the
// others go on untouched.
void Service::ApplyChannels(const std::vector<ChannelSettings>& wanted) {
  std::map<std::string, const ChannelSettings*> by_name;
  for (const auto& c : wanted) by_name[c.name] = &c;
  for (auto it = slots_.begin(); it != slots_.end();) {
    auto found = by_name.find(it->first);
    if (found != by_name.end() && *found->second == it->second.settings) {
      by_name.erase(found);
      ++it;
      continue;
    }
    Say(LogLevel::kInfo, it->second, found == by_name.end() ? "removed" : "changed; restarting");
    Stop(it->second, Clock::now() + kStopDrain);
    it = slots_.erase(it);
  }
  for (const auto& c : wanted) {
    if (by_name.count(c.name) == 0) continue;
    Slot& s = slots_[c.name];
    s.settings = c;
    Start(s);
  }
}

void Service::Reload() {
  NotifyReloading();
  ServeConfig config;
  try {
    config = LoadServeConfig(path_);
  } catch (const UsageError& e) {
    Log(LogLevel::kError, e.message + "; the configuration in use is kept");
    NotifyReady();
    return;
  }
  SetLogLevel(config.service.log);
  if (config.service.home != service_.home) {
    Log(LogLevel::kWarning, "[service] home changed: takes effect at the next start");
    config.service.home = service_.home;
  }
  if (config.service.journal != service_.journal || config.service.keep != service_.keep ||
      config.service.http != service_.http) {
    Log(LogLevel::kWarning,
        "[service] journal, keep, http or token changed: takes effect at the next start");
    config.service.journal = service_.journal;
    config.service.keep = service_.keep;
    config.service.http = service_.http;
  }
  if (config.forwards != forward_settings_)
    Log(LogLevel::kWarning, "[forward] sections changed: take effect at the next start");
  if (config.service.store != service_.store) {
    Log(LogLevel::kWarning, "[service] store changed: takes effect at the next start");
    config.service.store = service_.store;
  }
  if (config.service.output != service_.output)
    out_ = std::make_unique<OutputStream>(config.service.output, kServeRows);
  std::string error;
  if (!out_->Open(error)) Log(LogLevel::kError, error);  // output_ok_ stays; writes fail
  output_ok_ = true;
  service_ = config.service;
  ApplyChannels(config.channels);
  Log(LogLevel::kInfo, path_ + " reloaded");
  NotifyReady();
}

void Service::Pump(std::chrono::milliseconds wait) {
  const bool was_ok = output_ok_;
  // Flushed only when no line is waiting; a broken output still waits.
  bool got = sink_.PopAll(batch_, std::chrono::milliseconds(0));
  if (!got) {
    output_ok_ = out_->Flush();
    got = sink_.PopAll(batch_, wait);
  }
  if (got) output_ok_ = out_->Write(batch_, Keeper());
  batch_.clear();
  if (was_ok && !output_ok_) {
    Log(LogLevel::kError, "output " + service_.output +
                              ": cannot write; lines are lost until "
                              "SIGHUP reopens it");
  }
}

LineKeeper Service::Keeper() {
  if (!journal_ && !feed_) return {};
  return [this](LineRecord&& line) {
    if (feed_) feed_->Publish(line);
    if (journal_) journal_->Add(std::move(line));
  };
}

bool Service::StartJournal() {
  if (service_.journal.empty()) return true;
  try {
    journal_ = std::make_unique<Journal>(service_.journal, service_.keep);
  } catch (const JournalError& e) {
    Log(LogLevel::kError, e.what());
    return false;
  }
  Log(LogLevel::kInfo, "journal " + service_.journal);
  return true;
}

void Service::StartForwards(const std::vector<ForwardSettings>& forwards) {
  forward_settings_ = forwards;
  NamedForwards named;
  for (const auto& f : forwards) {
    forwards_.push_back(
        std::make_unique<Forwarder>(f, service_.store, service_.journal, *journal_));
    named.emplace_back(f.name, forwards_.back().get());
  }
  forward_metrics_ = AddForwardMetrics(metrics_, named);
}

bool Service::StartPage() {
  const HttpSettings& http = service_.http;
  if (http.port < 0) return true;
  page_ = std::make_unique<PageServer>(http, JournalPages(service_.journal), *feed_);
  page_->ServeHealth([this] { return health_->Health(); }, metrics_);
  std::string error;
  if (!page_->Start(error)) {
    Log(LogLevel::kError, error);
    return false;
  }
  const bool v6 = http.host.find(':') != std::string::npos;
  Log(LogLevel::kInfo, "page on http://" + (v6 ? "[" + http.host + "]" : http.host) + ":" +
                           std::to_string(page_->Port()) + "/");
  return true;
}

int Service::Run(ServeConfig config) {
  service_ = config.service;
  out_ = std::make_unique<OutputStream>(service_.output, kServeRows);
  std::string error;
  if (!out_->Open(error)) {
    Log(LogLevel::kError, error);
    return kExitFailure;
  }
  SignalWatcher signals([this](int sig) {
    (sig == SIGHUP ? reload_ : stop_) = true;
    sink_.Wake();
  });
  // Its writer thread starts with the signals blocked, as the channels' do.
  if (!StartJournal()) return kExitFailure;
  if (service_.http.port >= 0) feed_ = std::make_unique<LiveFeed>();
  health_ = std::make_unique<ServiceHealth>(metrics_, journal_.get(), feed_.get());
  if (!StartPage()) return kExitFailure;
  StartForwards(config.forwards);
  for (const auto& c : config.channels) {
    Slot& s = slots_[c.name];
    s.settings = c;
    Start(s);
  }
  PublishHealth();
  NotifyReady();
  const auto watchdog = WatchdogPeriod();
  auto next_ping = Clock::now();
  while (!stop_) {
    if (watchdog.count() > 0 && Clock::now() >= next_ping) {
      NotifyWatchdog();
      next_ping = Clock::now() + watchdog;
    }
    Pump(NextWait());
    if (reload_.exchange(false)) Reload();
    RetryDue();
    PublishHealth();
  }
  NotifyStopping();
  Log(LogLevel::kInfo, "stopping");
  const auto deadline = Clock::now() + kStopDrain;
  forward_metrics_.clear();       // waits for a reading of them in progress
  forwards_.clear();              // what they had not sent goes at the next start
  if (page_) page_->BeginStop();  // its threads end while the channels stop
  for (auto& [name, s] : slots_) Stop(s, deadline);
  sink_.Close();
  while (sink_.PopAll(batch_, std::chrono::milliseconds(0))) out_->Write(batch_, Keeper());
  out_->Flush();
  page_.reset();
  health_.reset();
  journal_.reset();
  return 0;
}

}  // namespace

int RunServe(const std::string& config_path) {
  ServeConfig config;
  try {
    // Every channel's set must be there at start-up (auto: one is chosen
    // from the catalogue as the channel's first receipt comes).
    RCPosHark catalogue(0);
    config = LoadServeConfig(config_path, [&catalogue](const std::string& set) {
      return set == kAutoSet || SelectCommandSet(catalogue, set);
    });
  } catch (const UsageError& e) {
    Log(LogLevel::kError, e.message);
    return kExitUsage;
  }
  struct stat st {};
  if (stat(config.service.home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    Log(LogLevel::kError, config_path + ", [service] home = " + config.service.home +
                              ": expected an existing folder");
    return kExitUsage;
  }
  SetLogLevel(config.service.log);
  setenv("POSHARK_HOME", config.service.home.c_str(), 1);
  return Service(config_path).Run(std::move(config));
}

}  // namespace poshark::tool
