// The registry hive of the simulated kernel: keys, values, handles with granted access,
// the standard layouts, mode-taking entry points for the Zw* and Win32 layers, a host
// convenience API for tests, the INF installer and the CLI, and a readable text form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nt/types.h"
#include "nt/status.h"
#include "nt/registry.h"

namespace sim::kernel::registry {

// Empty: only \Registry, \Registry\Machine and \Registry\User.
// Nt: the NT machine. Win98: the 98 platform, told apart by Services\Class in place of
// Control\Class.
enum class Layout { Empty, Nt, Win98 };

// Drops every key (open handles see STATUS_KEY_DELETED) and builds `layout`.
void Reset(Layout layout);

// ---- Handle-based entry points -------------------------------------------------------
// `mode` is the previous mode of the call: KernelMode calls (the Zw* exports) are not held
// to the handle's granted access; UserMode calls are, and only accept user handles.
// `path` is absolute (\Registry\...) when `root` is null, else relative to `root`.
NTSTATUS CreateKey(PCUNICODE_STRING path, HANDLE root, ACCESS_MASK desired, ULONG options, KPROCESSOR_MODE mode,
                   HANDLE* key, ULONG* disposition = nullptr, PCUNICODE_STRING className = nullptr);
NTSTATUS OpenKey(PCUNICODE_STRING path, HANDLE root, ACCESS_MASK desired, KPROCESSOR_MODE mode, HANDLE* key);
// UTF-8 forms of the two above.
NTSTATUS CreateKey(std::string_view path, HANDLE root, ACCESS_MASK desired, ULONG options, KPROCESSOR_MODE mode,
                   HANDLE* key, ULONG* disposition = nullptr);
NTSTATUS OpenKey(std::string_view path, HANDLE root, ACCESS_MASK desired, KPROCESSOR_MODE mode, HANDLE* key);

NTSTATUS QueryValue(HANDLE key, PCUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                    PULONG resultLength, KPROCESSOR_MODE mode);
NTSTATUS SetValue(HANDLE key, PCUNICODE_STRING name, ULONG type, const void* data, ULONG size, KPROCESSOR_MODE mode);
NTSTATUS DeleteValue(HANDLE key, PCUNICODE_STRING name, KPROCESSOR_MODE mode);
NTSTATUS DeleteKey(HANDLE key, KPROCESSOR_MODE mode);
NTSTATUS EnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                      PULONG resultLength, KPROCESSOR_MODE mode);
NTSTATUS EnumerateValue(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                        PULONG resultLength, KPROCESSOR_MODE mode);
NTSTATUS QueryKey(HANDLE key, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length, PULONG resultLength,
                  KPROCESSOR_MODE mode);
NTSTATUS FlushKey(HANDLE key, KPROCESSOR_MODE mode);
// Handles are closed with HandleClose (ZwClose / RegCloseKey).

// ---- Host convenience API --------------------------------------------------------------
// Paths are UTF-8 kernel paths ("\\Registry\\Machine\\System\\..."), names compared without
// case. Setters create missing keys; getters return nothing when the key or value is
// missing or has another type. An empty value name is the key's default value.
bool KeyExists(std::string_view path);
void CreateKey(std::string_view path);  // with every missing parent
void SetDword(std::string_view path, std::string_view name, ULONG value);
void SetQword(std::string_view path, std::string_view name, ULONGLONG value);
void SetString(std::string_view path, std::string_view name, std::string_view value, ULONG type = REG_SZ);
void SetMultiString(std::string_view path, std::string_view name, const std::vector<std::string>& values);
void SetBinary(std::string_view path, std::string_view name, const std::vector<uint8_t>& data,
               ULONG type = REG_BINARY);
std::optional<ULONG> GetDword(std::string_view path, std::string_view name);
std::optional<ULONGLONG> GetQword(std::string_view path, std::string_view name);
std::optional<std::string> GetString(std::string_view path, std::string_view name);  // REG_SZ or REG_EXPAND_SZ
std::optional<std::vector<std::string>> GetMultiString(std::string_view path, std::string_view name);
std::optional<std::vector<uint8_t>> GetBinary(std::string_view path, std::string_view name);  // raw data, any type
std::optional<ULONG> GetType(std::string_view path, std::string_view name);
bool DeleteValue(std::string_view path, std::string_view name);
bool DeleteTree(std::string_view path);  // the key and everything below it
std::vector<std::string> SubKeys(std::string_view path);  // in enumeration order
std::vector<std::string> ValueNames(std::string_view path);  // in enumeration order

// ---- Text form ---------------------------------------------------------------------------
// One line per key (its full path), then its values indented as `name = type:value`.
// SaveText("") writes the whole hive; a path writes that key and its subtree.
// LoadText creates the keys it names and gives each exactly the values listed.
std::string SaveText(std::string_view root = "");
bool LoadText(std::string_view text, std::string* error = nullptr);

// ---- UTF-8 <-> UTF-16 for callers that hold Windows strings ---------------------------------
std::string ToUtf8(const WCHAR* text, size_t count);
std::vector<WCHAR> FromUtf8(std::string_view text);  // not terminated

}  // namespace sim::kernel::registry
