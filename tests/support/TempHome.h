// A fresh folder for one test: by default it is also the poshark home and
// work folder (POSHARK_HOME, POSHARK_WORKDIR) while the object lives, with an
// empty "Printer Commands" folder. Removed with everything in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "EnvGuard.h"

namespace poshark::testing {

class TempHome {
 public:
  enum class Env { kSet, kLeave };

  explicit TempHome(Env env = Env::kSet) {
    char szTemplate[] = "/tmp/poshark-test-XXXXXX";
    if (::mkdtemp(szTemplate)) path_ = szTemplate;
    std::error_code ec;
    std::filesystem::create_directories(CommandsDir(), ec);
    if (env == Env::kSet) {
      home_.emplace("POSHARK_HOME", path_.c_str());
      work_.emplace("POSHARK_WORKDIR", path_.c_str());
    }
  }
  ~TempHome() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  // The folder, or a path inside it.
  std::string Path(const std::string& rel = "") const {
    return rel.empty() ? path_ : path_ + "/" + rel;
  }
  std::string operator/(const std::string& rel) const { return Path(rel); }
  std::string CommandsDir() const { return Path("Printer Commands"); }
  std::string FilterPath() const { return Path("POSKeyFilter.ini"); }

  // Writes a file (folders made as needed); answers its path.
  std::string Write(const std::string& rel, const std::string& content) const {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(Path(rel)).parent_path(), ec);
    std::ofstream(Path(rel), std::ios::binary | std::ios::trunc) << content;
    return Path(rel);
  }
  // A file's whole content, empty when it does not exist.
  std::string Read(const std::string& rel) const {
    std::ifstream in(Path(rel), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // Writes a command-set file (or any file) into "Printer Commands".
  std::string CommandSet(const std::string& name, const std::string& content) const {
    return Write("Printer Commands/" + name, content);
  }

 private:
  std::string path_;
  std::optional<EnvGuard> home_;
  std::optional<EnvGuard> work_;
};

}  // namespace poshark::testing
