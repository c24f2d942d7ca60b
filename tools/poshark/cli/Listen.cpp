#include "cli/Listen.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/Log.h"
#include "base/SignalWatcher.h"
#include "base/Usage.h"
#include "channel/Channel.h"
#include "cli/FeedProgress.h"
#include "output/LineSink.h"
#include "output/OutputStream.h"

namespace poshark::tool {

namespace {

// After the input of a feed is exhausted, the tool ends as soon as the
// listener has delivered every line of it; should that take too long, once
// neither a chunk was taken by the analyzer nor a line delivered for this
// long: longer than the analyzer's 3000 ms wait for the rest of a split
// command, so that its last line is still delivered.
constexpr int64_t kQuietMs = 3500;

// Lines already read are delivered for at most this long after a stop.
constexpr auto kStopDrain = std::chrono::milliseconds(1000);

void Fail(const std::string& message) { Log(LogLevel::kError, message); }

bool Colour(bool json) {
  const char* no_color = std::getenv("NO_COLOR");
  return !json && isatty(STDOUT_FILENO) != 0 && (no_color == nullptr || *no_color == '\0');
}

}  // namespace

int RunListen(const ListenOptions& options) {
  OutputStream out("-", {options.json, Colour(options.json), false});
  std::string error;
  out.Open(error);
  std::shared_ptr<LineReader> reader;
  try {
    reader = std::make_shared<LineReader>(options.channel);
  } catch (const std::exception& e) {
    Fail(e.what());
    return kExitFailure;
  }
  // Errors name the option at fault: "--" and the setting's name.
  if (options.channel.keys && !reader->LoadKeys(error)) {
    Fail("--" + error);
    return kExitFailure;
  }

  LineSink sink;
  std::atomic<bool> stop{false};
  // SIGHUP too: a closed terminal ends `listen`.
  SignalWatcher signals([&](int) {
    stop = true;
    sink.Wake();
  });
  Channel channel(options.channel, sink, reader);
  if (!channel.Start(error)) {
    Fail("--" + error);
    return kExitFailure;
  }
  const SourceKind kind = options.channel.source.kind;
  if (kind != SourceKind::kFeed) {
    Log(LogLevel::kInfo,
        "listening on " + channel.Where() + ", POS " + std::to_string(options.channel.pos));
  }

  LineBatch batch;
  bool ok = true;
  FeedProgress progress(kind == SourceKind::kFeed ? options.channel.source.feed_path : "-",
                        options.quiet, channel.Counters());
  while (ok && !stop) {
    progress.Tick();
    if (sink.PopAll(batch, std::chrono::milliseconds(0))) {
      ok = out.Write(batch);
      continue;
    }
    // Looked at before every wait: the end of a feed wakes the wait below.
    if (kind == SourceKind::kFeed &&
        (channel.InputDrained() ||
         (channel.SourceDone() && NowMs() - channel.LastActivityMs() >= kQuietMs))) {
      break;
    }
    if ((ok = out.Flush()) && sink.PopAll(batch, std::chrono::milliseconds(100))) {
      ok = out.Write(batch);
    }
  }

  progress.Finish();
  channel.Stop(std::chrono::steady_clock::now() + kStopDrain);
  sink.Close();
  while (ok && sink.PopAll(batch, std::chrono::milliseconds(0))) ok = out.Write(batch);
  out.Flush();
  reader->SaveKeys();
  std::string source_error = channel.SourceError();
  if (!source_error.empty()) {
    Fail("--feed " + source_error);
    return kExitFailure;
  }
  return 0;
}

}  // namespace poshark::tool
