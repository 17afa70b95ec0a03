// harrowbit-cli --all-codecs from outside: every Ogg codec where it meets -j, --quick,
// --in-process, --json, --db and a helper that dies.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/cli/run_cli.h"
#include "tests/gen/codec_gen.h"
#include "tests/gen/ogg_gen.h"

namespace {

using testgen::Codec;
using testgen::CodecDamage;

const testgen::Tone kTone{.channels = 1, .rate = 8000, .seconds = 2};

struct Entry {
  std::string name;
  testgen::Bytes bytes;
  // What follows "..." on the file's line, up to where the position would begin.
  std::string verdict;
};

class AllCodecs : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, const testgen::Bytes& bytes) {
    EXPECT_FALSE(bytes.empty()) << name;
    const auto p = m_dir / name;
    std::filesystem::create_directories(p.parent_path());
    testgen::WriteBytes(p, bytes);
    return p.native();
  }
  // Links of a chain need serials of their own.
  static testgen::Tone Serial(uint32_t serial) {
    testgen::Tone tone = kTone;
    tone.serial = serial;
    return tone;
  }
  static testgen::Bytes Opus(CodecDamage d, uint32_t serial = 1) {
    return MakeCodecCase(Codec::kOpus, d, Serial(serial));
  }
  static testgen::Bytes Flac(CodecDamage d, uint32_t serial = 1) {
    return MakeCodecCase(Codec::kFlac, d, Serial(serial));
  }
  static testgen::Bytes Vorbis(uint32_t serial = 1) { return testgen::EncodeTone(Serial(serial)); }
  static testgen::Bytes Speex() { return testgen::MakeForeignStream("Speex   ", 7); }

  // The library every test here checks: one file of each kind the option meets.
  std::vector<Entry> Library() {
    return {
        {"a-vorbis.ogg", Vorbis(), "OK"},
        {"b-opus.opus", Opus(CodecDamage::kClean), "OK"},
        {"c-opus-named-as-vorbis.OGG", Opus(CodecDamage::kClean), "OK"},
        {"d-opus-hole.opus", Opus(CodecDamage::kDropPage), "ERROR (OP_HOLE @ "},
        {"e-flac.oga", Flac(CodecDamage::kClean), "OK"},
        {"f-flac-wrong-md5.oga", Flac(CodecDamage::kWrongMd5), "ERROR (FLAC_MD5_MISMATCH)"},
        {"g-flac-no-md5.oga", Flac(CodecDamage::kNoMd5), "OK"},
        {"h-speex.ogg", Speex(), "NOT CHECKED (speex: not a codec Harrowbit checks)"},
        {"i-chain.ogg",
         testgen::Chain({Vorbis(11), Opus(CodecDamage::kClean, 12), Flac(CodecDamage::kClean, 13)}),
         "OK"},
        {"j-opus-then-speex.ogg", testgen::Chain({Opus(CodecDamage::kClean), Speex()}),
         "OK (links not checked: speex)"},
    };
  }
  std::vector<std::string> PutAll(const std::vector<Entry>& entries) {
    std::vector<std::string> paths;
    for (const Entry& e : entries) paths.push_back(Put(e.name, e.bytes));
    return paths;
  }
  TempDir m_dir;
};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Runs a Python script on `text` (given as its first argument) and says what it printed
// when it failed.
void Python(const TempDir& t, const std::string& script, const std::string& text) {
  const auto code = t / "script.py";
  const auto in = t / "input.txt";
  std::ofstream(code) << script;
  std::ofstream(in) << text;
  const CliRun r = RunCommand(t, {"python3", code.native(), in.native()});
  EXPECT_EQ(r.status, 0) << r.err << "\n" << text;
}

}  // namespace

