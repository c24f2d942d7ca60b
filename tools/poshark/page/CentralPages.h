// What collect's page asks of the head office's database: a search over
// every store (or one, parameter `store`), a receipt of a store, and the
// stores' health. Each question opens a read-only connection of its own.
#pragma once

#include "collect/CollectConfig.h"
#include "page/PageQueries.h"

namespace poshark::tool {

// search: the parameters of a journal's search and `store`; answers as a
// journal's search does, each receipt with its store.
// receipt: store, and id or channel and time (milliseconds since 1970: the
// receipt open then on that store's channel).
// stores: {"stores": [{store, status, status_time}], "channels": [{store,
// channel, pos, last_receipt}]}, times ISO 8601 or null.
PageSource CentralPages(const DatabaseSettings& database);

}  // namespace poshark::tool
