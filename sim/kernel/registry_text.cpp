// The hive as readable, diff-friendly text: one line per key path, then its values
// indented as `name = type:value` (strings quoted, multi-strings as lists, the rest hex).
// Saving and loading round-trip exactly, odd data included.
#include <cstdio>
#include <cstring>

#include "registry_internal.h"

namespace sim::kernel::registry {

using namespace detail;

namespace {

struct TypeName {
  ULONG type;
  const char* name;
};
constexpr TypeName kTypeNames[] = {
    {REG_NONE, "none"},
    {REG_SZ, "sz"},
    {REG_EXPAND_SZ, "expand_sz"},
    {REG_BINARY, "binary"},
    {REG_DWORD, "dword"},
    {REG_DWORD_BIG_ENDIAN, "dword_be"},
    {REG_LINK, "link"},
    {REG_MULTI_SZ, "multi_sz"},
    {REG_RESOURCE_LIST, "resource_list"},
    {REG_FULL_RESOURCE_DESCRIPTOR, "full_resource_descriptor"},
    {REG_RESOURCE_REQUIREMENTS_LIST, "resource_requirements_list"},
    {REG_QWORD, "qword"},
};

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Appends `name` as UTF-8; `escape` writes the characters UTF-8 cannot carry or the
// line format reserves, and returns false for characters to copy as they are.
template <typename Escape>
void AppendText(std::string& out, const Name& name, Escape&& escape) {
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    bool pair = IsHighSurrogate(c) && i + 1 < name.size() && IsLowSurrogate(name[i + 1]);
    if (!pair && escape(out, c)) continue;
    WCHAR w[2] = {(WCHAR)c, pair ? (WCHAR)name[i + 1] : (WCHAR)0};
    out += ToUtf8(w, pair ? 2 : 1);
    if (pair) ++i;
  }
}

std::string Hex(ULONGLONG v, int digits) {
  char buf[24];
  snprintf(buf, sizeof buf, "%0*llX", digits, v);
  return buf;
}

std::string KeyComponent(const Name& name) {
  std::string out;
  AppendText(out, name, [](std::string& o, char16_t c) {
    if (c < 0x20 || c == 0x7F || c == '%') {
      o += "%" + Hex(c, 2);
      return true;
    }
    if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      o += "%u" + Hex(c, 4);
      return true;
    }
    return false;
  });
  return out;
}

std::string Quote(const Name& text) {
  std::string out = "\"";
  AppendText(out, text, [](std::string& o, char16_t c) {
    switch (c) {
      case '\\': o += "\\\\"; return true;
      case '"': o += "\\\""; return true;
      case '\n': o += "\\n"; return true;
      case '\r': o += "\\r"; return true;
      case '\t': o += "\\t"; return true;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      o += "\\x" + Hex(c, 2);
      return true;
    }
    if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      o += "\\u" + Hex(c, 4);
      return true;
    }
    return false;
  });
  return out + "\"";
}

bool IsBareChar(char16_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::strchr("_.:#$&+,;!~^{}/-", (int)c) != nullptr;
}

std::string NameToken(const Name& name) {
  if (name.empty()) return "@";
  for (char16_t c : name) {
    if (c == 0 || c > 0x7F || !IsBareChar(c)) return Quote(name);
  }
  return NameToUtf8(name);
}

Name ToName16(const std::vector<uint8_t>& data, size_t begin, size_t end) {
  Name out((end - begin) / 2, u'\0');
  memcpy(out.data(), data.data() + begin, out.size() * 2);
  return out;
}

// Canonical string data: UTF-16 text, one terminator, no NUL inside.
bool AsString(const std::vector<uint8_t>& d, Name* out) {
  if (d.size() < 2 || d.size() % 2 != 0) return false;
  Name all = ToName16(d, 0, d.size());
  if (all.back() != 0) return false;
  all.pop_back();
  if (all.find(u'\0') != Name::npos) return false;
  *out = all;
  return true;
}

