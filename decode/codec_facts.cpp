#include "decode/codec_facts.h"

#include <string>

HelperMessage CodecMessage(const CAnyOggCheck& check) {
  HelperMessage message;
  message.type = HelperMessage::kCodec;
  message.value = (check.Checked() ? 0 : kCodecUnsupported) |
                  (check.Md5Missing() ? kCodecMd5Missing : 0) |
                  (check.Declined() ? kCodecDeclined : 0);
  message.text = check.Codecs();
  // A file of which nothing was checked has no links left out beside the others.
  for (std::size_t i = 0; check.Checked() && i < check.SkippedLinks().size(); ++i) {
    if (i > 0) message.detail += '+';
    message.detail += CodecName(check.SkippedLinks()[i]);
  }
  return message;
}
