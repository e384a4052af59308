// Tests of WdmRegistryKey against the simulated hive: roots and the separator rule,
// exact DWORD queries, value enumeration through the stack buffer and the pool retry,
// and handles and pool given back on every path, allocation failures included.
#include <map>
#include <string>
#include <vector>

#include "devnode.h"
#include "image.h"
#include "kernel_fixture.h"
#include "object.h"
#include "pool.h"
#include "registry.h"
#include "wdm_registry_key.h"

namespace {

namespace pool = sim::kernel::pool;
namespace reg = sim::kernel::registry;

const char kServices[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services";

class WdmRegistryKeyTest : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    handles_ = sim::kernel::HandleCount();
  }
  void TearDown() override {
    pool::ClearFaults();
    EXPECT_EQ(sim::kernel::HandleCount(), handles_);
    EXPECT_EQ(pool::LeakReport(), "");
    BootedKernel::TearDown();
  }
  size_t handles_ = 0;
};

std::string Utf8(const UNICODE_STRING& s) { return reg::ToUtf8(s.Buffer, s.Length / sizeof(WCHAR)); }

struct OpenCase {
  ULONG root;
  const WCHAR* relative;
  const char* hostPath;  // created before the open
  NTSTATUS status;
};

TEST_F(WdmRegistryKeyTest, OpensUnderEachRootWithOneSeparator) {
  const OpenCase cases[] = {
      {WdmRootServices, L"Q93Kus\\Parameters", "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Q93Kus\\Parameters", STATUS_SUCCESS},
      // A leading backslash on the relative path adds no second one.
      {WdmRootServices, L"\\Q93Kus", "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Q93Kus", STATUS_SUCCESS},
      {WdmRootControl, L"Q93KTest", "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Q93KTest", STATUS_SUCCESS},
      {WdmRootWindowsNt, L"Ports", "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports", STATUS_SUCCESS},
      {WdmRootDeviceMap, L"SERIALCOMM", "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", STATUS_SUCCESS},
      {WdmRootUser, L"Q93KTest", "\\Registry\\User\\Q93KTest", STATUS_SUCCESS},
      // An empty relative path opens the root itself.
      {WdmRootServices, L"", nullptr, STATUS_SUCCESS},
      {WdmRootServices, nullptr, nullptr, STATUS_SUCCESS},
      {WdmRootAbsolute, L"\\Registry\\Machine\\System", nullptr, STATUS_SUCCESS},
      {WdmRootAbsolute, L"Registry\\Machine\\System", nullptr, STATUS_SUCCESS},
      {WdmRootServices, L"NoSuchService", nullptr, STATUS_OBJECT_NAME_NOT_FOUND},
      {6, L"Q93Kus", nullptr, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hostPath ? c.hostPath : "(existing)");
    if (c.hostPath) reg::CreateKey(c.hostPath);
    WdmRegistryKey key;
    EXPECT_EQ(key.Open(c.root, c.relative), c.status);
    EXPECT_EQ(key.Status, c.status);
    EXPECT_EQ(key.IsOpen(), NT_SUCCESS(c.status));
  }
}

