// The live page's files, built into the program from tools/poshark/page/
// (nothing is loaded from elsewhere, so the page works without internet).
#pragma once

namespace poshark::tool {

// The HTML of every view; "{{token}}" stands where the script and style
// URLs carry the access token ("?token=..." or nothing).
extern const char kPageHtml[];
extern const char kPageScript[];
extern const char kPageStyle[];

}  // namespace poshark::tool
