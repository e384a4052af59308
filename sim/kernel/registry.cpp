// The registry hive: the key tree and its lock, the standard layouts, and the handle
// layer behind ZwXxxKey and the Win32 registry calls (open, create, values, enumeration,
// information records, delete) with the access checks of the caller's previous mode.
#include "registry.h"

#include <algorithm>
#include <cstring>

#include "kernel.h"
#include "nt/rtl.h"
#include "object.h"
#include "registry_internal.h"

namespace sim::kernel::registry {
namespace detail {
namespace {

struct Hive {
  std::mutex lock;
  std::shared_ptr<Key> root;
};

// Never destroyed: threads of a machine may still touch the hive during process exit.
Hive& TheHive() {
  static Hive* hive = new Hive;
  return *hive;
}

}  // namespace

std::mutex& HiveLock() { return TheHive().lock; }

void BuildLayout(Layout layout);

Key* Root() {
  Hive& h = TheHive();
  if (!h.root) BuildLayout(Layout::Nt);
  return h.root.get();
}

Name Upcase(std::u16string_view name) {
  Name out(name.size(), u'\0');
  for (size_t i = 0; i < name.size(); ++i) out[i] = (char16_t)RtlUpcaseUnicodeChar((WCHAR)name[i]);
  return out;
}

Name ToName(const WCHAR* text, size_t count) {
  Name out(count, u'\0');
  for (size_t i = 0; i < count; ++i) out[i] = (char16_t)text[i];
  return out;
}

Name NameFromUtf8(std::string_view text) {
  std::vector<WCHAR> w = FromUtf8(text);
  return ToName(w.data(), w.size());
}

std::string NameToUtf8(const Name& name) {
  std::vector<WCHAR> w(name.begin(), name.end());
  return ToUtf8(w.data(), w.size());
}

std::string PathOf(const Key* key) {
  std::vector<const Key*> chain;
  for (const Key* k = key; k != nullptr; k = k->parent) chain.push_back(k);
  std::string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) out += "\\" + NameToUtf8((*it)->name);
  return out;
}

bool SplitPath(std::string_view path, std::vector<Name>* parts) {
  parts->clear();
  if (path.empty() || path[0] != '\\') return false;
  bool first = true;
  size_t pos = 1;
  while (true) {
    size_t end = path.find('\\', pos);
    std::string_view comp = path.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (comp.empty()) return false;
    Name name = NameFromUtf8(comp);
    if (first) {
      if (Upcase(name) != u"REGISTRY") return false;
      first = false;
    } else {
      parts->push_back(std::move(name));
    }
    if (end == std::string_view::npos) return true;
    pos = end + 1;
  }
}

Key* Child(Key* key, const Name& name) {
  auto it = key->children.find(Upcase(name));
  return it == key->children.end() ? nullptr : it->second.get();
}

Key* Find(const std::vector<Name>& parts) {
  Key* k = Root();
  for (const Name& p : parts) {
    k = Child(k, p);
    if (k == nullptr) return nullptr;
  }
  return k;
}

namespace {
Key* AddChild(Key* parent, const Name& name, LONGLONG now) {
  auto child = std::make_shared<Key>();
  child->name = name;
  child->parent = parent;
  child->lastWrite = now;
  Key* raw = child.get();
  parent->children.emplace(Upcase(name), std::move(child));
  parent->lastWrite = now;
  return raw;
}
}  // namespace

Key* FindOrCreate(const std::vector<Name>& parts, LONGLONG now) {
  Key* k = Root();
  for (const Name& p : parts) {
    Key* c = Child(k, p);
    k = c != nullptr ? c : AddChild(k, p, now);
  }
  return k;
}

Value* FindValue(Key* key, const Name& name) {
  Name up = Upcase(name);
  for (Value& v : key->values) {
    if (v.name.size() == up.size() && Upcase(v.name) == up) return &v;
  }
  return nullptr;
}

void SetValue(Key* key, const Name& name, ULONG type, const void* data, size_t size, LONGLONG now) {
  Value* v = FindValue(key, name);
  if (v == nullptr) {
    key->values.push_back(Value{name, type, {}});
    v = &key->values.back();
  }
  v->type = type;
  v->data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  key->lastWrite = now;
}

bool RemoveValue(Key* key, const Name& name, LONGLONG now) {
  Value* v = FindValue(key, name);
  if (v == nullptr) return false;
  key->values.erase(key->values.begin() + (v - key->values.data()));
  key->lastWrite = now;
  return true;
}

namespace {
void MarkDeleted(Key* key) {
  for (auto& [upName, child] : key->children) MarkDeleted(child.get());
  key->deleted = true;
  key->parent = nullptr;
  key->children.clear();  // keys still held by a handle live on alone
}
}  // namespace

void Detach(Key* key, LONGLONG now) {
  Key* parent = key->parent;
  std::shared_ptr<Key> keep;  // the parent's map owns the key until it is taken out
  if (parent != nullptr) {
    auto it = parent->children.find(Upcase(key->name));
    keep = it->second;
    parent->children.erase(it);
    parent->lastWrite = now;
  }
  MarkDeleted(key);
}

LONGLONG SystemTime() {
  if (!IsBooted()) return 0;
  LARGE_INTEGER t;
  KeQuerySystemTime(&t);
  return t.QuadPart;
}

void BuildLayout(Layout layout) {
  Hive& h = TheHive();
  if (h.root) MarkDeleted(h.root.get());
  h.root = std::make_shared<Key>();
  h.root->name = u"REGISTRY";
  static const char* const kCommon[] = {
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services",
      "\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
      "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses",
      "\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
      "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM",
      "\\Registry\\User\\.Default",
  };
  static const char* const kNt[] = {
      "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class",
      "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports",
  };
  // The 98 platform keeps its device classes under Services; drivers tell the platforms
  // apart by that key alone.
  static const char* const kWin98[] = {
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class",
  };
  std::vector<Name> parts;
  auto add = [&](const char* path) {
    SplitPath(path, &parts);
    FindOrCreate(parts, 0);
  };
  add("\\Registry\\MACHINE");  // hive roots carry the upper-case names Windows reports
  add("\\Registry\\USER");
  if (layout == Layout::Empty) return;
  for (const char* p : kCommon) add(p);
  if (layout == Layout::Nt) {
    for (const char* p : kNt) add(p);
  } else {
    for (const char* p : kWin98) add(p);
  }
}

}  // namespace detail

