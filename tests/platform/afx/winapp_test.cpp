// CWinApp and AfxWinMain: the command line, the start-up order, the default loop and its end on SIGTERM
// or SIGINT, the pump and termination hooks. AfxWinMain changes the process's signal mask, so every run
// happens in a child process that reports through a pipe.
#include "platform/afx/winapp.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TestEnv.h"

namespace mivo::test {
namespace {

// An application that writes what happens to it into a descriptor.
class RecordingApp : public CWinApp {
 public:
  RecordingApp(int fd, LPCWSTR name = nullptr) : CWinApp(name), fd_(fd) {}

  void Note(const std::string& text) const { WriteNote(fd_, text); }

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

// Runs body(fd) in a child process (see RunForked). When `signal` is not 0 it is sent once the child has
// written the note "ready".
ForkRun RunChild(const std::function<int(int)>& body, int signal = 0) {
  bool signalled = false;
  return RunForked(body, [&](const std::string& note, pid_t pid) {
    if (note == "ready" && signal != 0 && !signalled) {
      ::kill(pid, signal);
      signalled = true;
    }
  });
}

int Main(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return AfxWinMain(static_cast<int>(args.size()), argv.data());
}

using Notes = std::vector<std::string>;

TEST(WinAppCommandLine, ArgumentsAfterTheProgramAreJoinedBySingleSpaces) {
  const ForkRun run = RunChild([](int fd) {
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
  EXPECT_EQ(run.notes, Notes({"init /RegServer two words  \xC3\xBC",
                              "args [/RegServer][two words][][\xC3\xBC]", "exit"}));
}

TEST(WinAppCommandLine, NoArgumentsGiveAnEmptyLine) {
  const ForkRun run = RunChild([](int fd) {
    RecordingApp app(fd);
    app.init_result = FALSE;
    return Main({"prog"});
  });
  EXPECT_EQ(run.notes, Notes({"init ", "exit"}));
}

TEST(WinAppStart, RefusedStartSkipsTheLoopAndReturnsExitInstancesResult) {
  const ForkRun run = RunChild([](int fd) {
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
  const ForkRun run = RunChild([](int fd) {
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
  const ForkRun run = RunChild(
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
  const ForkRun run = RunChild(
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
  const ForkRun run = RunChild([](int fd) {
    RecordingApp app(fd);
    app.on_init = [](RecordingApp&) { ::kill(::getpid(), SIGTERM); };
    return Main({"prog"});
  });
  EXPECT_EQ(run.exit_code, 0) << "the signal must not kill the process during start-up";
  EXPECT_EQ(run.notes, Notes({"init ", "exit"}));
}

TEST(WinAppStart, ExceptionFromInitInstanceIsReportedAndEndsWithOne) {
  const ForkRun run = RunChild([](int fd) {
    RecordingApp app(fd);
    app.on_init = [](RecordingApp&) { throw std::runtime_error("broken"); };
    const int token =
        AfxAddReportSink([&app](const AfxReport& r) { app.Note("report " + AfxToUtf8(r.text)); });
    const int code = Main({"prog"});
    AfxRemoveReportSink(token);
    return code;
  });
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.notes, Notes({"init ", "report Fatal error: broken"}));
}

TEST(WinAppStart, WithoutAnApplicationObjectMainReturnsOne) {
  const ForkRun run = RunChild([](int) { return Main({"prog"}); });
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
}  // namespace mivo::test
