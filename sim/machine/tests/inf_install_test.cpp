// Installing INF files on the simulated PC: the package's Q93Kus.inf (service, driver
// database record, driver key values, uninstall entry, files), the devices that get their
// driver from it, AddReg semantics, refusals that leave nothing behind, and uninstall.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

#include "machine/machine.h"
#include "machine_fixture.h"
#include "pnp.h"
#include "registry.h"

namespace {

namespace reg = sim::kernel::registry;
namespace pnp = sim::kernel::pnp;
using sim::machine::MachineOptions;
using sim::machine::UninstallResult;
using Strings = std::vector<std::string>;

constexpr const char* kServices = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr const char* kClass = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
constexpr const char* kUsbGuid = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr const char* kPhoneId = "USB\\VID_0FA7&PID_5E19";
const std::string kRecord = std::string(pnp::kDriverDatabase) + "\\USB#VID_0FA7&PID_5E19";
const std::string kUninstallKey =
    "\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RYLE Q93K USB DEVICE";

// ---- A stand-in for the bus driver: attaches, passes everything down, leaves at removal ----

struct Ext {
  PDEVICE_OBJECT lower;
};

NTSTATUS StubAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS st = IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(st)) return st;
  static_cast<Ext*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS StubPnp(PDEVICE_OBJECT d, PIRP irp) {
  PDEVICE_OBJECT lower = static_cast<Ext*>(d->DeviceExtension)->lower;
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS st = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(d);
  }
  return st;
}

NTSTATUS StubPower(PDEVICE_OBJECT d, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<Ext*>(d->DeviceExtension)->lower, irp);
}

void StubUnload(PDRIVER_OBJECT) {}

NTSTATUS StubEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = StubAdd;
  driver->MajorFunction[IRP_MJ_PNP] = StubPnp;
  driver->MajorFunction[IRP_MJ_POWER] = StubPower;
  driver->DriverUnload = StubUnload;
  return STATUS_SUCCESS;
}

// ---- Fixture -------------------------------------------------------------------------------

class InstallTest : public sim::machine::testing::MachineFixture {
 protected:
  void SetUp() override {
    MachineFixture::SetUp();
    // The bus driver's image is the stand-in above, so that a root device can start.
    machine().AddBuiltinDriver("Q93Kus", StubEntry);
  }

  std::string InstallPhoneInf() {
    std::string error;
    auto name = machine().InstallInf(machine().PackageFile("RyleUsb/Q93Kus.inf"), &error);
    EXPECT_TRUE(name) << error;
    return name.value_or("");
  }

