// Which models and install sections an INF's decorations lead to on each platform, as
// Windows chooses them: architecture, version not above the running one, highest version
// first, the undecorated fallback (never on 64-bit), and the 98 platform reading none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/inf_install.h"

namespace {

using sim::machine::Arch;
using sim::machine::ChooseInstallSection;
using sim::machine::ChooseModelsSection;
using sim::machine::Platform;
using sim::machine::inf::InfFile;
using Strings = std::vector<std::string>;

Platform Nt(unsigned major, unsigned minor, Arch arch = Arch::X86, unsigned productType = 1) {
  Platform p;
  p.major = major;
  p.minor = minor;
  p.arch = arch;
  p.productType = productType;
  return p;
}
Platform Win98() {
  Platform p;
  p.nt = false;
  p.major = 4;
  p.minor = 10;
  return p;
}

InfFile WithSections(const Strings& sections) {
  std::string text;
  for (const std::string& s : sections) text += "[" + s + "]\nx = 1\n";
  auto inf = InfFile::Parse(text, "d.inf", nullptr);
  EXPECT_TRUE(inf);
  return *inf;
}

struct ModelsCase {
  const char* name;
  Platform platform;
  Strings decorations;  // as listed on the [Manufacturer] line
  Strings sections;     // models sections present
  std::string expected; // empty: none applies
};

class ModelsDecorationTest : public ::testing::TestWithParam<ModelsCase> {};

TEST_P(ModelsDecorationTest, PicksAsWindows) {
  const ModelsCase& c = GetParam();
  auto chosen = ChooseModelsSection(WithSections(c.sections), "M", c.decorations, c.platform);
  EXPECT_EQ(chosen.value_or(""), c.expected);
}

const Strings kAll = {"M", "M.NTx86", "M.NTamd64"};
const Strings kVersions = {"M", "M.NTx86", "M.NTx86.6.0", "M.NTx86.6.1", "M.NTamd64", "M.NTamd64.6.1"};
const Strings kVersionDecorations = {"NTx86", "NTx86.6.0", "NTx86.6.1", "NTamd64", "NTamd64.6.1"};

INSTANTIATE_TEST_SUITE_P(
    Platforms, ModelsDecorationTest,
    ::testing::Values(
        ModelsCase{"XpX86", Nt(5, 1), {"NTx86", "NTamd64"}, kAll, "M.NTx86"},
        ModelsCase{"Server2003Amd64", Nt(5, 2, Arch::Amd64), {"NTx86", "NTamd64"}, kAll, "M.NTamd64"},
        ModelsCase{"Win7X86HighestVersion", Nt(6, 1), kVersionDecorations, kVersions, "M.NTx86.6.1"},
        ModelsCase{"VistaX86NotAboveRunning", Nt(6, 0), kVersionDecorations, kVersions, "M.NTx86.6.0"},
        ModelsCase{"XpX86OnlyPlainArch", Nt(5, 1), kVersionDecorations, kVersions, "M.NTx86"},
        ModelsCase{"Win7Amd64", Nt(6, 1, Arch::Amd64), kVersionDecorations, kVersions, "M.NTamd64.6.1"},
        ModelsCase{"VistaAmd64FallsBackToArchOnly", Nt(6, 0, Arch::Amd64), kVersionDecorations, kVersions, "M.NTamd64"},
        ModelsCase{"NoDecorationMatchFallsBack", Nt(5, 1), {"NTx86.6.0"}, {"M", "M.NTx86.6.0"}, "M"},
        ModelsCase{"Amd64NeverTakesUndecorated", Nt(6, 1, Arch::Amd64), {"NTx86"}, {"M", "M.NTx86"}, ""},
        ModelsCase{"Win2000IgnoresDecorations", Nt(5, 0), {"NTx86"}, {"M", "M.NTx86"}, "M"},
        ModelsCase{"Win98IgnoresDecorations", Win98(), {"NTx86"}, {"M", "M.NTx86"}, "M"},
        ModelsCase{"Win98WithoutPlainSection", Win98(), {"NTx86"}, {"M.NTx86"}, ""},
        ModelsCase{"ArchBeatsPlainNtAtSameVersion", Nt(6, 1), {"NT", "NTx86"}, {"M.NT", "M.NTx86"}, "M.NTx86"},
        ModelsCase{"VersionBeatsArch", Nt(6, 1), {"NT.6.1", "NTx86"}, {"M.NT.6.1", "M.NTx86"}, "M.NT.6.1"},
        ModelsCase{"ProductTypeMustMatch", Nt(6, 1), {"NTx86.6.1.3", "NTx86.6.0"}, {"M.NTx86.6.1.3", "M.NTx86.6.0"},
                   "M.NTx86.6.0"},
        ModelsCase{"ListedButMissingSection", Nt(5, 1), {"NTx86"}, {"M"}, "M"},
        ModelsCase{"UnlistedSectionIgnored", Nt(5, 1), {}, {"M", "M.NTx86"}, "M"},
        ModelsCase{"MalformedDecorationIgnored", Nt(5, 1), {"NTx86.five"}, {"M", "M.NTx86.five"}, "M"}),
    [](const auto& info) { return std::string(info.param.name); });

struct InstallCase {
  const char* name;
  Platform platform;
  Strings sections;
  std::string expected;
};

class InstallDecorationTest : public ::testing::TestWithParam<InstallCase> {};

TEST_P(InstallDecorationTest, PicksAsWindows) {
  const InstallCase& c = GetParam();
  auto chosen = ChooseInstallSection(WithSections(c.sections), "I", c.platform);
  EXPECT_EQ(chosen.value_or(""), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, InstallDecorationTest,
    ::testing::Values(
        InstallCase{"X86ArchFirst", Nt(5, 1), {"I", "I.NT", "I.NTx86", "I.NTamd64"}, "I.NTx86"},
        InstallCase{"Amd64ArchFirst", Nt(6, 1, Arch::Amd64), {"I", "I.NT", "I.NTx86", "I.NTamd64"}, "I.NTamd64"},
        InstallCase{"NtBeforePlain", Nt(5, 1), {"I", "I.NT"}, "I.NT"},
        InstallCase{"OtherArchNeverUsed", Nt(6, 1, Arch::Amd64), {"I.NT", "I.NTx86"}, "I.NT"},
        InstallCase{"PlainWhenNothingElse", Nt(5, 1), {"I", "I.NTamd64"}, "I"},
        InstallCase{"Win98PlainOnly", Win98(), {"I", "I.NT", "I.NTx86"}, "I"},
        InstallCase{"Win98NothingForNtOnly", Win98(), {"I.NT"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
