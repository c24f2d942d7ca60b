// `poshark search`: finds receipts in the journal, newest first.
#pragma once

namespace poshark::tool {

// Exit status: 0, 1 when the journal cannot be read, 2 for bad arguments
// (thrown as UsageError).
int RunSearch(int argc, char** argv);

}  // namespace poshark::tool