TEST_F(AllCodecs, EachFileByItsOwnLibraryAndTheSameReportWhateverTheJobs) {
  const std::vector<Entry> library = Library();
  const std::vector<std::string> paths = PutAll(library);
  const CliRun one = RunCli(m_dir, With({"--all-codecs", "-j1"}, paths));
  std::istringstream lines(one.out);
  std::string line;
  for (std::size_t i = 0; i < library.size(); ++i) {
    ASSERT_TRUE(std::getline(lines, line)) << one.out;
    const std::string want =
        "[" + std::to_string(i + 1) + "/10]\t" + paths[i] + "..." + library[i].verdict;
    EXPECT_EQ(line.substr(0, want.size()), want);
    // A verdict without a position is the whole line.
    if (library[i].verdict.back() != ' ') {
      EXPECT_EQ(line, want);
    }
  }
  std::string rest((std::istreambuf_iterator<char>(lines)), std::istreambuf_iterator<char>());
  EXPECT_EQ(rest,
            "10 files, 2 errors [4,6]\n"
            "1 files not checked: no stream in a codec Harrowbit checks [8]\n");
  EXPECT_EQ(one.err, "") << "a codec Harrowbit does not check is no fault of the run";
  EXPECT_EQ(one.status, 1);
  const std::string db = (m_dir / "lib.db").native();
  const std::vector<std::string> variants[] = {
      {"--all-codecs", "-j2"},
      // Recorded, then the records stand: they read as the fresh check did.
      {"--all-codecs", "--db", db},
      {"--all-codecs", "--quick", "-j2", "--db", db, "--skip-checked", "1"},
      {"--all-codecs", "-j4"},
      {"--all-codecs", "--in-process"},
      // --quick is for Vorbis: the others are checked in full, with the same verdicts.
      {"--all-codecs", "--quick", "-j3"},
  };
  for (const auto& args : variants) {
    const CliRun r = RunCli(m_dir, With(args, paths));
    EXPECT_EQ(r.out, one.out) << args[1];
    EXPECT_EQ(r.err, "") << args[1];
    EXPECT_EQ(r.status, 1) << args[1];
  }
  // Without the option nothing changes: ".ogg" names only, Vorbis only.
  const CliRun vorbisOnly = RunCli(m_dir, {paths[0], paths[1], paths[2]});
  EXPECT_EQ(vorbisOnly.out, "[1/2]\t" + paths[0] + "...OK\n[2/2]\t" + paths[2] +
                                "...ERROR (OV_ENOTVORBIS)\n2 files, 1 errors [2]\n");
  EXPECT_EQ(vorbisOnly.err, "harrowbit-cli: " + paths[1] +
                                ": not checked: neither a folder nor a file whose name ends "
                                "in \".ogg\"\n");
  EXPECT_EQ(vorbisOnly.status, 2);
}

TEST_F(AllCodecs, JsonNamesTheCodecOfEveryFileAndWhatWasNotVerified) {
  const std::vector<std::string> paths = PutAll(Library());
  const CliRun r = RunCli(m_dir, With({"--all-codecs", "--json", "-j2"}, paths));
  EXPECT_EQ(r.status, 1);
  Python(m_dir, R"(import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
files, summary = lines[:-1], lines[-1]
assert [f["codec"] for f in files] == ["vorbis", "opus", "opus", "opus", "flac", "flac", "flac",
    "speex", "vorbis+opus+flac", "opus+speex"], files
assert [f["verdict"] for f in files] == ["ok", "ok", "ok", "error", "ok", "error", "ok",
    "not_checked", "ok", "ok"], files
assert [i for i, f in enumerate(files) if f.get("md5") == "unverifiable"] == [6], files
assert [i for i, f in enumerate(files) if f.get("unsupported")] == [7], files
assert files[7]["reason"] == "speex: not a codec Harrowbit checks", files[7]
assert [f.get("links_not_checked") for f in files] == [None] * 9 + ["speex"], files
assert files[3]["reason"].startswith("OP_HOLE @ ") and 0 < files[3]["position"] < 2, files[3]
assert abs(files[8]["length"] - 6) < 0.1, files[8]
assert summary["errors"] == 2 and summary["failed"] == [4, 6], summary
assert summary["unsupported"] == [8], summary
)",
         r.out);
  // Records that stand read as the fresh check did, but for where they come from.
  const std::string db = (m_dir / "lib.db").native();
  EXPECT_EQ(RunCli(m_dir, With({"--all-codecs", "--json", "--db", db}, paths)).out, r.out);
  const std::string replayed =
      RunCli(m_dir, With({"--all-codecs", "--json", "--db", db, "--skip-checked", "1"}, paths)).out;
  const std::regex fromDb(",\"checked_at\":\"[^\"]*\",\"from_db\":true");
  EXPECT_EQ(std::distance(std::sregex_iterator(replayed.begin(), replayed.end(), fromDb), {}), 9);
  EXPECT_EQ(std::regex_replace(replayed, fromDb, ""), r.out);
  // A run of Vorbis only keeps its JSON as it was.
  const CliRun vorbis = RunCli(m_dir, {"--json", paths[0]});
  EXPECT_EQ(vorbis.out.find("codec"), std::string::npos) << vorbis.out;
  EXPECT_EQ(vorbis.out.find("unsupported"), std::string::npos) << vorbis.out;
}

