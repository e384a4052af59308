// INF parser: decodes the file, joins continued lines, strips comments outside quotes,
// splits key and fields, and substitutes %strkey% and directory ids. Every malformed line
// is reported with the file name and line number instead of being guessed at.
#include "inf.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace sim::machine::inf {

namespace {

std::string Where(std::string_view file, int line, const std::string& what) {
  std::ostringstream s;
  s << file << "(" << line << "): " << what;
  return s.str();
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// UTF-16LE with BOM becomes UTF-8; a UTF-8 BOM is dropped; anything else is taken as is.
bool Decode(std::string_view bytes, std::string_view file, std::string* text, std::string* error) {
  if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
    if (bytes.size() % 2) {
      *error = Where(file, 1, "UTF-16 file with an odd number of bytes");
      return false;
    }
    text->clear();
    for (size_t i = 2; i < bytes.size(); i += 2) {
      uint32_t u = uint8_t(bytes[i]) | (uint32_t(uint8_t(bytes[i + 1])) << 8);
      if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
        uint32_t lo = uint8_t(bytes[i + 2]) | (uint32_t(uint8_t(bytes[i + 3])) << 8);
        if (lo >= 0xDC00 && lo < 0xE000) {
          u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
          i += 2;
        }
      }
      AppendUtf8(*text, u);
    }
    return true;
  }
  if (bytes.size() >= 3 && uint8_t(bytes[0]) == 0xEF && uint8_t(bytes[1]) == 0xBB && uint8_t(bytes[2]) == 0xBF)
    bytes.remove_prefix(3);
  text->assign(bytes);
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

struct RawLine {
  std::string text;  // comment removed, continuations joined
  int number = 0;
};

// Splits the text into logical lines. Quotes are tracked so that ';' and a trailing '\'
// inside a quoted string are data; a quote left open at the end of a line is an error.
bool SplitLines(const std::string& text, std::string_view file, std::vector<RawLine>* out, std::string* error) {
  std::vector<std::string> physical;
  {
    std::string cur;
    for (char c : text) {
      if (c == '\n') {
        physical.push_back(cur);
        cur.clear();
      } else if (c != '\0') {
        cur += c;
      }
    }
    if (!cur.empty()) physical.push_back(cur);
  }
  RawLine pending;
  bool continuing = false;
  for (size_t i = 0; i < physical.size(); i++) {
    const std::string& p = physical[i];
    int number = int(i) + 1;
    std::string content;
    bool inQuote = false;
    for (size_t k = 0; k < p.size(); k++) {
      char c = p[k];
      if (c == '"') inQuote = !inQuote;  // "" inside quotes toggles twice: stays quoted
      if (!inQuote && c == ';') break;
      content += c;
    }
    if (inQuote) {
      *error = Where(file, number, "unterminated quoted string");
      return false;
    }
    std::string_view body = Trim(content);
    bool continues = !body.empty() && body.back() == '\\';
    if (continues) body.remove_suffix(1);
    if (!continuing) {
      pending = RawLine{};
      pending.number = number;
    }
    pending.text += std::string(body);
    continuing = continues;
    if (!continuing && !Trim(pending.text).empty()) out->push_back(pending);
  }
  if (continuing && !Trim(pending.text).empty()) out->push_back(pending);
  return true;
}

// Splits at unquoted `sep`; the pieces keep their quotes.
std::vector<std::string> SplitUnquoted(std::string_view s, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  bool inQuote = false;
  for (char c : s) {
    if (c == '"') inQuote = !inQuote;
    if (!inQuote && c == sep) {
      parts.push_back(cur);
      cur.clear();
      continue;
    }
    cur += c;
  }
  parts.push_back(cur);
  return parts;
}

size_t FindUnquoted(std::string_view s, char ch) {
  bool inQuote = false;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '"') inQuote = !inQuote;
    if (!inQuote && s[i] == ch) return i;
  }
  return std::string_view::npos;
}

using StringTable = std::map<std::string, std::string>;  // lower-case key

