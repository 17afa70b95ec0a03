#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "tests/gen/codec_gen.h"
#include "tests/gen/ogg_gen.h"
#include "tests/gen/strict_gen.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  harrowbit-gen demo DIR    a demo library of clean and damaged files\n"
    "  harrowbit-gen cases DIR   one file per kind of damage, plus clean.ogg and\n"
    "                            huge-codebook.ogg, made to exhaust the decoder's stack\n"
    "  harrowbit-gen codec-cases DIR\n"
    "                            every Opus and Ogg FLAC case, a few shapes of each, a\n"
    "                            chain that mixes codecs and a Speex stream\n"
    "  harrowbit-gen strict-cases DIR\n"
    "                            one file per breach of a format rule, in Vorbis, Opus\n"
    "                            and FLAC, and the same surgery within the rules\n"
    "  harrowbit-gen tone OUT [--seconds S] [--channels C] [--rate R] [--frequency F]\n"
    "                    [--quality Q] [--serial N]\n"
    "                            one clean file (defaults: 2 s, 2 channels, 44100 Hz)\n"
    "  harrowbit-gen --help\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "harrowbit-gen: %s\n", message.c_str());
  return 1;
}

// Whole-text parse: "5x" or "" is refused rather than read as 5 or 0.
template <typename T>
bool Parse(std::string_view text, T& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool MakeDir(const std::filesystem::path& dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  return !error;
}

int Cases(const std::filesystem::path& dir) {
  if (!MakeDir(dir)) return Fail("cannot create " + dir.string());
  for (const testgen::Case& c : testgen::AllCases()) {
    const bool mayBeEmpty = c.damage == testgen::Damage::kEmpty;
    if ((c.bytes.empty() && !mayBeEmpty) || !testgen::WriteBytes(dir / c.fileName, c.bytes)) {
      return Fail("cannot write " + (dir / c.fileName).string());
    }
  }
  if (!testgen::WriteBytes(dir / "huge-codebook.ogg", testgen::MakeHugeCodebook())) {
    return Fail("cannot write " + (dir / "huge-codebook.ogg").string());
  }
  return 0;
}

// Short, so that the fuzz seeds made from them run quickly.
int CodecCases(const std::filesystem::path& dir) {
  if (!MakeDir(dir)) return Fail("cannot create " + dir.string());
  const testgen::Tone base{.channels = 2, .rate = 44100, .seconds = 1.0};
  std::vector<std::pair<std::string, testgen::Bytes>> files;
  for (testgen::Codec codec : {testgen::Codec::kOpus, testgen::Codec::kFlac}) {
    for (testgen::CodecCase& c : testgen::AllCodecCases(codec, base)) {
      files.emplace_back(c.fileName, std::move(c.bytes));
    }
  }
  using testgen::Codec;
  files.emplace_back(
      "opus-mono-8000.opus",
      testgen::EncodeCodecTone(Codec::kOpus, {.channels = 1, .rate = 8000, .seconds = 0.3}));
  files.emplace_back(
      "opus-8-channels.opus",
      testgen::EncodeCodecTone(Codec::kOpus, {.channels = 8, .rate = 48000, .seconds = 0.2}));
  files.emplace_back(
      "flac-6-channels.oga",
      testgen::EncodeCodecTone(Codec::kFlac, {.channels = 6, .rate = 22050, .seconds = 0.2}));
  files.emplace_back(
      "mixed-chain.ogg",
      testgen::Chain({testgen::EncodeTone({.channels = 1, .seconds = 0.3, .serial = 20}),
                      testgen::EncodeCodecTone(Codec::kOpus, {.seconds = 0.3, .serial = 21}),
                      testgen::MakeForeignStream("Speex   ", 22),
                      testgen::EncodeCodecTone(Codec::kFlac, {.seconds = 0.3, .serial = 23})}));
  files.emplace_back("speex.spx", testgen::MakeForeignStream("Speex   ", 24));
  for (const auto& [name, bytes] : files) {
    if (bytes.empty() || !testgen::WriteBytes(dir / name, bytes)) {
      return Fail("cannot write " + (dir / name).string());
    }
  }
  return 0;
}

int StrictCases(const std::filesystem::path& dir) {
  if (!MakeDir(dir)) return Fail("cannot create " + dir.string());
  for (const auto& group :
       {testgen::StrictCases(), testgen::StrictCleanCases(), testgen::StrictOpusCases(),
        testgen::StrictFlacCases(), testgen::StrictCodecCleanCases()}) {
    for (const testgen::StrictCase& c : group) {
      if (c.bytes.empty() || !testgen::WriteBytes(dir / c.fileName, c.bytes)) {
        return Fail("cannot write " + (dir / c.fileName).string());
      }
    }
  }
  return 0;
}

int ToneCommand(int argc, char** argv) {
  const std::filesystem::path out = argv[2];
  testgen::Tone tone;
  for (int i = 3; i < argc; i += 2) {
    const std::string_view option = argv[i];
    if (i + 1 >= argc) return Fail("missing value after " + std::string(option));
    const std::string_view value = argv[i + 1];
    bool ok = false;
    if (option == "--seconds") {
      ok = Parse(value, tone.seconds) && tone.seconds > 0.0 && tone.seconds <= 3600.0;
    } else if (option == "--channels") {
      ok = Parse(value, tone.channels) && tone.channels >= 1 && tone.channels <= 8;
    } else if (option == "--rate") {
      ok = Parse(value, tone.rate) && tone.rate >= 8000 && tone.rate <= 192000;
    } else if (option == "--frequency") {
      ok = Parse(value, tone.frequency) && tone.frequency > 0.0;
    } else if (option == "--quality") {
      ok = Parse(value, tone.quality) && tone.quality >= -0.1f && tone.quality <= 1.0f;
    } else if (option == "--serial") {
      ok = Parse(value, tone.serial);
    } else {
      return Fail("unknown option " + std::string(option) + "\n" + kUsage);
    }
    if (!ok) return Fail("bad value for " + std::string(option) + ": " + std::string(value));
  }
  const testgen::Bytes bytes = testgen::EncodeTone(tone);
  if (bytes.empty()) return Fail("the encoder refused these settings");
  if (!testgen::WriteBytes(out, bytes)) return Fail("cannot write " + out.string());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 3) return Fail(std::string("missing command or path\n") + kUsage);
  if ((command == "demo" || command == "cases" || command == "codec-cases" ||
       command == "strict-cases") &&
      argc != 3) {
    return Fail(std::string("too many arguments\n") + kUsage);
  }
  if (command == "demo") {
    if (!testgen::WriteDemoFolder(argv[2])) return Fail(std::string("cannot write ") + argv[2]);
    return 0;
  }
  if (command == "cases") return Cases(argv[2]);
  if (command == "codec-cases") return CodecCases(argv[2]);
  if (command == "strict-cases") return StrictCases(argv[2]);
  if (command == "tone") return ToneCommand(argc, argv);
  return Fail("unknown command " + std::string(command) + "\n" + kUsage);
}