using namespace detail;

void Reset(Layout layout) {
  std::lock_guard<std::mutex> g(HiveLock());
  BuildLayout(layout);
}

// ---- Handle layer ------------------------------------------------------------------------
namespace {

struct KeyObject {
  explicit KeyObject(std::shared_ptr<Key> k) : key(std::move(k)) {}
  std::shared_ptr<Key> key;
};
const ObjectType kKeyObjectType = {"Key", &ObDestroy<KeyObject>};

constexpr size_t kMaxKeyNameChars = 255;

ACCESS_MASK MapAccess(ACCESS_MASK desired) {
  ACCESS_MASK out = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) out |= KEY_READ;
  if (desired & GENERIC_WRITE) out |= KEY_WRITE;
  if (desired & GENERIC_EXECUTE) out |= KEY_EXECUTE;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) out |= KEY_ALL_ACCESS;
  return out;
}

// Resolves a key handle for a call made in `mode` that needs `access` on it. User-mode
// calls only reach user handles and are held to the access the handle was granted.
NTSTATUS Reference(HANDLE handle, KPROCESSOR_MODE mode, ACCESS_MASK access, std::shared_ptr<Key>* key) {
  void* body = nullptr;
  ACCESS_MASK granted = 0;
  bool userHandle = false;
  NTSTATUS st = HandleReference(handle, &kKeyObjectType, &body, &granted, &userHandle);
  if (!NT_SUCCESS(st)) return st;
  *key = static_cast<KeyObject*>(body)->key;
  ObDeref(body);
  if (mode == UserMode) {
    if (!userHandle) return STATUS_INVALID_HANDLE;
    if ((access & ~granted) != 0) return STATUS_ACCESS_DENIED;
  }
  return STATUS_SUCCESS;
}

