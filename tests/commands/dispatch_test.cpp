// The first-byte dispatch of MatchCommand answers exactly what a plain walk
// over the lists in entry order answers, "more data" included.
#include "commands/PluginTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// The walk as the lists describe it: groups with the lead byte first, then
// the singles; a command longer than the bytes left answers 1 on the spot.
int ReferenceMatch(const RCCmdSet& set, const unsigned char* data, int len,
                   const STRUCT_PrnCmd** found) {
  *found = nullptr;
  for (const auto& group : set.arMulti) {
    if (group->byLead != data[0]) continue;
    for (const auto& c : group->arCmds) {
      if (c->nCmdLen > len) return CMD_MORE;
      if (std::memcmp(c->pCmd.get() + 1, data + 1, c->nCmdLen - 1) == 0) {
        *found = c.get();
        return CMD_DONE;
      }
    }
  }
  for (const auto& c : set.arSingle) {
    if (c->nCmdLen > len) return CMD_MORE;
    if (std::memcmp(c->pCmd.get(), data, c->nCmdLen) == 0) {
      *found = c.get();
      return CMD_DONE;
    }
  }
  return CMD_NONE;
}

std::string RandomCommand(std::mt19937& rng, const char* alphabet, int max_len) {
  int n = 1 + static_cast<int>(rng() % max_len);
  std::string entry = std::to_string(n);
  for (int i = 0; i < n; ++i) entry += std::string(",") + alphabet[rng() % std::strlen(alphabet)];
  // Every command is a fixed-length one whose parameter is empty, so a match
  // removes exactly the command bytes and names itself in its text.
  return entry + ",1," + std::to_string(n);
}

TEST(DispatchTest, MatchesThePlainListWalkOnRandomSetsAndData) {
  std::mt19937 rng(42);
  poshark_test::WorkFolder work;
  const char* alphabet = "ABCD";
  for (int round = 0; round < 60; ++round) {
    std::string ini = "[Main]\n";
    int singles = 1 + static_cast<int>(rng() % 12);
    int groups = static_cast<int>(rng() % 4);
    ini += "S-Num=" + std::to_string(singles) + "\nM-Num=" + std::to_string(groups) + "\n";
    ini += "[Single-Command]\n";
    for (int i = 1; i <= singles; ++i)
      ini += std::to_string(i) + "=" + RandomCommand(rng, alphabet, 4) + ",1,S" +
             std::to_string(i) + "\n";
    ini += "[Mutli-Command]\n";
    for (int g = 1; g <= groups; ++g)
      ini += std::to_string(g) + "=G" + std::to_string(g) + "," + alphabet[rng() % 4] + ",6\n";
    for (int g = 1; g <= groups; ++g) {
      ini += "[G" + std::to_string(g) + "]\n";
      for (int i = 1; i <= 6; ++i)
        ini += std::to_string(i) + "=" + RandomCommand(rng, alphabet, 4) + ",1,G" +
               std::to_string(g) + "_" + std::to_string(i) + "\n";
    }
    auto set = work.LoadSet(ini);

    for (int probe = 0; probe < 400; ++probe) {
      std::vector<unsigned char> data(8);
      for (auto& b : data) b = static_cast<unsigned char>(alphabet[rng() % 4]);
      int len = 1 + static_cast<int>(rng() % data.size());
      const STRUCT_PrnCmd* expected_cmd = nullptr;
      int expected = ReferenceMatch(*set, data.data(), len, &expected_cmd);

      std::vector<unsigned char> buf = data;
      int got_len = len;
      int got = set->MatchCommand(buf.data(), got_len);
      ASSERT_EQ(got, expected) << "round " << round << " probe " << probe;
      if (expected == CMD_DONE) {
        EXPECT_EQ(set->pLastCmd, expected_cmd);
        EXPECT_EQ(got_len, len - expected_cmd->nCmdLen);
        EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + expected_cmd->nCmdLen, got_len));
      } else {
        EXPECT_EQ(got_len, len);
      }
    }
  }
}

}  // namespace