// Canonical multi-string data: non-empty strings each terminated, then one more NUL.
bool AsMultiString(const std::vector<uint8_t>& d, std::vector<Name>* out) {
  if (d.size() < 2 || d.size() % 2 != 0) return false;
  Name all = ToName16(d, 0, d.size());
  if (all.back() != 0) return false;
  all.pop_back();
  out->clear();
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find(u'\0', pos);
    if (end == Name::npos || end == pos) return false;
    out->push_back(all.substr(pos, end - pos));
    pos = end + 1;
  }
  return true;
}

std::string HexBytes(const std::vector<uint8_t>& d) {
  std::string out;
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < d.size(); ++i) {
    if (i) out += ' ';
    out += kDigits[d[i] >> 4];
    out += kDigits[d[i] & 15];
  }
  return out;
}

std::string ValueText(const Value& v) {
  std::string type;
  for (const TypeName& t : kTypeNames) {
    if (t.type == v.type) type = t.name;
  }
  if (type.empty()) type = "type(0x" + Hex(v.type, 8) + ")";
  std::string body;
  Name s;
  std::vector<Name> list;
  switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      body = AsString(v.data, &s) ? Quote(s) : "hex:" + HexBytes(v.data);
      break;
    case REG_MULTI_SZ:
      if (AsMultiString(v.data, &list)) {
        body = "[";
        for (size_t i = 0; i < list.size(); ++i) body += (i ? ", " : "") + Quote(list[i]);
        body += "]";
      } else {
        body = "hex:" + HexBytes(v.data);
      }
      break;
    case REG_DWORD:
    case REG_QWORD: {
      size_t size = v.type == REG_DWORD ? 4 : 8;
      if (v.data.size() == size) {
        ULONGLONG n = 0;
        memcpy(&n, v.data.data(), size);
        body = "0x" + Hex(n, (int)size * 2);
      } else {
        body = "hex:" + HexBytes(v.data);
      }
      break;
    }
    default:
      body = HexBytes(v.data);
  }
  return type + ":" + body;
}

void WriteKey(const Key* k, std::string& out) {
  std::vector<const Key*> chain;
  for (const Key* p = k; p != nullptr; p = p->parent) chain.push_back(p);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) out += "\\" + KeyComponent((*it)->name);
  out += "\n";
  if (!k->className.empty()) out += "  (class) = " + Quote(k->className) + "\n";
  for (const Value& v : k->values) out += "  " + NameToken(v.name) + " = " + ValueText(v) + "\n";
  for (const auto& [up, c] : k->children) WriteKey(c.get(), out);
}

// ---- Parsing ---------------------------------------------------------------------------

struct Parsed {
  std::vector<Name> parts;
  Name className;
  std::vector<Value> values;
};

class Cursor {
 public:
  explicit Cursor(std::string_view s) : s_(s) {}
  bool Done() const { return i_ >= s_.size(); }
  char Peek() const { return Done() ? '\0' : s_[i_]; }
  bool Eat(char c) {
    if (Peek() != c) return false;
    ++i_;
    return true;
  }
  bool Eat(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }
  void SkipBlanks() {
    while (Peek() == ' ' || Peek() == '\t') ++i_;
  }
  std::string_view Rest() const { return s_.substr(i_); }
  std::string_view TakeWhile(bool (*pred)(char)) {
    size_t b = i_;
    while (!Done() && pred(s_[i_])) ++i_;
    return s_.substr(b, i_ - b);
  }
  bool HexDigits(int n, ULONG* out) {
    ULONG v = 0;
    for (int k = 0; k < n; ++k) {
      char c = Peek();
      int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                              : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + (ULONG)d;
      ++i_;
    }
    *out = v;
    return true;
  }
  // Copies plain UTF-8 up to the next byte in `stops` (or the end), as UTF-16.
  void TakeText(Name* out, const char* stops) {
    size_t b = i_;
    while (!Done() && std::strchr(stops, s_[i_]) == nullptr) ++i_;
    std::vector<WCHAR> w = FromUtf8(s_.substr(b, i_ - b));
    for (WCHAR c : w) out->push_back((char16_t)c);
  }

