// A full file system under the trace folder: tracing stops and every line
// still reaches the host. The real case mounts a small tmpfs on the trace
// folder (needs root; skipped otherwise); the other injects the free-space
// answers through the platform's test hook.
#include "commands/PluginTestSupport.h"

#include <poshark/RCPosHark.h>

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Files.h"

using poshark_test::LineCollector;

namespace {

constexpr uint64_t kTraceHeadroom = 524288000;  // tracing needs more than this free

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

class TraceFullFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    traceDir_ = work_.path() + "/POSTrace";
    std::filesystem::create_directories(traceDir_);
    std::ofstream(work_.path() + "/KexDeBug.ini") << "[POSTrace]\nPOS6=1\n";
    work_.WriteSet("plain.ini", "[Main]\nModule_Name=Plain\n");
  }
  void TearDown() override {
    if (listener_) listener_->ListenStop();
    listener_.reset();
    poshark::platform::SetFreeBytesSourceForTesting(nullptr);
    if (mounted_) ::umount2(traceDir_.c_str(), MNT_DETACH);
  }
  void Start() {
    listener_ = std::make_unique<RCPosHark>(6);
    ASSERT_TRUE(listener_->SelectCmdSet(0));
    listener_->SetGateOpenTime(0);
    listener_->ListenStart(&LineCollector::Callback, true);
  }
  // Feeds lines first..last-1, one chunk each; answers their texts.
  std::vector<std::string> Feed(int first, int last) {
    std::vector<std::string> texts;
    for (int i = first; i < last; ++i) {
      char line[64];
      int n = std::snprintf(line, sizeof line, "line %05d of the receipt 12.50\n", i);
      texts.emplace_back(line, static_cast<size_t>(n));
      listener_->GotData(n, reinterpret_cast<unsigned char*>(line));
    }
    return texts;
  }
  std::string TraceFile() const {
    for (const auto& e : std::filesystem::directory_iterator(traceDir_))
      if (e.path().extension() == ".bin2") return e.path().string();
    return {};
  }

  poshark_test::WorkFolder work_;
  LineCollector lines_;
  std::unique_ptr<RCPosHark> listener_;
  std::string traceDir_;
  bool mounted_ = false;
};

TEST_F(TraceFullFaults, FullTmpfsUnderTheTraceFolderStopsTracingAndLosesNoLine) {
  if (::mount("tmpfs", traceDir_.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  mounted_ = true;
  // The small file system answers as a disk with the trace headroom on top
  // of what it really has, so that it fills up for real.
  poshark::platform::SetFreeBytesSourceForTesting([](const std::string& path, uint64_t* pFree) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) return false;
    *pFree = static_cast<uint64_t>(st.f_bavail) * st.f_frsize + kTraceHeadroom;
    return true;
  });
  Start();
  std::vector<std::string> expected = Feed(0, 100);
  ASSERT_EQ(lines_.WaitFor(100).size(), 100u);
  const std::string trace = TraceFile();
  ASSERT_FALSE(trace.empty());
  const uint64_t before = FileSize(trace);
  EXPECT_EQ(before, 100u * (4 + expected[0].size()));

  // Another program fills the file system to the last byte.
  {
    std::ofstream filler(traceDir_ + "/filler", std::ios::binary);
    std::vector<char> block(4096, 'F');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  }
  std::vector<std::string> more = Feed(100, 300);
  expected.insert(expected.end(), more.begin(), more.end());
  auto got = lines_.WaitFor(300, 20000);
  ASSERT_EQ(got.size(), 300u);
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i].text, expected[i]) << "line " << i;
  const uint64_t full = FileSize(trace);

  // Room again: tracing stays off until the next start; lines still flow.
  std::filesystem::remove(traceDir_ + "/filler");
  more = Feed(300, 320);
  ASSERT_EQ(lines_.WaitFor(320).size(), 320u);
  EXPECT_EQ(FileSize(trace), full) << "tracing went on after the file system was full";
  EXPECT_GE(full, before);
}

TEST_F(TraceFullFaults, FreeSpaceRunningOutStopsTracingAndLosesNoLine) {
  std::atomic<uint64_t> free{10ull * kTraceHeadroom};
  poshark::platform::SetFreeBytesSourceForTesting([&free](const std::string&, uint64_t* pFree) {
    *pFree = free.load();
    return true;
  });
  Start();
  std::vector<std::string> expected = Feed(0, 50);
  ASSERT_EQ(lines_.WaitFor(50).size(), 50u);
  const std::string trace = TraceFile();
  ASSERT_FALSE(trace.empty());
  const uint64_t traced = FileSize(trace);
  EXPECT_EQ(traced, 50u * (4 + expected[0].size()));

  free = kTraceHeadroom - 1;
  std::vector<std::string> more = Feed(50, 150);
  expected.insert(expected.end(), more.begin(), more.end());
  auto got = lines_.WaitFor(150);
  ASSERT_EQ(got.size(), 150u);
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i].text, expected[i]) << "line " << i;
  // The write that found the space gone was the last one.
  EXPECT_EQ(FileSize(trace), traced + 4 + expected[0].size());

  // A restart with room traces again, into the same day's file.
  listener_->ListenStop();
  free = 10ull * kTraceHeadroom;
  listener_->ListenStart(&LineCollector::Callback, true);
  Feed(150, 151);
  ASSERT_EQ(lines_.WaitFor(151).size(), 151u);
  EXPECT_EQ(FileSize(trace), traced + 2 * (4 + expected[0].size()));
}

}  // namespace
