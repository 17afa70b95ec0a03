// The decoder helper's confinement on Windows: what the helper makes of what it finds in
// itself, and, under Wine and on Windows alike, what each system lets it do. Wine applies
// the token's privileges but not its integrity level, nor the job's limits (see
// docs/sandbox.md): under Wine the helper must say so, and --require-sandbox must then check
// nothing.

#include "platform/sandbox.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "decode/isolated_tester.h"
#include "platform/path_bytes.h"
#include "platform/sandbox_win32.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/decode_loop.h"
#include "tests/support/temp_dir.h"
#include "tests/windows/helper_tries.h"

namespace {

bool UnderWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// What the scan asks for of the helper's job, and a helper given all of it.
constexpr HelperConfinementFacts kConfined{
    .integrity = SECURITY_MANDATORY_LOW_RID,
    .privileged = false,
    .inJob = true,
    .jobLimits = kHelperJobLimits | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE,
    .activeProcesses = kHelperActiveProcesses,
    .uiLimits = kHelperUiLimits};

// Wine 8 drops the privileges the token names, and takes the rest without applying it.
const std::string kWineLacks =
    "the system does not confirm a Low integrity level, a job that allows no other process, "
    "a job that bars the desktop";

}  // namespace

void TryWhatTheVariableNames(const std::string& path) {
  const char* act = std::getenv(kActVariable);
  if (act == nullptr) return;
  const std::string a = act;
  if (a == "start-a-process") {
    std::wstring line = L"\"" + CurrentExecutable().native() + L"\" --gtest_list_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                         nullptr, &startup, &info)) {
      ::TerminateProcess(info.hProcess, 0);
      std::abort();
    }
  } else if (a == "write-a-file") {
    // Beside the file, in a folder of the user's: a Low integrity level may not write there.
    const std::wstring written = PathFromUtf8(path + ".written").native();
    const HANDLE file = ::CreateFileW(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      ::CloseHandle(file);
      std::abort();
    }
  }
}

TEST(WindowsSandbox, TheHelperNamesEachPartOfItsConfinementTheSystemDoesNotConfirm) {
  const auto with = [](auto change) {
    HelperConfinementFacts f = kConfined;
    change(f);
    return f;
  };
  using F = HelperConfinementFacts&;
  const std::string no = "the system does not confirm ";
  const struct {
    HelperConfinementFacts facts;
    std::string lacks;
  } cases[] = {
      {kConfined, ""},
      {with([](F f) { f.integrity = SECURITY_MANDATORY_UNTRUSTED_RID; }), ""},
      {with([](F f) { f.integrity = kUnknownIntegrity; }), no + "a Low integrity level"},
      {with([](F f) { f.integrity = SECURITY_MANDATORY_LOW_RID + 1; }),
       no + "a Low integrity level"},
      {with([](F f) { f.integrity = SECURITY_MANDATORY_MEDIUM_RID; }),
       no + "a Low integrity level"},
      {with([](F f) { f.privileged = true; }), no + "privileges dropped"},
      {with([](F f) { f.jobLimits = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE; }),
       no + "a job that allows no other process"},
      {with([](F f) { f.activeProcesses = 2; }), no + "a job that allows no other process"},
      {with([](F f) { f.activeProcesses = 0; }), no + "a job that allows no other process"},
      {with([](F f) { f.uiLimits = kHelperUiLimits & ~DWORD{JOB_OBJECT_UILIMIT_READCLIPBOARD}; }),
       no + "a job that bars the desktop"},
      {with([](F f) { f.uiLimits = kHelperUiLimits & ~DWORD{JOB_OBJECT_UILIMIT_DESKTOP}; }),
       no + "a job that bars the desktop"},
      // A process in no job has no job's limits to lack.
      {with([](F f) { f = {.integrity = SECURITY_MANDATORY_LOW_RID, .privileged = false}; }),
       no + "a job of its own"},
      // What Wine 8 reports of the helper.
      {with([](F f) {
         f = {.integrity = SECURITY_MANDATORY_HIGH_RID, .privileged = false, .inJob = true};
       }),
       kWineLacks},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ConfinementLacks(c.facts), c.lacks)
        << c.facts.integrity << " " << c.facts.privileged << " " << c.facts.inJob << " "
        << c.facts.jobLimits << " " << c.facts.activeProcesses << " " << c.facts.uiLimits;
  }
}

