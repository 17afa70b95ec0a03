// harrowbit-cli --strict from outside: each rule's file named at its place whatever the
// jobs and the check, clean files unwarned, the exit status, and the database.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <map>
#include <sstream>
#include <vector>

#include "filetest/rules/structure_check_file.h"
#include "tests/cli/run_cli.h"
#include "tests/gen/codec_gen.h"
#include "tests/gen/ogg_gen.h"
#include "tests/gen/strict_gen.h"

namespace {

struct Seen {
  std::string verdict;
  std::vector<std::string> names;
  std::vector<int64_t> offsets;
  std::vector<double> positions;
  bool fromDb = false;
};

// Each file's JSON line as a script reads it, by Python.
std::map<std::string, Seen> ReadJson(const TempDir& t, const std::string& json) {
  const auto in = t / "lines.json";
  std::ofstream(in) << json;
  const auto script = t / "warnings.py";
  std::ofstream(script)
      << "import json, sys\n"
         "for l in open(sys.argv[1]):\n"
         "    o = json.loads(l)\n"
         "    if o['type'] != 'file': continue\n"
         "    w = o.get('warnings')\n"
         "    print(o['path'], o['verdict'], int('from_db' in o), "
         "'none' if w is None else len(w), sep='\\t')\n"
         "    for x in w or []:\n"
         "        print(x['name'], x['offset'], repr(x['position']), sep='\\t')\n";
  const CliRun r = RunCommand(t, {"python3", script.native(), in.native()});
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, Seen> files;
  std::istringstream lines(r.out);
  for (std::string path; std::getline(lines, path, '\t');) {
    Seen& s = files[path];
    std::string fromDb, count;
    std::getline(lines, s.verdict, '\t');
    std::getline(lines, fromDb, '\t');
    std::getline(lines, count);
    s.fromDb = fromDb == "1";
    if (count == "none") {
      s.verdict += " without warnings";
      continue;
    }
    for (int i = std::stoi(count); i > 0; --i) {
      std::string name, offset, position;
      std::getline(lines, name, '\t');
      std::getline(lines, offset, '\t');
      std::getline(lines, position);
      s.names.push_back(name);
      s.offsets.push_back(std::stoll(offset));
      s.positions.push_back(std::stod(position));
    }
  }
  return files;
}

// The case's rule and what follows from it, in order, the first at the case's place.
void ExpectTheBreach(const Seen& s, const testgen::StrictCase& c) {
  std::vector<std::string> expected = {c.rule};
  expected.insert(expected.end(), c.consequences.begin(), c.consequences.end());
  EXPECT_EQ(s.names, expected);
  if (s.names.empty()) return;
  EXPECT_EQ(s.offsets[0], c.offset);
  EXPECT_NEAR(s.positions[0], c.seconds, std::max(1e-9, c.tolerance));
}

class StrictCli : public ::testing::Test {
 protected:
  // Every rule's file, the surgery within the rules, and the demo library.
  void SetUp() override {
    std::filesystem::create_directories(m_dir / "lib");
    for (auto& c : testgen::StrictCases()) {
      ASSERT_TRUE(testgen::WriteBytes(m_dir / "lib" / c.fileName, c.bytes));
      m_broken.push_back(c);
    }
    for (auto& c : testgen::StrictCleanCases()) {
      ASSERT_TRUE(testgen::WriteBytes(m_dir / "lib" / c.fileName, c.bytes));
      m_clean.push_back((m_dir / "lib" / c.fileName).native());
    }
    ASSERT_TRUE(testgen::WriteDemoFolder(m_dir / "lib" / "demo"));
  }
  std::string Lib() const { return (m_dir / "lib").native(); }
  std::string In(const std::string& name) const { return (m_dir / "lib" / name).native(); }

  TempDir m_dir;
  std::vector<testgen::StrictCase> m_broken;
  std::vector<std::string> m_clean;
};

}  // namespace

