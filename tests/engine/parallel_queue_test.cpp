// The parallel decoder's queue, by property: random lists of wanted and unwanted entries,
// fake helpers that answer slowly or fast, fail, crash or are killed, and every verdict
// must be its own path's. A fake helper (this binary, started as the decoder helper) reads
// its script from the path it is asked for and puts the path's number into every answer,
// so a verdict handed to the wrong path shows. Longer, by hand (SEED:ROUNDS):
//
//   HARROWBIT_QUEUE_MODEL=5:3000 build/tests/parallel_queue_test --gtest_also_run_disabled_tests

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "decode/helper_protocol.h"
#include "decode/parallel_decoder.h"
#include "tests/support/temp_dir.h"

namespace {

// What a fake helper does with one path: /queue/<id>-<script>-<steps>-<delay µs>.ogg.
enum class Script { kOk, kFault, kNoOpen, kCrash, kKilled, kKilledOnce };
constexpr const char* kScriptNames[] = {"ok", "fault", "noopen", "crash", "killed", "once"};
constexpr char kLogVariable[] = "HARROWBIT_FAKE_HELPER_DIR";

struct Entry {
  int id = 0;
  Script script = Script::kOk;
  int steps = 0;
  int delayUs = 0;
  bool wanted = true;

  std::string Path() const {
    return "/queue/" + std::to_string(id) + "-" + kScriptNames[static_cast<int>(script)] + "-" +
           std::to_string(steps) + "-" + std::to_string(delayUs) + ".ogg";
  }
  // Every answer about this path carries it.
  double Length() const { return id + 0.5; }
};

std::optional<Entry> Parse(const std::string& path) {
  Entry e;
  char script[16] = {};
  if (std::sscanf(path.c_str(), "/queue/%d-%15[a-z]-%d-%d.ogg", &e.id, script, &e.steps,
                  &e.delayUs) != 4) {
    return std::nullopt;
  }
  for (int s = 0; s < 6; ++s) {
    if (std::strcmp(script, kScriptNames[s]) == 0) e.script = static_cast<Script>(s);
  }
  return e;
}

bool ReadRequest(std::string& path) {
  HelperRequest request;
  if (!ReadRequest(kRequestFd, request)) return false;
  if (request.file >= 0) ::close(request.file);
  path = std::move(request.path);
  return true;
}

void Send(const HelperMessage& m) {
  std::string out;
  AppendMessage(out, m);
  WriteAll(kReplyFd, out.data(), out.size());
}

// The fake helper: answers each request as its path says, and notes every request.
int ServeAsFakeHelper() {
  const char* dir = std::getenv(kLogVariable);
  if (dir == nullptr) return 3;
  const std::string log = std::string(dir) + "/requests";
  std::string path;
  while (ReadRequest(path)) {
    {
      const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
      const std::string line = path + "\n";
      WriteAll(fd, line.data(), line.size());
      ::close(fd);
    }
    const auto e = Parse(path);
    if (!e) return 4;
    // Not a wait: each file's own pace, so that helpers finish out of order. Verdicts must
    // come in list order at any pace, a loaded machine's included.
    std::this_thread::sleep_for(std::chrono::microseconds(e->delayUs));
    if (e->script == Script::kNoOpen) {
      Send({HelperMessage::kOpened, 0, 0, 0, "OV_ENOTVORBIS " + std::to_string(e->id)});
      continue;
    }
    Send({HelperMessage::kOpened, 1, e->id, e->Length(), ""});
    for (int s = 1; s <= e->steps; ++s) {
      Send({HelperMessage::kStep, 1024, 0, s * 0.1, ""});
      std::this_thread::sleep_for(std::chrono::microseconds(e->delayUs / 4));
    }
    switch (e->script) {
      case Script::kCrash: ::raise(SIGSEGV); break;
      case Script::kKilledOnce: {
        // Killed from outside the first time only, as the OOM killer would.
        const std::string mark = std::string(dir) + "/" + std::to_string(e->id) + ".tried";
        if (::open(mark.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600) < 0) break;
        ::kill(::getpid(), SIGKILL);
        break;
      }
      case Script::kKilled: ::kill(::getpid(), SIGKILL); break;
      default: break;
    }
    const bool fault = e->script == Script::kFault;
    Send({HelperMessage::kStep, fault ? -3 : 0, 0, e->steps * 0.1,
          fault ? "OV_HOLE " + std::to_string(e->id) : ""});
  }
  return 0;
}

// The seam the test drives: the list with its filter, one verdict asked for by list index
// and path.
class CQueueUnderTest {
 public:
  CQueueUnderTest(const CFileList& list, int jobs, CParallelDecoder::Wanted wanted)
      : m_decoder(list, jobs, CurrentExecutable(), {.stepTimeout = std::chrono::seconds(20)},
                  std::move(wanted)) {}
  IVerdictSource::Decoded Take(std::size_t index, const std::filesystem::path& path) {
    return m_decoder.Take({index, path});
  }

