// What the I/O manager answers about a Plug and Play device: its properties from the
// device node, its device and driver registry keys, and its device interfaces with the
// links user mode opens.
#include "drivers/io_test_fixture.h"

using namespace iotest;
using namespace sim::kernel;

namespace {

const GUID kSerialPortClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const char kSerialGuidText[] = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
const char kMachine[] = "\\Registry\\Machine\\System\\CurrentControlSet\\";

std::vector<UCHAR> Wide(std::initializer_list<const char*> parts) {
  std::vector<UCHAR> out;
  for (const char* p : parts) {
    std::vector<WCHAR> w = registry::FromUtf8(p);
    w.push_back(0);
    const auto* b = reinterpret_cast<const UCHAR*>(w.data());
    out.insert(out.end(), b, b + w.size() * sizeof(WCHAR));
  }
  return out;
}

std::vector<UCHAR> Ulong(ULONG v) {
  std::vector<UCHAR> out(sizeof v);
  memcpy(out.data(), &v, sizeof v);
  return out;
}

class IoPnpTest : public IoFixture {
 protected:
  void SetUp() override {
    IoFixture::SetUp();
    BuildStack();  // the named lower device plays the PDO
    node.instancePath = "USB\\VID_0FA7&PID_5E19\\0123456789";
    node.enumerator = "USB";
    node.hardwareIds = {"USB\\VID_0FA7&PID_5E19&REV_0100", "USB\\VID_0FA7&PID_5E19"};
    node.compatibleIds = {"USB\\Class_02"};
    node.description = "Q-93K";
    node.location = "Port_#0002.Hub_#0001";
    node.classGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
    node.driverKey = "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0003";
    node.pdoName = "\\Device\\IoTestLower0";
    node.address = 2;
    node.pdo = lower;
    InfoOf(lower)->node = &node;
  }
  void TearDown() override {
    if (lower) InfoOf(lower)->node = nullptr;
    IoFixture::TearDown();
  }
  DeviceNode node;
};

}  // namespace

struct PropertyCase {
  DEVICE_REGISTRY_PROPERTY property;
  std::vector<UCHAR> expected;
};