Name ValueName(PCUNICODE_STRING name) {
  if (name == nullptr || name->Buffer == nullptr) return Name();
  return ToName(name->Buffer, name->Length / sizeof(WCHAR));
}

// \Registry and the hive roots below it cannot be created into, deleted or renamed.
bool IsHiveRoot(const Key* key) { return key->parent == nullptr || key->parent->parent == nullptr; }

NTSTATUS OpenOrCreate(const WCHAR* text, size_t chars, HANDLE root, ACCESS_MASK desired, ULONG options,
                      KPROCESSOR_MODE mode, bool create, const Name* className, HANDLE* out, ULONG* disposition) {
  if (out == nullptr) return STATUS_ACCESS_VIOLATION;
  *out = nullptr;
  if (options & ~REG_LEGAL_OPTION) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<Key> start;
  size_t pos = 0;
  if (root != nullptr) {
    NTSTATUS st = Reference(root, mode, 0, &start);
    if (!NT_SUCCESS(st)) return st;
    if (chars > 0 && text[0] == '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  } else {
    if (chars == 0 || text[0] != '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    pos = 1;
  }
  std::vector<Name> parts;
  while (pos < chars) {
    size_t end = pos;
    while (end < chars && text[end] != '\\') ++end;
    if (end == pos || end - pos > kMaxKeyNameChars) return STATUS_OBJECT_NAME_INVALID;
    parts.push_back(ToName(text + pos, end - pos));
    pos = end + 1;
    if (end + 1 == chars) return STATUS_OBJECT_NAME_INVALID;  // trailing separator
  }
  if (root == nullptr) {
    // The registry is the one object directory this namespace holds.
    if (parts.empty()) return STATUS_OBJECT_TYPE_MISMATCH;
    if (Upcase(parts[0]) != u"REGISTRY") return parts.size() == 1 ? STATUS_OBJECT_NAME_NOT_FOUND
                                                                    : STATUS_OBJECT_PATH_NOT_FOUND;
    parts.erase(parts.begin());
  }
  LONGLONG now = SystemTime();
  std::lock_guard<std::mutex> g(HiveLock());
  Key* k = start ? start.get() : Root();
  if (k->deleted) return STATUS_KEY_DELETED;
  ULONG disp = REG_OPENED_EXISTING_KEY;
  for (size_t i = 0; i < parts.size(); ++i) {
    Key* c = Child(k, parts[i]);
    if (c == nullptr) {
      if (!create || i + 1 != parts.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (IsHiveRoot(k)) return STATUS_ACCESS_DENIED;
      auto child = std::make_shared<Key>();
      child->name = parts[i];
      child->parent = k;
      child->lastWrite = now;
      if (className != nullptr) child->className = *className;
      c = child.get();
      k->children.emplace(Upcase(parts[i]), std::move(child));
      k->lastWrite = now;
      disp = REG_CREATED_NEW_KEY;
    }
    k = c;
  }
  // The handle's own reference keeps the key alive after it is deleted.
  auto* obj = ObNew<KeyObject>(&kKeyObjectType, k->shared_from_this());
  *out = HandleInsert(obj, MapAccess(desired), mode == UserMode);
  ObDeref(obj);
  if (disposition != nullptr) *disposition = disp;
  return STATUS_SUCCESS;
}

// ---- Information records -----------------------------------------------------------------
// Each record is built whole, then handed out by Deliver with the documented rules for a
// short buffer: below the fixed part nothing is written (BUFFER_TOO_SMALL); between the
// fixed part and the whole record the buffer is filled as far as it goes (BUFFER_OVERFLOW).
class Record {
 public:
  explicit Record(size_t fixed) : bytes_(fixed, 0), fixed_(fixed) {}
  template <typename T>
  void Put(size_t offset, T v) {
    memcpy(bytes_.data() + offset, &v, sizeof v);
  }
  size_t Append(const void* data, size_t size) {
    size_t at = bytes_.size();
    bytes_.insert(bytes_.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return at;
  }
  size_t AppendName(const Name& n) { return Append(n.data(), n.size() * sizeof(char16_t)); }
  void AlignTo(size_t a) { bytes_.resize((bytes_.size() + a - 1) / a * a, 0); }
  size_t Size() const { return bytes_.size(); }

  NTSTATUS Deliver(PVOID buffer, ULONG length, PULONG resultLength) const {
    if (resultLength == nullptr) return STATUS_ACCESS_VIOLATION;
    *resultLength = (ULONG)bytes_.size();
    if (length < fixed_) return STATUS_BUFFER_TOO_SMALL;
    if (buffer == nullptr) return STATUS_ACCESS_VIOLATION;
    if (length < bytes_.size()) {
      memcpy(buffer, bytes_.data(), length);
      return STATUS_BUFFER_OVERFLOW;
    }
    memcpy(buffer, bytes_.data(), bytes_.size());
    return STATUS_SUCCESS;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t fixed_;
};

ULONG Bytes(const Name& n) { return (ULONG)(n.size() * sizeof(char16_t)); }

LARGE_INTEGER Time(LONGLONG t) {
  LARGE_INTEGER li;
  li.QuadPart = t;
  return li;
}

bool KeyRecord(const Key* k, KEY_INFORMATION_CLASS cls, Record* out) {
  switch (cls) {
    case KeyBasicInformation: {
      Record r(FIELD_OFFSET(KEY_BASIC_INFORMATION, Name));
      r.Put(offsetof(KEY_BASIC_INFORMATION, LastWriteTime), Time(k->lastWrite));
      r.Put(offsetof(KEY_BASIC_INFORMATION, NameLength), Bytes(k->name));
      r.AppendName(k->name);
      *out = r;
      return true;
    }
    case KeyNodeInformation: {
      Record r(FIELD_OFFSET(KEY_NODE_INFORMATION, Name));
      r.Put(offsetof(KEY_NODE_INFORMATION, LastWriteTime), Time(k->lastWrite));
      r.Put(offsetof(KEY_NODE_INFORMATION, NameLength), Bytes(k->name));
      r.AppendName(k->name);
      ULONG classOffset = k->className.empty() ? 0xFFFFFFFFu : (ULONG)r.Size();
      r.AppendName(k->className);
      r.Put(offsetof(KEY_NODE_INFORMATION, ClassOffset), classOffset);
      r.Put(offsetof(KEY_NODE_INFORMATION, ClassLength), Bytes(k->className));
      *out = r;
      return true;
    }
    case KeyFullInformation: {
      Record r(FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
      ULONG maxName = 0, maxClass = 0, maxValueName = 0, maxValueData = 0;
      for (const auto& [up, c] : k->children) {
        maxName = std::max(maxName, Bytes(c->name));
        maxClass = std::max(maxClass, Bytes(c->className));
      }
      for (const Value& v : k->values) {
        maxValueName = std::max(maxValueName, Bytes(v.name));
        maxValueData = std::max(maxValueData, (ULONG)v.data.size());
      }
      r.Put(offsetof(KEY_FULL_INFORMATION, LastWriteTime), Time(k->lastWrite));
      r.Put(offsetof(KEY_FULL_INFORMATION, ClassOffset),
            k->className.empty() ? 0xFFFFFFFFu : (ULONG)FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
      r.Put(offsetof(KEY_FULL_INFORMATION, ClassLength), Bytes(k->className));
      r.Put(offsetof(KEY_FULL_INFORMATION, SubKeys), (ULONG)k->children.size());
      r.Put(offsetof(KEY_FULL_INFORMATION, MaxNameLen), maxName);
      r.Put(offsetof(KEY_FULL_INFORMATION, MaxClassLen), maxClass);
      r.Put(offsetof(KEY_FULL_INFORMATION, Values), (ULONG)k->values.size());
      r.Put(offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), maxValueName);
      r.Put(offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), maxValueData);
      r.AppendName(k->className);
      *out = r;
      return true;
    }
    case KeyNameInformation: {
      Record r(FIELD_OFFSET(KEY_NAME_INFORMATION, Name));
      Name path;
      std::vector<const Key*> chain;
      for (const Key* p = k; p != nullptr; p = p->parent) chain.push_back(p);
      for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += u"\\" + (*it)->name;
      r.Put(offsetof(KEY_NAME_INFORMATION, NameLength), Bytes(path));
      r.AppendName(path);
      *out = r;
      return true;
    }
    default:
      return false;
  }
}

bool ValueRecord(const Value& v, KEY_VALUE_INFORMATION_CLASS cls, Record* out) {
  switch (cls) {
    case KeyValueBasicInformation: {
      Record r(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name));
      r.Put(offsetof(KEY_VALUE_BASIC_INFORMATION, Type), v.type);
      r.Put(offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), Bytes(v.name));
      r.AppendName(v.name);
      *out = r;
      return true;
    }
    case KeyValueFullInformation: {
      Record r(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name));
      r.Put(offsetof(KEY_VALUE_FULL_INFORMATION, Type), v.type);
      r.Put(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), Bytes(v.name));
      r.Put(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), (ULONG)v.data.size());
      r.AppendName(v.name);
      r.AlignTo(sizeof(ULONG));  // the data starts ULONG-aligned after the name
      r.Put(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), (ULONG)r.Size());
      r.Append(v.data.data(), v.data.size());
      *out = r;
      return true;
    }
    case KeyValuePartialInformation: {
      Record r(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data));
      r.Put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), v.type);
      r.Put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), (ULONG)v.data.size());
      r.Append(v.data.data(), v.data.size());
      *out = r;
      return true;
    }
    default:
      return false;
  }
}