TEST_F(AllCodecs, AStreamHarrowbitDoesNotCheckIsNeitherDamageNorAFaultOfTheRun) {
  const std::string speex = Put("speex.ogg", Speex());
  const std::string theora = Put("theora.ogg", testgen::MakeForeignStream("\x80theora", 3));
  const std::string clean = Put("clean.opus", Opus(CodecDamage::kClean));
  const std::string cut = Put("cut.opus", Opus(CodecDamage::kCutMidFile));
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{speex}, 0},
      {{"-j2", theora, clean, speex}, 0},
      {{"--quick", speex, cut}, 1},
      {{"-q", speex, (m_dir / "missing.opus").native()}, 2},
  };
  for (const auto& c : cases) {
    const CliRun r = RunCli(m_dir, With({"--all-codecs"}, c.args));
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_EQ(r.out.find("errors [") != std::string::npos, c.status == 1) << r.out;
  }
  // With -q the unchecked file has no line of its own, but the summary still counts it.
  const CliRun quiet = RunCli(m_dir, {"--all-codecs", "-q", clean, speex, cut});
  EXPECT_EQ(quiet.out.substr(0, quiet.out.find("...")), "[3/3]\t" + cut) << quiet.out;
  EXPECT_NE(quiet.out.find("\n3 files, 1 errors [3]\n"
                           "1 files not checked: no stream in a codec Harrowbit checks [2]\n"),
            std::string::npos)
      << quiet.out;
  const CliRun theoraOnly = RunCli(m_dir, {"--all-codecs", theora});
  EXPECT_EQ(theoraOnly.out, "[1/1]\t" + theora +
                                "...NOT CHECKED (theora: not a codec Harrowbit checks)\n"
                                "1 files, 0 errors\n"
                                "1 files not checked: no stream in a codec Harrowbit checks [1]\n");
  EXPECT_EQ(theoraOnly.err, "");
}

TEST_F(AllCodecs, VorbisReportsAreByteForByteTheSameWithTheOption) {
  std::vector<std::string> paths;
  for (const testgen::Case& c : testgen::AllCases({.channels = 2, .rate = 22050, .seconds = 3})) {
    if (!c.bytes.empty()) paths.push_back(Put("vorbis/" + c.fileName, c.bytes));
  }
  std::sort(paths.begin(), paths.end());
  ASSERT_GT(paths.size(), 10u);
  for (const char* check : {"-j2", "--quick", "--in-process"}) {
    const CliRun without = RunCli(m_dir, With({check}, paths));
    const CliRun with = RunCli(m_dir, With({check, "--all-codecs"}, paths));
    EXPECT_EQ(with.out, without.out) << check;
    EXPECT_EQ(with.err, without.err) << check;
    EXPECT_EQ(with.status, without.status) << check;
    EXPECT_NE(without.out.find("ERROR (OV_HOLE @ "), std::string::npos) << without.out;
  }
}

