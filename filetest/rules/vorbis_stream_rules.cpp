#include <vorbis/codec.h>

#include <cstring>

#include "filetest/rules/stream_rules.h"

namespace {

constexpr unsigned char kVorbisMagic[] = {'v', 'o', 'r', 'b', 'i', 's'};
constexpr long kMagicSize = 7;
constexpr unsigned char kCommentType = 3;

bool IsVorbisHeader(const ogg_packet& packet, unsigned char type) {
  return packet.bytes >= kMagicSize && packet.packet[0] == type &&
         std::memcmp(packet.packet + 1, kVorbisMagic, sizeof kVorbisMagic) == 0;
}

// libvorbis reads the headers, so block sizes come out as the decoder sees them; the
// start follows libvorbisfile's own count (_initial_pcmoffset), which is what players
// built on it show as position 0.
class CVorbisRules final : public CStreamRules {
 public:
  CVorbisRules() {
    vorbis_info_init(&m_info);
    vorbis_comment_init(&m_comment);
  }
  ~CVorbisRules() override {
    vorbis_comment_clear(&m_comment);
    vorbis_info_clear(&m_info);
  }
  CVorbisRules(const CVorbisRules&) = delete;
  CVorbisRules& operator=(const CVorbisRules&) = delete;

  int HeaderPackets() const override { return 3; }

  void OnHeader(int index, const ogg_packet& packet, CFaultList& faults) override {
    // The type byte says which header it is; one out of place is refused by the decoder.
    if (!IsVorbisHeader(packet, kCommentType)) {
      HeaderIn(index, packet);
      return;
    }
    const std::string_view body(reinterpret_cast<const char*>(packet.packet + kMagicSize),
                                static_cast<std::size_t>(packet.bytes - kMagicSize));
    const CommentFieldsEnd end = CheckCommentFields(body, faults);
    // What libvorbis holds a comment header to: lengths within it and the framing bit.
    // Only then does it go on to the setup header, which it is given after an empty
    // comment header instead of this one: libvorbis keeps a copy of every field, which
    // for millions of them is gigabytes that nothing here reads.
    if (end.overrun.empty() && end.used < body.size() && (body[end.used] & 1) != 0) {
      EmptyCommentIn(index);
    } else {
      m_headersOk = false;
    }
  }

  void OnHeaderTooLarge(int index, std::string_view start, CFaultList& /*faults*/) override {
    // Only a comment header may be that large and still be read: a cover picture.
    if (start.size() >= kMagicSize && static_cast<unsigned char>(start[0]) == kCommentType &&
        std::memcmp(start.data() + 1, kVorbisMagic, sizeof kVorbisMagic) == 0) {
      EmptyCommentIn(index);
    } else {
      m_headersOk = false;
    }
  }

  long Rate() const override { return m_headersIn > 0 && m_headersOk ? m_info.rate : 0; }

  void OnLeadingAudioPacket(const ogg_packet& packet) override {
    if (!m_headersOk || m_headersIn < 3) return;
    ogg_packet copy = packet;
    const long block = vorbis_packet_blocksize(&m_info, &copy);
    if (block < 0) return;
    if (m_lastBlock != -1) m_leading += (m_lastBlock + block) >> 2;
    m_lastBlock = block;
  }

  int64_t StartGranule(int64_t firstGranule, bool /*lastPage*/,
                       CFaultList& /*faults*/) const override {
    // Less than zero is a stream whose first samples are cut off, as a player plays it.
    // Compared, not subtracted: a hostile granule position is any 64-bit number.
    return firstGranule < m_leading ? 0 : firstGranule - m_leading;
  }

 private:
  void HeaderIn(int index, const ogg_packet& packet) {
    if (!m_headersOk) return;
    ogg_packet copy = packet;
    copy.b_o_s = index == 0 ? 1 : 0;
    m_headersOk = vorbis_synthesis_headerin(&m_info, &m_comment, &copy) == 0;
    ++m_headersIn;
  }

  void EmptyCommentIn(int index) {
    unsigned char empty[] = {kCommentType, 'v', 'o', 'r', 'b', 'i', 's', 0, 0, 0, 0, 0, 0, 0, 0, 1};
    ogg_packet packet{};
    packet.packet = empty;
    packet.bytes = sizeof empty;
    HeaderIn(index, packet);
  }

  // Set up by the constructor, through libvorbis.
  vorbis_info m_info;
  vorbis_comment m_comment;
  bool m_headersOk = true;
  int m_headersIn = 0;
  long m_lastBlock = -1;
  int64_t m_leading = 0;
};

}  // namespace

std::unique_ptr<CStreamRules> MakeStreamRules(const ogg_packet& first) {
  if (IsVorbisHeader(first, 1)) return std::make_unique<CVorbisRules>();
  if (auto opus = MakeOpusRules(first)) return opus;
  return MakeFlacRules(first);
}
