#include "filetest/rules/comment_rules.h"

#include <opus/opusfile.h>

#include <cstdint>

#include "text/path_text.h"

namespace {

// A little-endian 32-bit length, or false when the packet ends first.
bool TakeLength(std::string_view& body, std::size_t& length) {
  if (body.size() < 4) return false;
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(body[static_cast<std::size_t>(i)]);
  }
  body.remove_prefix(4);
  length = value;
  return true;
}

bool TakeString(std::string_view& body, std::string_view& text) {
  std::size_t length = 0;
  if (!TakeLength(body, length) || length > body.size()) return false;
  text = body.substr(0, length);
  body.remove_prefix(length);
  return true;
}

bool IsFieldNameChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte <= 0x7D && c != '=';
}

bool SameNameIgnoringCase(std::string_view name, std::string_view upper) {
  if (name.size() != upper.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

// opusfile's parser checks both layers: the base64 and the FLAC picture block in it.
bool PictureDecodes(std::string_view value) {
  const std::string tag(value);
  OpusPictureTag picture;
  opus_picture_tag_init(&picture);
  const int result = opus_picture_tag_parse(&picture, tag.c_str());
  opus_picture_tag_clear(&picture);
  return result == 0;
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t n = Utf8SequenceLength(bytes);
    if (n == 0) return false;
    bytes.remove_prefix(n);
  }
  return true;
}

bool CFaultList::Counts(StructureRule rule) {
  int& count = m_perRule[static_cast<std::size_t>(rule)];
  if (count >= kMaxListedPerRule) {
    ++m_nUnlisted;
    return false;
  }
  ++count;
  return true;
}

void CFaultList::Clear() {
  m_listed.clear();
  m_perRule.fill(0);
  m_nUnlisted = 0;
}

CommentFieldsEnd CheckCommentFields(std::string_view body, CFaultList& faults) {
  const std::size_t size = body.size();
  std::string_view vendor;
  if (!TakeString(body, vendor)) return {"the vendor string"};
  if (!IsUtf8(vendor)) faults.Add(StructureRule::kVendorNotUtf8, "vendor string is not UTF-8");
  std::size_t count = 0;
  if (!TakeLength(body, count)) return {"the comment count"};
  const auto which = [](std::size_t i) { return "comment " + std::to_string(i); };
  for (std::size_t i = 1; i <= count; ++i) {
    std::string_view field;
    if (!TakeString(body, field)) return {which(i)};
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos) {
      faults.AddMade(StructureRule::kCommentNoEquals, [&] { return which(i) + " has no \"=\""; });
      continue;
    }
    const std::string_view name = field.substr(0, equals);
    const std::string_view value = field.substr(equals + 1);
    bool nameOk = !name.empty();
    for (char c : name) nameOk = nameOk && IsFieldNameChar(c);
    if (!nameOk) {
      faults.AddMade(StructureRule::kCommentBadName, [&] {
        return which(i) + " has a field name that is empty or holds a byte outside 0x20-0x7D";
      });
      continue;
    }
    const auto named = [&] { return which(i) + " (" + std::string(name) + ")"; };
    if (!IsUtf8(value)) {
      faults.AddMade(StructureRule::kCommentNotUtf8, [&] { return named() + " is not UTF-8"; });
    } else if (SameNameIgnoringCase(name, "METADATA_BLOCK_PICTURE") && !PictureDecodes(value)) {
      faults.AddMade(StructureRule::kPictureUndecodable,
                     [&] { return named() + " is not base64 of a FLAC picture block"; });
    }
  }
  return {{}, size - body.size()};
}
