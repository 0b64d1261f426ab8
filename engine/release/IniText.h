// Text in the platform's profile (INI) format, read from bytes in memory as
// the platform's profile functions read a file (measured under Wine 8):
// - lines end with CR LF, LF or CR alone; a UTF-8 byte order mark is skipped;
// - "[name]" opens a section: the name is what lies between '[' and the last
//   ']', blanks around it dropped; text after the ']' is ignored; a line
//   that starts with '[' but has no ']' is no section;
// - "key=value" splits at the first '='; blanks (space, tab, CR, LF, VT, FF
//   and 0x1A) around the key and the value are dropped, then one pair of
//   matching enclosing quotation marks (" or ') is removed from the value; a
//   NUL byte ends the value;
// - section and key names are compared without regard to case (ASCII); of
//   two sections or two keys of one name the first counts;
// - lines starting with ';' are comments; a line without '=' is no key;
//   lines before the first section belong to none.
// The profile functions return at most 259 characters of a value into the
// 260-byte buffer the manifest's readers use (ProfileValue).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t kProfileValueMax = 259;

struct IniEntry {
  std::string key;
  std::string value;  // whole: ProfileValue cuts it
};

struct IniSection {
  std::string name;
  std::vector<IniEntry> entries;  // in order, a repeated key included
  int linesWithoutKey = 0;        // lines that are neither a key, a comment nor blank

  // The first entry of `key`; null when there is none.
  const IniEntry* Find(std::string_view key) const;
  bool HasRepeatedKey() const;
};

class IniText {
 public:
  static IniText Parse(std::string_view bytes);

  // The first section of that name; null when there is none.
  const IniSection* Section(std::string_view name) const;
  int CountOf(std::string_view name) const;
  const std::vector<IniSection>& Sections() const { return sections_; }

  // The value as the platform's GetPrivateProfileString returns it into a
  // 260-byte buffer; nothing when the section or the key is absent.
  std::optional<std::string> ProfileValue(std::string_view section, std::string_view key) const;

  // Writing: sections and keys in the order they are added, "key=value"
  // lines with CR LF ends.
  IniSection& AddSection(std::string name);
  static std::string SectionText(const IniSection& section);
  std::string Text() const;

 private:
  std::vector<IniSection> sections_;
};

// A value of decimal digits only, few enough to mean a number (18 at most);
// -1 for anything else, an absent value included.
int64_t DecimalValue(const std::optional<std::string>& value);

// ASCII comparison without regard to case, as the profile functions compare names.
bool SameNameIgnoringCase(std::string_view a, std::string_view b);
