// The start-up harness end to end: a small program built with it runs in separate processes,
// headless, against its own root folder; a second start finds the first through FindWindowW.
#include <fcntl.h>
#include <pty.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "teskel/registry_store.h"
#include "teskel/test_env.h"
#include "ui_test_util.h"

extern char **environ;

using namespace uitest;
using namespace std::chrono_literals;

namespace {

// The program's command line; a cross build starts it through the emulator.
std::vector<std::string> command(const std::vector<std::string> &args) {
  return teskel::test::programCommand("ui_test_program", args);
}

struct Result {
  int exitCode = -1;
  std::string out, err;
};

// One run of the program with pipes on its standard streams. Every wait has a deadline.
class Child {
 public:
  Child(const std::vector<std::string> &args, const std::map<std::string, std::string> &env) {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe");
    std::vector<std::string> envText;
    for (char **e = environ; *e; ++e) {
      std::string kv = *e;
      if (!env.count(kv.substr(0, kv.find('=')))) envText.push_back(kv);
    }
    for (const auto &[k, v] : env) envText.push_back(k + "=" + v);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      std::vector<std::string> words = command(args);
      std::vector<char *> argv;
      for (auto &w : words) argv.push_back(w.data());
      argv.push_back(nullptr);
      std::vector<char *> envp;
      for (auto &e : envText) envp.push_back(e.data());
      envp.push_back(nullptr);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_})
      if (fd >= 0) close(fd);
  }

  void write(const std::string &text) {
    if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) throw std::runtime_error("write");
  }
  void closeInput() {
    close(in_);
    in_ = -1;
  }
  // The next line on standard output, or "" when the deadline passes first.
  std::string line(std::chrono::milliseconds deadline = 20s) {
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      auto nl = pending_.find('\n');
      if (nl != std::string::npos) {
        std::string l = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return l;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char buf[256];
      ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return "";
      pending_.append(buf, static_cast<std::size_t>(n));
    }
  }
  // Closes standard input and collects everything until the program ends.
  Result finish(std::chrono::milliseconds deadline = 20s) {
    if (in_ >= 0) closeInput();
    Result r;
    r.out = pending_;
    auto end = std::chrono::steady_clock::now() + deadline;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        ADD_FAILURE() << "the program did not end in time";
        return r;
      }
      pollfd p[2] = {{outOpen ? out_ : -1, POLLIN, 0}, {errOpen ? err_ : -1, POLLIN, 0}};
      if (poll(p, 2, static_cast<int>(left.count())) <= 0) continue;
      char buf[512];
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = read(p[i].fd, buf, sizeof buf);
        if (n <= 0)
          (i == 0 ? outOpen : errOpen) = false;
        else
          (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
      }
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
  }
  void crash() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string pending_;
};

class ProgramTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> env() const { return {{"XDG_RUNTIME_DIR", runtime.path().string()}}; }
  Result run(const std::vector<std::string> &args, const std::string &input = "") {
    Child c(args, env());
    c.write(input);
    return c.finish();
  }
  std::vector<std::string> rootArgs(const TempDir &r) const { return {"--headless", "--root", r.path().string()}; }

  TempDir root, runtime;
};

