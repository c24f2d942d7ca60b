// Test support for the command-set, plug-in and graph tests: a temporary work
// folder with command-set files, environment overrides restored on exit, the
// test plug-in, and a running listener whose delivered lines are collected.
#pragma once

#include <poshark/RCPosHark.h>

#include "commands/RCCmdSet.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace poshark_test {

// A test plug-in built beside the tests ("commands": the one library these
// tests load for every plug-in kind).
inline std::string PluginPath(const std::string& kind = "commands") {
  return POSHARK_TEST_PLUGIN_DIR "/libtest_" + kind + "_plugin.so";
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* pszName, const std::string& value) : name_(pszName) {
    if (const char* old = getenv(pszName)) old_ = old;
    setenv(pszName, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A fresh work folder (POSHARK_WORKDIR, POSHARK_HOME) with "Printer Commands".
class WorkFolder {
 public:
  WorkFolder() {
    char tmpl[] = "/tmp/poshark_cmds_XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
    std::filesystem::create_directories(CommandsDir());
    work_.emplace("POSHARK_WORKDIR", path_);
    home_.emplace("POSHARK_HOME", path_);
  }
  ~WorkFolder() {
    work_.reset();
    home_.reset();
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string CommandsDir() const { return path_ + "/Printer Commands"; }
  // Writes a file into "Printer Commands"; answers its path.
  std::string WriteSet(const std::string& name, const std::string& content) const {
    std::string full = CommandsDir() + "/" + name;
    std::ofstream(full, std::ios::binary) << content;
    return full;
  }
  // A command set loaded from the given file content.
  std::unique_ptr<RCCmdSet> LoadSet(const std::string& content) const {
    auto set = std::make_unique<RCCmdSet>();
    EXPECT_TRUE(set->Load(WriteSet("set.ini", content)));
    return set;
  }
  // Copies a test plug-in into "Printer Commands" under a bare name.
  void CopyPlugin(const std::string& kind, const std::string& name) const {
    std::filesystem::copy_file(PluginPath(kind), CommandsDir() + "/" + name,
                               std::filesystem::copy_options::overwrite_existing);
  }

 private:
  std::string path_;
  std::optional<ScopedEnv> work_;
  std::optional<ScopedEnv> home_;
};

struct Line {
  std::string text;
  int nEvent;
  std::string extra;
};

// Collects the lines a listener delivers. One collector at a time (the line
// callback is a plain function).
class LineCollector {
 public:
  LineCollector() { Current().store(this); }
  ~LineCollector() { Current().store(nullptr); }

  static unsigned short Callback(char* pszText, SYSTEMTIME*, bool, int, int nEvent, char* pExtra) {
    LineCollector* self = Current().load();
    if (!self) return 0;
    std::lock_guard<std::mutex> guard(self->lock_);
    self->lines_.push_back(Line{pszText ? pszText : "", nEvent, pExtra ? pExtra : ""});
    self->cv_.notify_all();
    return 0;
  }
  // Waits until n lines arrived or the time passes; answers the lines.
  std::vector<Line> WaitFor(size_t n, int nTimeoutMs = 5000) {
    std::unique_lock<std::mutex> guard(lock_);
    cv_.wait_for(guard, std::chrono::milliseconds(nTimeoutMs), [&] { return lines_.size() >= n; });
    return lines_;
  }

 private:
  static std::atomic<LineCollector*>& Current() {
    static std::atomic<LineCollector*> current{nullptr};
    return current;
  }
  std::mutex lock_;
  std::condition_variable cv_;
  std::vector<Line> lines_;
};

inline std::vector<std::string> Texts(const std::vector<Line>& lines) {
  std::vector<std::string> texts;
  for (const Line& line : lines) texts.push_back(line.text);
  return texts;
}

// A listener in host-feed mode on one command-set file, lines collected.
class ListenerTest : public ::testing::Test {
 protected:
  void Start(const std::string& ini) {
    work_.WriteSet("set.ini", ini);
    listener_ = std::make_unique<RCPosHark>(4);
    ASSERT_TRUE(listener_->SelectCmdSet(0));
    listener_->SetGateOpenTime(0);
    listener_->ListenStart(&LineCollector::Callback, true);
  }
  void Feed(std::string bytes) {
    listener_->GotData(static_cast<int>(bytes.size()),
                       reinterpret_cast<unsigned char*>(bytes.data()));
  }
  void TearDown() override {
    if (listener_) listener_->ListenStop();
    listener_.reset();
  }

  WorkFolder work_;
  LineCollector lines_;
  std::unique_ptr<RCPosHark> listener_;
};

}  // namespace poshark_test