// The table: each run's JSON must name every rule's file exactly, at the offset and play
// time the surgery knows, and give the clean files none; every other file of the demo
// library gets what one plain pass over the file finds, nothing else.
TEST_F(StrictCli, EachRuleIsNamedAtItsPlaceWhateverTheJobsAndTheCheck) {
  const std::vector<std::vector<std::string>> runs = {
      {"-j1"}, {"-j2"}, {"-j2", "--quick"}, {"--in-process"}, {"-j2", "-q"}};
  for (const auto& extra : runs) {
    std::vector<std::string> args = {"--strict", "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(Lib());
    const CliRun r = RunCli(m_dir, args);
    SCOPED_TRACE(::testing::PrintToString(extra));
    EXPECT_EQ(r.status, 1) << r.err;
    const auto seen = ReadJson(m_dir, r.out);
    for (const testgen::StrictCase& c : m_broken) {
      SCOPED_TRACE(c.fileName);
      ASSERT_TRUE(seen.count(In(c.fileName)));
      ExpectTheBreach(seen.at(In(c.fileName)), c);
    }
    const bool errorsOnly = extra.back() == "-q";
    for (const std::string& clean : m_clean) {
      // -q leaves out what is clean.
      EXPECT_EQ(seen.count(clean), errorsOnly ? 0u : 1u) << clean;
      if (!seen.count(clean)) continue;
      EXPECT_EQ(seen.at(clean).verdict, "ok") << clean;
      EXPECT_TRUE(seen.at(clean).names.empty()) << clean;
    }
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(m_dir / "lib" / "demo")) {
      // Folders whose names begin with "." are not searched.
      if (entry.path().extension() != ".ogg" ||
          entry.path().native().find("/.") != std::string::npos)
        continue;
      const StructureReport model = CheckFileStructureWithQuickDecode(entry.path());
      std::vector<std::string> names;
      for (const StructureWarning& w : model.warnings) names.push_back(StructureRuleName(w.rule));
      const bool listed = seen.count(entry.path().native()) != 0;
      if (!listed) {
        EXPECT_TRUE(errorsOnly && names.empty()) << entry.path();
        continue;
      }
      EXPECT_EQ(seen.at(entry.path().native()).names, names) << entry.path();
    }
  }
}

// The report is the same, byte for byte, for any number of jobs and for the quick check;
// a clean file's line is untouched, a warned one never ends in OK, and without --strict
// nothing of it shows.
TEST_F(StrictCli, TheReportIsTheSameForEveryJobCountAndWarnedLinesNeverEndInOk) {
  const std::vector<std::string> files = {In("strict-clean.ogg"), In("strict-granule-missing.ogg"),
                                          In("strict-sequence-gap.ogg")};
  std::vector<std::string> args = {"--strict"};
  args.insert(args.end(), files.begin(), files.end());
  std::string first;
  for (const auto& jobs : {"-j1", "-j2", "-j3"}) {
    for (const bool quick : {false, true}) {
      auto a = args;
      a.insert(a.begin(), jobs);
      if (quick) a.insert(a.begin(), "--quick");
      const CliRun r = RunCli(m_dir, a);
      EXPECT_EQ(r.status, 1);
      if (first.empty()) first = r.out;
      EXPECT_EQ(r.out, first) << jobs << (quick ? " --quick" : "");
    }
  }
  EXPECT_EQ(first.substr(0, first.find('\n')), "[1/3]\t" + files[0] + "...OK");
  EXPECT_NE(first.find("[2/3]\t" + files[1] + "...WARN (1)\n\tgranule-missing @ 0m "),
            std::string::npos)
      << first;
  EXPECT_NE(first.find("[3/3]\t" + files[2] + "...ERROR (OV_HOLE @ 0m 01s)\n\tsequence-gap @ "),
            std::string::npos)
      << first;
  EXPECT_NE(first.find("\n3 files, 1 errors [3], 2 with warnings [2,3]\n"), std::string::npos)
      << first;

  // Only the clean file: exit status 0 with --strict, and a file that only breaks a rule
  // is 0 without it.
  EXPECT_EQ(RunCli(m_dir, {"--strict", files[0]}).status, 0);
  const CliRun plain = RunCli(m_dir, {files[1]});
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out, "[1/1]\t" + files[1] + "...OK\n1 files, 0 errors\n");
  const CliRun plainJson = RunCli(m_dir, {"--json", files[1]});
  EXPECT_EQ(plainJson.out.find("warn"), std::string::npos) << plainJson.out;
}

