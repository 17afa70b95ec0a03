#include <opus/opus.h>
#include <opus/opusfile.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "filetest/rules/stream_rules.h"

namespace {

constexpr unsigned char kTagsMagic[] = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
constexpr long kTagsMagicSize = 8;
constexpr long kOpusRate = 48000;

// opusfile parses the identification header, so the pre-skip is the one players use; the
// start and its limits follow RFC 7845 as opusfile holds a stream to them when it opens.
class COpusRules final : public CStreamRules {
 public:
  int HeaderPackets() const override { return 2; }

  void OnHeader(int index, const ogg_packet& packet, CFaultList& faults) override {
    if (index == 0) {
      m_bHead =
          opus_head_parse(&m_head, packet.packet, static_cast<std::size_t>(packet.bytes)) == 0;
      return;
    }
    if (packet.bytes < kTagsMagicSize ||
        std::memcmp(packet.packet, kTagsMagic, kTagsMagicSize) != 0)
      return;
    const auto* body = reinterpret_cast<const char*>(packet.packet + kTagsMagicSize);
    CheckCommentFields(
        std::string_view(body, static_cast<std::size_t>(packet.bytes - kTagsMagicSize)), faults);
  }

  // Only OpusTags can be that large (the rules come from OpusHead), and nothing after it
  // depends on it.
  void OnHeaderTooLarge(int, std::string_view, CFaultList&) override {}

  long Rate() const override { return m_bHead ? kOpusRate : 0; }

  void OnLeadingAudioPacket(const ogg_packet& packet) override {
    const int samples =
        opus_packet_get_nb_samples(packet.packet, static_cast<opus_int32>(packet.bytes), kOpusRate);
    if (samples > 0) m_nLeading += samples;
  }

  int64_t StartGranule(int64_t firstGranule, bool lastPage, CFaultList& faults) const override {
    // Compared, not subtracted: a hostile granule position is any 64-bit number.
    const bool beforeZero = firstGranule < m_nLeading;
    // Only a stream that ends on its first audio page may cut its start this way.
    if (beforeZero && !lastPage) {
      faults.Add(StructureRule::kFirstGranuleTooSmall, "granule position " +
                                                           std::to_string(firstGranule) +
                                                           " on the first audio page, which ends " +
                                                           std::to_string(m_nLeading) + " samples");
    }
    const int64_t start = beforeZero ? 0 : firstGranule - m_nLeading;
    return start > INT64_MAX - PreSkip() ? INT64_MAX : start + PreSkip();
  }

  void OnLastGranule(int64_t lastGranule, int64_t start, CFaultList& faults) const override {
    const int64_t held = lastGranule - (start - PreSkip());
    if (held >= PreSkip()) return;
    faults.Add(StructureRule::kPreSkipTooLong, "pre-skip of " + std::to_string(PreSkip()) +
                                                   " samples, but the stream holds " +
                                                   std::to_string(held < 0 ? 0 : held));
  }

 private:
  int64_t PreSkip() const { return m_bHead ? m_head.pre_skip : 0; }

  OpusHead m_head{};
  bool m_bHead = false;
  int64_t m_nLeading = 0;
};

}  // namespace

std::unique_ptr<CStreamRules> MakeOpusRules(const ogg_packet& first) {
  constexpr unsigned char kHeadMagic[] = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd'};
  if (first.bytes < 8 || std::memcmp(first.packet, kHeadMagic, sizeof kHeadMagic) != 0)
    return nullptr;
  return std::make_unique<COpusRules>();
}
