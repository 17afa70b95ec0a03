// A whole scan through the real window (offscreen) against the same files through
// harrowbit-cli with one job, and the window's time per file at 20,000 tiny files
// against 1,000.
//
//   ui-scan-bench [--rounds N] [FOLDER]
//
// With FOLDER, compares the two on it; without, generates the tiny files itself. Each
// command runs N times (default 3), alternating with the other; the best time counts.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "decode/isolated_tester.h"
#include "tests/gen/ogg_gen.h"
#include "ui/scan_dlg.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// From the window's first showing until its report is complete, and its worker joined.
double TimeWindow(const std::filesystem::path& folder) {
  const auto start = Clock::now();
  {
    CScanDlg dlg;
    dlg.m_testerFactory = IsolatedTesterFactory(HARROWBIT_DECODER);
    dlg.m_strCmdLine = folder.native();
    dlg.show();
    const auto done = [&] {
      return !dlg.m_state.IsRunning() && dlg.m_btnStart->text() == "Start" &&
             dlg.m_editLog->document()->lastBlock().text().contains(" files, ");
    };
    while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    dlg.OnCancel();
  }
  return Seconds(start);
}

double TimeCli(const std::filesystem::path& folder) {
  std::string cli = HARROWBIT_CLI;
  std::string jobs = "-j1";
  std::string path = folder.native();
  char* argv[] = {cli.data(), jobs.data(), path.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0) {
    std::fprintf(stderr, "ui-scan-bench: cannot run %s\n", argv[0]);
    std::exit(2);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double t = Seconds(start);
  posix_spawn_file_actions_destroy(&actions);
  return t;
}

struct Pair {
  double window;
  double cli;
};

Pair Best(const std::filesystem::path& folder, int rounds) {
  Pair best{1e300, 1e300};
  TimeCli(folder);  // the files into the page cache
  for (int i = 0; i < rounds; ++i) {
    best.window = std::min(best.window, TimeWindow(folder));
    best.cli = std::min(best.cli, TimeCli(folder));
  }
  return best;
}

bool Report(const char* name, double measured, double limit) {
  const bool ok = measured <= limit;
  std::printf("  %-40s %6.3f   (at most %.2f)  %s\n", name, measured, limit, ok ? "ok" : "MISSED");
  return ok;
}

std::filesystem::path TinyFiles(const std::filesystem::path& root, int count) {
  testgen::Tone tone;
  tone.channels = 1;
  tone.rate = 22050;
  tone.seconds = 0.1;
  static const testgen::Bytes bytes = testgen::EncodeTone(tone);
  const auto dir = root / std::to_string(count);
  std::filesystem::create_directories(dir);
  for (int i = 0; i < count; ++i) {
    if (!testgen::WriteBytes(dir / ("tiny" + std::to_string(i) + ".ogg"), bytes)) {
      std::fprintf(stderr, "ui-scan-bench: cannot write into %s\n", dir.c_str());
      std::exit(2);
    }
  }
  return dir;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  int rounds = 3;
  std::filesystem::path folder;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      folder = argv[i];
    }
  }
  std::printf("best of %d rounds\n", rounds);

  if (!folder.empty()) {
    const Pair p = Best(folder, rounds);
    std::printf("%s: window %.3f s, CLI -j1 %.3f s\n", folder.c_str(), p.window, p.cli);
    return Report("window / CLI -j1", p.window / p.cli, 1.05) ? 0 : 1;
  }

  std::string pattern =
      (std::filesystem::temp_directory_path() / "harrowbit-uibench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 2;
  const std::filesystem::path root = pattern;
  bool ok = true;
  const Pair small = Best(TinyFiles(root, 1000), rounds);
  std::printf("1,000 tiny files: window %.3f s, CLI -j1 %.3f s\n", small.window, small.cli);
  ok &= Report("window / CLI -j1", small.window / small.cli, 1.05);
  const Pair large = Best(TinyFiles(root, 20000), rounds);
  std::printf("20,000 tiny files: window %.3f s, CLI -j1 %.3f s\n", large.window, large.cli);
  ok &= Report("window / CLI -j1", large.window / large.cli, 1.05);
  ok &= Report("window per file, 20,000 / 1,000", (large.window / 20000) / (small.window / 1000),
               1.5);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return ok ? 0 : 1;
}