TEST_F(IoPnpTest, PropertiesComeFromTheDeviceNode) {
  registry::SetString(std::string(kMachine) + "Enum\\" + node.instancePath, "Mfg", "RYLE");
  const PropertyCase cases[] = {
      {DevicePropertyDeviceDescription, Wide({"Q-93K"})},
      {DevicePropertyHardwareID, Wide({"USB\\VID_0FA7&PID_5E19&REV_0100", "USB\\VID_0FA7&PID_5E19", ""})},
      {DevicePropertyCompatibleIDs, Wide({"USB\\Class_02", ""})},
      {DevicePropertyClassGuid, Wide({"{4D36E978-E325-11CE-BFC1-08002BE10318}"})},
      {DevicePropertyDriverKeyName, Wide({"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0003"})},
      {DevicePropertyManufacturer, Wide({"RYLE"})},
      {DevicePropertyLocationInformation, Wide({"Port_#0002.Hub_#0001"})},
      {DevicePropertyPhysicalDeviceObjectName, Wide({"\\Device\\IoTestLower0"})},
      {DevicePropertyEnumeratorName, Wide({"USB"})},
      {DevicePropertyAddress, Ulong(2)},
  };
  for (const PropertyCase& c : cases) {
    SCOPED_TRACE(c.property);
    ULONG needed = 0;
    UCHAR small[2];
    EXPECT_EQ(IoGetDeviceProperty(lower, c.property, sizeof small, small, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, c.expected.size());
    std::vector<UCHAR> buf(needed);
    ULONG got = 0;
    ASSERT_EQ(IoGetDeviceProperty(lower, c.property, needed, buf.data(), &got), STATUS_SUCCESS);
    EXPECT_EQ(got, needed);
    EXPECT_EQ(buf, c.expected);
  }
  ULONG n;
  UCHAR buf[64];
  // Only a PDO answers; what the node does not know is not found.
  EXPECT_EQ(IoGetDeviceProperty(upper, DevicePropertyHardwareID, sizeof buf, buf, &n), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(IoGetDeviceProperty(lower, DevicePropertyUINumber, sizeof buf, buf, &n), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoGetDeviceProperty(lower, DevicePropertyFriendlyName, sizeof buf, buf, &n), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoPnpTest, DeviceAndDriverKeysAreCreatedOnDemand) {
  HANDLE key;
  ASSERT_EQ(IoOpenDeviceRegistryKey(lower, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"PortName");
  const WCHAR com[] = L"COM5";
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, (PVOID)com, sizeof com), STATUS_SUCCESS);
  ZwClose(key);
  EXPECT_EQ(registry::GetString(std::string(kMachine) + "Enum\\" + node.instancePath + "\\Device Parameters",
                                "PortName"),
            "COM5");

  ASSERT_EQ(IoOpenDeviceRegistryKey(lower, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
  ZwClose(key);
  EXPECT_TRUE(registry::KeyExists(std::string(kMachine) + "Control\\Class\\" + node.driverKey));

  EXPECT_EQ(IoOpenDeviceRegistryKey(upper, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
  node.driverKey.clear();  // no driver installed yet: no driver key to give
  EXPECT_EQ(IoOpenDeviceRegistryKey(lower, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_PARAMETER);
}

TEST_F(IoPnpTest, DriverKeyOfThe98PlatformLivesUnderServices) {
  registry::Reset(registry::Layout::Win98);
  HANDLE key;
  ASSERT_EQ(IoOpenDeviceRegistryKey(lower, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
  ZwClose(key);
  EXPECT_TRUE(registry::KeyExists(std::string(kMachine) + "Services\\Class\\" + node.driverKey));
  EXPECT_FALSE(registry::KeyExists(std::string(kMachine) + "Control\\Class"));
}

TEST_F(IoPnpTest, InterfaceLinkOpensTheDeviceWhileEnabled) {
  for (const char* reference : {"", "MODEM"}) {
    SCOPED_TRACE(reference);
    UNICODE_STRING ref, link;
    std::vector<WCHAR> refText = registry::FromUtf8(reference);
    refText.push_back(0);
    RtlInitUnicodeString(&ref, refText.data());
    ASSERT_EQ(IoRegisterDeviceInterface(lower, &kSerialPortClass, *reference ? &ref : nullptr, &link), STATUS_SUCCESS);
    std::string name = registry::ToUtf8(link.Buffer, link.Length / sizeof(WCHAR));
    std::string want = std::string("\\??\\USB#VID_0FA7&PID_5E19#0123456789#") + kSerialGuidText;
    if (*reference) want += std::string("\\") + reference;
    EXPECT_EQ(name, want);
    EXPECT_TRUE(EnabledInterfaces(kSerialGuidText).empty());

    HANDLE h;
    EXPECT_EQ(OpenFile(name, GENERIC_READ, UserMode, nullptr, 0, &h), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(EnabledInterfaces("{86e0d1e0-8089-11d0-9ce4-08003e301f73}"), std::vector<std::string>({name}));
    ASSERT_EQ(OpenFile(name, GENERIC_READ, UserMode, nullptr, 0, &h), STATUS_SUCCESS);
    // The reference string reaches the driver as the file name.
    EXPECT_EQ(registry::ToUtf8(S().seenFileName.data(), S().seenFileName.size()),
              *reference ? std::string("\\") + reference : std::string());
    CloseHandle(h);

    ASSERT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(EnabledInterfaces(kSerialGuidText).empty());
    EXPECT_EQ(OpenFile(name, GENERIC_READ, UserMode, nullptr, 0, &h), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
  }
  UNICODE_STRING unknown;
  RtlInitUnicodeString(&unknown, L"\\??\\ROOT#NOTHING#0000#{86E0D1E0-8089-11D0-9CE4-08003E301F73}");
  EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  UNICODE_STRING link;
  EXPECT_EQ(IoRegisterDeviceInterface(upper, &kSerialPortClass, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);
}