  // Writes `text` as an INF in a fresh folder and returns its path.
  std::string WriteInf(const std::string& text, const std::string& name = "t.inf") {
    std::string dir = ::testing::TempDir() + "machine_inf_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string cmd = "mkdir -p '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
    std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  static std::string DriverKeyOf(sim::kernel::DeviceNode* n) { return kClass + n->driverKey; }
};

TEST_F(InstallTest, PhoneInfWritesServiceRecordTemplateAndUninstallEntry) {
  EXPECT_EQ(InstallPhoneInf(), "oem0.inf");

  const std::string svc = std::string(kServices) + "Q93Kus";
  EXPECT_EQ(reg::GetDword(svc, "Type"), 1u);
  EXPECT_EQ(reg::GetDword(svc, "Start"), 3u);
  EXPECT_EQ(reg::GetDword(svc, "ErrorControl"), 1u);
  EXPECT_EQ(reg::GetString(svc, "ImagePath"), "\\SystemRoot\\System32\\drivers\\Q93Kus.sys");
  EXPECT_EQ(reg::GetString(svc, "DisplayName"), "RYLE Q-93K USB Bus Driver");
  // Exactly one service: the package's other drivers come with their own INF files.
  Strings services;
  for (const std::string& s : reg::SubKeys(std::string(kServices).substr(0, strlen(kServices) - 1)))
    if (s.rfind("Q93K", 0) == 0) services.push_back(s);
  EXPECT_EQ(services, Strings{"Q93Kus"});

  EXPECT_EQ(reg::GetString(kRecord, "Service"), "Q93Kus");
  EXPECT_EQ(reg::GetString(kRecord, "ClassGUID"), kUsbGuid);
  EXPECT_EQ(reg::GetString(kRecord, "DeviceDesc"), "RYLE Q-93K USB Device");
  EXPECT_EQ(reg::GetDword(kRecord + "\\Driver\\Parameters", "UsbMode"), 1u);
  struct Child {
    const char* key;
    const char* desc;
    const char* id;
  } children[] = {
      {"MODEM", "RYLE Q-93K Modem", "KOVARA_RYLE\\VID_0FA7&PID_5E19&MODEM"},
      {"OBEX", "RYLE Q-93K OBEX", "KOVARA_RYLE\\VID_0FA7&PID_5E19&OBEX"},
      {"ATCOMM", "RYLE Q-93K AT Command Port", "KOVARA_RYLE\\VID_0FA7&PID_5E19&AT"},
  };
  const std::string info = kRecord + "\\Driver\\Parameters\\DeviceInfo";
  EXPECT_EQ(reg::SubKeys(info).size(), 3u);
  for (const Child& c : children) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(reg::ValueNames(info + "\\" + c.key), Strings{c.desc});
    EXPECT_EQ(reg::GetString(info + "\\" + c.key, c.desc), c.id);
  }
  EXPECT_FALSE(reg::GetDword(kRecord + "\\Driver\\Parameters", "Inst98"));

  EXPECT_EQ(reg::GetString(kUninstallKey, "DisplayName"), "RYLE Q-93K USB Driver");
  EXPECT_EQ(reg::GetString(kUninstallKey, "UninstallString"), "C:\\Program Files\\RYLE\\Q93K\\Q93Kui.exe");
  EXPECT_EQ(reg::GetType(kUninstallKey, "UninstallString"), ULONG(REG_EXPAND_SZ));
  EXPECT_EQ(reg::GetDword(kUninstallKey, "NoModify"), 1u);

  auto& installer = machine().Installer();
  EXPECT_TRUE(installer.FileExists("C:\\WINDOWS\\system32\\DRIVERS\\Q93Kus.sys"));
  EXPECT_TRUE(installer.FileExists("C:\\WINDOWS\\inf\\oem0.inf"));
  auto record = installer.Find("OEM0.INF");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->originalName, "Q93Kus.inf");
  EXPECT_EQ(record->hardwareIds, Strings{kPhoneId});
  EXPECT_EQ(record->services, Strings{"Q93Kus"});
  EXPECT_EQ(record->files, Strings{"C:\\WINDOWS\\System32\\drivers\\Q93Kus.sys"});
}

TEST_F(InstallTest, RootDeviceGetsDriverKeyFromTheInf) {
  InstallPhoneInf();
  sim::kernel::DeviceNode* n = pnp::CreateRootDevice(kPhoneId);
  pnp::WaitIdle();
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->state, sim::kernel::NodeState::Started);
  EXPECT_EQ(n->service, "Q93Kus");
  EXPECT_EQ(n->classGuid, kUsbGuid);
  ASSERT_FALSE(n->driverKey.empty());
  std::string drv = DriverKeyOf(n);
  EXPECT_EQ(reg::GetDword(drv + "\\Parameters", "UsbMode"), 1u);
  EXPECT_EQ(reg::GetString(drv + "\\Parameters\\DeviceInfo\\OBEX", "RYLE Q-93K OBEX"),
            "KOVARA_RYLE\\VID_0FA7&PID_5E19&OBEX");
  EXPECT_EQ(reg::GetString(drv, "InfPath"), "oem0.inf");
  EXPECT_EQ(reg::GetString(drv, "InfSection"), "Q93Kus_Install");
  EXPECT_EQ(reg::GetString(drv, "InfSectionExt"), ".NT");
}