// Runs `fn` on the live key behind `handle` with the hive locked.
template <typename Fn>
NTSTATUS WithKey(HANDLE handle, KPROCESSOR_MODE mode, ACCESS_MASK access, Fn&& fn) {
  std::shared_ptr<Key> key;
  NTSTATUS st = Reference(handle, mode, access, &key);
  if (!NT_SUCCESS(st)) return st;
  std::lock_guard<std::mutex> g(HiveLock());
  if (key->deleted) return STATUS_KEY_DELETED;
  return fn(key.get());
}

}  // namespace

NTSTATUS CreateKey(PCUNICODE_STRING path, HANDLE root, ACCESS_MASK desired, ULONG options, KPROCESSOR_MODE mode,
                   HANDLE* key, ULONG* disposition, PCUNICODE_STRING className) {
  if (path == nullptr) return STATUS_INVALID_PARAMETER;
  if (path->Length % sizeof(WCHAR) != 0) return STATUS_OBJECT_NAME_INVALID;
  Name cls = ValueName(className);
  return OpenOrCreate(path->Buffer, path->Length / sizeof(WCHAR), root, desired, options, mode, true, &cls, key,
                      disposition);
}

NTSTATUS OpenKey(PCUNICODE_STRING path, HANDLE root, ACCESS_MASK desired, KPROCESSOR_MODE mode, HANDLE* key) {
  if (path == nullptr) return STATUS_INVALID_PARAMETER;
  if (path->Length % sizeof(WCHAR) != 0) return STATUS_OBJECT_NAME_INVALID;
  return OpenOrCreate(path->Buffer, path->Length / sizeof(WCHAR), root, desired, 0, mode, false, nullptr, key,
                      nullptr);
}