TEST_F(WdmRegistryKeyTest, CreateMakesTheKeyAndReopenClosesTheOldHandle) {
  WdmRegistryKey key;
  ASSERT_EQ(key.Open(WdmRootServices, L"Q93Kus", KEY_ALL_ACCESS, OBJ_CASE_INSENSITIVE, TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(reg::KeyExists(std::string(kServices) + "\\Q93Kus"));
  size_t open = sim::kernel::HandleCount();
  ASSERT_EQ(key.Open(WdmRootServices, L"Q93Kus\\Parameters", KEY_ALL_ACCESS, OBJ_CASE_INSENSITIVE, TRUE),
            STATUS_SUCCESS);
  EXPECT_EQ(sim::kernel::HandleCount(), open);
  EXPECT_EQ(Utf8(key.RelativePath.String), "Q93Kus\\Parameters");
  // A failed reopen leaves no handle behind either.
  EXPECT_EQ(key.Open(WdmRootServices, L"Missing"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(sim::kernel::HandleCount(), open - 1);
}

struct DwordCase {
  const char* name;
  ULONG type;
  std::vector<uint8_t> data;  // empty: value absent
  NTSTATUS status;
  ULONG result;
};

TEST_F(WdmRegistryKeyTest, QueryDwordTakesExactlyFourBytes) {
  const ULONG kUntouched = 0xDEADBEEF;
  const DwordCase cases[] = {
      {"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, STATUS_SUCCESS, 0x12345678},
      {"FourBinary", REG_BINARY, {1, 0, 0, 0}, STATUS_SUCCESS, 1},
      {"Short", REG_BINARY, {0x34, 0x12}, STATUS_OBJECT_TYPE_MISMATCH, kUntouched},
      {"Qword", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH, kUntouched},
      {"Absent", REG_DWORD, {}, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched},
  };
  std::string path = std::string(kServices) + "\\Q93Kus\\Parameters";
  reg::CreateKey(path);
  for (const auto& c : cases) {
    if (!c.data.empty()) reg::SetBinary(path, c.name, c.data, c.type);
  }
  WdmRegistryKey key;
  ASSERT_EQ(key.Open(WdmRootServices, L"Q93Kus\\Parameters"), STATUS_SUCCESS);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto name = reg::FromUtf8(c.name);
    name.push_back(0);
    ULONG value = kUntouched;
    EXPECT_EQ(key.QueryDword(name.data(), &value), c.status);
    EXPECT_EQ(value, c.result);
  }
}

TEST_F(WdmRegistryKeyTest, QueryOnAClosedKeyIsRefused) {
  WdmRegistryKey key;
  ULONG value = 5;
  EXPECT_EQ(key.QueryDword(L"Any", &value), STATUS_INVALID_HANDLE);
  EXPECT_EQ(key.EnumerateValue(nullptr, nullptr, 0, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_EQ(value, 5u);
}

struct Seen {
  ULONG type;
  std::vector<uint8_t> data;
};

// Values larger than the stack buffers (a 300-byte binary; a 130-character name) take
// the pool retry; small ones do not.
std::string LongName() { return std::string(130, 'L'); }

void FillEnumerationKey() {
  std::string path = std::string(kServices) + "\\Enum93";
  reg::SetDword(path, "Small", 7);
  reg::SetString(path, "Text", "COM5");
  reg::SetBinary(path, "Big", std::vector<uint8_t>(300, 0xAB));
  reg::SetDword(path, LongName(), 9);
}

TEST_F(WdmRegistryKeyTest, EnumeratesEveryValueWithNameAndData) {
  FillEnumerationKey();
  WdmRegistryKey key;
  ASSERT_EQ(key.Open(WdmRootServices, L"Enum93"), STATUS_SUCCESS);
  std::map<std::string, Seen> seen;
  WCHAR nameBuffer[200];
  uint8_t data[400];
  for (;;) {
    UNICODE_STRING name = {0, sizeof(nameBuffer), nameBuffer};
    WdmRegistryValueInfo info = {};
    NTSTATUS status = key.EnumerateValue(&name, data, sizeof(data), &info);
    if (status == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(info.NameLength, name.Length);
    seen[Utf8(name)] = Seen{info.Type, std::vector<uint8_t>(data, data + info.DataLength)};
  }
  EXPECT_EQ(key.EnumIndex, 4u);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen["Small"].type, (ULONG)REG_DWORD);
  EXPECT_EQ(seen["Small"].data, (std::vector<uint8_t>{7, 0, 0, 0}));
  EXPECT_EQ(seen["Big"].data, std::vector<uint8_t>(300, 0xAB));
  EXPECT_EQ(seen["Text"].type, (ULONG)REG_SZ);
  EXPECT_EQ(seen[LongName()].data, (std::vector<uint8_t>{9, 0, 0, 0}));
  // Every open starts the enumeration again.
  ASSERT_EQ(key.Open(WdmRootServices, L"Enum93"), STATUS_SUCCESS);
  EXPECT_EQ(key.EnumIndex, 0u);
}

TEST_F(WdmRegistryKeyTest, WithoutDataBufferOnlyNamesAreRead) {
  FillEnumerationKey();
  WdmRegistryKey key;
  ASSERT_EQ(key.Open(WdmRootServices, L"Enum93"), STATUS_SUCCESS);
  std::map<std::string, ULONG> types;
  WCHAR nameBuffer[200];
  for (;;) {
    UNICODE_STRING name = {0, sizeof(nameBuffer), nameBuffer};
    WdmRegistryValueInfo info = {};
    NTSTATUS status = key.EnumerateValue(&name, nullptr, 0, &info);
    if (status == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(info.DataLength, 0u);
    types[Utf8(name)] = info.Type;
  }
  EXPECT_EQ(types.size(), 4u);
  EXPECT_EQ(types[LongName()], (ULONG)REG_DWORD);
  EXPECT_EQ(types["Big"], (ULONG)REG_BINARY);
}

struct ShortCase {
  const char* what;
  USHORT nameBytes;
  ULONG dataBytes;
  bool nameCopied;
  bool dataCopied;
};

TEST_F(WdmRegistryKeyTest, ShortCallerBuffersReportOverflowWithSizes) {
  // One value "Text" = "COM5": name 8 bytes, data 10 bytes (with terminator).
  const ShortCase cases[] = {
      {"both fit", 8, 10, true, true},
      {"name one character short", 6, 10, false, true},
      {"data one byte short", 8, 9, true, false},
      {"neither", 0, 0, false, false},
  };
  reg::SetString(std::string(kServices) + "\\Short93", "Text", "COM5");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WdmRegistryKey key;
    ASSERT_EQ(key.Open(WdmRootServices, L"Short93"), STATUS_SUCCESS);
    WCHAR nameBuffer[8];
    uint8_t data[16] = {};
    UNICODE_STRING name = {99, c.nameBytes, nameBuffer};
    WdmRegistryValueInfo info = {};
    NTSTATUS status = key.EnumerateValue(&name, data, c.dataBytes, &info);
    EXPECT_EQ(status, c.nameCopied && c.dataCopied ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info.NameLength, 8u);
    EXPECT_EQ(info.DataLength, 10u);
    EXPECT_EQ(info.Type, (ULONG)REG_SZ);
    EXPECT_EQ(name.Length, c.nameCopied ? 8 : 0);
    EXPECT_EQ(data[0], c.dataCopied ? 'C' : 0);
    EXPECT_EQ(key.EnumIndex, 1u);
  }
}

// Each allocation an operation makes fails in turn; each run either succeeds or reports
// STATUS_INSUFFICIENT_RESOURCES, and the fixture checks that no handle or pool is left.
TEST_F(WdmRegistryKeyTest, EveryAllocationFailureIsReportedAndCleanedUp) {
  FillEnumerationKey();
  struct Operation {
    const char* name;
    NTSTATUS (*run)();
  };
  const Operation operations[] = {
      {"open", [] {
         WdmRegistryKey key;
         return key.Open(WdmRootServices, L"Enum93");
       }},
      {"create", [] {
         WdmRegistryKey key;
         return key.Open(WdmRootServices, L"Created93", KEY_ALL_ACCESS, OBJ_CASE_INSENSITIVE, TRUE);
       }},
      {"query", [] {
         WdmRegistryKey key;
         if (!NT_SUCCESS(key.Open(WdmRootServices, L"Enum93"))) return STATUS_UNSUCCESSFUL;
         ULONG value = 0;
         return key.QueryDword(L"Small", &value);
       }},
      {"enumerate", [] {
         WdmRegistryKey key;
         if (!NT_SUCCESS(key.Open(WdmRootServices, L"Enum93"))) return STATUS_UNSUCCESSFUL;
         WCHAR nameBuffer[200];
         uint8_t data[400];
         NTSTATUS status;
         do {
           UNICODE_STRING name = {0, sizeof(nameBuffer), nameBuffer};
           status = key.EnumerateValue(&name, data, sizeof(data), nullptr);
         } while (status == STATUS_SUCCESS);
         return status == STATUS_NO_MORE_ENTRIES ? STATUS_SUCCESS : status;
       }},
  };
  for (const auto& op : operations) {
    SCOPED_TRACE(op.name);
    unsigned long long injected = pool::InjectedFailures();
    bool succeeded = false;
    for (unsigned long long n = 1; n < 20 && !succeeded; ++n) {
      pool::FailNth(n);
      NTSTATUS status = op.run();
      pool::ClearFaults();
      if (status == STATUS_SUCCESS) {
        succeeded = true;
      } else if (status != STATUS_UNSUCCESSFUL) {
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "failing allocation " << n;
      }
      EXPECT_EQ(sim::kernel::HandleCount(), handles_);
      EXPECT_EQ(pool::LeakReport(), "");
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(pool::InjectedFailures(), injected);
  }
}

TEST_F(WdmRegistryKeyTest, FailedPoolRetryRepeatsTheSameValue) {
  reg::SetBinary(std::string(kServices) + "\\Retry93", "Big", std::vector<uint8_t>(300, 1));
  WdmRegistryKey key;
  ASSERT_EQ(key.Open(WdmRootServices, L"Retry93"), STATUS_SUCCESS);
  uint8_t data[400];
  pool::FailNth(1);
  EXPECT_EQ(key.EnumerateValue(nullptr, data, sizeof(data), nullptr), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(key.EnumIndex, 0u);
  WdmRegistryValueInfo info = {};
  EXPECT_EQ(key.EnumerateValue(nullptr, data, sizeof(data), &info), STATUS_SUCCESS);
  EXPECT_EQ(info.DataLength, 300u);
}

// OpenDeviceKey through the device node of a PDO: the class key under Control, or under
// Services on the 98 platform.
NTSTATUS NTAPI KeyTestEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class WdmDeviceKeyTest : public WdmRegistryKeyTest {
 protected:
  void SetUp() override {
    WdmRegistryKeyTest::SetUp();
    reg::SetString(std::string(kServices) + "\\KeyTest", "ImagePath",
                   "\\SystemRoot\\System32\\drivers\\KeyTest.sys", REG_EXPAND_SZ);
    reg::SetDword(std::string(kServices) + "\\KeyTest", "Type", 1);
    sim::kernel::RegisterBuiltinImage("KeyTest", KeyTestEntry);
    ASSERT_EQ(sim::kernel::LoadDriver("KeyTest", &driver_), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_), STATUS_SUCCESS);
    node_.driverKey = "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0003";
    node_.pdo = pdo_;
    sim::kernel::InfoOf(pdo_)->node = &node_;
    handles_ = sim::kernel::HandleCount();
  }
  void TearDown() override {
    if (pdo_) {
      sim::kernel::InfoOf(pdo_)->node = nullptr;
      IoDeleteDevice(pdo_);
    }
    IsWin98Platform = FALSE;
    WdmRegistryKeyTest::TearDown();
  }
  // The hive of `layout`, and the platform the library sees in it.
  void UseLayout(reg::Layout layout) {
    reg::Reset(layout);
    WdmDetectPlatform();
  }
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  sim::kernel::DeviceNode node_;
};

struct DeviceKeyCase {
  reg::Layout layout;
  const char* classRoot;
  const WCHAR* relative;
};

TEST_F(WdmDeviceKeyTest, OpensUnderTheDriverKeyOfThePlatform) {
  const DeviceKeyCase cases[] = {
      {reg::Layout::Nt, "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\", L"Parameters"},
      {reg::Layout::Nt, "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\", L"\\Parameters"},
      {reg::Layout::Win98, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class\\", L"Parameters"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.classRoot);
    UseLayout(c.layout);
    reg::SetDword(std::string(c.classRoot) + node_.driverKey + "\\Parameters", "BulkINRetryLimit", 5);
    WdmRegistryKey key;
    ASSERT_EQ(key.OpenDeviceKey(pdo_, c.relative), STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_EQ(key.QueryDword(L"BulkINRetryLimit", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 5u);
  }
}

TEST_F(WdmDeviceKeyTest, FailuresLeaveNoHandleOrPool) {
  UseLayout(reg::Layout::Nt);
  reg::CreateKey("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + node_.driverKey);
  PDEVICE_OBJECT other = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_SUCCESS);
  {
    WdmRegistryKey key;
    // Not the PDO of a device node: the property call refuses.
    EXPECT_EQ(key.OpenDeviceKey(other, L""), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(key.OpenDeviceKey(pdo_, L"Missing"), STATUS_OBJECT_NAME_NOT_FOUND);
  }
  IoDeleteDevice(other);
  bool succeeded = false;
  for (unsigned long long n = 1; n < 20 && !succeeded; ++n) {
    pool::FailNth(n);
    {
      WdmRegistryKey key;
      NTSTATUS status = key.OpenDeviceKey(pdo_, L"");
      pool::ClearFaults();
      succeeded = status == STATUS_SUCCESS;
      if (!succeeded) EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "failing allocation " << n;
    }
    EXPECT_EQ(sim::kernel::HandleCount(), handles_);
    EXPECT_EQ(pool::LeakReport(), "");
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