TEST_F(InstallTest, DeviceWaitingForDriverStartsAfterInstall) {
  sim::kernel::DeviceNode* n = pnp::CreateRootDevice(kPhoneId);
  pnp::WaitIdle();
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(pnp::NodeStatus(n).problem, ULONG(pnp::kProbFailedInstall));
  InstallPhoneInf();
  EXPECT_EQ(n->state, sim::kernel::NodeState::Started);
  EXPECT_EQ(reg::GetDword(DriverKeyOf(n) + "\\Parameters", "UsbMode"), 1u);
}

TEST_F(InstallTest, UninstallRemovesRecordAndInfButLeavesServiceAndHklm) {
  std::string name = InstallPhoneInf();
  EXPECT_EQ(machine().UninstallInf(name), UninstallResult::Ok);
  EXPECT_FALSE(reg::KeyExists(kRecord));
  EXPECT_FALSE(machine().Installer().FileExists("C:\\WINDOWS\\inf\\" + name));
  EXPECT_FALSE(machine().Installer().Find(name));
  // Windows leaves these for the package's uninstaller.
  EXPECT_TRUE(reg::KeyExists(std::string(kServices) + "Q93Kus"));
  EXPECT_TRUE(reg::KeyExists(kUninstallKey));
  EXPECT_TRUE(machine().Installer().FileExists("C:\\WINDOWS\\System32\\drivers\\Q93Kus.sys"));
  EXPECT_EQ(machine().UninstallInf(name), UninstallResult::NotInstalled);
}

TEST_F(InstallTest, UninstallOfInfInUseNeedsForce) {
  std::string name = InstallPhoneInf();
  pnp::CreateRootDevice(kPhoneId);
  pnp::WaitIdle();
  EXPECT_EQ(machine().UninstallInf(name), UninstallResult::InUse);
  EXPECT_TRUE(reg::KeyExists(kRecord));
  EXPECT_EQ(machine().UninstallInf(name, true), UninstallResult::Ok);
  EXPECT_FALSE(reg::KeyExists(kRecord));
}

TEST_F(InstallTest, SameInfAgainKeepsItsNameAnotherGetsTheNext) {
  EXPECT_EQ(InstallPhoneInf(), "oem0.inf");
  EXPECT_EQ(InstallPhoneInf(), "oem0.inf");
  std::string other = WriteInf(
      "[Version]\nSignature=\"$Windows NT$\"\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\nClass=Ports\n"
      "[Manufacturer]\nM=Models\n[Models]\nPort = Inst, SIM\\PORT\n"
      "[Inst.NT]\n[Inst.NT.Services]\nAddService = Q93Kus, 2, Svc\n"
      "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\Q93Kus.sys\n");
  std::string error;
  EXPECT_EQ(machine().InstallInf(other, &error).value_or(error), "oem1.inf");
  EXPECT_EQ(machine().Installer().Installed().size(), 2u);
}

// ---- The .HW section: device key values and filter drivers ---------------------------------

