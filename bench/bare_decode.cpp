// The least a full decode can cost: each file through ov_open, ov_read_float in steps of
// 1024 samples to the end, and ov_clear, with nothing else. The yardstick for the CLI.

#include <vorbis/vorbisfile.h>

#include <cstdio>

int main(int argc, char** argv) {
  long long samples = 0;
  for (int i = 1; i < argc; ++i) {
    FILE* file = std::fopen(argv[i], "rb");
    if (file == nullptr) continue;
    OggVorbis_File vf;
    if (ov_open(file, &vf, nullptr, 0) != 0) {
      std::fclose(file);
      continue;
    }
    float** pcm = nullptr;
    int link = 0;
    long n = 0;
    while ((n = ov_read_float(&vf, &pcm, 1024, &link)) != 0) {
      if (n > 0)
        samples += n;
      else if (n != OV_HOLE)
        break;
    }
    ov_clear(&vf);
  }
  std::printf("%lld\n", samples);
  return 0;
}
