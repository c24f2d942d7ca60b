#include "cli/CollectService.h"

#include <malloc.h>
#include <signal.h>

#include <memory>

#include "base/Log.h"
#include "base/Metrics.h"
#include "base/Usage.h"
#include "collect/CentralMetrics.h"
#include "collect/CentralSearch.h"
#include "collect/Collect.h"
#include "page/CentralPages.h"
#include "page/LiveFeed.h"
#include "page/PageServer.h"

namespace poshark::tool {

namespace {

// /healthz: 200 while the database answers, else 503 with the reason.
std::pair<int, std::string> Health(const DatabaseSettings& d) {
  try {
    CentralSearch db(d.url, d.password);
    return {200, R"({"status":"ok"})"};
  } catch (const CentralError& e) {
    Log(LogLevel::kWarning, std::string("healthz: ") + e.what());
    return {503, R"({"status":"failed","database":"cannot be read"})"};
  }
}

// Each committed alarm to the page's stream, under its store and channel.
void PublishAlarms(LiveFeed& feed, const std::vector<CentralMessage>& batch) {
  for (const auto& m : batch)
    if (m.kind == CentralKind::kAlarm)
      feed.Publish(m.store + "/" + m.channel,
                   m.doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace

int RunCollectService(const std::string& config_path) {
  const CollectConfig config = LoadCollectConfig(config_path);
  SetLogLevel(config.log);
  // Every message comes in one large block and is parsed into many small
  // ones: with the allocator's fast bins, each large request first merged
  // the small blocks freed before it, a sixth of the collector's processor
  // time. Without them, measured: a tenth less processor a receipt.
  mallopt(M_MXFAST, 0);
  if (config.http.port < 0) return RunCollect(config);
  // The page's threads start with the stop signals blocked, as every
  // thread of the service has them: the collector's watcher takes them.
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  MetricsRegistry metrics;
  LiveFeed feed;
  const auto families = AddCentralMetrics(metrics, config.database);
  PageServer page(config.http, CentralPages(config.database), feed);
  page.ServeHealth([&config] { return Health(config.database); }, metrics);
  std::string error;
  if (!page.Start(error)) {
    Log(LogLevel::kError, error);
    return kExitFailure;
  }
  const bool v6 = config.http.host.find(':') != std::string::npos;
  Log(LogLevel::kInfo, "page on http://" + (v6 ? "[" + config.http.host + "]" : config.http.host) +
                           ":" + std::to_string(page.Port()) + "/");
  const int status =
      RunCollect(config, [&feed](const std::vector<CentralMessage>& b) { PublishAlarms(feed, b); });
  page.BeginStop();
  return status;
}

}  // namespace poshark::tool