NTSTATUS CreateKey(std::string_view path, HANDLE root, ACCESS_MASK desired, ULONG options, KPROCESSOR_MODE mode,
                   HANDLE* key, ULONG* disposition) {
  std::vector<WCHAR> w = FromUtf8(path);
  Name none;
  return OpenOrCreate(w.data(), w.size(), root, desired, options, mode, true, &none, key, disposition);
}

NTSTATUS OpenKey(std::string_view path, HANDLE root, ACCESS_MASK desired, KPROCESSOR_MODE mode, HANDLE* key) {
  std::vector<WCHAR> w = FromUtf8(path);
  return OpenOrCreate(w.data(), w.size(), root, desired, 0, mode, false, nullptr, key, nullptr);
}

NTSTATUS QueryValue(HANDLE key, PCUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                    PULONG resultLength, KPROCESSOR_MODE mode) {
  return WithKey(key, mode, KEY_QUERY_VALUE, [&](Key* k) {
    Record r(0);
    // The class is checked before the name, so a bad class fails the same way every time.
    if (!ValueRecord(Value{}, cls, &r)) return STATUS_INVALID_PARAMETER;
    Value* v = FindValue(k, ValueName(name));
    if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    ValueRecord(*v, cls, &r);
    return r.Deliver(buffer, length, resultLength);
  });
}