struct FieldContext {
  const StringTable* strings = nullptr;  // null: no substitution ([Strings] itself)
  const ParseOptions* options = nullptr;
  std::string_view file;
  int line = 0;
};

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// Removes quotes ("" is a literal quote inside a quoted part), trims blanks outside quotes
// and substitutes %tokens%. Substituted text is data: it is not parsed again.
bool Field(std::string_view raw, const FieldContext& ctx, std::string* out, std::string* error) {
  out->clear();
  size_t keep = 0;  // length of `out` up to the last character that must not be trimmed
  bool inQuote = false;
  bool started = false;
  for (size_t i = 0; i < raw.size(); i++) {
    char c = raw[i];
    if (c == '"') {
      if (inQuote && i + 1 < raw.size() && raw[i + 1] == '"') {
        *out += '"';
        keep = out->size();
        i++;
        continue;
      }
      inQuote = !inQuote;
      started = true;
      keep = out->size();
      continue;
    }
    if (c == '%' && ctx.strings) {
      size_t end = raw.find('%', i + 1);
      if (end == std::string_view::npos) {
        *error = Where(ctx.file, ctx.line, "'%' without a closing '%'");
        return false;
      }
      std::string_view token = raw.substr(i + 1, end - i - 1);
      std::string value;
      if (token.empty()) {
        value = "%";
      } else if (auto it = ctx.strings->find(Lower(token)); it != ctx.strings->end()) {
        value = it->second;
      } else if (AllDigits(token)) {
        std::optional<std::string> path;
        if (ctx.options->dirIds == DirIds::Map) path = DirIdPath(std::stoi(std::string(token.substr(0, 9))));
        value = path ? *path : "%" + std::string(token) + "%";
      } else {
        *error = Where(ctx.file, ctx.line, "undefined string %" + std::string(token) + "%");
        return false;
      }
      *out += value;
      keep = out->size();
      started = true;
      i = end;
      continue;
    }
    if (!inQuote && IsBlank(c)) {
      if (started) *out += c;
      continue;
    }
    *out += c;
    started = true;
    keep = out->size();
  }
  out->resize(keep);
  return true;
}

struct Parser {
  const ParseOptions& options;
  std::string_view file;
  std::string* error;
  std::vector<RawLine> lines;
  StringTable strings;

  // A header's section name, or nothing when the line is not a header.
  bool Header(const RawLine& l, std::optional<std::string>* name) {
    std::string_view t = Trim(l.text);
    name->reset();
    if (t.empty() || t.front() != '[') return true;
    size_t close = t.find(']');
    if (close == std::string_view::npos) {
      *error = Where(file, l.number, "section header without ']'");
      return false;
    }
    std::string_view n = Trim(t.substr(1, close - 1));
    if (n.empty()) {
      *error = Where(file, l.number, "empty section name");
      return false;
    }
    *name = std::string(n);
    return true;
  }

  bool ParseLine(const RawLine& l, bool substitute, Line* out) {
    FieldContext ctx{substitute ? &strings : nullptr, &options, file, l.number};
    out->lineNumber = l.number;
    std::string_view t = Trim(l.text);
    size_t eq = FindUnquoted(t, '=');
    std::string_view rhs = t;
    if (eq != std::string_view::npos) {
      out->hasKey = true;
      if (!Field(t.substr(0, eq), ctx, &out->key, error)) return false;
      rhs = t.substr(eq + 1);
    }
    for (const std::string& raw : SplitUnquoted(rhs, ',')) {
      std::string f;
      if (!Field(raw, ctx, &f, error)) return false;
      out->fields.push_back(std::move(f));
    }
    // "key =" with nothing after it has no fields rather than one empty one.
    if (out->fields.size() == 1 && out->fields[0].empty() && Trim(rhs).empty()) out->fields.clear();
    return true;
  }