TEST_F(ProgramTest, HelpAndBadCommandLines) {
  Result help = run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("Usage: ui_test_program [--root DIR] [--headless]", 0), 0u) << help.out;
  EXPECT_EQ(help.err, "");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {{{"--bogus"}, "ui_test_program: unknown option --bogus (see --help)\n"},
               {{"--root"}, "ui_test_program: --root needs a folder\n"}};
  for (const auto &c : cases) {
    Result r = run(c.args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(ProgramTest, HeadlessSessionAgainstItsRoot) {
  std::vector<std::string> args = rootArgs(root);
  args.push_back("hello");
  args.push_back("world");
  Result r = run(args, "text 1002\ntype 1001 Alice\nclick 1009\nanswer OK\ntext 1002\ntray\nbogus\n");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> lines;
  std::istringstream s(r.out);
  for (std::string l; std::getline(s, l);) lines.push_back(l);
  EXPECT_EQ(lines, (std::vector<std::string>{"text 1002 \"\"",
                                             "messagebox caption=\"Harness\" text=\"Saved.\" buttons=OK,CANCEL",
                                             "messagebox-closed OK", "text 1002 \"ok\""}));
  EXPECT_NE(r.err.find("debug: started with \"hello world\"\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("debug: tray tapped\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("error: unknown command \"bogus\"\n"), std::string::npos) << r.err;
  std::ifstream log(root.path() / "debug.log");
  std::string content((std::istreambuf_iterator<char>(log)), {});
  EXPECT_EQ(content, "started with \"hello world\"\r\ntray tapped\r\n");
  teskel::registry::Store store(root.path() / teskel::registry::kStoreFileName);
  auto name = store.getValue("Software\\Harness", "Name");
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(name->data, (std::vector<std::uint8_t>{'A', 0, 'l', 0, 'i', 0, 'c', 0, 'e', 0, 0, 0}));
}

TEST_F(ProgramTest, RootFromTheEnvironment) {
  auto e = env();
  e["TESKEL_ROOT"] = root.path().string();
  Child c({"--headless"}, e);
  Result r = c.finish();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(root.path() / "debug.log"));
  EXPECT_TRUE(std::filesystem::exists(root.path() / teskel::registry::kStoreFileName));
}

TEST_F(ProgramTest, SecondStartFindsTheFirstOfTheSameRootOnly) {
  Child first(rootArgs(root), env());
  first.write("echo ready\n");
  ASSERT_EQ(first.line(), "ready") << "the first instance runs its message loop";
  EXPECT_EQ(run(rootArgs(root)).exitCode, 3) << "another instance runs";
  TempDir otherRoot;
  EXPECT_EQ(run(rootArgs(otherRoot)).exitCode, 0) << "another handheld's programs are not seen";
  Result r = first.finish();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(run(rootArgs(root)).exitCode, 0) << "the first is gone";
}

TEST_F(ProgramTest, ACrashedInstanceDoesNotBlockTheNext) {
  Child first(rootArgs(root), env());
  first.write("echo ready\n");
  ASSERT_EQ(first.line(), "ready");
  first.crash();
  Result r = run(rootArgs(root));
  EXPECT_EQ(r.exitCode, 0) << r.err;
}

// The program on a pseudo-terminal: keys in, screen output read until what is wanted shows up.
class Terminal {
 public:
  Terminal(const std::vector<std::string> &args, const std::map<std::string, std::string> &env) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ < 0) throw std::runtime_error("forkpty");
    if (pid_ == 0) {
      for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      setenv("TERM", "xterm", 1);
      std::vector<std::string> words = command(args);
      std::vector<char *> argv;
      for (auto &w : words) argv.push_back(w.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
  }
  void keys(const std::string &k) {
    if (write(master_, k.data(), k.size()) != static_cast<ssize_t>(k.size())) throw std::runtime_error("write");
  }
  // Reads the screen output until `text` has appeared since the last call.
  bool waitFor(const std::string &text, std::chrono::milliseconds deadline = 20s) {
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      auto at = seen_.find(text);
      if (at != std::string::npos) {
        seen_.erase(0, at + text.size());
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{master_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[1024];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) return false;
      seen_.append(buf, static_cast<std::size_t>(n));
    }
  }
  // Reads until the program ends and returns its exit code.
  int wait(std::chrono::milliseconds deadline = 20s) {
    while (waitFor("\x01never\x01", deadline)) {
    }
    int status = 0;
    auto end = std::chrono::steady_clock::now() + deadline;
    // The pty reports its end when the program has closed it; the exit follows right away.
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) return -1;
      pollfd p{master_, POLLIN, 0};
      poll(&p, 1, 10);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string seen_;
};

TEST_F(ProgramTest, OnATerminal) {
  Terminal t({"--root", root.path().string()}, env());
  ASSERT_TRUE(t.waitFor("Harness")) << "the dialog is drawn";
  ASSERT_TRUE(t.waitFor("F10 Quit")) << "with the help line";
  t.keys("abc");     // the first field has the focus
  t.keys("\t\r");    // Tab to Save, Enter presses it
  ASSERT_TRUE(t.waitFor("Saved.")) << "the message box";
  t.keys("\r");      // Enter answers with the focused button, OK
  ASSERT_TRUE(t.waitFor("ok"));
  t.keys("\x1b[21~");  // F10
  EXPECT_EQ(t.wait(), 0);
  teskel::registry::Store store(root.path() / teskel::registry::kStoreFileName);
  auto name = store.getValue("Software\\Harness", "Name");
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(name->data, (std::vector<std::uint8_t>{'a', 0, 'b', 0, 'c', 0, 0, 0}));
}

TEST_F(ProgramTest, TerminalInterfaceNeedsATerminal) {
  Result r = run({"--root", root.path().string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "ui_test_program: the terminal interface needs a terminal (use --headless for scripts)\n");
}

}  // namespace