// A record says whether its check was strict: one that was not never stands for a strict
// check; a strict one gives back what it found, and stands for a check that is not strict
// without its warnings.
TEST_F(StrictCli, OnlyAStrictRecordStandsForAStrictCheckAndItKeepsItsWarnings) {
  const std::string db = (m_dir / "lib.db").native();
  const std::string broken = In("strict-granule-missing.ogg");
  const std::string clean = In("strict-clean.ogg");
  const auto run = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"--db", db, "--json", "-j2", broken, clean};
    args.insert(args.begin(), extra.begin(), extra.end());
    const CliRun r = RunCli(m_dir, args);
    return std::make_pair(r.status, ReadJson(m_dir, r.out));
  };
  auto [status, seen] = run({"--quick"});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(seen.at(broken).verdict, "ok without warnings");

  std::tie(status, seen) = run({"--strict", "--quick", "--skip-checked", "1"});
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(seen.at(broken).fromDb) << "a record that was not strict stood for a strict check";
  const std::vector<std::string> expected = {"granule-missing"};
  EXPECT_EQ(seen.at(broken).names, expected);
  const Seen fresh = seen.at(broken);

  const CliRun rows = RunCommand(m_dir, {"sqlite3", db, "SELECT strict FROM files"});
  EXPECT_EQ(rows.out, "1\n1\n") << rows.err;

  std::tie(status, seen) = run({"--strict", "--skip-checked", "1"});
  EXPECT_EQ(status, 1) << "a strict full check stood for by a quick strict record";
  EXPECT_FALSE(seen.at(broken).fromDb);
  std::tie(status, seen) = run({"--strict", "--quick", "--skip-checked", "1"});
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(seen.at(broken).fromDb);
  EXPECT_TRUE(seen.at(clean).fromDb);
  EXPECT_EQ(seen.at(broken).names, fresh.names);
  EXPECT_EQ(seen.at(broken).offsets, fresh.offsets);
  EXPECT_EQ(seen.at(broken).positions, fresh.positions);
  EXPECT_TRUE(seen.at(clean).names.empty());

  std::tie(status, seen) = run({"--quick", "--skip-checked", "1"});
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(seen.at(broken).fromDb);
  EXPECT_EQ(seen.at(broken).verdict, "ok without warnings");
}

// Where the features meet: --strict --all-codecs over a folder of Vorbis, Opus and FLAC
// files, with two jobs, the quick check and the database. Every link of every codec is
// held to its rules; the records say strict and name the codec, and stand for the same
// check later with their warnings.
TEST(StrictAllCodecsCli, EveryCodecIsHeldToItsRulesWithJobsQuickAndTheDatabase) {
  const TempDir t;
  std::filesystem::create_directories(t / "mixed");
  std::vector<testgen::StrictCase> broken = testgen::StrictOpusCases();
  for (auto& c : testgen::StrictFlacCases()) broken.push_back(std::move(c));
  for (auto& c : testgen::StrictCases()) {
    if (c.rule == "granule-missing" || c.rule == "comment-no-equals") broken.push_back(c);
  }
  std::vector<std::string> clean;
  for (auto& c : testgen::StrictCodecCleanCases()) {
    ASSERT_TRUE(testgen::WriteBytes(t / "mixed" / c.fileName, c.bytes));
    clean.push_back((t / "mixed" / c.fileName).native());
  }
  for (const auto& c : broken) ASSERT_TRUE(testgen::WriteBytes(t / "mixed" / c.fileName, c.bytes));
  const std::string db = (t / "mixed.db").native();
  const auto run = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"--strict", "--all-codecs", "--json", "--db", db};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back((t / "mixed").native());
    const CliRun r = RunCli(t, args);
    EXPECT_EQ(r.status, 1) << r.err;
    return ReadJson(t, r.out);
  };
  const auto first = run({"-j2", "--quick"});
  for (const testgen::StrictCase& c : broken) {
    SCOPED_TRACE(c.fileName);
    const std::string path = (t / "mixed" / c.fileName).native();
    ASSERT_TRUE(first.count(path));
    ExpectTheBreach(first.at(path), c);
  }
  for (const std::string& path : clean) {
    ASSERT_TRUE(first.count(path)) << path;
    EXPECT_EQ(first.at(path).verdict, "ok") << path;
    EXPECT_TRUE(first.at(path).names.empty()) << path;
  }
  const CliRun rows = RunCommand(
      t, {"sqlite3", db, "SELECT codec, strict, count(*) FROM files GROUP BY codec, strict"});
  // An Opus file without its beginning-of-stream flag begins no stream, as the map of
  // links reads it: the Vorbis check has it, and it is recorded as no codec.
  EXPECT_EQ(rows.out, "flac|1|8\nnone|1|1\nopus|1|20\nvorbis|1|2\nvorbis+opus+flac|1|1\n")
      << rows.err;

  // The records stand for the same check, warnings and all. Opus and FLAC are checked in
  // full even with --quick, so their records stand for a full check too; Vorbis's do not.
  const auto again = run({"-j2", "--quick", "--skip-checked", "1"});
  const auto full = run({"-j1", "--skip-checked", "1"});
  for (const testgen::StrictCase& c : broken) {
    const std::string path = (t / "mixed" / c.fileName).native();
    EXPECT_TRUE(again.at(path).fromDb) << path;
    EXPECT_EQ(again.at(path).names, first.at(path).names) << path;
    EXPECT_EQ(again.at(path).offsets, first.at(path).offsets) << path;
    const bool checkedInFull = !c.fileName.ends_with(".ogg") && c.rule != "first-page-not-bos";
    EXPECT_EQ(full.at(path).fromDb, checkedInFull) << path;
    EXPECT_EQ(full.at(path).names, first.at(path).names) << path;
    EXPECT_EQ(full.at(path).offsets, first.at(path).offsets) << path;
  }

  // Decoding in this process holds every codec to the same rules.
  const CliRun here =
      RunCli(t, {"--strict", "--all-codecs", "--json", "--in-process", (t / "mixed").native()});
  EXPECT_EQ(here.status, 1) << here.err;
  const auto inProcess = ReadJson(t, here.out);
  for (const testgen::StrictCase& c : broken) {
    const std::string path = (t / "mixed" / c.fileName).native();
    EXPECT_EQ(inProcess.at(path).names, first.at(path).names) << path;
    EXPECT_EQ(inProcess.at(path).offsets, first.at(path).offsets) << path;
  }
}

