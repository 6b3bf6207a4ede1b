// Two processes on one store at full speed, the writer killed in the middle of its writes again
// and again: every value stays whole, a batch lands whole or not at all, and the file always opens.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "teskel/registry_store.h"
#include "teskel/test_env.h"
#include "temp_dir.h"

namespace teskel::registry {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(30);
const std::string kParms = "Comm\\Teskel1\\Parms";

Bytes payload(std::size_t size, std::uint8_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return out;
}
Bytes dword(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}
std::optional<std::uint32_t> dwordOf(const std::optional<Value> &v) {
  if (!v || v->type != 4 || v->data.size() != 4) return std::nullopt;
  return static_cast<std::uint32_t>(v->data[0] | v->data[1] << 8 | v->data[2] << 16 | v->data[3] << 24);
}

const Bytes kShort = payload(40, 1), kLong = payload(3000, 101);

// Whatever a killed writer left: each value one of the writer's whole values, the pair equal.
void expectWhole(const Store &store, const std::string &when) {
  store.snapshot([&] {
    auto keys = store.getValue(kParms, "DefaultKeys");
    ASSERT_TRUE(keys) << when;
    EXPECT_TRUE(keys->type == 3 && (keys->data == kShort || keys->data == kLong))
        << when << ": DefaultKeys of " << keys->data.size() << " bytes is neither value whole";
    auto first = dwordOf(store.getValue(kParms, "PairFirst")), second = dwordOf(store.getValue(kParms, "PairSecond"));
    EXPECT_TRUE(first && second && *first == *second) << when << ": a batch landed in part";
    EXPECT_TRUE(dwordOf(store.getValue(kParms, "Writes"))) << when;
  });
}

// The writer: full speed, values of two sizes, a two-value batch, a count of its writes.
[[noreturn]] void writer(const std::filesystem::path &file) {
  try {
    Store store(file);
    // Counting on from where the last writer was killed.
    for (std::uint32_t i = dwordOf(store.getValue(kParms, "Writes")).value_or(0) + 1;; ++i) {
      store.setValue(kParms, "DefaultKeys", 3, i % 2 ? kLong : kShort);
      store.batch([&] {
        store.setValue(kParms, "PairFirst", 4, dword(i));
        store.setValue(kParms, "PairSecond", 4, dword(i));
      });
      store.setValue(kParms, "Writes", 4, dword(i));
    }
  } catch (...) {
    _exit(2);
  }
}

TEST(KillTest, AWriterKilledMidWriteNeverLeavesATornValueAndTheStoreAlwaysOpens) {
  testing::TempDir dir;
  const auto file = dir.path() / kStoreFileName;
  {
    Store store(file);
    store.setValue(kParms, "DefaultKeys", 3, kShort);
    store.batch([&] {
      store.setValue(kParms, "PairFirst", 4, dword(0));
      store.setValue(kParms, "PairSecond", 4, dword(0));
    });
    store.setValue(kParms, "Writes", 4, dword(0));
  }
  std::mt19937 random(0x4B111);
  const std::size_t rounds = teskel::test::scaled(100);
  std::uint32_t ownWrites = 0;
  std::size_t killedWhileWriting = 0;
  for (std::size_t round = 1; round <= rounds; ++round) {
    const std::string when = "round " + std::to_string(round);
    // No store may be open across fork(): SQLite's lock state is per process.
    pid_t child = fork();
    if (child == 0) writer(file);
    ASSERT_GT(child, 0);

    // The other process reads and writes the same key at full speed until the writer has made
    // a random number of writes more, then kills it wherever it is.
    bool sawWrite = false;
    {
      Store store(file);
      const std::uint32_t start = dwordOf(store.getValue(kParms, "Writes")).value_or(0);
      const std::uint32_t more = std::uniform_int_distribution<std::uint32_t>(1, 8)(random);
      const auto deadline = Clock::now() + kDeadline;
      for (;;) {
        store.setValue(kParms, "ParentWrites", 4, dword(++ownWrites));
        auto keys = store.getValue(kParms, "DefaultKeys");
        ASSERT_TRUE(keys && (keys->data == kShort || keys->data == kLong)) << when << ": a torn read";
        auto writes = dwordOf(store.getValue(kParms, "Writes"));
        if (writes && *writes >= start + more) {
          sawWrite = true;
          break;
        }
        if (Clock::now() > deadline) break;
      }
      kill(child, SIGKILL);
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(sawWrite) << when << ": the writer made no progress (exit status " << status << ")";
      killedWhileWriting += WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
      // The surviving process's store goes on working after the kill.
      store.setValue(kParms, "ParentWrites", 4, dword(++ownWrites));
      expectWhole(store, when + ", in the surviving process");
    }
    // A fresh open after the kill, as the next program to start would do it.
    Store reopened(file);
    expectWhole(reopened, when + ", reopened");
    EXPECT_EQ(dwordOf(reopened.getValue(kParms, "ParentWrites")), ownWrites) << when << ": a write was lost";
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_EQ(killedWhileWriting, rounds) << "the writer must die by the kill, not on its own";
}

}  // namespace
}  // namespace teskel::registry
