#include "engine/release/IniText.h"

#include <algorithm>
#include <unordered_set>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0x1A; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ValueOf(std::string_view raw) {
  raw = raw.substr(0, raw.find('\0'));
  raw = Trim(raw);
  if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front())
    raw = raw.substr(1, raw.size() - 2);
  return std::string(raw);
}

// A value as written so that it reads back the same: one that a reader would
// trim or unquote goes in quotes of its own.
std::string WrittenValue(const std::string& value) {
  if (ValueOf(value) == value) return value;
  return '"' + value + '"';
}

}  // namespace

int64_t DecimalValue(const std::optional<std::string>& value) {
  if (!value || value->empty() || value->size() > 18) return -1;
  int64_t n = 0;
  for (char c : *value) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  a = Trim(a);
  b = Trim(b);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

const IniEntry* IniSection::Find(std::string_view key) const {
  for (const IniEntry& entry : entries)
    if (SameNameIgnoringCase(entry.key, key)) return &entry;
  return nullptr;
}

bool IniSection::HasRepeatedKey() const {
  // One pass with a set: a section of hostile bytes may hold any number of keys.
  std::unordered_set<std::string> seen;
  seen.reserve(entries.size());
  for (const IniEntry& entry : entries) {
    std::string key(Trim(entry.key));
    for (char& c : key) c = Lower(c);
    if (!seen.insert(std::move(key)).second) return true;
  }
  return false;
}

IniText IniText::Parse(std::string_view bytes) {
  IniText text;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  IniSection* current = nullptr;
  while (!bytes.empty()) {
    const size_t end = bytes.find_first_of("\r\n");
    std::string_view line = Trim(bytes.substr(0, end));
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        current = &text.AddSection(std::string(Trim(line.substr(1, close - 1))));
        continue;
      }
    }
    if (!current) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      current->linesWithoutKey += 1;
      continue;
    }
    // A NUL ends the key as it ends the value; blanks before it go as well.
    const std::string_view key = Trim(line.substr(0, std::min(eq, line.find('\0'))));
    current->entries.push_back({std::string(key), ValueOf(line.substr(eq + 1))});
  }
  return text;
}

const IniSection* IniText::Section(std::string_view name) const {
  for (const IniSection& section : sections_)
    if (SameNameIgnoringCase(section.name, name)) return &section;
  return nullptr;
}

int IniText::CountOf(std::string_view name) const {
  int n = 0;
  for (const IniSection& section : sections_) n += SameNameIgnoringCase(section.name, name) ? 1 : 0;
  return n;
}

std::optional<std::string> IniText::ProfileValue(std::string_view section, std::string_view key) const {
  const IniSection* found = Section(section);
  const IniEntry* entry = found ? found->Find(key) : nullptr;
  if (!entry) return std::nullopt;
  return entry->value.substr(0, kProfileValueMax);
}

IniSection& IniText::AddSection(std::string name) {
  sections_.push_back(IniSection{std::move(name), {}, 0});
  return sections_.back();
}

std::string IniText::SectionText(const IniSection& section) {
  std::string text = "[" + section.name + "]\r\n";
  for (const IniEntry& entry : section.entries) text += entry.key + "=" + WrittenValue(entry.value) + "\r\n";
  return text;
}

std::string IniText::Text() const {
  std::string text;
  for (const IniSection& section : sections_) text += SectionText(section);
  return text;
}
