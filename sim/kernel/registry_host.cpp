// Host-side view of the hive for tests, the INF installer and the CLI: UTF-8 paths and
// names, typed getters and setters, subtree removal and listing.
#include <cstring>

#include "registry_internal.h"

namespace sim::kernel::registry {

using namespace detail;

std::string ToUtf8(const WCHAR* text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = (uint16_t)text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && (uint16_t)text[i + 1] >= 0xDC00 &&
        (uint16_t)text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + ((uint16_t)text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out += (char)c;
    } else if (c < 0x800) {
      out += (char)(0xC0 | (c >> 6));
      out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += (char)(0xE0 | (c >> 12));
      out += (char)(0x80 | ((c >> 6) & 0x3F));
      out += (char)(0x80 | (c & 0x3F));
    } else {
      out += (char)(0xF0 | (c >> 18));
      out += (char)(0x80 | ((c >> 12) & 0x3F));
      out += (char)(0x80 | ((c >> 6) & 0x3F));
      out += (char)(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::vector<WCHAR> FromUtf8(std::string_view text) {
  std::vector<WCHAR> out;
  size_t i = 0;
  while (i < text.size()) {
    uint8_t b = (uint8_t)text[i];
    uint32_t c;
    size_t extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out.push_back((WCHAR)0xFFFD);
      ++i;
      continue;
    }
    if (i + extra >= text.size()) {  // truncated sequence at the end
      out.push_back((WCHAR)0xFFFD);
      break;
    }
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      uint8_t cb = (uint8_t)text[i + k];
      if ((cb & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (cb & 0x3F);
    }
    if (!ok) {
      out.push_back((WCHAR)0xFFFD);
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back((WCHAR)(0xD800 + (c >> 10)));
      out.push_back((WCHAR)(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back((WCHAR)c);
    }
  }
  return out;
}

namespace {

// Runs `fn` on the key at `path` (null when it is missing) with the hive locked.
template <typename Fn>
auto AtKey(std::string_view path, Fn&& fn) {
  std::vector<Name> parts;
  bool ok = SplitPath(path, &parts);
  std::lock_guard<std::mutex> g(HiveLock());
  return fn(ok ? Find(parts) : nullptr);
}

void Set(std::string_view path, std::string_view name, ULONG type, const void* data, size_t size) {
  std::vector<Name> parts;
  if (!SplitPath(path, &parts)) return;
  LONGLONG now = SystemTime();
  std::lock_guard<std::mutex> g(HiveLock());
  detail::SetValue(FindOrCreate(parts, now), NameFromUtf8(name), type, data, size, now);
}

std::optional<Value> Get(std::string_view path, std::string_view name) {
  return AtKey(path, [&](Key* k) -> std::optional<Value> {
    if (k == nullptr) return std::nullopt;
    Value* v = FindValue(k, NameFromUtf8(name));
    if (v == nullptr) return std::nullopt;
    return *v;
  });
}

// UTF-16 text of a string value without its terminator(s).
std::string StringOf(const std::vector<uint8_t>& data, size_t begin, size_t end) {
  std::vector<WCHAR> w((end - begin) / 2);
  if (!w.empty()) memcpy(w.data(), data.data() + begin, w.size() * 2);
  return ToUtf8(w.data(), w.size());
}

std::vector<uint8_t> Utf16Bytes(std::string_view text) {
  std::vector<WCHAR> w = FromUtf8(text);
  std::vector<uint8_t> out(w.size() * 2);
  // An empty text has no buffer to copy from.
  if (!out.empty()) memcpy(out.data(), w.data(), out.size());
  return out;
}

}  // namespace

bool KeyExists(std::string_view path) {
  return AtKey(path, [](Key* k) { return k != nullptr; });
}

void CreateKey(std::string_view path) {
  std::vector<Name> parts;
  if (!SplitPath(path, &parts)) return;
  LONGLONG now = SystemTime();
  std::lock_guard<std::mutex> g(HiveLock());
  FindOrCreate(parts, now);
}

void SetDword(std::string_view path, std::string_view name, ULONG value) {
  Set(path, name, REG_DWORD, &value, sizeof value);
}

void SetQword(std::string_view path, std::string_view name, ULONGLONG value) {
  Set(path, name, REG_QWORD, &value, sizeof value);
}

void SetString(std::string_view path, std::string_view name, std::string_view value, ULONG type) {
  std::vector<uint8_t> data = Utf16Bytes(value);
  data.push_back(0);
  data.push_back(0);
  Set(path, name, type, data.data(), data.size());
}

void SetMultiString(std::string_view path, std::string_view name, const std::vector<std::string>& values) {
  std::vector<uint8_t> data;
  for (const std::string& s : values) {
    std::vector<uint8_t> one = Utf16Bytes(s);
    data.insert(data.end(), one.begin(), one.end());
    data.push_back(0);
    data.push_back(0);
  }
  data.push_back(0);
  data.push_back(0);
  Set(path, name, REG_MULTI_SZ, data.data(), data.size());
}

void SetBinary(std::string_view path, std::string_view name, const std::vector<uint8_t>& data, ULONG type) {
  Set(path, name, type, data.data(), data.size());
}

std::optional<ULONG> GetDword(std::string_view path, std::string_view name) {
  auto v = Get(path, name);
  if (!v || v->type != REG_DWORD || v->data.size() != sizeof(ULONG)) return std::nullopt;
  ULONG out;
  memcpy(&out, v->data.data(), sizeof out);
  return out;
}

std::optional<ULONGLONG> GetQword(std::string_view path, std::string_view name) {
  auto v = Get(path, name);
  if (!v || v->type != REG_QWORD || v->data.size() != sizeof(ULONGLONG)) return std::nullopt;
  ULONGLONG out;
  memcpy(&out, v->data.data(), sizeof out);
  return out;
}

std::optional<std::string> GetString(std::string_view path, std::string_view name) {
  auto v = Get(path, name);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
  // Up to the first terminator; data written without one is taken whole.
  size_t end = 0;
  while (end + 1 < v->data.size() && (v->data[end] != 0 || v->data[end + 1] != 0)) end += 2;
  return StringOf(v->data, 0, end);
}

std::optional<std::vector<std::string>> GetMultiString(std::string_view path, std::string_view name) {
  auto v = Get(path, name);
  if (!v || v->type != REG_MULTI_SZ) return std::nullopt;
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos + 1 < v->data.size()) {
    size_t end = pos;
    while (end + 1 < v->data.size() && (v->data[end] != 0 || v->data[end + 1] != 0)) end += 2;
    if (end == pos) break;  // the empty string ends the list
    out.push_back(StringOf(v->data, pos, end));
    pos = end + 2;
  }
  return out;
}

std::optional<std::vector<uint8_t>> GetBinary(std::string_view path, std::string_view name) {
  auto v = Get(path, name);
  if (!v) return std::nullopt;
  return v->data;
}

std::optional<ULONG> GetType(std::string_view path, std::string_view name) {
  auto v = Get(path, name);
  if (!v) return std::nullopt;
  return v->type;
}

bool DeleteValue(std::string_view path, std::string_view name) {
  LONGLONG now = SystemTime();
  return AtKey(path, [&](Key* k) { return k != nullptr && RemoveValue(k, NameFromUtf8(name), now); });
}

bool DeleteTree(std::string_view path) {
  LONGLONG now = SystemTime();
  return AtKey(path, [&](Key* k) {
    // \Registry and the hive roots stay; their contents may go.
    if (k == nullptr || k->parent == nullptr || k->parent->parent == nullptr) return false;
    Detach(k, now);
    return true;
  });
}

std::vector<std::string> SubKeys(std::string_view path) {
  return AtKey(path, [](Key* k) {
    std::vector<std::string> out;
    if (k != nullptr) {
      for (const auto& [up, c] : k->children) out.push_back(NameToUtf8(c->name));
    }
    return out;
  });
}

std::vector<std::string> ValueNames(std::string_view path) {
  return AtKey(path, [](Key* k) {
    std::vector<std::string> out;
    if (k != nullptr) {
      for (const Value& v : k->values) out.push_back(NameToUtf8(v.name));
    }
    return out;
  });
}

}  // namespace sim::kernel::registry
