// The comment header's fields against the comment format, one body per case: the
// boundaries of the name's characters, UTF-8, pictures, and lengths that run past the end.

#include "filetest/rules/comment_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/gen/strict_gen.h"

namespace {

void PutLength(std::string& out, std::size_t length) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((length >> (8 * i)) & 0xFF);
}

// The body after the magic: vendor, count, fields.
std::string Body(const std::string& vendor, const std::vector<std::string>& fields) {
  std::string body;
  PutLength(body, vendor.size());
  body += vendor;
  PutLength(body, fields.size());
  for (const std::string& field : fields) {
    PutLength(body, field.size());
    body += field;
  }
  return body + '\x01';
}

// A body whose count and last field's length may claim more than follows.
std::string Claiming(std::size_t count, const std::string& field, std::size_t claimed) {
  std::string body;
  PutLength(body, 1);
  body += "v";
  PutLength(body, count);
  PutLength(body, 3);
  body += "T=x";
  PutLength(body, claimed);
  return body + field;
}

using Names = std::vector<std::string>;

// The rules broken, in order, then how many more were counted and what ran past the end.
std::vector<std::string> Rules(const std::string& body) {
  CFaultList faults;
  const CommentFieldsEnd end = CheckCommentFields(body, faults);
  std::vector<std::string> names;
  for (const CommentFault& fault : faults.Listed()) names.push_back(StructureRuleName(fault.rule));
  if (faults.Unlisted() > 0) names.push_back("+" + std::to_string(faults.Unlisted()));
  if (!end.overrun.empty()) names.push_back("past the end: " + end.overrun);
  return names;
}

// `rule` listed as often as the cap allows, then `after`.
Names Capped(const std::string& rule, Names after) {
  Names names(kMaxListedPerRule, rule);
  names.insert(names.end(), after.begin(), after.end());
  return names;
}

TEST(CommentRules, EachFieldAgainstTheFormat) {
  const std::string picture = testgen::PictureField("image/jpeg", {0xFF, 0xD8, 0xFF});
  const struct {
    const char* name;
    std::string body;
    Names expected;
  } cases[] = {
      {"plain fields and an empty value pass", Body("v", {"TITLE=a", "COMMENT="}), {}},
      {"space and '}' are the ends of the name's range",
       Body("v", {"A B=x", "A}=x", "A =x", " =x"}),
       {}},
      {"a byte below space in a name",
       Body("v", {"A\x1F"
                  "B=x"}),
       {"comment-bad-name"}},
      {"'~' just past the name's range", Body("v", {"A~=x"}), {"comment-bad-name"}},
      {"a byte past ASCII in a name", Body("v", {"T\xC3\x89=x"}), {"comment-bad-name"}},
      {"an empty name", Body("v", {"=x"}), {"comment-bad-name"}},
      {"no '=' at all", Body("v", {"TITLE"}), {"comment-no-equals"}},
      {"'=' only in the value is fine", Body("v", {"T=a=b"}), {}},
      {"four-byte UTF-8 passes", Body("v", {"T=\xF0\x9F\x8E\xB5"}), {}},
      {"an overlong encoding is not UTF-8", Body("v", {"T=\xC0\xAF"}), {"comment-not-utf8"}},
      {"a cut sequence is not UTF-8", Body("v", {"T=ab\xE2\x99"}), {"comment-not-utf8"}},
      {"a vendor not UTF-8", Body("\xFF", {"T=x"}), {"vendor-not-utf8"}},
      {"every breach of several fields, in order",
       Body("\xFF", {"NOEQ", "T=\xFF", "=x", "T=ok"}),
       {"vendor-not-utf8", "comment-no-equals", "comment-not-utf8", "comment-bad-name"}},
      {"a picture that decodes", Body("v", {picture}), {}},
      {"the picture's name in any case",
       Body("v", {"Metadata_Block_Picture=***"}),
       {"picture-undecodable"}},
      {"a picture cut short",
       Body("v", {picture.substr(0, picture.size() - 8)}),
       {"picture-undecodable"}},
      {"a longer name is no picture", Body("v", {"METADATA_BLOCK_PICTURES=***"}), {}},
      {"a picture not UTF-8 is named for that",
       Body("v", {"METADATA_BLOCK_PICTURE=\xFF"}),
       {"comment-not-utf8"}},
      // The decoder refuses a header whose lengths run past it; nothing past the cut is
      // read as a field.
      {"a field whose length is as given", Claiming(2, "NOEQ", 4), {"comment-no-equals"}},
      {"a field that runs past the end", Claiming(2, "NOEQ", 100), {"past the end: comment 2"}},
      {"more fields counted than present",
       Claiming(5, "T=\xFF", 3),
       {"comment-not-utf8", "past the end: comment 3"}},
      {"a vendor that runs past the end",
       std::string("\x40\0\0\0\xFF\xFF", 6),
       {"past the end: the vendor string"}},
      {"a count cut short",
       Body("\xFF", {}).substr(0, 7),
       {"vendor-not-utf8", "past the end: the comment count"}},
      // Listed up to the cap while they are collected, the rest only counted.
      {"a rule broken past the cap", Body("v", Names(25, "")),
       Capped("comment-no-equals", {"+15"})},
      {"the cap is each rule's",
       Body("v",
            [] {
              Names fields(12, "NOEQ");
              fields.push_back("=x");
              return fields;
            }()),
       Capped("comment-no-equals", {"comment-bad-name", "+2"})},
  };
  for (const auto& c : cases) EXPECT_EQ(Rules(c.body), c.expected) << c.name;
}

}  // namespace