 private:
  std::string_view s_;
  size_t i_ = 0;
};

bool ParseQuoted(Cursor& c, Name* out, std::string* err) {
  if (!c.Eat('"')) return *err = "expected '\"'", false;
  while (true) {
    c.TakeText(out, "\"\\");
    if (c.Done()) return *err = "unterminated string", false;
    if (c.Eat('"')) return true;
    c.Eat('\\');
    ULONG code;
    if (c.Eat('\\')) out->push_back(u'\\');
    else if (c.Eat('"')) out->push_back(u'"');
    else if (c.Eat('n')) out->push_back(u'\n');
    else if (c.Eat('r')) out->push_back(u'\r');
    else if (c.Eat('t')) out->push_back(u'\t');
    else if (c.Eat('x') && c.HexDigits(2, &code)) out->push_back((char16_t)code);
    else if (c.Eat('u') && c.HexDigits(4, &code)) out->push_back((char16_t)code);
    else return *err = "bad escape in string", false;
  }
}

bool ParseHexBytes(Cursor& c, std::vector<uint8_t>* out, std::string* err) {
  while (true) {
    c.SkipBlanks();
    if (c.Done()) return true;
    ULONG b;
    if (!c.HexDigits(2, &b)) return *err = "bad hex byte", false;
    out->push_back((uint8_t)b);
  }
}

void PutUtf16(std::vector<uint8_t>* out, const Name& s) {
  size_t at = out->size();
  out->resize(at + s.size() * 2 + 2, 0);
  memcpy(out->data() + at, s.data(), s.size() * 2);
}

bool ParseValueBody(Cursor& c, ULONG type, std::vector<uint8_t>* data, std::string* err) {
  if (c.Eat("hex:")) return ParseHexBytes(c, data, err);
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      Name s;
      if (!ParseQuoted(c, &s, err)) return false;
      PutUtf16(data, s);
      break;
    }
    case REG_MULTI_SZ: {
      if (!c.Eat('[')) return *err = "expected '['", false;
      c.SkipBlanks();
      bool first = true;
      while (!c.Eat(']')) {
        if (!first && !c.Eat(',')) return *err = "expected ',' or ']'", false;
        c.SkipBlanks();
        Name s;
        if (!ParseQuoted(c, &s, err)) return false;
        if (s.empty()) return *err = "empty string inside a multi-string list", false;
        PutUtf16(data, s);
        c.SkipBlanks();
        first = false;
      }
      data->push_back(0);
      data->push_back(0);
      break;
    }
    case REG_DWORD:
    case REG_QWORD: {
      int digits = type == REG_DWORD ? 8 : 16;
      ULONG hi = 0, lo = 0;
      if (!c.Eat("0x")) return *err = "expected 0x", false;
      bool ok = type == REG_DWORD ? c.HexDigits(8, &lo) : (c.HexDigits(8, &hi) && c.HexDigits(8, &lo));
      if (!ok) return *err = "expected " + std::to_string(digits) + " hex digits", false;
      ULONGLONG n = ((ULONGLONG)hi << 32) | lo;
      data->resize(digits / 2);
      memcpy(data->data(), &n, data->size());
      break;
    }
    default:
      return ParseHexBytes(c, data, err);
  }
  c.SkipBlanks();
  if (!c.Done()) return *err = "unexpected text after the value", false;
  return true;
}

bool ParseType(Cursor& c, ULONG* type, std::string* err) {
  if (c.Eat("type(0x")) {
    if (!c.HexDigits(8, type) || !c.Eat(')')) return *err = "bad type(0x........)", false;
  } else {
    std::string_view word = c.TakeWhile([](char ch) { return (ch >= 'a' && ch <= 'z') || ch == '_'; });
    bool found = false;
    for (const TypeName& t : kTypeNames) {
      if (word == t.name) {
        *type = t.type;
        found = true;
      }
    }
    if (!found) return *err = "unknown type '" + std::string(word) + "'", false;
  }
  if (!c.Eat(':')) return *err = "expected ':' after the type", false;
  return true;
}

