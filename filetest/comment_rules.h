#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "filetest/structure_warning.h"

struct CommentFault {
  StructureRule rule;
  std::string text;
};

// Checks the body of a comment header as Vorbis and Opus share it (after the codec's
// magic: vendor string, field count, fields) against the comment format: every field
// "NAME=value", the name in 0x20-0x7D without "=", the vendor string and values UTF-8, a
// METADATA_BLOCK_PICTURE that decodes (base64 holding a FLAC picture block). Appends
// one fault per breach. Lengths that run past the packet end the check quietly: the
// decoder refuses such a header, so the verdict already names it.
void CheckCommentFields(std::string_view body, std::vector<CommentFault>& faults);

bool IsUtf8(std::string_view bytes);
