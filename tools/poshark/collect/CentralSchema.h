// The head office's tables in PostgreSQL (docs/CENTRAL.md), created and
// upgraded by `poshark collect` itself: each step of kSchemaSteps moves the
// schema one version on, and poshark_schema holds the version reached.
#pragma once

#include <string>
#include <vector>

namespace poshark::tool {

// Taken (pg_advisory_xact_lock) while the schema is upgraded and while a
// month's partitions are made, so that collectors started together do not
// race to make the same table.
inline constexpr long kSchemaLockKey = 0x706f7368;  // "posh"

// The SQL of each version, in order: version N is reached by running the
// first N steps.
const std::vector<std::string>& SchemaSteps();

// The statement that makes the receipts' partition of month YYYYMM (UTC),
// when it is not there yet.
std::string MonthPartitionsSql(int month);

// The name of a table's partition of a month: receipts_pYYYYMM.
std::string PartitionName(const char* table, int month);

}  // namespace poshark::tool
