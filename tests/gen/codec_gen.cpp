#include "tests/gen/codec_gen.h"

#include <FLAC/stream_encoder.h>
#include <ogg/ogg.h>
#include <opus/opusenc.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace testgen {
namespace {

constexpr int kBlockFrames = 1024;
// libopusenc counts its delays at 48 kHz: a page about every 0.25 s, as ogg_gen's.
constexpr int kOpusPageDelay = 12000;
constexpr unsigned kFlacBlockSize = 1152;
// In the Ogg FLAC mapping's first packet: "\x7F" "FLAC", version (2 bytes), header count
// (2), "fLaC", the STREAMINFO block header (4), then STREAMINFO, whose last 16 bytes are
// the MD5.
constexpr std::size_t kFlacMajorVersionAt = 5;
constexpr std::size_t kFlacMd5At = 13 + 4 + 18;
constexpr std::size_t kFlacMd5Size = 16;
// OpusHead's version byte.
constexpr std::size_t kOpusVersionAt = 8;

// The same signal as ogg_gen's tones: a sine per channel, each a little higher, and hiss.
std::vector<float> Interleaved(const Tone& tone, long done, int frames) {
  std::vector<float> pcm(static_cast<std::size_t>(frames * tone.channels));
  uint32_t noise = 0x2545F491u ^ static_cast<uint32_t>(done);
  for (int i = 0; i < frames; ++i) {
    for (int c = 0; c < tone.channels; ++c) {
      const double step = 2.0 * std::numbers::pi * tone.frequency * (1.0 + 0.25 * c) /
                          static_cast<double>(tone.rate);
      noise ^= noise << 13;
      noise ^= noise >> 17;
      noise ^= noise << 5;
      const float hiss = static_cast<float>(noise >> 8) / 16777216.0f - 0.5f;
      pcm[static_cast<std::size_t>(i * tone.channels + c)] =
          0.5f * static_cast<float>(std::sin(step * static_cast<double>(done + i))) + 0.05f * hiss;
    }
  }
  return pcm;
}

long TotalFrames(const Tone& tone) {
  return std::lround(tone.seconds * static_cast<double>(tone.rate));
}

Bytes EncodeOpus(const Tone& tone) {
  OggOpusComments* comments = ope_comments_create();
  if (comments == nullptr) return {};
  ope_comments_add(comments, "TITLE", "harrowbit test tone");
  int error = 0;
  OggOpusEnc* enc = ope_encoder_create_pull(comments, static_cast<opus_int32>(tone.rate),
                                            tone.channels, tone.channels > 2 ? 1 : 0, &error);
  ope_comments_destroy(comments);
  if (enc == nullptr) return {};
  Bytes out;
  const auto drainPages = [&](int flush) {
    unsigned char* page = nullptr;
    opus_int32 len = 0;
    while (ope_encoder_get_page(enc, &page, &len, flush) != 0)
      out.insert(out.end(), page, page + len);
  };
  bool ok =
      ope_encoder_ctl(enc, OPE_SET_SERIALNO(static_cast<opus_int32>(tone.serial))) == OPE_OK &&
      ope_encoder_ctl(enc, OPE_SET_MUXING_DELAY(kOpusPageDelay)) == OPE_OK &&
      ope_encoder_ctl(enc, OPE_SET_DECISION_DELAY(0)) == OPE_OK;
  const long total = TotalFrames(tone);
  for (long done = 0; ok && done < total; done += kBlockFrames) {
    const int frames = static_cast<int>(std::min<long>(kBlockFrames, total - done));
    ok = ope_encoder_write_float(enc, Interleaved(tone, done, frames).data(), frames) == OPE_OK;
    drainPages(0);
  }
  ok = ok && ope_encoder_drain(enc) == OPE_OK;
  drainPages(1);
  ope_encoder_destroy(enc);
  return ok ? out : Bytes{};
}

// A memory file for libFLAC's encoder, which seeks back to write the MD5 when it ends.
struct MemoryFile {
  Bytes bytes;
  std::size_t pos = 0;
};

FLAC__StreamEncoderReadStatus FlacRead(const FLAC__StreamEncoder*, FLAC__byte buffer[], size_t* n,
                                       void* client) {
  auto* file = static_cast<MemoryFile*>(client);
  const std::size_t left = file->bytes.size() - std::min(file->pos, file->bytes.size());
  *n = std::min(*n, left);
  if (*n == 0) return FLAC__STREAM_ENCODER_READ_STATUS_END_OF_STREAM;
  std::memcpy(buffer, file->bytes.data() + file->pos, *n);
  file->pos += *n;
  return FLAC__STREAM_ENCODER_READ_STATUS_CONTINUE;
}

FLAC__StreamEncoderWriteStatus FlacWrite(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                         size_t n, uint32_t, uint32_t, void* client) {
  auto* file = static_cast<MemoryFile*>(client);
  if (file->bytes.size() < file->pos + n) file->bytes.resize(file->pos + n);
  std::memcpy(file->bytes.data() + file->pos, buffer, n);
  file->pos += n;
  return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus FlacSeek(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                       void* client) {
  static_cast<MemoryFile*>(client)->pos = static_cast<std::size_t>(offset);
  return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus FlacTell(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                       void* client) {
  *offset = static_cast<MemoryFile*>(client)->pos;
  return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

Bytes EncodeFlac(const Tone& tone) {
  FLAC__StreamEncoder* enc = FLAC__stream_encoder_new();
  if (enc == nullptr) return {};
  const long total = TotalFrames(tone);
  MemoryFile file;
  bool ok =
      FLAC__stream_encoder_set_channels(enc, static_cast<uint32_t>(tone.channels)) &&
      FLAC__stream_encoder_set_bits_per_sample(enc, 16) &&
      FLAC__stream_encoder_set_sample_rate(enc, static_cast<uint32_t>(tone.rate)) &&
      FLAC__stream_encoder_set_blocksize(enc, kFlacBlockSize) &&
      FLAC__stream_encoder_set_ogg_serial_number(enc, static_cast<long>(tone.serial)) &&
      FLAC__stream_encoder_set_total_samples_estimate(enc, static_cast<FLAC__uint64>(total)) &&
      FLAC__stream_encoder_init_ogg_stream(enc, FlacRead, FlacWrite, FlacSeek, FlacTell, nullptr,
                                           &file) == FLAC__STREAM_ENCODER_INIT_STATUS_OK;
  std::vector<FLAC__int32> ints;
  for (long done = 0; ok && done < total; done += kBlockFrames) {
    const int frames = static_cast<int>(std::min<long>(kBlockFrames, total - done));
    const std::vector<float> pcm = Interleaved(tone, done, frames);
    ints.resize(pcm.size());
    for (std::size_t i = 0; i < pcm.size(); ++i)
      ints[i] = static_cast<FLAC__int32>(std::lround(pcm[i] * 32000.0f));
    ok = FLAC__stream_encoder_process_interleaved(enc, ints.data(), static_cast<uint32_t>(frames));
  }
  ok = FLAC__stream_encoder_finish(enc) && ok;
  FLAC__stream_encoder_delete(enc);
  return ok ? file.bytes : Bytes{};
}

// Where audio begins: the first page after those whose granule position is 0 (the
// header pages of both mappings carry 0).
std::size_t FirstCodecAudioPage(const std::vector<Page>& pages) {
  std::size_t p = 0;
  while (p < pages.size() && pages[p].Granule() == 0) ++p;
  return p;
}

std::size_t MiddleCodecPage(const std::vector<Page>& pages) {
  const std::size_t first = FirstCodecAudioPage(pages);
  if (first + 2 >= pages.size()) return 0;
  return first + (pages.size() - 1 - first) / 2;
}

Bytes Cut(const Bytes& bytes, std::size_t size) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

Tone NextLink(const Tone& base) {
  Tone next = base;
  next.serial = base.serial + 1;
  next.frequency = base.frequency * 1.5;
  return next;
}

bool Applies(Codec codec, CodecDamage damage) {
  switch (damage) {
    case CodecDamage::kBadTimestamp: return codec == Codec::kOpus;
    case CodecDamage::kWrongMd5:
    case CodecDamage::kNoMd5: return codec == Codec::kFlac;
    default: return true;
  }
}

Bytes Damaged(Codec codec, CodecDamage damage, const Bytes& clean, const Tone& base) {
  if (clean.empty() || !Applies(codec, damage)) return {};
  if (damage == CodecDamage::kClean) return clean;
  if (damage == CodecDamage::kCutMidFile) return Cut(clean, clean.size() / 2);
  if (damage == CodecDamage::kChained)
    return Chain({clean, EncodeCodecTone(codec, NextLink(base))});
  std::vector<Page> pages = SplitPages(clean);
  const std::size_t first = FirstCodecAudioPage(pages);
  const std::size_t middle = MiddleCodecPage(pages);
  if (middle == 0) return {};
  switch (damage) {
    case CodecDamage::kDropPage:
      pages.erase(pages.begin() + static_cast<std::ptrdiff_t>(middle));
      break;
    case CodecDamage::kFlipByte:
    case CodecDamage::kMendedFlip:
      pages[middle].body[pages[middle].body.size() / 2] ^= 0xFF;
      if (damage == CodecDamage::kMendedFlip) pages[middle].FixCrc();
      break;
    case CodecDamage::kCutLastPage: {
      const std::size_t last = pages.back().header.size() + pages.back().body.size();
      return Cut(clean, clean.size() - last / 2);
    }
    case CodecDamage::kCutAfterHeaders: pages.resize(first); break;
    case CodecDamage::kNoEos:
      pages.back().SetEos(false);
      pages.back().FixCrc();
      break;
    case CodecDamage::kBadHeader:
      if (codec == Codec::kOpus) {
        pages[0].body[kOpusVersionAt] = 255;
      } else {
        pages[0].body[kFlacMajorVersionAt] = 2;
      }
      pages[0].FixCrc();
      break;
    case CodecDamage::kBadTimestamp:
      pages.back().SetGranule(1);
      pages.back().FixCrc();
      break;
    case CodecDamage::kWrongMd5:
    case CodecDamage::kNoMd5:
      if (pages[0].body.size() < kFlacMd5At + kFlacMd5Size) return {};
      if (damage == CodecDamage::kWrongMd5) {
        pages[0].body[kFlacMd5At] ^= 0x5A;
      } else {
        std::fill_n(pages[0].body.begin() + kFlacMd5At, kFlacMd5Size, 0);
      }
      pages[0].FixCrc();
      break;
    default: return {};
  }
  return JoinPages(pages);
}

constexpr const char* kDamageNames[] = {
    "clean",         "dropped-page", "flipped-byte", "mended-flip", "cut-last-page",
    "cut-mid-file",  "headers-only", "no-eos",       "chained",     "bad-header",
    "bad-timestamp", "wrong-md5",    "no-md5",
};
static_assert(std::size(kDamageNames) == static_cast<std::size_t>(CodecDamage::kNoMd5) + 1);

}  // namespace

Bytes EncodeCodecTone(Codec codec, const Tone& tone) {
  if (tone.channels < 1 || tone.channels > 8 || tone.rate < 1 || !(tone.seconds > 0.0)) return {};
  return codec == Codec::kOpus ? EncodeOpus(tone) : EncodeFlac(tone);
}

std::vector<CodecDamage> CodecDamages(Codec codec) {
  std::vector<CodecDamage> all;
  for (std::size_t d = 0; d < std::size(kDamageNames); ++d) {
    const auto damage = static_cast<CodecDamage>(d);
    if (Applies(codec, damage)) all.push_back(damage);
  }
  return all;
}

std::string CodecCaseFileName(Codec codec, CodecDamage damage) {
  const auto index = static_cast<std::size_t>(damage);
  const std::string name = index < std::size(kDamageNames) ? kDamageNames[index] : "unknown";
  return codec == Codec::kOpus ? "opus-" + name + ".opus" : "flac-" + name + ".oga";
}

Bytes MakeCodecCase(Codec codec, CodecDamage damage, const Tone& base) {
  return Damaged(codec, damage, EncodeCodecTone(codec, base), base);
}

std::vector<CodecCase> AllCodecCases(Codec codec, const Tone& base) {
  const Bytes clean = EncodeCodecTone(codec, base);
  std::vector<CodecCase> cases;
  for (CodecDamage damage : CodecDamages(codec)) {
    cases.push_back(CodecCase{codec, damage, CodecCaseFileName(codec, damage),
                              Damaged(codec, damage, clean, base)});
  }
  return cases;
}

Bytes MakeForeignStream(const std::string& magic, uint32_t serial) {
  ogg_stream_state stream;
  ogg_stream_init(&stream, static_cast<int>(serial));
  Bytes out;
  const auto flush = [&]() {
    ogg_page page;
    while (ogg_stream_flush(&stream, &page) != 0) {
      out.insert(out.end(), page.header, page.header + page.header_len);
      out.insert(out.end(), page.body, page.body + page.body_len);
    }
  };
  Bytes first(magic.begin(), magic.end());
  first.resize(std::max<std::size_t>(first.size(), 80), 0);
  Bytes filler(400, 0x55);
  ogg_packet packet{first.data(), static_cast<long>(first.size()), 1, 0, 0, 0};
  ogg_stream_packetin(&stream, &packet);
  flush();
  packet = ogg_packet{filler.data(), static_cast<long>(filler.size()), 0, 0, 0, 1};
  ogg_stream_packetin(&stream, &packet);
  flush();
  packet = ogg_packet{filler.data(), static_cast<long>(filler.size()), 0, 1, 960, 2};
  ogg_stream_packetin(&stream, &packet);
  flush();
  ogg_stream_clear(&stream);
  return out;
}

Bytes Chain(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

}  // namespace testgen
