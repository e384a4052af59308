// Setup information (INF) files as the simulated PC reads them: sections, key = value and
// value-only lines, quoted fields, comments, continuations, %strkey% substitution from
// [Strings] and the numbered directory ids, in ANSI/UTF-8 or UTF-16LE files.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::machine::inf {

// One logical line after substitution. `key` is empty (and hasKey false) for a value-only
// line; `fields` are the comma-separated values right of '=' (the whole line when there
// is no key), quotes removed and surrounding blanks trimmed.
struct Line {
  bool hasKey = false;
  std::string key;
  std::vector<std::string> fields;
  int lineNumber = 0;  // physical line where the logical line starts (1-based)
};

struct Section {
  std::string name;  // as first written
  std::vector<Line> lines;
};

// How the numbered directory ids (%10%, %11%, %12%, %16422% ...) are substituted when
// [Strings] does not define them.
enum class DirIds {
  Map,     // the Windows path of the simulated PC ("C:\WINDOWS\System32\drivers")
  KeepAsText,  // left as "%12%"
};

struct ParseOptions {
  DirIds dirIds = DirIds::Map;
  // The system locale's language id: a [Strings.<id>] section ("Strings.0411") overrides
  // [Strings] for the strings it defines. The simulated PC runs Japanese Windows.
  unsigned language = 0x0411;
};

// The Windows path of a directory id on the simulated PC (C: system drive, C:\WINDOWS),
// or nothing for an id this machine does not know.
std::optional<std::string> DirIdPath(int id);
inline constexpr const char* kWindowsDir = "C:\\WINDOWS";

class InfFile {
 public:
  // `bytes` is the raw file content; `fileName` names the file in error messages. On
  // failure returns nothing and sets `error` to "<file>(<line>): <what>".
  static std::optional<InfFile> Parse(std::string_view bytes, std::string_view fileName, std::string* error,
                                      const ParseOptions& options = {});
  static std::optional<InfFile> Load(const std::string& path, std::string* error, const ParseOptions& options = {});

  const std::string& FileName() const { return fileName_; }
  const std::vector<Section>& Sections() const { return sections_; }
  // Case-insensitive; sections written more than once are merged in file order.
  const Section* FindSection(std::string_view name) const;
  bool HasSection(std::string_view name) const { return FindSection(name) != nullptr; }
  // Fields of the first line of `section` whose key is `key` (case-insensitive).
  const std::vector<std::string>* Fields(std::string_view section, std::string_view key) const;
  // First field of that line.
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;
  // Every field of every line with that key, in order ("AddReg = a, b" twice gives a, b, c, d).
  std::vector<std::string> AllValues(std::string_view section, std::string_view key) const;

 private:
  std::string fileName_;
  std::vector<Section> sections_;
};

// Case-insensitive ASCII comparison, as INF section and key names compare.
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string Lower(std::string_view s);

}  // namespace sim::machine::inf
