#include <cstring>
#include <string>

#include "filetest/rules/stream_rules.h"

namespace {

// The Ogg FLAC mapping: 0x7F "FLAC", version, a big-endian count of the header packets
// after this one, "fLaC", then the STREAMINFO block.
constexpr long kMappingSize = 13;
constexpr long kFirstPacketSize = kMappingSize + 4 + 34;
constexpr unsigned char kVorbisCommentBlock = 4;
constexpr unsigned char kLastBlock = 0x80;

// FLAC's granule position counts samples from the start of the stream; the header rules
// and the Vorbis comment block are those of the other codecs.
class CFlacRules final : public CStreamRules {
 public:
  explicit CFlacRules(const ogg_packet& first) {
    const unsigned char* p = first.packet;
    const int count = (p[7] << 8) | p[8];
    // A count of 0 means "unknown": the headers then run to the metadata block flagged
    // last, as libFLAC's own encoder leaves it unless told the blocks.
    m_bCounted = count > 0;
    m_nHeaders = m_bCounted ? 1 + count : (p[kMappingSize] & kLastBlock) != 0 ? 1 : 2;
    // STREAMINFO: two 16-bit and two 24-bit sizes, then 20 bits of sample rate.
    const unsigned char* rate = p + kMappingSize + 4 + 10;
    m_nRate = (long{rate[0]} << 12) | (long{rate[1]} << 4) | (rate[2] >> 4);
  }

  int HeaderPackets() const override { return m_nHeaders; }

  void OnHeader(int index, const ogg_packet& packet, CFaultList& faults) override {
    if (index == 0 || packet.bytes < 1) return;
    const std::string_view block(reinterpret_cast<const char*>(packet.packet),
                                 static_cast<std::size_t>(packet.bytes));
    CountHeaders(index, block);
    if (block.size() < 4 || (block[0] & 0x7F) != kVorbisCommentBlock) return;
    // The block's own length bounds it, within the packet.
    const auto* size = packet.packet + 1;
    const std::size_t declared = (std::size_t{size[0]} << 16) | (size[1] << 8) | size[2];
    const std::string_view body = block.substr(4, declared);
    const CommentFieldsEnd end = CheckCommentFields(body, faults);
    // libFLAC skips such a block without a word, so no verdict names it.
    if (!end.overrun.empty()) {
      faults.Add(StructureRule::kCommentLengthOverrun,
                 "the length of " + end.overrun + " in the Vorbis comment block runs past the " +
                     std::to_string(body.size()) + "-byte block");
    }
  }

  void OnHeaderTooLarge(int index, std::string_view start, CFaultList& /*faults*/) override {
    CountHeaders(index, start);
  }

  long Rate() const override { return m_nRate; }
  void OnLeadingAudioPacket(const ogg_packet& /*packet*/) override {}
  int64_t StartGranule(int64_t /*firstGranule*/, bool /*lastPage*/,
                       CFaultList& /*faults*/) const override {
    return 0;
  }

 private:
  // A metadata block flagged last ends the headers when the first packet does not count
  // them.
  void CountHeaders(int index, std::string_view block) {
    if (!m_bCounted && !block.empty())
      m_nHeaders = (block[0] & kLastBlock) != 0 ? index + 1 : index + 2;
  }

  bool m_bCounted = true;
  int m_nHeaders = 1;
  long m_nRate = 0;
};

}  // namespace

std::unique_ptr<CStreamRules> MakeFlacRules(const ogg_packet& first) {
  constexpr unsigned char kMagic[] = {0x7F, 'F', 'L', 'A', 'C'};
  if (first.bytes < kFirstPacketSize || std::memcmp(first.packet, kMagic, sizeof kMagic) != 0)
    return nullptr;
  return std::make_unique<CFlacRules>(first);
}