TEST_F(InstallTest, HardwareSectionFillsDeviceTemplateAndFilters) {
  std::string path = WriteInf(
      "[Version]\nSignature=\"$Windows NT$\"\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\nClass=Ports\n"
      "[Manufacturer]\n%Mfg%=Models,NTx86\n[Models.NTx86]\n%Port% = Inst, SIM\\PORT, SIM\\COMPAT\n"
      "[Inst.NTx86]\nAddReg = Drv\n[Drv]\nHKR,,FuncMode,0x00010001,2\n"
      "[Inst.NTx86.HW]\nAddReg = Hw\n"
      "[Hw]\nHKR,,PortName,,\"COM7\"\nHKR,,UpperFilters,0x00010000,\"Q93Kus\"\n"
      "HKR,,LowerFilters,0x00010008,\"Low1\"\nHKR,,LowerFilters,0x00010008,\"Low2\",\"Low1\"\n"
      "[Inst.NTx86.Services]\nAddService = Q93Kus, 0x00000002, Svc\n"
      "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\Q93Kus.sys\n"
      "[Strings]\nMfg=RYLE\nPort=\"Sim Port\"\n");
  std::string error;
  ASSERT_TRUE(machine().InstallInf(path, &error)) << error;
  for (const char* id : {"SIM#PORT", "SIM#COMPAT"}) {
    SCOPED_TRACE(id);
    std::string rec = std::string(pnp::kDriverDatabase) + "\\" + id;
    EXPECT_EQ(reg::GetString(rec + "\\" + sim::machine::kDeviceTemplate, "PortName"), "COM7");
    EXPECT_FALSE(reg::GetMultiString(rec + "\\" + sim::machine::kDeviceTemplate, "UpperFilters"));
    EXPECT_EQ(reg::GetMultiString(rec, "UpperFilters"), Strings{"Q93Kus"});
    EXPECT_EQ(reg::GetMultiString(rec, "LowerFilters"), (Strings{"Low1", "Low2"}));
    EXPECT_EQ(reg::GetDword(rec + "\\Driver", "FuncMode"), 2u);
    EXPECT_EQ(reg::GetString(rec, "Class"), "Ports");
    EXPECT_EQ(reg::GetString(rec, "Mfg"), "RYLE");
  }
}

TEST_F(InstallTest, HardwareSectionValuesReachTheDevicesOwnParameters) {
  std::string path = WriteInf(
      "[Version]\nSignature=\"$Windows NT$\"\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\nClass=Ports\n"
      "[Manufacturer]\n%Mfg%=Models,NTx86\n[Models.NTx86]\n%Port% = Inst, SIM\\PORT\n"
      "[Inst.NTx86]\nAddReg = Drv\n[Drv]\nHKR,,FuncMode,0x00010001,2\n"
      "[Inst.NTx86.HW]\nAddReg = Hw\n[Hw]\nHKR,,PortName,,\"COM7\"\n"
      "[Inst.NTx86.Services]\nAddService = Q93Kus, 0x00000002, Svc\n"
      "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\Q93Kus.sys\n"
      "[Strings]\nMfg=RYLE\nPort=\"Sim Port\"\n");
  std::string error;
  ASSERT_TRUE(machine().InstallInf(path, &error)) << error;
  sim::kernel::DeviceNode* n = pnp::CreateRootDevice("SIM\\PORT");
  pnp::WaitIdle();
  ASSERT_NE(n, nullptr);
  std::string enumKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + n->instancePath;
  EXPECT_EQ(reg::GetString(enumKey + "\\Device Parameters", "PortName"), "COM7");
  EXPECT_FALSE(reg::GetDword(enumKey + "\\Device Parameters", "FuncMode"));
  EXPECT_EQ(reg::GetDword(DriverKeyOf(n), "FuncMode"), 2u);
}

// ---- Include and Needs: sections of another INF of the package -----------------------------

TEST_F(InstallTest, NeedsRunsSectionsOfAnIncludedInf) {
  WriteInf("[Version]\nSignature=\"$Windows NT$\"\n[Shared.NT]\nAddReg = SharedReg\n"
           "[SharedReg]\nHKLM,Software\\Shared,V,0x00010001,5\nHKR,,FromShared,,\"yes\"\n",
           "shared.inf");
  std::string path = WriteInf(
      "[Version]\nSignature=\"$Windows NT$\"\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\n"
      "[Manufacturer]\nM=Models\n[Models]\nD = Inst, SIM\\D\n"
      "[Inst.NT]\nInclude = shared.inf, missing-system.inf\nNeeds = Shared.NT, NotAnywhere\n"
      "[Inst.NT.Services]\nAddService = Q93Kus, 2, Svc\n"
      "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\Q93Kus.sys\n");
  std::string error;
  ASSERT_TRUE(machine().InstallInf(path, &error)) << error;
  EXPECT_EQ(reg::GetDword("\\Registry\\Machine\\Software\\Shared", "V"), 5u);
  EXPECT_EQ(reg::GetString(std::string(pnp::kDriverDatabase) + "\\SIM#D\\Driver", "FromShared"), "yes");
}

