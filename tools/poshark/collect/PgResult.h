// A libpq result owned by one scope: cleared when it goes.
#pragma once

#include <libpq-fe.h>

#include <memory>

namespace poshark::tool {

struct PgResultFree {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgResult = std::unique_ptr<PGresult, PgResultFree>;

}  // namespace poshark::tool