NTSTATUS SetValue(HANDLE key, PCUNICODE_STRING name, ULONG type, const void* data, ULONG size, KPROCESSOR_MODE mode) {
  if (data == nullptr && size != 0) return STATUS_INVALID_PARAMETER;
  if (name != nullptr && name->Length % sizeof(WCHAR) != 0) return STATUS_INVALID_PARAMETER;
  LONGLONG now = SystemTime();
  return WithKey(key, mode, KEY_SET_VALUE, [&](Key* k) {
    detail::SetValue(k, ValueName(name), type, data, size, now);
    return STATUS_SUCCESS;
  });
}

NTSTATUS DeleteValue(HANDLE key, PCUNICODE_STRING name, KPROCESSOR_MODE mode) {
  LONGLONG now = SystemTime();
  return WithKey(key, mode, KEY_SET_VALUE, [&](Key* k) {
    return RemoveValue(k, ValueName(name), now) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
  });
}

NTSTATUS DeleteKey(HANDLE key, KPROCESSOR_MODE mode) {
  LONGLONG now = SystemTime();
  return WithKey(key, mode, DELETE, [&](Key* k) {
    if (IsHiveRoot(k) || !k->children.empty()) return STATUS_CANNOT_DELETE;
    Detach(k, now);
    return STATUS_SUCCESS;
  });
}

NTSTATUS EnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                      PULONG resultLength, KPROCESSOR_MODE mode) {
  return WithKey(key, mode, KEY_ENUMERATE_SUB_KEYS, [&](Key* k) {
    if (cls != KeyBasicInformation && cls != KeyNodeInformation && cls != KeyFullInformation) {
      return STATUS_INVALID_PARAMETER;
    }
    if (index >= k->children.size()) return STATUS_NO_MORE_ENTRIES;
    Record r(0);
    KeyRecord(std::next(k->children.begin(), index)->second.get(), cls, &r);
    return r.Deliver(buffer, length, resultLength);
  });
}

NTSTATUS EnumerateValue(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                        PULONG resultLength, KPROCESSOR_MODE mode) {
  return WithKey(key, mode, KEY_QUERY_VALUE, [&](Key* k) {
    Record r(0);
    if (cls != KeyValueBasicInformation && cls != KeyValueFullInformation && cls != KeyValuePartialInformation) {
      return STATUS_INVALID_PARAMETER;
    }
    if (index >= k->values.size()) return STATUS_NO_MORE_ENTRIES;
    ValueRecord(k->values[index], cls, &r);
    return r.Deliver(buffer, length, resultLength);
  });
}

NTSTATUS QueryKey(HANDLE key, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length, PULONG resultLength,
                  KPROCESSOR_MODE mode) {
  // The key's own name needs no access right; everything else needs KEY_QUERY_VALUE.
  ACCESS_MASK need = cls == KeyNameInformation ? 0 : KEY_QUERY_VALUE;
  return WithKey(key, mode, need, [&](Key* k) {
    Record r(0);
    if (!KeyRecord(k, cls, &r)) return STATUS_INVALID_PARAMETER;
    return r.Deliver(buffer, length, resultLength);
  });
}

NTSTATUS FlushKey(HANDLE key, KPROCESSOR_MODE mode) {
  // Writes never need to be durable: a flush only proves the handle is good.
  return WithKey(key, mode, 0, [](Key*) { return STATUS_SUCCESS; });
}

}  // namespace sim::kernel::registry