TEST_F(AllCodecs, TheDatabaseRecordsTheCodecAndOnlyARecordThatFitsTheRunStands) {
  const std::string db = (m_dir / "lib.db").native();
  const std::string vorbis = Put("vorbis.ogg", Vorbis());
  const std::string opus = Put("opus-named-as-vorbis.ogg", Opus(CodecDamage::kClean));
  const std::string hole = Put("hole.opus", Opus(CodecDamage::kDropPage));
  const std::string flac = Put("flac.oga", Flac(CodecDamage::kClean));
  const std::string chain =
      Put("chain.ogg", testgen::Chain({Vorbis(21), Flac(CodecDamage::kClean, 22)}));
  const std::string speex = Put("speex.ogg", Speex());
  const std::vector<std::string> all{vorbis, opus, hole, flac, chain, speex};
  const auto rows = [&] {
    const CliRun r = RunCommand(m_dir, {"sqlite3", "-separator", " ", db,
                                        "SELECT CAST(path AS TEXT), codec, verdict, kind FROM files"
                                        " WHERE reach = 'all-codecs' ORDER BY path"});
    // By the file's name: the database keeps the path with its folder resolved.
    std::map<std::string, std::string> byName;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const auto space = line.find(' ');
      const auto slash = line.rfind('/', space);
      byName[line.substr(slash + 1, space - slash - 1)] = line.substr(space + 1);
    }
    return byName;
  };
  // --quick: the Vorbis file is checked quickly, every other in full, and each is
  // recorded as checked.
  const CliRun first = RunCli(m_dir, With({"--all-codecs", "--quick", "-j2", "--db", db}, all));
  EXPECT_EQ(first.status, 1) << first.out << first.err;
  EXPECT_EQ(rows(), (std::map<std::string, std::string>{
                        {"vorbis.ogg", "vorbis ok quick"},
                        {"opus-named-as-vorbis.ogg", "opus ok full"},
                        {"hole.opus", "opus error full"},
                        {"flac.oga", "flac ok full"},
                        {"chain.ogg", "vorbis+flac ok full"},
                        {"speex.ogg", "speex unsupported full"},
                    }));

  // A full run takes what the quick one checked in full, and replays its codec.
  const CliRun again = RunCli(
      m_dir, With({"--all-codecs", "--json", "-j2", "--db", db, "--skip-checked", "1"}, all));
  Python(m_dir, R"(import json, sys
files = [json.loads(l) for l in open(sys.argv[1])][:-1]
assert [f["codec"] for f in files] == ["vorbis", "opus", "opus", "flac", "vorbis+flac", "speex"], files
assert [bool(f.get("from_db")) for f in files] == [False, True, True, True, True, False], files
assert files[2]["reason"].startswith("OP_HOLE @ "), files[2]
)",
         again.out);

  // A run of Vorbis only does not take an Opus file's OK, nor replace it with its
  // refusal, and a run of every codec does not take that refusal.
  const struct {
    bool allCodecs;
    bool ok;
    bool fromDb;
  } turns[] = {{false, false, false}, {true, true, true}, {false, false, true}};
  for (const auto& turn : turns) {
    std::vector<std::string> args{"--db", db, "--skip-checked", "1", "--json", opus};
    if (turn.allCodecs) args.insert(args.begin(), "--all-codecs");
    const CliRun r = RunCli(m_dir, args);
    EXPECT_NE(r.out.find(turn.ok ? "\"verdict\":\"ok\"" : "\"reason\":\"OV_ENOTVORBIS\""),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("\"from_db\":true") != std::string::npos, turn.fromDb) << r.out;
    EXPECT_EQ(rows()["opus-named-as-vorbis.ogg"], "opus ok full");
  }
}