 private:
  CParallelDecoder m_decoder;
};

std::pair<uint64_t, int> SeedAndRounds(uint64_t seed, int rounds) {
  if (const char* asked = std::getenv("HARROWBIT_QUEUE_MODEL")) {
    const std::string s = asked;
    const auto colon = s.find(':');
    seed = std::stoull(s.substr(0, colon));
    if (colon != std::string::npos) rounds = std::stoi(s.substr(colon + 1));
  }
  return {seed, rounds};
}

// Random rounds, each entry OK or one of `scripts`, some unwanted when `mixWanted`; stops
// at the first round that fails.
void Rounds(const std::vector<Script>& scripts, bool mixWanted, uint64_t ciSeed, int ciRounds) {
  const auto [seed, rounds] = SeedAndRounds(ciSeed, ciRounds);
  SCOPED_TRACE("HARROWBIT_QUEUE_MODEL=" + std::to_string(seed) + ":" + std::to_string(rounds));
  std::mt19937_64 rng(seed);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  for (int round = 0; round < rounds && !::testing::Test::HasFailure(); ++round) {
    TempDir dir;
    ::setenv(kLogVariable, dir.path().c_str(), 1);
    const int jobs = 1 + pick(6);
    const double wantedShare = mixWanted ? std::uniform_real_distribution<double>(0, 1)(rng) : 1.0;
    std::vector<Entry> entries(static_cast<std::size_t>(1 + pick(40)));
    CFileList list;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      Entry& e = entries[i];
      e.id = static_cast<int>(i);
      e.script = pick(3) == 0
                     ? scripts[static_cast<std::size_t>(pick(static_cast<int>(scripts.size())))]
                     : Script::kOk;
      e.steps = pick(5);
      e.delayUs = pick(4) == 0 ? pick(8000) : pick(500);
      e.wanted = std::bernoulli_distribution(wantedShare)(rng);
      list.Append(e.Path());
    }
    std::ostringstream plan;
    for (const auto& e : entries) plan << (e.wanted ? "" : "~") << e.Path() << ' ';
    SCOPED_TRACE("round " + std::to_string(round) + ", -j" + std::to_string(jobs) + ": " +
                 plan.str());

    std::vector<std::size_t> asked;  // the wanted filter's calls, by index
    CQueueUnderTest queue(list, jobs, [&](const ListedFile& file) {
      asked.push_back(file.index);
      EXPECT_EQ(file.path, entries.at(file.index).Path())
          << "the filter is asked of the wrong path";
      return entries.at(file.index).wanted;
    });
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      if (!e.wanted) continue;
      const auto d = queue.Take(i, e.Path());
      const FileVerdict& v = d.verdict;
      SCOPED_TRACE(e.Path() + ": " + v.reason);
      const std::string id = std::to_string(e.id);
      switch (e.script) {
        case Script::kNoOpen:
          EXPECT_EQ(v.status, FileVerdict::Status::kError);
          EXPECT_FALSE(v.opened);
          EXPECT_EQ(v.reason, "OV_ENOTVORBIS " + id);
          continue;
        case Script::kOk:
        case Script::kKilledOnce:
          EXPECT_EQ(v.status, FileVerdict::Status::kOk);
          EXPECT_EQ(d.lastResult, 0);
          EXPECT_EQ(d.samplesDecoded, 1024 * e.steps);
          break;
        case Script::kFault:
          EXPECT_EQ(v.status, FileVerdict::Status::kError);
          EXPECT_EQ(v.reason, "OV_HOLE " + id);
          EXPECT_EQ(d.samplesDecoded, 1024 * e.steps);
          break;
        case Script::kCrash:
        case Script::kKilled:
          EXPECT_EQ(v.status, FileVerdict::Status::kError);
          EXPECT_EQ(v.reason.substr(0, 5), e.script == Script::kCrash ? "CRASH" : "LIMIT");
          EXPECT_EQ(v.overLimit, e.script == Script::kKilled);
          EXPECT_LE(d.samplesDecoded, 1024 * e.steps);
          break;
      }
      EXPECT_TRUE(v.opened);
      EXPECT_EQ(v.length, e.Length()) << "another path's verdict";
      EXPECT_EQ(v.samples, e.id) << "another path's verdict";
    }

    // Only wanted entries reach a helper, each once; one that died may have one more try.
    std::map<std::string, int> requests;
    std::ifstream log(dir / "requests");
    for (std::string line; std::getline(log, line);) ++requests[line];
    for (const auto& e : entries) {
      const int n = requests.contains(e.Path()) ? requests[e.Path()] : 0;
      if (!e.wanted) {
        EXPECT_EQ(n, 0) << e.Path() << ": not wanted, yet decoded";
      } else if (e.script == Script::kKilledOnce || e.script == Script::kKilled ||
                 e.script == Script::kCrash) {
        EXPECT_GE(n, 1) << e.Path();
        EXPECT_LE(n, 2) << e.Path();
      } else {
        EXPECT_EQ(n, 1) << e.Path();
      }
    }
    std::set<std::size_t> once(asked.begin(), asked.end());
    EXPECT_EQ(once.size(), asked.size()) << "the filter is asked twice of one entry";
  }
}

}  // namespace

const std::vector<Script> kEnds = {Script::kFault, Script::kNoOpen, Script::kCrash,
                                   Script::kKilled};

TEST(ParallelQueue, EveryVerdictGoesToItsOwnPathWhateverOrderTheHelpersAnswerIn) {
  Rounds(kEnds, false, 16, 40);
}

// Unwanted entries (recorded verdicts that stand) between wanted ones: none may reach a
// helper. Fails on today's main (issue 16, the iterator kept across push_back in
// Dispatch): enable with the fix.
TEST(ParallelQueue, UnwantedEntriesNeverReachAHelperAndVerdictsKeepTheirPaths) {
  Rounds(kEnds, true, 16, 60);
}

// A helper killed from outside (the OOM killer) says nothing about its file: it gets one
// more try in a fresh helper. Fails on today's main (issue 16): enable with the retry.
TEST(ParallelQueue, AHelperKilledFromOutsideGetsItsFileOneMoreTry) {
  Rounds({Script::kKilledOnce, Script::kFault}, true, 16, 60);
}

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], kDecoderHelperFlag) == 0) return ServeAsFakeHelper();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