// What a file's breaches count for, and what is said of a file whose breaches are not
// known, whatever the codec, the way of decoding and the output: a breach in the pages of
// a codec Harrowbit does not check counts as in a chain with Vorbis (summary, "warned",
// exit status) while its audio stays NOT CHECKED; a file that could not be read has no
// breaches known, which neither the JSON nor the report may give as none.
TEST(StrictCountsCli, ABreachCountsWhateverTheCodecAndUnknownBreachesAreNotNone) {
  const TempDir t;
  testgen::Bytes speex = testgen::MakeForeignStream("Speex   ", 22);
  std::vector<testgen::Page> pages = testgen::SplitPages(speex);
  pages.pop_back();
  const testgen::Bytes cut = testgen::JoinPages(pages);
  ASSERT_TRUE(testgen::WriteBytes(t / "speex-cut.ogg", cut));
  ASSERT_TRUE(
      testgen::WriteBytes(t / "vorbis-speex-cut.ogg",
                          testgen::Chain({testgen::EncodeTone(testgen::StrictTone()), cut})));
  ASSERT_TRUE(testgen::WriteBytes(t / "speex.ogg", speex));
  ASSERT_EQ(::mkfifo((t / "fifo.ogg").c_str(), 0600), 0);
  const struct {
    const char* file;
    bool everyCodecOnly;  // only --all-codecs reads past its first packet
    int status;
    const char* json;  // the file's "warnings"
    bool warned;
    const char* text;  // in the report
  } cases[] = {
      {"speex-cut.ogg", true, 1, "[{\"name\":\"missing-eos\"", true,
       "...NOT CHECKED (speex: not a codec Harrowbit checks)\n\tmissing-eos @ 0m 00s, byte "},
      {"vorbis-speex-cut.ogg", true, 1, "[{\"name\":\"missing-eos\"", true,
       "...WARN (1) (links not checked: speex)\n\tmissing-eos @ "},
      {"speex.ogg", true, 0, "[]", false,
       "...NOT CHECKED (speex: not a codec Harrowbit checks)\n1 "},
      {"fifo.ogg", false, 1, "null", false,
       "...ERROR (OPENFILE)\n\tformat rules: not known, the check did not finish\n"},
  };
  const std::vector<std::vector<std::string>> ways = {
      {"-j1"}, {"-j2", "--quick"}, {"--in-process"}, {"--in-process", "--quick"}};
  for (const auto& c : cases) {
    for (const bool everyCodec : {true, false}) {
      if (c.everyCodecOnly && !everyCodec) continue;
      for (const auto& way : ways) {
        std::vector<std::string> args = {"--strict", (t / c.file).native()};
        args.insert(args.begin(), way.begin(), way.end());
        if (everyCodec) args.insert(args.begin(), "--all-codecs");
        SCOPED_TRACE(::testing::PrintToString(args));
        const CliRun text = RunCli(t, args);
        EXPECT_EQ(text.status, c.status) << text.err;
        EXPECT_NE(text.out.find(c.text), std::string::npos) << text.out;
        EXPECT_EQ(text.out.find("1 with warnings [1]\n") != std::string::npos, c.warned)
            << text.out;
        args.insert(args.begin(), "--json");
        const CliRun json = RunCli(t, args);
        EXPECT_EQ(json.status, c.status) << json.err;
        EXPECT_NE(json.out.find(std::string(",\"warnings\":") + c.json), std::string::npos)
            << json.out;
        EXPECT_NE(json.out.find(c.warned ? "\"warned\":[1]}" : "\"warned\":[]}"), std::string::npos)
            << json.out;
      }
    }
  }
}