TEST_F(AllCodecs, AHelperThatDiesOnAnOpusFileGivesCrashAndTheCheckGoesOn) {
  const std::string first =
      Put("a-long.opus", MakeCodecCase(Codec::kOpus, CodecDamage::kClean,
                                       {.channels = 2, .rate = 48000, .seconds = 240}));
  const std::string second = Put("b.oga", Flac(CodecDamage::kClean));
  const CliRun r = RunCli(m_dir, {"--all-codecs", "-j1", first, second}, [&](pid_t pid) {
    std::vector<pid_t> killed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (killed.size() < 2 && std::chrono::steady_clock::now() < deadline) {
      for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        std::string cmdline = ReadAll(e.path() / "cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find("--decoder-helper " + std::to_string(pid) + " ") == std::string::npos) {
          continue;
        }
        const pid_t h = std::stoi(e.path().filename().native());
        if (std::find(killed.begin(), killed.end(), h) != killed.end()) continue;
        // Not a wait: the helper is a little way into the file when it dies, or not; a
        // crash twice is CRASH either way.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::kill(h, SIGSEGV);
        killed.push_back(h);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::string line = "[1/2]\t" + first + "...ERROR (CRASH";
  EXPECT_EQ(r.out.substr(0, line.size()), line) << r.out;
  EXPECT_NE(r.out.find("\n[2/2]\t" + second + "...OK\n2 files, 1 errors [1]\n"), std::string::npos)
      << r.out;
}

// The reach rule once: a record is compared with, and replaced by, a check of its own reach
// only; a record of the other reach stands only where it says the same; --show-errors
// lists a file by its every-codec record when it has one.
TEST_F(AllCodecs, ARecordIsComparedWithAndReplacedByACheckOfItsOwnReachOnly) {
  const std::string db = (m_dir / "lib.db").native();
  const testgen::Bytes vorbis = testgen::MakeCase(testgen::Damage::kClean, kTone);
  const testgen::Bytes rotten = testgen::MakeCase(testgen::Damage::kFlipByte, kTone);
  const std::vector<std::string> all = {"--all-codecs"}, plain = {"-j1"}, j2 = {"-j2"};
  const std::vector<std::string> skip = {"--skip-checked", "1"};
  const struct {
    testgen::Bytes bytes;
    std::vector<std::string> first, second;
    bool rot, newly;
    std::string records;  // after the second run, by reach
    bool listed;
  } rows[] = {
      {Opus(CodecDamage::kClean), all, With(skip, plain), false, false,
       "all-codecs ok, vorbis error", false},
      {Opus(CodecDamage::kClean), plain, With(skip, all), false, false,
       "all-codecs ok, vorbis error", false},
      {Opus(CodecDamage::kDropPage), all, j2, false, false, "all-codecs error, vorbis error", true},
      {testgen::Chain({Vorbis(), Speex()}), all, With(skip, j2), false, false,
       "all-codecs ok, vorbis error", false},
      {Speex(), plain, all, false, false, "all-codecs unsupported, vorbis error", false},
      {Speex(), all, plain, false, false, "all-codecs unsupported, vorbis error", false},
      {vorbis, plain, plain, true, true, "vorbis error", true},
      {vorbis, all, {"--all-codecs", "--quick"}, true, true, "all-codecs error", true},
      {vorbis, plain, With(all, {"--strict"}), true, false, "all-codecs error, vorbis ok", true},
      {vorbis, all, j2, true, false, "all-codecs ok, vorbis error", false},
      // Unchanged: the other reach's record stands where it says what this check would.
      {vorbis, plain, With(skip, all), false, false, "vorbis ok", false},
      {vorbis, all, With(skip, plain), false, false, "all-codecs ok", false},
  };
  std::vector<std::string> paths;
  for (const auto& row : rows) {
    paths.push_back(Put("lib/" + std::to_string(paths.size()) + ".ogg", row.bytes));
    ASSERT_LT(RunCli(m_dir, With(With({"--db", db}, row.first), {paths.back()})).status, 2);
  }
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (rows[i].rot) {
      // The bytes go bad under the same size and time stamps.
      struct stat st {};
      ASSERT_EQ(::stat(paths[i].c_str(), &st), 0);
      testgen::WriteBytes(paths[i], rotten);
      const timespec times[2] = {st.st_atim, st.st_mtim};
      ASSERT_EQ(::utimensat(AT_FDCWD, paths[i].c_str(), times, 0), 0);
    }
    const CliRun r = RunCli(m_dir, With(With({"--db", db}, rows[i].second), {paths[i]}));
    EXPECT_EQ(r.err.find("  " + paths[i] + " (OK at ") != std::string::npos, rows[i].newly)
        << "row " << i << ": " << r.err;
  }
  std::istringstream records(RunCommand(m_dir, {"sqlite3", db,
                                                "SELECT group_concat(reach || ' ' || verdict, ', ')"
                                                " FROM (SELECT * FROM files ORDER BY path, reach)"
                                                " GROUP BY path ORDER BY length(path), path"})
                                 .out);
  const std::string errors = RunCli(m_dir, {"--db", db, "--show-errors"}).out;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    std::string line;
    std::getline(records, line);
    EXPECT_EQ(line, rows[i].records) << "row " << i;
    EXPECT_EQ(errors.find(paths[i] + "...ERROR") != std::string::npos, rows[i].listed)
        << "row " << i << ": " << errors;
  }
}
