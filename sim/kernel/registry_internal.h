// Inside of the registry hive, shared by the handle layer, the host API and the text
// form: the key tree, its single lock and the path and name helpers.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "registry.h"

namespace sim::kernel::registry::detail {

using Name = std::u16string;  // WCHAR text, case preserved

struct Value {
  Name name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Key : std::enable_shared_from_this<Key> {
  Name name;
  Key* parent = nullptr;  // null for \Registry and for deleted keys
  std::map<Name, std::shared_ptr<Key>> children;  // by upcased name: enumeration order
  std::vector<Value> values;  // in the order they were first set
  Name className;
  LONGLONG lastWrite = 0;
  bool deleted = false;
};

// The one lock of the hive; every function below expects it held.
std::mutex& HiveLock();
Key* Root();  // \Registry

Name Upcase(std::u16string_view name);
Name ToName(const WCHAR* text, size_t count);
Name NameFromUtf8(std::string_view text);
std::string NameToUtf8(const Name& name);
std::string PathOf(const Key* key);

// Splits a UTF-8 path "\Registry\a\b" into {"a","b"}; false unless it is absolute and
// under \Registry with no empty component.
bool SplitPath(std::string_view path, std::vector<Name>* parts);
Key* Child(Key* key, const Name& name);
Key* Find(const std::vector<Name>& parts);
Key* FindOrCreate(const std::vector<Name>& parts, LONGLONG now);
Value* FindValue(Key* key, const Name& name);
void SetValue(Key* key, const Name& name, ULONG type, const void* data, size_t size, LONGLONG now);
bool RemoveValue(Key* key, const Name& name, LONGLONG now);
// Takes `key` and its subtree out of the hive; handles still open on them see
// STATUS_KEY_DELETED.
void Detach(Key* key, LONGLONG now);

// System time for LastWriteTime (zero before the kernel boots). Call without the lock.
LONGLONG SystemTime();

}  // namespace sim::kernel::registry::detail
