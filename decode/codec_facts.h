#pragma once

#include "decode/helper_protocol.h"
#include "filetest/codecs/any_ogg_check.h"

// What the check of every Ogg codec learnt of a file beside its verdict (its codecs, the
// links it left unchecked, a FLAC stream's missing MD5), as a kCodec message: the helper
// sends it, the in-process tester takes it the same way (TakeCodec).
HelperMessage CodecMessage(const CAnyOggCheck& check);
