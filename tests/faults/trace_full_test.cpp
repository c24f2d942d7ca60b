// A full file system under the trace folder: tracing stops and every line
// still reaches the host. The real case mounts a small tmpfs on the trace
// folder (needs root; skipped otherwise); the other injects the free-space
// answers through the platform's test hook.
#include "commands/PluginTestSupport.h"

#include <poshark/RCPosHark.h>

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Files.h"

namespace {

constexpr uint64_t kTraceHeadroom = 524288000;  // tracing needs more than this free
constexpr size_t kRecord = 4 + 32;              // count and one fed line

class TraceFullFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    traceDir_ = work_.Path("POSTrace");
    std::filesystem::create_directories(traceDir_);
    std::ofstream(work_.Path("KexDeBug.ini")) << "[POSTrace]\nPOS6=1\n";
    work_.CommandSet("plain.ini", "[Main]\nModule_Name=Plain\n");
  }
  void TearDown() override {
    if (listener_) listener_->ListenStop();
    listener_.reset();
    poshark::platform::SetFreeBytesSourceForTesting(nullptr);
    if (mounted_) ::umount2(traceDir_.c_str(), MNT_DETACH);
  }
  void Start() {
    if (!listener_) {
      listener_ = std::make_unique<RCPosHark>(6);
      ASSERT_TRUE(listener_->SelectCmdSet(0));
      listener_->SetGateOpenTime(0);
    }
    listener_->ListenStart(&poshark::testing::LineCollector::Callback, true);
  }
  // Feeds lines up to nLast, one chunk each, and checks that every line fed
  // so far came out, in order.
  void FeedUpTo(int nLast) {
    for (; nFed_ < nLast; ++nFed_) {
      char line[64];
      int n = std::snprintf(line, sizeof line, "line %05d of the receipt 12.50\n", nFed_);
      ASSERT_EQ(static_cast<size_t>(n), kRecord - 4);
      expected_.emplace_back(line, static_cast<size_t>(n));
      listener_->GotData(n, reinterpret_cast<unsigned char*>(line));
    }
    lines_.WaitFor(expected_.size(), 20000);
    ASSERT_EQ(lines_.Texts(), expected_);
  }
  uint64_t TraceSize() const {
    for (const auto& e : std::filesystem::directory_iterator(traceDir_)) {
      if (e.path().extension() == ".bin2") return std::filesystem::file_size(e.path());
    }
    return 0;
  }

  poshark::testing::TempHome work_;
  poshark::testing::LineCollector lines_;
  std::unique_ptr<RCPosHark> listener_;
  std::string traceDir_;
  bool mounted_ = false;
  int nFed_ = 0;
  std::vector<std::string> expected_;
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
  FeedUpTo(100);
  const uint64_t before = TraceSize();
  EXPECT_EQ(before, 100 * kRecord);

  // Another program fills the file system to the last byte.
  {
    std::ofstream filler(traceDir_ + "/filler", std::ios::binary);
    std::vector<char> block(4096, 'F');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  }
  FeedUpTo(300);
  const uint64_t full = TraceSize();
  EXPECT_GE(full, before);
  // Room again: tracing stays off until the next start; lines still flow.
  std::filesystem::remove(traceDir_ + "/filler");
  FeedUpTo(320);
  EXPECT_EQ(TraceSize(), full) << "tracing went on after the file system was full";
}

TEST_F(TraceFullFaults, FreeSpaceRunningOutStopsTracingAndLosesNoLine) {
  std::atomic<uint64_t> free{10 * kTraceHeadroom};
  poshark::platform::SetFreeBytesSourceForTesting([&free](const std::string&, uint64_t* pFree) {
    *pFree = free.load();
    return true;
  });
  Start();
  FeedUpTo(50);
  EXPECT_EQ(TraceSize(), 50 * kRecord);
  free = kTraceHeadroom;  // not more than the headroom: not enough
  FeedUpTo(150);
  EXPECT_EQ(TraceSize(), 51 * kRecord) << "the write that found the space gone was the last one";

  // A restart with room traces again, into the same day's file.
  listener_->ListenStop();
  free = 10 * kTraceHeadroom;
  Start();
  FeedUpTo(151);
  EXPECT_EQ(TraceSize(), 52 * kRecord);
}

}  // namespace