  // First pass: the string sections only, so that substitution later sees every string
  // wherever the sections stand in the file. The locale's own section wins over [Strings].
  bool CollectStrings() {
    char localized[16];
    snprintf(localized, sizeof localized, "Strings.%04X", options.language & 0xFFFF);
    StringTable local;
    StringTable* into = nullptr;
    for (const RawLine& l : lines) {
      std::optional<std::string> name;
      if (!Header(l, &name)) return false;
      if (name) {
        into = EqualsNoCase(*name, "Strings") ? &strings : EqualsNoCase(*name, localized) ? &local : nullptr;
        continue;
      }
      if (!into) continue;
      Line parsed;
      if (!ParseLine(l, false, &parsed)) return false;
      if (!parsed.hasKey) continue;
      (*into)[Lower(parsed.key)] = parsed.fields.empty() ? std::string() : parsed.fields[0];
    }
    for (auto& [k, v] : local) strings[k] = v;
    return true;
  }

  bool Run(std::vector<Section>* sections) {
    if (!CollectStrings()) return false;
    Section* current = nullptr;
    for (const RawLine& l : lines) {
      std::optional<std::string> name;
      if (!Header(l, &name)) return false;
      if (name) {
        current = nullptr;
        for (Section& s : *sections)
          if (EqualsNoCase(s.name, *name)) current = &s;
        if (!current) {
          sections->push_back(Section{*name, {}});
          current = &sections->back();
        }
        continue;
      }
      if (!current) {
        *error = Where(file, l.number, "line before the first section header");
        return false;
      }
      Line parsed;
      // String sections hold text, not references to other strings.
      bool strings = EqualsNoCase(current->name, "Strings") || Lower(current->name).rfind("strings.", 0) == 0;
      if (!ParseLine(l, !strings, &parsed)) return false;
      current->lines.push_back(std::move(parsed));
    }
    return true;
  }
};

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::optional<std::string> DirIdPath(int id) {
  const std::string win = kWindowsDir;
  switch (id) {
    case 10: return win;
    case 11: return win + "\\System32";
    case 12: return win + "\\System32\\drivers";
    case 17: return win + "\\inf";
    case 18: return win + "\\Help";
    case 20: return win + "\\Fonts";
    case 24: return std::string("C:\\");
    case 30: return std::string("C:\\");
    case 50: return win + "\\System";
    case 16422: return std::string("C:\\Program Files");
    case 16427: return std::string("C:\\Program Files\\Common Files");
    default: return std::nullopt;
  }
}

std::optional<InfFile> InfFile::Parse(std::string_view bytes, std::string_view fileName, std::string* error,
                                      const ParseOptions& options) {
  std::string scratch;
  if (!error) error = &scratch;
  std::string text;
  if (!Decode(bytes, fileName, &text, error)) return std::nullopt;
  Parser p{options, fileName, error, {}, {}};
  if (!SplitLines(text, fileName, &p.lines, error)) return std::nullopt;
  InfFile inf;
  inf.fileName_ = std::string(fileName);
  if (!p.Run(&inf.sections_)) return std::nullopt;
  return inf;
}

std::optional<InfFile> InfFile::Load(const std::string& path, std::string* error, const ParseOptions& options) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot open the file";
    return std::nullopt;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  return Parse(buf.str(), path, error, options);
}

const Section* InfFile::FindSection(std::string_view name) const {
  for (const Section& s : sections_)
    if (EqualsNoCase(s.name, name)) return &s;
  return nullptr;
}

const std::vector<std::string>* InfFile::Fields(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return nullptr;
  for (const Line& l : s->lines)
    if (l.hasKey && EqualsNoCase(l.key, key)) return &l.fields;
  return nullptr;
}

std::optional<std::string> InfFile::Value(std::string_view section, std::string_view key) const {
  const std::vector<std::string>* f = Fields(section, key);
  if (!f || f->empty()) return std::nullopt;
  return (*f)[0];
}

std::vector<std::string> InfFile::AllValues(std::string_view section, std::string_view key) const {
  std::vector<std::string> out;
  const Section* s = FindSection(section);
  if (!s) return out;
  for (const Line& l : s->lines)
    if (l.hasKey && EqualsNoCase(l.key, key))
      for (const std::string& f : l.fields) out.push_back(f);
  return out;
}

}  // namespace sim::machine::inf
