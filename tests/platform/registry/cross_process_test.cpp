// One store file used by two processes at once: a reader sees every value whole, and writers
// starting on a fresh file at the same moment lose nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <chrono>
#include <functional>

#include "teskel/registry_store.h"
#include "temp_dir.h"

namespace teskel::registry {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(60);
const std::string kParms = "Comm\\Teskel1\\Parms";

// Runs `body` in a child process; its result becomes the exit status. The child leaves with
// _exit so that nothing of the parent's (open stores, test state) is torn down twice.
pid_t spawn(const std::function<int()> &body) {
  pid_t pid = fork();
  if (pid == 0) {
    int rc = 1;
    try {
      rc = body();
    } catch (...) {
      rc = 2;
    }
    _exit(rc);
  }
  return pid;
}

// The child's exit status, or -1 when it did not finish by the deadline (it is killed then).
int waitFor(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0) return -1;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
  }
}

// Two payloads of different lengths whose every byte depends on its position, so that a mixture
// of the two, or a cut, matches neither.
Bytes payload(std::size_t size, std::uint8_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return out;
}

TEST(CrossProcessTest, AReaderNeverSeesAMixtureOfTwoWrites) {
  testing::TempDir dir;
  const auto file = dir.path() / kStoreFileName;
  const Bytes first = payload(40, 1), second = payload(3000, 101);
  // No connection may be open across fork(): SQLite keeps per-file lock state in the process, and
  // the child would inherit the parent's picture of it.
  Store(file).setValue(kParms, "DefaultKeys", REG_BINARY, first);
  auto deadline = Clock::now() + kDeadline;

  // The writer alternates the two payloads until the reader has seen both often enough, or a
  // bounded number of writes is spent.
  pid_t writer = spawn([&] {
    Store store(file);
    for (int i = 0; i < 20000; ++i) {
      store.setValue(kParms, "DefaultKeys", REG_BINARY, i % 2 ? first : second);
      if (i % 50 == 0 && store.getValue(kParms, "Seen")) break;
    }
    store.setValue(kParms, "Done", REG_DWORD, {1, 0, 0, 0});
    return 0;
  });
  ASSERT_GT(writer, 0);
  Store reader(file);

  // Read through the platform's call, with one buffer as the utility does.
  setCurrentStore(&reader);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\Teskel1\\Parms", 0, KEY_READ, &key), ERROR_SUCCESS);
  int sawFirst = 0, sawSecond = 0, mixed = 0;
  bool seenMarked = false;
  DWORD one = 1, size = 0;
  while (Clock::now() < deadline) {
    BYTE buffer[4096];
    size = sizeof buffer;
    DWORD type = 0;
    LONG rc = RegQueryValueExW(key, u"DefaultKeys", nullptr, &type, buffer, &size);
    Bytes got(buffer, buffer + (rc == ERROR_SUCCESS ? size : 0));
    if (rc == ERROR_SUCCESS && type == REG_BINARY && got == first)
      ++sawFirst;
    else if (rc == ERROR_SUCCESS && type == REG_BINARY && got == second)
      ++sawSecond;
    else
      ++mixed;
    if (!seenMarked && sawFirst >= 20 && sawSecond >= 20) {
      ASSERT_EQ(RegSetValueExW(key, u"Seen", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), sizeof one), ERROR_SUCCESS);
      seenMarked = true;
    }
    size = sizeof one;
    if (RegQueryValueExW(key, u"Done", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  setCurrentStore(nullptr);

  EXPECT_EQ(waitFor(writer, deadline), 0);
  EXPECT_EQ(mixed, 0) << "reads that were neither payload whole";
  EXPECT_GT(sawFirst, 0);
  EXPECT_GT(sawSecond, 0) << "the reader never saw the writer's other payload";
}

TEST(CrossProcessTest, WritersStartingOnAFreshFileTogetherLoseNothing) {
  testing::TempDir dir;
  const auto file = dir.path() / kStoreFileName;
  constexpr int kEach = 200;
  auto deadline = Clock::now() + kDeadline;
  // Both processes create the file, switch it to its journal mode and write at the same time.
  auto work = [&](const std::string &prefix) {
    Store store(file);
    for (int i = 0; i < kEach; ++i) {
      std::string n = std::to_string(i);
      store.setValue(kParms, prefix + n, REG_DWORD, {static_cast<std::uint8_t>(i), 0, 0, 0});
      store.createKey(kParms + "\\" + prefix + "\\" + n);
    }
    return 0;
  };
  pid_t child = spawn([&] { return work("child"); });
  ASSERT_GT(child, 0);
  work("parent");
  ASSERT_EQ(waitFor(child, deadline), 0);

  Store store(file);
  EXPECT_EQ(store.values(kParms).size(), 2u * kEach);
  for (const char *prefix : {"child", "parent"}) {
    EXPECT_EQ(store.subkeys(kParms + "\\" + prefix).size(), static_cast<std::size_t>(kEach)) << prefix;
    for (int i = 0; i < kEach; ++i) {
      auto v = store.getValue(kParms, prefix + std::to_string(i));
      ASSERT_TRUE(v) << prefix << i;
      EXPECT_EQ(v->data[0], static_cast<std::uint8_t>(i));
    }
  }
}

}  // namespace
}  // namespace teskel::registry
