// A full check of the same audio as Vorbis, Opus and Ogg FLAC, in-process: each codec's
// own check and CAnyOggCheck, which adds the map of links; and what --all-codecs --quick
// runs (CAnyOggQuickCheck: Vorbis without synthesis, the others in full). Prints the best
// of a few runs.
//
//   codec-bench [SECONDS] [RUNS]   (defaults: 300 s of stereo at 44100 Hz, 3 runs)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filetest/codecs/any_ogg_check.h"
#include "filetest/codecs/flac_ogg_check.h"
#include "filetest/codecs/ogg_check.h"
#include "filetest/codecs/opus_check.h"
#include "filetest/codecs/quick_check.h"
#include "tests/gen/codec_gen.h"

namespace {

template <typename Check>
double BestSeconds(const std::string& path, int runs, std::string& verdict) {
  double best = 1e300;
  for (int run = 0; run < runs; ++run) {
    Check check;
    const auto start = std::chrono::steady_clock::now();
    int r = check.Open(path) ? 1 : -1;
    while (r > 0) r = check.DecodeStep();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    verdict = r == 0 ? "OK" : check.m_strError;
    best = std::min(best, took.count());
  }
  return best;
}

template <typename Check>
void Report(const char* codec, const char* check, const std::string& path, double audio, int runs) {
  std::string verdict;
  const double s = BestSeconds<Check>(path, runs, verdict);
  std::printf("%-7s %-14s %8.3f s  %7.0fx real time  %s\n", codec, check, s, audio / s,
              verdict.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 300.0;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const testgen::Tone tone{.channels = 2, .rate = 44100, .seconds = seconds};
  const std::string dir = std::filesystem::temp_directory_path() / "harrowbit-codec-bench-";
  const std::string vorbis = dir + "vorbis.ogg", opus = dir + "opus.opus", flac = dir + "flac.oga";
  if (!testgen::WriteBytes(vorbis, testgen::EncodeTone(tone)) ||
      !testgen::WriteBytes(opus, testgen::EncodeCodecTone(testgen::Codec::kOpus, tone)) ||
      !testgen::WriteBytes(flac, testgen::EncodeCodecTone(testgen::Codec::kFlac, tone))) {
    std::fprintf(stderr, "codec-bench: cannot write the files\n");
    return 1;
  }
  std::printf("%.0f s of stereo, best of %d runs; sizes: vorbis %ju, opus %ju, flac %ju bytes\n",
              seconds, runs, std::uintmax_t(std::filesystem::file_size(vorbis)),
              std::uintmax_t(std::filesystem::file_size(opus)),
              std::uintmax_t(std::filesystem::file_size(flac)));
  Report<COggCheck>("vorbis", "COggCheck", vorbis, seconds, runs);
  Report<CAnyOggCheck>("vorbis", "CAnyOggCheck", vorbis, seconds, runs);
  // --all-codecs --quick: Vorbis without synthesis, the others as in full.
  Report<COggQuickCheck>("vorbis", "COggQuickCheck", vorbis, seconds, runs);
  Report<CAnyOggQuickCheck>("vorbis", "CAnyOggQuick", vorbis, seconds, runs);
  Report<CAnyOggQuickCheck>("opus", "CAnyOggQuick", opus, seconds, runs);
  Report<CAnyOggQuickCheck>("flac", "CAnyOggQuick", flac, seconds, runs);
  Report<COpusCheck>("opus", "COpusCheck", opus, seconds, runs);
  Report<CAnyOggCheck>("opus", "CAnyOggCheck", opus, seconds, runs);
  Report<CFlacOggCheck>("flac", "CFlacOggCheck", flac, seconds, runs);
  Report<CAnyOggCheck>("flac", "CAnyOggCheck", flac, seconds, runs);
  for (const auto& p : {vorbis, opus, flac}) std::filesystem::remove(p);
  return 0;
}
