// The mutator of the fuzz targets over Ogg files. libvorbisfile drops a page whose
// checksum fails before the decoder sees it, so without mending nearly every mutation of
// a packet would only ever test the hole detection.

#include <ogg/ogg.h>

#include <cstdint>
#include <cstring>

namespace {

// Gives every whole page in the data a valid checksum.
void MendChecksums(uint8_t* data, std::size_t size) {
  constexpr std::size_t kHeader = 27;
  std::size_t i = 0;
  while (i + kHeader <= size) {
    if (std::memcmp(data + i, "OggS", 4) != 0) {
      ++i;
      continue;
    }
    const std::size_t segments = data[i + 26];
    const std::size_t headerLength = kHeader + segments;
    if (i + headerLength > size) break;
    std::size_t bodyLength = 0;
    for (std::size_t k = 0; k < segments; ++k) bodyLength += data[i + kHeader + k];
    if (i + headerLength + bodyLength > size) {
      ++i;
      continue;
    }
    ogg_page page{data + i, long(headerLength), data + i + headerLength, long(bodyLength)};
    ogg_page_checksum_set(&page);
    i += headerLength + bodyLength;
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, maxSize);
  // One mutation in four keeps its broken checksums: damaged pages are inputs too.
  if (seed % 4 != 0) MendChecksums(data, size);
  return size;
}
