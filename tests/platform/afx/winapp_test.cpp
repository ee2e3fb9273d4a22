// CWinApp and AfxWinMain: the command line, the start-up order, the default loop and its end on SIGTERM
// or SIGINT, the pump and termination hooks. AfxWinMain changes the process's signal mask, so every run
// happens in a child process that reports through a pipe.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/afx/winapp.h"

namespace {

// An application that writes what happens to it into a descriptor.
class RecordingApp : public CWinApp {
 public:
  RecordingApp(int fd, LPCWSTR name = nullptr) : CWinApp(name), fd_(fd) {}

  void Note(const std::string& text) const {
    const std::string line = text + "\n";
    [[maybe_unused]] ssize_t n = ::write(fd_, line.data(), line.size());
  }

  BOOL InitInstance() override {
    Note("init " + AfxToUtf8(m_lpCmdLine));
    if (on_init) on_init(*this);
    return init_result;
  }
  int ExitInstance() override {
    Note("exit");
    return exit_code;
  }

  std::function<void(RecordingApp&)> on_init;
  BOOL init_result = TRUE;
  int exit_code = 0;

 private:
  int fd_;
};

struct ChildRun {
  int exit_code = -1;  // 128 + signal when a signal ended it
  std::vector<std::string> notes;
};

// Runs body(fd) in a child process whose exit code is body's result. When `signal` is not 0 it is sent once
// the child has written the note "ready".
ChildRun RunChild(const std::function<int(int)>& body, int signal = 0) {
  ChildRun run;
  int fds[2];
  if (::pipe(fds) != 0) return run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::_exit(body(fds[1]));
  }
  ::close(fds[1]);
  std::string all, line;
  char c = 0;
  bool signalled = false;
  for (;;) {
    const ssize_t n = ::read(fds[0], &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c != '\n') {
      line += c;
      continue;
    }
    run.notes.push_back(line);
    if (line == "ready" && signal != 0 && !signalled) {
      ::kill(pid, signal);
      signalled = true;
    }
    line.clear();
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

int Main(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return AfxWinMain(static_cast<int>(args.size()), argv.data());
}

using Notes = std::vector<std::string>;

TEST(WinAppCommandLine, ArgumentsAfterTheProgramAreJoinedBySingleSpaces) {
  const ChildRun run = RunChild([](int fd) {
    RecordingApp app(fd);
    app.init_result = FALSE;
    app.on_init = [](RecordingApp& self) {
      std::string args;
      for (const CString& a : AfxGetCommandLineArgs()) args += "[" + AfxToUtf8(a) + "]";
      self.Note("args " + args);
    };
    return Main({"/usr/bin/prog", "/RegServer", "two words", "", "\xC3\xBC"});
  });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.notes, Notes({"init /RegServer two words  \xC3\xBC", "args [/RegServer][two words][][\xC3\xBC]",
                              "exit"}));
}

TEST(WinAppCommandLine, NoArgumentsGiveAnEmptyLine) {
  const ChildRun run = RunChild([](int fd) {
    RecordingApp app(fd);
    app.init_result = FALSE;
    return Main({"prog"});
  });
  EXPECT_EQ(run.notes, Notes({"init ", "exit"}));
}

TEST(WinAppStart, RefusedStartSkipsTheLoopAndReturnsExitInstancesResult) {
  const ChildRun run = RunChild([](int fd) {
    RecordingApp app(fd);
    app.init_result = FALSE;
    app.exit_code = 7;
    AfxSetMessagePump([&app] {
      app.Note("loop");
      return 0;
    });
    return Main({"prog"});
  });
  EXPECT_EQ(run.exit_code, 7);
  EXPECT_EQ(run.notes, Notes({"init ", "exit"}));
}

TEST(WinAppStart, InstalledPumpIsTheLoopAndExitInstanceFollowsIt) {
  const ChildRun run = RunChild([](int fd) {
    RecordingApp app(fd);
    app.on_init = [](RecordingApp& self) {
      AfxSetMessagePump([&self] {
        self.Note("pump");
        return 5;
      });
    };
    AfxAddTermHandler([&app] { app.Note("term first added"); });
    AfxAddTermHandler([&app] { app.Note("term last added"); });
    return Main({"prog", "x"});
  });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.notes, Notes({"init x", "pump", "exit", "term last added", "term first added"}));
}

TEST(WinAppLoop, SigtermEndsTheLoopInOrder) {
  const ChildRun run = RunChild(
      [](int fd) {
        RecordingApp app(fd);
        app.on_init = [](RecordingApp& self) { self.Note("ready"); };
        return Main({"prog"});
      },
      SIGTERM);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.notes, Notes({"init ", "ready", "exit"}));
}

TEST(WinAppLoop, SigintEndsTheLoopInOrder) {
  const ChildRun run = RunChild(
      [](int fd) {
        RecordingApp app(fd);
        app.on_init = [](RecordingApp& self) { self.Note("ready"); };
        return Main({"prog"});
      },
      SIGINT);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.notes, Notes({"init ", "ready", "exit"}));
}

TEST(WinAppLoop, SignalThatArrivesDuringStartUpEndsTheLoopAtOnce) {
  const ChildRun run = RunChild([](int fd) {
    RecordingApp app(fd);
    app.on_init = [](RecordingApp&) { ::kill(::getpid(), SIGTERM); };
    return Main({"prog"});
  });
  EXPECT_EQ(run.exit_code, 0) << "the signal must not kill the process during start-up";
  EXPECT_EQ(run.notes, Notes({"init ", "exit"}));
}

TEST(WinAppStart, ExceptionFromInitInstanceIsReportedAndEndsWithOne) {
  const ChildRun run = RunChild([](int fd) {
    RecordingApp app(fd);
    app.on_init = [](RecordingApp&) { throw std::runtime_error("broken"); };
    const int token = AfxAddReportSink([&app](const AfxReport& r) { app.Note("report " + AfxToUtf8(r.text)); });
    const int code = Main({"prog"});
    AfxRemoveReportSink(token);
    return code;
  });
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.notes, Notes({"init ", "report Fatal error: broken"}));
}

TEST(WinAppStart, WithoutAnApplicationObjectMainReturnsOne) {
  const ChildRun run = RunChild([](int) { return Main({"prog"}); });
  EXPECT_EQ(run.exit_code, 1);
}

TEST(WinApp, ConstructorRegistersTheApplicationAndDestructorForgetsIt) {
  EXPECT_EQ(AfxGetApp(), nullptr);
  {
    RecordingApp app(-1, u"DataBase");
    EXPECT_EQ(AfxGetApp(), &app);
    EXPECT_EQ(AfxGetModuleState()->m_pCurrentWinApp, &app);
    EXPECT_EQ(CString(app.m_pszAppName), u"DataBase");
    EXPECT_EQ(app.m_pMainWnd, nullptr);
    EXPECT_TRUE(app.IsKindOf(RUNTIME_CLASS(CWinApp)));
  }
  EXPECT_EQ(AfxGetApp(), nullptr);
}

TEST(WinApp, NameDefaultsToTheApplicationTitle) {
  RecordingApp app(-1);
  EXPECT_EQ(CString(app.m_pszAppName), AfxGetAppTitle());
  EXPECT_EQ(CString(app.m_pszAppName), u"MivoDB");
}

}  // namespace
