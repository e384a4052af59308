// Registry hive: values of every type through the Zw calls, the documented statuses for
// short buffers, bad classes, missing and deleted keys, access checks by previous mode,
// the text form, the two platform layouts and the Rtl registry shortcuts.
#include <wdm.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kernel_fixture.h"
#include "object.h"
#include "registry.h"

namespace reg = sim::kernel::registry;

namespace {

constexpr UCHAR kGuard = 0xA5;
const char kServices[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const char kTest[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Q93Kus";

class Registry : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    reg::Reset(reg::Layout::Nt);
    reg::CreateKey(kTest);
  }

  // A kernel handle from ZwOpenKey on a UTF-8 path.
  HANDLE Open(const char* path, ACCESS_MASK access = KEY_ALL_ACCESS) {
    HANDLE h = nullptr;
    EXPECT_EQ(reg::OpenKey(path, nullptr, access, KernelMode, &h), STATUS_SUCCESS) << path;
    return h;
  }
};

struct U {
  explicit U(const char* s) {
    for (; *s; ++s) text.push_back((WCHAR)*s);
    str = UNICODE_STRING{(USHORT)(text.size() * 2), (USHORT)(text.size() * 2), text.data()};
  }
  std::vector<WCHAR> text;
  UNICODE_STRING str;
  PUNICODE_STRING operator&() { return &str; }
};

std::vector<UCHAR> Bytes(const void* p, size_t n) {
  return std::vector<UCHAR>((const UCHAR*)p, (const UCHAR*)p + n);
}

TEST_F(Registry, EveryValueTypeRoundTripsThroughZw) {
  const ULONG dword = 0x12345678;
  const ULONGLONG qword = 0x1122334455667788ull;
  const WCHAR sz[] = L"\\SystemRoot\\System32\\drivers\\Q93Kus.sys";
  const WCHAR multi[] = L"one\0two\0";
  const UCHAR bin[] = {0x00, 0xFF, 0x10};
  struct {
    ULONG type;
    std::vector<UCHAR> data;
  } cases[] = {
      {REG_DWORD, Bytes(&dword, 4)},       {REG_QWORD, Bytes(&qword, 8)},
      {REG_SZ, Bytes(sz, sizeof sz)},      {REG_EXPAND_SZ, Bytes(sz, sizeof sz)},
      {REG_MULTI_SZ, Bytes(multi, sizeof multi)}, {REG_BINARY, Bytes(bin, 3)},
      {REG_NONE, {}},                      {0x4242, Bytes(bin, 2)},
  };
  HANDLE h = Open(kTest);
  for (const auto& c : cases) {
    U name("V");
    ASSERT_EQ(ZwSetValueKey(h, &name, 0, c.type, (PVOID)c.data.data(), (ULONG)c.data.size()), STATUS_SUCCESS);
    alignas(8) UCHAR buf[256];
    ULONG len = 0;
    ASSERT_EQ(ZwQueryValueKey(h, &name, KeyValuePartialInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)buf;
    EXPECT_EQ(info->Type, c.type);
    EXPECT_EQ(Bytes(info->Data, info->DataLength), c.data) << "type " << c.type;
    EXPECT_EQ(len, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + c.data.size());
  }
  ZwClose(h);
  // The host view reads what the driver wrote, and the other way round.
  reg::SetMultiString(kTest, "Tags", {"a", "\xE6\x97\xA5\xE6\x9C\xAC"});
  reg::SetString(kTest, "Name", "COM5");
  reg::SetQword(kTest, "Big", qword);
  EXPECT_EQ(reg::GetMultiString(kTest, "TAGS"), (std::vector<std::string>{"a", "\xE6\x97\xA5\xE6\x9C\xAC"}));
  EXPECT_EQ(reg::GetString(kTest, "name"), "COM5");
  EXPECT_EQ(reg::GetQword(kTest, "Big"), qword);
  EXPECT_EQ(reg::GetDword(kTest, "Name"), std::nullopt);  // wrong type
}

// Short buffers: below the fixed part nothing is written; above it the record is filled as
// far as the buffer goes; ResultLength always tells the full size.
TEST_F(Registry, ShortBuffersReportTooSmallOrOverflowWithTheFullSize) {
  HANDLE h = Open(kTest);
  U name("BulkINRetryLimit");
  ULONG value = 10;
  ASSERT_EQ(ZwSetValueKey(h, &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
  reg::CreateKey(std::string(kTest) + "\\Parameters");
  const ULONG nameBytes = 16 * 2;
  const ULONG partialFixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const ULONG basicFixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
  const ULONG keyBasicFixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
  struct Case {
    const char* what;
    int call;  // 0 value partial, 1 value basic, 2 enumerate key basic, 3 query key full
    ULONG length;
    NTSTATUS status;
    ULONG needed;
  } cases[] = {
      {"partial, no room", 0, 0, STATUS_BUFFER_TOO_SMALL, partialFixed + 4},
      {"partial, fixed part only", 0, partialFixed, STATUS_BUFFER_OVERFLOW, partialFixed + 4},
      {"partial, all", 0, partialFixed + 4, STATUS_SUCCESS, partialFixed + 4},
      {"basic, one byte short of fixed", 1, basicFixed - 1, STATUS_BUFFER_TOO_SMALL, basicFixed + nameBytes},
      {"basic, part of the name", 1, basicFixed + 6, STATUS_BUFFER_OVERFLOW, basicFixed + nameBytes},
      {"enumerate key, fixed only", 2, keyBasicFixed, STATUS_BUFFER_OVERFLOW, keyBasicFixed + 10 * 2},
      {"query key full, short", 3, 8, STATUS_BUFFER_TOO_SMALL, (ULONG)FIELD_OFFSET(KEY_FULL_INFORMATION, Class)},
  };
  for (const Case& c : cases) {
    alignas(8) UCHAR buf[128];
    memset(buf, kGuard, sizeof buf);
    ULONG len = 0;
    NTSTATUS st = STATUS_UNSUCCESSFUL;
    switch (c.call) {
      case 0: st = ZwQueryValueKey(h, &name, KeyValuePartialInformation, buf, c.length, &len); break;
      case 1: st = ZwQueryValueKey(h, &name, KeyValueBasicInformation, buf, c.length, &len); break;
      case 2: st = ZwEnumerateKey(h, 0, KeyBasicInformation, buf, c.length, &len); break;
      case 3: st = ZwQueryKey(h, KeyFullInformation, buf, c.length, &len); break;
    }
    EXPECT_EQ(st, c.status) << c.what;
    EXPECT_EQ(len, c.needed) << c.what;
    for (size_t i = c.length; i < sizeof buf; ++i) ASSERT_EQ(buf[i], kGuard) << c.what << ": overrun at " << i;
    if (st == STATUS_BUFFER_TOO_SMALL) {
      for (size_t i = 0; i < c.length; ++i) ASSERT_EQ(buf[i], kGuard) << c.what << ": wrote at " << i;
    }
    if (st == STATUS_BUFFER_OVERFLOW && c.call == 0) {
      auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)buf;
      EXPECT_EQ(info->Type, (ULONG)REG_DWORD);
      EXPECT_EQ(info->DataLength, 4u);
    }
    if (st == STATUS_BUFFER_OVERFLOW && c.call == 1) {
      auto* info = (PKEY_VALUE_BASIC_INFORMATION)buf;
      EXPECT_EQ(info->NameLength, nameBytes);
      EXPECT_EQ(Bytes(info->Name, 6), Bytes(L"Bul", 6));
    }
    if (st == STATUS_BUFFER_OVERFLOW && c.call == 2) {
      EXPECT_EQ(((PKEY_BASIC_INFORMATION)buf)->NameLength, 20u);
    }
  }
  ZwClose(h);
}

TEST_F(Registry, ErrorStatusesOfTheZwCalls) {
  HANDLE key = Open(kTest);
  reg::CreateKey(std::string(kTest) + "\\Parameters\\DeviceInfo");
  HANDLE doomed = nullptr, other = nullptr;
  ASSERT_EQ(reg::CreateKey(std::string(kTest) + "\\Gone", nullptr, KEY_ALL_ACCESS, 0, KernelMode, &doomed),
            STATUS_SUCCESS);
  ASSERT_EQ(reg::OpenKey(std::string(kTest) + "\\Gone", nullptr, KEY_READ, KernelMode, &other), STATUS_SUCCESS);
  ASSERT_EQ(ZwDeleteKey(doomed), STATUS_SUCCESS);
  HANDLE parameters = Open((std::string(kTest) + "\\Parameters").c_str());

  auto open = [](const char* path, HANDLE root) {
    U name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    HANDLE h = nullptr;
    NTSTATUS st = ZwOpenKey(&h, KEY_READ, &oa);
    if (NT_SUCCESS(st)) ZwClose(h);
    return st;
  };
  auto create = [](const char* path, HANDLE root) {
    U name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    HANDLE h = nullptr;
    ULONG disposition = 0;
    NTSTATUS st = ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
    if (NT_SUCCESS(st)) ZwClose(h);
    return st;
  };
  alignas(8) UCHAR buf[256];
  ULONG len;
  U missing("NoSuchValue");
  struct {
    const char* what;
    NTSTATUS got;
    NTSTATUS expected;
  } cases[] = {
      {"open missing key", open("\\Registry\\Machine\\System\\Nope", nullptr), STATUS_OBJECT_NAME_NOT_FOUND},
      {"open relative, case differs", open("parameters\\DEVICEINFO", key), STATUS_SUCCESS},
      {"open relative with leading separator", open("\\Parameters", key), STATUS_OBJECT_PATH_SYNTAX_BAD},
      {"open absolute without leading separator", open("Registry\\Machine", nullptr), STATUS_OBJECT_PATH_SYNTAX_BAD},
      {"open with trailing separator", open("\\Registry\\Machine\\System\\", nullptr), STATUS_OBJECT_NAME_INVALID},
      {"open with empty component", open("\\Registry\\\\Machine", nullptr), STATUS_OBJECT_NAME_INVALID},
      {"create below a missing parent", create("Missing\\Child", key), STATUS_OBJECT_NAME_NOT_FOUND},
      {"create in the hive root", create("\\Registry\\Machine\\Extra", nullptr), STATUS_ACCESS_DENIED},
      {"query missing value", ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buf, sizeof buf, &len),
       STATUS_OBJECT_NAME_NOT_FOUND},
      {"delete missing value", ZwDeleteValueKey(key, &missing), STATUS_OBJECT_NAME_NOT_FOUND},
      {"value class out of range",
       ZwQueryValueKey(key, &missing, (KEY_VALUE_INFORMATION_CLASS)7, buf, sizeof buf, &len),
       STATUS_INVALID_PARAMETER},
      {"key class not for enumeration", ZwEnumerateKey(key, 0, KeyNameInformation, buf, sizeof buf, &len),
       STATUS_INVALID_PARAMETER},
      {"key class out of range", ZwQueryKey(key, (KEY_INFORMATION_CLASS)12, buf, sizeof buf, &len),
       STATUS_INVALID_PARAMETER},
      {"enumerate keys past the end", ZwEnumerateKey(key, 1, KeyBasicInformation, buf, sizeof buf, &len),
       STATUS_NO_MORE_ENTRIES},
      {"enumerate values past the end", ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buf, sizeof buf, &len),
       STATUS_NO_MORE_ENTRIES},
      {"delete key with subkeys", ZwDeleteKey(parameters), STATUS_CANNOT_DELETE},
      {"query through a deleted key", ZwQueryKey(other, KeyBasicInformation, buf, sizeof buf, &len),
       STATUS_KEY_DELETED},
      {"set through a deleted key", ZwSetValueKey(other, &missing, 0, REG_NONE, nullptr, 0), STATUS_KEY_DELETED},
      {"open below a deleted key", open("Child", other), STATUS_KEY_DELETED},
      {"delete a deleted key", ZwDeleteKey(doomed), STATUS_KEY_DELETED},
      {"invalid handle", ZwQueryKey((HANDLE)0x7FFC, KeyBasicInformation, buf, sizeof buf, &len),
       STATUS_INVALID_HANDLE},
      {"close a deleted key", ZwClose(other), STATUS_SUCCESS},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
  EXPECT_FALSE(reg::KeyExists(std::string(kTest) + "\\Gone"));
  ZwClose(doomed);
  ZwClose(parameters);
  ZwClose(key);
}

TEST_F(Registry, CreateReportsDispositionAndKeepsTheFirstSpelling) {
  HANDLE services = Open(kServices);
  U name("NewService");
  U other("NEWSERVICE");
  OBJECT_ATTRIBUTES oa;
  ULONG disposition[2] = {};
  HANDLE h[2] = {};
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, services, nullptr);
  ASSERT_EQ(ZwCreateKey(&h[0], KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition[0]), STATUS_SUCCESS);
  InitializeObjectAttributes(&oa, &other, OBJ_CASE_INSENSITIVE, services, nullptr);
  ASSERT_EQ(ZwCreateKey(&h[1], KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition[1]), STATUS_SUCCESS);
  EXPECT_EQ(disposition[0], (ULONG)REG_CREATED_NEW_KEY);
  EXPECT_EQ(disposition[1], (ULONG)REG_OPENED_EXISTING_KEY);
  std::vector<std::string> subkeys = reg::SubKeys(kServices);
  EXPECT_EQ(subkeys, (std::vector<std::string>{"NewService", "Q93Kus"}));  // sorted without case
  alignas(8) UCHAR buf[512];
  ULONG len;
  ASSERT_EQ(ZwQueryKey(h[1], KeyNameInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
  auto* info = (PKEY_NAME_INFORMATION)buf;
  std::string path;
  for (ULONG i = 0; i < info->NameLength / 2; ++i) path += (char)info->Name[i];
  EXPECT_EQ(path, "\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\NewService");
  for (HANDLE x : {h[0], h[1], services}) ZwClose(x);
}

TEST_F(Registry, UserModeIsHeldToGrantedAccessAndKernelModeIsNot) {
  HANDLE user = nullptr;
  ASSERT_EQ(reg::OpenKey(kTest, nullptr, KEY_READ, UserMode, &user), STATUS_SUCCESS);
  U name("PortName");
  const WCHAR data[] = L"COM7";
  EXPECT_EQ(reg::SetValue(user, &name, REG_SZ, data, sizeof data, UserMode), STATUS_ACCESS_DENIED);
  EXPECT_EQ(reg::DeleteKey(user, UserMode), STATUS_ACCESS_DENIED);
  alignas(8) UCHAR buf[64];
  ULONG len;
  EXPECT_EQ(reg::EnumerateKey(user, 0, KeyBasicInformation, buf, sizeof buf, &len, UserMode),
            STATUS_NO_MORE_ENTRIES);  // KEY_READ includes enumeration
  EXPECT_EQ(reg::SetValue(user, &name, REG_SZ, data, sizeof data, KernelMode), STATUS_SUCCESS);
  EXPECT_EQ(reg::GetString(kTest, "PortName"), "COM7");

  // A kernel handle opened for reading still takes a kernel-mode write, as on Windows,
  // but user mode cannot reach it at all.
  HANDLE kernel = Open(kTest, KEY_READ);
  EXPECT_EQ(ZwSetValueKey(kernel, &name, 0, REG_SZ, (PVOID)data, sizeof data), STATUS_SUCCESS);
  EXPECT_EQ(reg::QueryValue(kernel, &name, KeyValuePartialInformation, buf, sizeof buf, &len, UserMode),
            STATUS_INVALID_HANDLE);

  HANDLE writer = nullptr;
  ASSERT_EQ(reg::OpenKey(kTest, nullptr, KEY_WRITE, UserMode, &writer), STATUS_SUCCESS);
  EXPECT_EQ(reg::SetValue(writer, &name, REG_SZ, data, sizeof data, UserMode), STATUS_SUCCESS);
  EXPECT_EQ(reg::QueryValue(writer, &name, KeyValuePartialInformation, buf, sizeof buf, &len, UserMode),
            STATUS_ACCESS_DENIED);
  for (HANDLE h : {user, kernel, writer}) EXPECT_EQ(sim::kernel::HandleClose(h), STATUS_SUCCESS);
}

TEST_F(Registry, TextFormRoundTripsExactly) {
  const std::string key = std::string(kTest) + "\\Parameters";
  reg::SetDword(key, "UsbMode", 1);
  reg::SetString(key, "", "default value");
  reg::SetString(key, "Display Name", "Quote \" back\\slash\ttab \xE6\x97\xA5");
  reg::SetString(key, "ImagePath", "%SystemRoot%\\x.sys", REG_EXPAND_SZ);
  reg::SetMultiString(key, "Empty", {});
  reg::SetString(key, "EmptyText", "");
  EXPECT_EQ(reg::GetString(key, "EmptyText"), std::optional<std::string>(""));
  reg::SetMultiString(key, "List", {"a", "b c"});
  reg::SetBinary(key, "Blob", {0x00, 0xAB});
  reg::SetBinary(key, "NoTerminator", {'h', 0, 'i', 0}, REG_SZ);
  reg::SetBinary(key, "ShortDword", {1, 2}, REG_DWORD);
  reg::SetBinary(key, "Odd", {7}, 0x99);
  reg::SetQword(key, "@", 5);
  reg::CreateKey(std::string(kTest) + "\\100%\x01");
  // A lone surrogate in a name survives too.
  HANDLE h = Open(key.c_str());
  WCHAR lone[] = {'x', 0xD800};
  UNICODE_STRING loneName{4, 4, lone};
  ULONG v = 3;
  ASSERT_EQ(ZwSetValueKey(h, &loneName, 0, REG_DWORD, &v, 4), STATUS_SUCCESS);
  ZwClose(h);

  const std::string saved = reg::SaveText();
  EXPECT_NE(saved.find("\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\Q93Kus\\Parameters\n"
                       "  UsbMode = dword:0x00000001\n"
                       "  @ = sz:\"default value\"\n"),
            std::string::npos)
      << saved;
  EXPECT_NE(saved.find("  List = multi_sz:[\"a\", \"b c\"]\n"), std::string::npos);
  EXPECT_NE(saved.find("  Blob = binary:00 ab\n"), std::string::npos);
  reg::Reset(reg::Layout::Empty);
  std::string error;
  ASSERT_TRUE(reg::LoadText(saved, &error)) << error;
  EXPECT_EQ(reg::SaveText(), saved);
  EXPECT_EQ(reg::GetDword(key, "usbmode"), 1u);
  EXPECT_EQ(reg::SaveText(key).rfind("\\REGISTRY\\MACHINE\\System", 0), 0u);
}

TEST_F(Registry, BadTextNamesTheLineAndChangesNothing) {
  const std::string before = reg::SaveText();
  const char* bad[] = {
      "\\Registry\\Machine\\X\n  A = dword:0x1\n",  // too few digits
      "  A = sz:\"x\"\n",  // value before any key
      "\\Registry\\Machine\\X\n  A = sz:\"unterminated\n",
      "\\Registry\\Machine\\X\n  A = mystery:00\n",
      "\\Elsewhere\\X\n",
  };
  for (const char* text : bad) {
    std::string error;
    EXPECT_FALSE(reg::LoadText(text, &error)) << text;
    EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
  }
  EXPECT_EQ(reg::SaveText(), before);
  EXPECT_FALSE(reg::KeyExists("\\Registry\\Machine\\X"));
}

TEST_F(Registry, LayoutsDifferInWhereDeviceClassesLive) {
  const char* ntClass = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
  const char* w98Class = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class";
  const char* ports = "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
  const char* common[] = {"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
                          "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM",
                          "\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                          "\\Registry\\User"};
  reg::Reset(reg::Layout::Nt);
  EXPECT_TRUE(reg::KeyExists(ntClass));
  EXPECT_FALSE(reg::KeyExists(w98Class));
  EXPECT_TRUE(reg::KeyExists(ports));
  for (const char* k : common) EXPECT_TRUE(reg::KeyExists(k)) << k;
  reg::Reset(reg::Layout::Win98);
  EXPECT_FALSE(reg::KeyExists(ntClass));
  EXPECT_TRUE(reg::KeyExists(w98Class));
  EXPECT_TRUE(reg::KeyExists("\\Registry\\Machine\\System\\CurrentControlSet\\Control"));
  for (const char* k : common) EXPECT_TRUE(reg::KeyExists(k)) << k;
  // Through the driver's own call, as the platform check makes it.
  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_CONTROL, (PWSTR)L"Class"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)L"Class"), STATUS_SUCCESS);
}

TEST_F(Registry, HandlesOpenAcrossResetSeeTheKeyDeleted) {
  HANDLE h = Open(kTest);
  reg::Reset(reg::Layout::Nt);
  alignas(8) UCHAR buf[64];
  ULONG len;
  EXPECT_EQ(ZwQueryKey(h, KeyBasicInformation, buf, sizeof buf, &len), STATUS_KEY_DELETED);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(Registry, ManyThreadsShareTheHive) {
  // Writers create and remove subtrees while readers walk, save and query through handles.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const std::string mine = std::string(kTest) + "\\T" + std::to_string(t);
      for (int i = 0; i < 200; ++i) {
        reg::SetDword(mine + "\\Leaf", "N", (ULONG)i);
        reg::SubKeys(kTest);
        HANDLE h = nullptr;
        if (NT_SUCCESS(reg::OpenKey(mine + "\\Leaf", nullptr, KEY_READ, KernelMode, &h))) {
          alignas(8) UCHAR buf[128];
          ULONG len;
          NTSTATUS st = reg::QueryKey(h, KeyFullInformation, buf, sizeof buf, &len, KernelMode);
          EXPECT_TRUE(st == STATUS_SUCCESS || st == STATUS_KEY_DELETED) << std::hex << st;
          sim::kernel::HandleClose(h);
        }
        if (i % 3 == 0) reg::DeleteTree(mine);
        if (t == 0 && i % 50 == 0) reg::SaveText();
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_LE(reg::SubKeys(kTest).size(), 4u);
}

void OpenKeyAtDispatch() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  U name(kTest);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE h;
  ZwOpenKey(&h, KEY_READ, &oa);
}

TEST_F(Registry, CallAbovePassiveLevelStopsTheMachine) {
  EXPECT_DEATH(OpenKeyAtDispatch(), "IRQL_NOT_LESS_OR_EQUAL(.|\n)*registry call above PASSIVE_LEVEL");
}

// ---- Rtl registry shortcuts ----------------------------------------------------------------

NTSTATUS CollectStrings(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entry) {
  auto* out = static_cast<std::vector<std::string>*>(context);
  std::string s = std::to_string(type) + ":";
  const WCHAR* text = static_cast<const WCHAR*>(data);
  for (ULONG i = 0; i < length / 2 && text[i] != 0; ++i) s += (char)text[i];
  out->push_back(s);
  return STATUS_SUCCESS;
}

TEST_F(Registry, QueryRegistryValuesStoresDirectlyAndCallsBack) {
  RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"Q93Kus\\Parameters", L"UsbMode", REG_DWORD, (PVOID) "\x02\0\0\0",
                        4);
  reg::SetString(std::string(kTest) + "\\Parameters", "Name", "modem");
  reg::SetMultiString(std::string(kTest) + "\\Parameters", "Ids", {"A", "BC"});
  EXPECT_EQ(reg::GetDword(std::string(kTest) + "\\Parameters", "UsbMode"), 2u);

  ULONG mode = 0, retry = 0, fallback = 10;
  WCHAR small[3];
  UNICODE_STRING name{0, sizeof small, small};
  UNICODE_STRING allocated{0, 0, nullptr};
  std::vector<std::string> seen;
  RTL_QUERY_REGISTRY_TABLE table[] = {
      {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, (PWSTR)L"UsbMode", &mode,
       (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE, nullptr, 0},
      {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)L"BulkINRetryLimit", &retry, REG_DWORD, &fallback, 4},
      {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND, (PWSTR)L"Name", &allocated, REG_NONE,
       nullptr, 0},
      {CollectStrings, 0, (PWSTR)L"Ids", nullptr, REG_NONE, nullptr, 0},
      {},
  };
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"Q93Kus\\Parameters", table, &seen, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(mode, 2u);
  EXPECT_EQ(retry, 10u);  // the default
  EXPECT_EQ(allocated.Length, 10);
  EXPECT_EQ(seen, (std::vector<std::string>{"1:A", "1:BC"}));  // one REG_SZ call per string
  RtlFreeUnicodeString(&allocated);

  struct {
    const char* what;
    RTL_QUERY_REGISTRY_TABLE entry;
    NTSTATUS status;
  } failures[] = {
      {"string into a short buffer",
       {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)L"Name", &name, REG_NONE, nullptr, 0},
       STATUS_BUFFER_TOO_SMALL},
      {"required value missing",
       {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, (PWSTR)L"Inst98", &mode, REG_NONE, nullptr,
        0},
       STATUS_OBJECT_NAME_NOT_FOUND},
      {"type check",
       {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, (PWSTR)L"Name", &mode,
        (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE, nullptr, 0},
       STATUS_OBJECT_TYPE_MISMATCH},
      {"direct without a name",  // (a routine keeps it from ending the table)
       {CollectStrings, RTL_QUERY_REGISTRY_DIRECT, nullptr, &mode, REG_NONE, nullptr, 0},
       STATUS_INVALID_PARAMETER},
  };
  for (auto& f : failures) {
    RTL_QUERY_REGISTRY_TABLE one[2] = {f.entry, {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"Q93Kus\\Parameters", one, &seen, nullptr), f.status)
        << f.what;
  }
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"Q93Kus\\Missing", table, &seen, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, L"Q93Kus\\Missing", table, &seen,
                                   nullptr),
            STATUS_SUCCESS);
}

}  // namespace