// A process started as usual, this test, reads as what it is: the user's own integrity level
// (Wine reports High) and privileges, not an unknown level.
TEST(WindowsSandbox, AProcessWithTheUsersTokenReadsAsTheUsersLevelAndPrivileges) {
  const HelperConfinementFacts facts = ConfinementOfThisProcess();
  EXPECT_GE(facts.integrity, SECURITY_MANDATORY_MEDIUM_RID);
  EXPECT_LE(facts.integrity, SECURITY_MANDATORY_SYSTEM_RID);
  EXPECT_TRUE(facts.privileged);
}

TEST(WindowsSandbox, TheScanMakesTheHelperATokenThisSystemTakes) {
  EXPECT_TRUE(HelperToken().Valid());
}

// What each system lets the helper do: Wine applies neither the integrity level nor the
// job's limit on processes, Windows both.
TEST(WindowsSandbox, WhatTheHelperMayDoIsWhatTheSystemApplies) {
  TempDir t;
  const auto file = t / "clean.ogg";
  testgen::WriteBytes(file, testgen::EncodeTone({.seconds = 1}));
  const bool wine = UnderWine();
  const struct {
    const char* act;
    std::string underWine;
    std::string onWindows;
  } cases[] = {
      {"nothing", "OK", "OK"},
      {"start-a-process", "CRASH", "OK"},
      {"write-a-file", "CRASH", "OK"},
  };
  for (const auto& c : cases) {
    ::SetEnvironmentVariableA(kActVariable, c.act);
    CIsolatedTester tester;
    const std::string text = testsupport::Decode(tester, file).text;
    EXPECT_EQ(text.substr(0, text.find(" @")), wine ? c.underWine : c.onWindows) << c.act;
  }
  ::SetEnvironmentVariableA(kActVariable, nullptr);
}

namespace {

// Checks `file` with --require-sandbox while the scan's standard error is a file (at `log`)
// or a pipe: what the check said of the file, and what reached standard error.
std::pair<std::string, std::string> CheckWithErrorsTo(bool pipe, const std::filesystem::path& file,
                                                      const std::filesystem::path& log) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (pipe) {
    EXPECT_TRUE(::CreatePipe(&read, &write, nullptr, 0));
  } else {
    write = ::CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  const HANDLE saved = ::GetStdHandle(STD_ERROR_HANDLE);
  ::SetStdHandle(STD_ERROR_HANDLE, write);
  std::string text;
  {
    CIsolatedTester tester(CurrentExecutable(), {.requireSandbox = true});
    text = testsupport::Decode(tester, file).text;
  }
  ::SetStdHandle(STD_ERROR_HANDLE, saved);
  ::CloseHandle(write);
  std::string said;
  if (pipe) {
    // The helper has ended: all it wrote waits in the pipe.
    DWORD waiting = 0;
    ::PeekNamedPipe(read, nullptr, 0, nullptr, &waiting, nullptr);
    said.resize(waiting);
    DWORD got = 0;
    if (waiting > 0) ::ReadFile(read, said.data(), waiting, &got, nullptr);
    said.resize(got);
    ::CloseHandle(read);
  } else {
    std::ifstream in(log, std::ios::binary);
    said.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::erase(said, '\r');
  return {text, said};
}

}  // namespace

// The helper says what it lacks on the scan's standard error: under Wine, with
// --require-sandbox, that and nothing checked; on Windows, nothing to say.
TEST(WindowsSandbox, UnderWineTheHelperSaysWhatItLacksAndWithRequireSandboxChecksNothing) {
  TempDir t;
  const auto file = t / "clean.ogg";
  testgen::WriteBytes(file, testgen::EncodeTone({.seconds = 1}));
  for (const bool pipe : {false, true}) {
    const auto [text, said] = CheckWithErrorsTo(pipe, file, t / "errors.txt");
    if (UnderWine()) {
      EXPECT_EQ(text,
                "the decoder helper cannot be confined here, and --require-sandbox forbids "
                "decoding unconfined")
          << "pipe " << pipe;
      EXPECT_EQ(said, "harrowbit: the decoder helper cannot be confined (" + kWineLacks +
                          "), and --require-sandbox forbids decoding unconfined\n")
          << "pipe " << pipe;
    } else {
      EXPECT_EQ(text, "OK") << "pipe " << pipe;
      EXPECT_EQ(said, "") << "pipe " << pipe;
    }
  }
}
