// libFuzzer target over the flac check: each input is a file that CFlacOggCheck opens and
// decodes to its end twice on one object, then CAnyOggCheck once. libFLAC's Ogg decoder is not
// instrumented, so coverage steers through our code; the mutator mends page checksums so
// that mutated packets reach the decoder.

#include "filetest/codecs/flac_ogg_check.h"
#include "tests/fuzz/codec_check_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::CheckInput(data, size, fuzz::CheckTwiceAndAny<CFlacOggCheck>);
  return 0;
}