// ---- AddReg and DelReg semantics -----------------------------------------------------------

struct AddRegCase {
  const char* name;
  std::function<void(const std::string& key)> before;  // state of HKLM\Software\T before
  std::string lines;                                   // the [Reg] section
  std::function<void(const std::string& key)> check;
};

class AddRegTest : public InstallTest, public ::testing::WithParamInterface<AddRegCase> {};

const std::string kT = "\\Registry\\Machine\\Software\\T";

TEST_P(AddRegTest, WritesAsWindows) {
  const AddRegCase& c = GetParam();
  if (c.before) c.before(kT);
  std::string path = WriteInf(
      "[Version]\nSignature=\"$CHICAGO$\"\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\n"
      "[Manufacturer]\nM=Models\n[Models]\nD = Inst, SIM\\D\n"
      "[Inst.NT]\nDelReg = Del\nAddReg = Reg\n[Del]\n[Reg]\n" +
      c.lines +
      "\n[Inst.NT.Services]\nAddService = Q93Kus, 2, Svc\n"
      "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\Q93Kus.sys\n");
  std::string error;
  ASSERT_TRUE(machine().InstallInf(path, &error)) << error;
  c.check(kT);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, AddRegTest,
    ::testing::Values(
        AddRegCase{"SzByDefault", nullptr, "HKLM,Software\\T,V,,\"a b\"",
                   [](auto& k) {
                     EXPECT_EQ(reg::GetType(k, "V"), ULONG(REG_SZ));
                     EXPECT_EQ(reg::GetString(k, "V"), "a b");
                   }},
        AddRegCase{"Dword", nullptr, "HKLM,Software\\T,V,0x00010001,0x20",
                   [](auto& k) { EXPECT_EQ(reg::GetDword(k, "V"), 0x20u); }},
        AddRegCase{"MultiSz", nullptr, "HKLM,Software\\T,V,0x00010000,a,\"b,c\"",
                   [](auto& k) { EXPECT_EQ(reg::GetMultiString(k, "V"), (Strings{"a", "b,c"})); }},
        AddRegCase{"ExpandSz", nullptr, "HKLM,Software\\T,V,0x00020000,\"%%SystemRoot%%\\x\"",
                   [](auto& k) {
                     EXPECT_EQ(reg::GetType(k, "V"), ULONG(REG_EXPAND_SZ));
                     EXPECT_EQ(reg::GetString(k, "V"), "%SystemRoot%\\x");
                   }},
        AddRegCase{"BinaryHexBytes", nullptr, "HKLM,Software\\T,V,0x00000001,01,ff,7A",
                   [](auto& k) {
                     EXPECT_EQ(reg::GetType(k, "V"), ULONG(REG_BINARY));
                     EXPECT_EQ(reg::GetBinary(k, "V"), (std::vector<uint8_t>{0x01, 0xFF, 0x7A}));
                   }},
        AddRegCase{"KeyOnlyLine", nullptr, "HKLM,Software\\T\\Sub",
                   [](auto& k) {
                     EXPECT_TRUE(reg::KeyExists(k + "\\Sub"));
                     EXPECT_TRUE(reg::ValueNames(k + "\\Sub").empty());
                   }},
        AddRegCase{"DefaultValueByEmptyName", nullptr, "HKLM,Software\\T,,,\"d\"",
                   [](auto& k) { EXPECT_EQ(reg::GetString(k, ""), "d"); }},
        AddRegCase{"NoClobberKeepsExisting", [](auto& k) { reg::SetString(k, "V", "old"); },
                   "HKLM,Software\\T,V,0x00000002,\"new\"",
                   [](auto& k) { EXPECT_EQ(reg::GetString(k, "V"), "old"); }},
        AddRegCase{"NoClobberWritesMissing", nullptr, "HKLM,Software\\T,V,0x00000002,\"new\"",
                   [](auto& k) { EXPECT_EQ(reg::GetString(k, "V"), "new"); }},
        AddRegCase{"OverwriteReplaces", [](auto& k) { reg::SetDword(k, "V", 7); }, "HKLM,Software\\T,V,0x00010001,9",
                   [](auto& k) { EXPECT_EQ(reg::GetDword(k, "V"), 9u); }},
        AddRegCase{"AppendAddsOnlyNew", [](auto& k) { reg::SetMultiString(k, "V", {"a", "b"}); },
                   "HKLM,Software\\T,V,0x00010008,\"B\",\"c\"",
                   [](auto& k) { EXPECT_EQ(reg::GetMultiString(k, "V"), (Strings{"a", "b", "c"})); }},
        AddRegCase{"DelValFlag", [](auto& k) { reg::SetString(k, "V", "x"); }, "HKLM,Software\\T,V,0x00000004",
                   [](auto& k) { EXPECT_FALSE(reg::GetType(k, "V")); }},
        AddRegCase{"DelRegRunsBeforeAddReg",
                   [](auto& k) { reg::SetString(k + "\\Gone", "x", "1"); },
                   "HKLM,Software\\T,V,,\"kept\"\n[Del]\nHKLM,Software\\T\\Gone\nHKLM,Software\\T,V",
                   [](auto& k) {
                     EXPECT_FALSE(reg::KeyExists(k + "\\Gone"));
                     EXPECT_EQ(reg::GetString(k, "V"), "kept");
                   }},
        AddRegCase{"UserAndClassRoots", nullptr, "HKCU,Software\\U,V,,\"u\"\nHKCR,.q93k,,,\"cls\"",
                   [](auto&) {
                     EXPECT_EQ(reg::GetString("\\Registry\\User\\.Default\\Software\\U", "V"), "u");
                     EXPECT_EQ(reg::GetString("\\Registry\\Machine\\Software\\Classes\\.q93k", ""), "cls");
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Refusals: checked before anything is written ------------------------------------------

struct RefusalCase {
  const char* name;
  std::string inf;
  std::string error;  // part of the message
};

class RefusalTest : public InstallTest, public ::testing::WithParamInterface<RefusalCase> {};

const std::string kGoodHead =
    "[Version]\nSignature=\"$Windows NT$\"\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\n"
    "[Manufacturer]\nM=Models\n[Models]\nD = Inst, SIM\\D\n";
const std::string kGoodService =
    "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\Q93Kus.sys\n"
    "[Uninst]\nHKLM,Software\\Refused,V,,1\n";

TEST_P(RefusalTest, LeavesNothingBehind) {
  const RefusalCase& c = GetParam();
  std::string error;
  EXPECT_FALSE(machine().InstallInf(WriteInf(c.inf), &error));
  EXPECT_NE(error.find(c.error), std::string::npos) << error;
  EXPECT_NE(error.find("t.inf"), std::string::npos) << error;
  EXPECT_FALSE(reg::KeyExists(std::string(pnp::kDriverDatabase) + "\\SIM#D"));
  EXPECT_FALSE(reg::KeyExists(std::string(kServices) + "Q93Kus"));
  EXPECT_FALSE(reg::KeyExists("\\Registry\\Machine\\Software\\Refused"));
  EXPECT_TRUE(machine().Installer().Installed().empty());
  EXPECT_FALSE(machine().Installer().FileExists("C:\\WINDOWS\\inf\\oem0.inf"));
}

INSTANTIATE_TEST_SUITE_P(
    Broken, RefusalTest,
    ::testing::Values(
        RefusalCase{"UnknownSignature",
                    "[Version]\nSignature=\"$Unknown$\"\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\n",
                    "signature \"$Unknown$\""},
        RefusalCase{"NoClassGuid", "[Version]\nSignature=\"$Windows NT$\"\n[Manufacturer]\n", "ClassGuid"},
        RefusalCase{"BadDriverVer",
                    "[Version]\nSignature=\"$Windows NT$\"\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\n"
                    "DriverVer=2026-12-11,1.0\n",
                    "DriverVer"},
        RefusalCase{"MissingInstallSection", kGoodHead + "[Inst.NTamd64]\n", "install section [Inst] not found"},
        RefusalCase{"NoFunctionDriver",
                    kGoodHead + "[Inst.NT]\nAddReg=Uninst\n[Inst.NT.Services]\nAddService = Q93Kus, 0, Svc\n" +
                        kGoodService,
                    "names no function driver"},
        RefusalCase{"MissingSourceFile",
                    kGoodHead + "[Inst.NT]\nAddReg=Uninst\nCopyFiles=Files\n[Files]\nQ93Kus.sys\nMissing.sys\n"
                                "[Inst.NT.Services]\nAddService = Q93Kus, 2, Svc\n" + kGoodService,
                    "source file Missing.sys not found"},
        RefusalCase{"ServiceWithoutBinary",
                    kGoodHead + "[Inst.NT]\nAddReg=Uninst\n[Inst.NT.Services]\nAddService = Q93Kus, 2, Svc\n"
                                "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\n[Uninst]\nHKLM,Software\\Refused,V,,1\n",
                    "needs ServiceBinary"},
        RefusalCase{"BadDword",
                    kGoodHead + "[Inst.NT]\nAddReg=Uninst,Bad\n[Bad]\nHKR,,X,0x00010001,lots\n"
                                "[Inst.NT.Services]\nAddService = Q93Kus, 2, Svc\n" + kGoodService,
                    "t.inf(11): REG_DWORD value \"lots\""},
        RefusalCase{"UnknownRoot",
                    kGoodHead + "[Inst.NT]\nAddReg=Uninst,Bad\n[Bad]\nHKXX,Software\\Y,V,,1\n"
                                "[Inst.NT.Services]\nAddService = Q93Kus, 2, Svc\n" + kGoodService,
                    "unknown registry root \"HKXX\""},
        RefusalCase{"BadServiceAddReg",
                    kGoodHead + "[Inst.NT]\nAddReg=Uninst\n[Inst.NT.Services]\nAddService = Q93Kus, 2, Svc\n"
                                "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\Q93Kus.sys\n"
                                "AddReg = SvcReg\n[SvcReg]\nHKR,Parameters,X,0x00010001,many\n"
                                "[Uninst]\nHKLM,Software\\Refused,V,,1\n",
                    "REG_DWORD value \"many\""},
        RefusalCase{"ParseError", kGoodHead + "[Inst.NT]\nAddReg = \"open\n", "t.inf(9): unterminated quoted string"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The 98 platform -----------------------------------------------------------------------

class Win98InstallTest : public sim::machine::testing::MachineFixture {
 protected:
  MachineOptions MakeOptions() override {
    MachineOptions o;
    o.win98 = true;
    return o;
  }
};

TEST_F(Win98InstallTest, NtOnlyInfIsRefused) {
  std::string error;
  EXPECT_FALSE(machine().InstallInf(machine().PackageFile("RyleUsb/Q93Kus.inf"), &error));
  EXPECT_NE(error.find("is not one this Windows installs"), std::string::npos) << error;
  EXPECT_FALSE(reg::KeyExists(kRecord));
}

}  // namespace