bool ParseValueLine(std::string_view line, Parsed* key, std::string* err) {
  Cursor c(line);
  c.SkipBlanks();
  Name name;
  bool isClass = false;
  if (c.Eat('@')) {
  } else if (c.Peek() == '"') {
    if (!ParseQuoted(c, &name, err)) return false;
  } else if (c.Eat("(class)")) {
    isClass = true;
  } else {
    std::string_view bare = c.TakeWhile([](char ch) { return IsBareChar((char16_t)(unsigned char)ch); });
    if (bare.empty()) return *err = "expected a value name", false;
    name = NameFromUtf8(bare);
  }
  c.SkipBlanks();
  if (!c.Eat('=')) return *err = "expected '='", false;
  c.SkipBlanks();
  if (isClass) {
    if (!ParseQuoted(c, &key->className, err)) return false;
    return true;
  }
  Value v;
  v.name = name;
  if (!ParseType(c, &v.type, err) || !ParseValueBody(c, v.type, &v.data, err)) return false;
  key->values.push_back(std::move(v));
  return true;
}

bool ParseKeyLine(std::string_view line, Parsed* key, std::string* err) {
  std::vector<Name> comps;
  size_t pos = 1;
  while (true) {
    size_t end = line.find('\\', pos);
    std::string_view comp = line.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (comp.empty()) return *err = "empty key name in path", false;
    Name name;
    Cursor c(comp);
    while (!c.Done()) {
      c.TakeText(&name, "%");
      if (c.Done()) break;
      c.Eat('%');
      ULONG code;
      bool wide = c.Eat('u');
      if (!c.HexDigits(wide ? 4 : 2, &code)) return *err = "bad % escape in key name", false;
      name.push_back((char16_t)code);
    }
    comps.push_back(std::move(name));
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  if (Upcase(comps[0]) != u"REGISTRY") return *err = "key path must start with \\Registry", false;
  comps.erase(comps.begin());
  key->parts = std::move(comps);
  return true;
}

}  // namespace

std::string SaveText(std::string_view root) {
  std::vector<Name> parts;
  if (!root.empty() && !SplitPath(root, &parts)) return "";
  std::lock_guard<std::mutex> g(HiveLock());
  Key* k = root.empty() ? Root() : Find(parts);
  std::string out;
  if (k != nullptr) WriteKey(k, out);
  return out;
}

bool LoadText(std::string_view text, std::string* error) {
  // Everything is parsed before the hive changes, so a bad text changes nothing.
  std::vector<Parsed> keys;
  std::string err;
  size_t lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    bool ok = true;
    if (line.empty() || line[0] == '#') {
      continue;
    } else if (line[0] == '\\') {
      keys.emplace_back();
      ok = ParseKeyLine(line, &keys.back(), &err);
    } else if (line[0] == ' ' || line[0] == '\t') {
      if (keys.empty()) {
        ok = false;
        err = "value before any key";
      } else {
        ok = ParseValueLine(line, &keys.back(), &err);
      }
    } else {
      ok = false;
      err = "a line must be a key path (\\...) or an indented value";
    }
    if (!ok) {
      if (error != nullptr) *error = "line " + std::to_string(lineNo) + ": " + err;
      return false;
    }
  }
  LONGLONG now = SystemTime();
  std::lock_guard<std::mutex> g(HiveLock());
  for (Parsed& p : keys) {
    Key* k = FindOrCreate(p.parts, now);
    k->className = p.className;
    k->values.clear();
    for (Value& v : p.values) detail::SetValue(k, v.name, v.type, v.data.data(), v.data.size(), now);
  }
  return true;
}

}  // namespace sim::kernel::registry
