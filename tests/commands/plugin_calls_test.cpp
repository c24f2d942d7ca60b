// Plug-in keys of a command set. What a measure's answers do is shown
// through the real test plug-in (plugin_load_test).
#include "commands/Plugins.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace poshark::commands;

namespace {

TEST(PluginCallsTest, KeysGiveSwitchLibraryAndFunction) {
  const struct {
    const char* key;
    PluginKey (*parse)(std::string_view);
    bool on, complete;
    const char *library, *function;
  } cases[] = {
      {"UseDll=1,libs/a,b.so", ParseUseDll, true, true, "libs/a,b.so", ""},  // the rest is the path
      {"UseDll=2,liba.so", ParseUseDll, true, true, "liba.so", ""},
      {"UseDll=0,", ParseUseDll, false, false, "", ""},
      {"UseDll=1", ParseUseDll, true, false, "", ""},  // no comma: no path
      {"UseDll=x,liba.so", ParseUseDll, false, true, "liba.so", ""},  // not a number reads as 0
      {"DllPreprocess=1", ParseDllPreprocess, false, false, "", ""},  // no comma: off
      {"DllPreprocess=1,libpre.so", ParseDllPreprocess, true, false, "libpre.so", ""},
      {"DllPreprocess=1,libpre.so,Pre", ParseDllPreprocess, true, true, "libpre.so", "Pre"},
      {"UseFilterDll=1,libf.so,Filter,ignored", ParseUseFilterDll, true, true, "libf.so", "Filter"},
      {"UseFilterDll=1,libf.so", ParseUseFilterDll, true, false, "libf.so", ""},
      {"UseFilterDll=0,", ParseUseFilterDll, false, false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    std::string value = c.key;
    PluginKey key = c.parse(value.substr(value.find('=') + 1));
    EXPECT_EQ(key.bOn, c.on);
    if (key.bOn) {
      if (c.parse != ParseUseFilterDll) EXPECT_EQ(key.bComplete, c.complete);
      EXPECT_EQ(key.strLibrary, c.library);
      EXPECT_EQ(key.strFunction, c.function);
    }
  }
  EXPECT_EQ(CmdSetFolder("/opt/pos/Printer Commands/a.ini"), "/opt/pos/Printer Commands/");
  EXPECT_EQ(CmdSetFolder("/a.ini"), "");
  EXPECT_EQ(CmdSetFolder("a.ini"), "");
}

}  // namespace
