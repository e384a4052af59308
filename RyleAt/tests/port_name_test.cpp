// RegisterPortName through Q93Kat's arrival on the AT child installed from Q93Kpt.inf: the
// port enters the NT "Ports" list once per device instance, a missing or unusable
// "PortName" is left alone, and a name of any length never overruns the name buffer.
#include <optional>

#include "at_fixture.h"

namespace attest {
namespace {

struct PortNameCase {
  const char* name;
  std::optional<std::string> portName;  // in the device key; nothing: no such value
  std::optional<std::string> registered;  // the value under Ports; nothing: none written
};

class PortNameTest : public AtFixture, public ::testing::WithParamInterface<PortNameCase> {
 protected:
  std::string DeviceParameters() {
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + childNode->instancePath + "\\Device Parameters";
  }
};

TEST_P(PortNameTest, RegistersAWellFormedNameOnce) {
  const PortNameCase& c = GetParam();
  // The INF's hardware section is the template of every new device key.
  std::string templ = kAtRecord + "\\Device";
  ASSERT_EQ(reg::GetString(templ, "PortName"), "COM5");
  if (!c.portName) {
    reg::DeleteValue(templ, "PortName");
  } else if (c.portName->empty()) {
    reg::SetBinary(templ, "PortName", {0, 0}, REG_SZ);
  } else {
    reg::SetString(templ, "PortName", *c.portName);
  }
  auto before = reg::ValueNames(kPortsKey);

  ASSERT_NO_FATAL_FAILURE(Arrive());
  auto after = reg::ValueNames(kPortsKey);
  if (c.registered) {
    EXPECT_EQ(reg::GetString(kPortsKey, *c.registered), "115200,n,8,1");
    EXPECT_EQ(reg::GetType(kPortsKey, *c.registered), (ULONG)REG_SZ);
    EXPECT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(reg::GetDword(DeviceParameters(), "Inst"), 1u);
  } else {
    EXPECT_EQ(after, before);
    // Nothing was entered, so nothing says it was: a corrected name registers later.
    EXPECT_FALSE(reg::GetDword(DeviceParameters(), "Inst").has_value());
  }

  // The same device instance arriving again writes nothing, even with the value gone.
  if (c.registered) reg::DeleteValue(kPortsKey, *c.registered);
  ASSERT_EQ(pnp::QueryRemoveAndRemove(busNode), STATUS_SUCCESS);
  childNode = nullptr;
  ASSERT_NO_FATAL_FAILURE(Arrive());
  if (c.registered) {
    EXPECT_FALSE(reg::GetString(kPortsKey, *c.registered).has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, PortNameTest,
    ::testing::Values(PortNameCase{"from_the_inf", "COM5", "COM5:"},
                      PortNameCase{"eight_characters_fill_the_buffer_with_the_colon", "COM12345", "COM12345:"},
                      PortNameCase{"nine_characters_do_not_fit", "COM123456", std::nullopt},
                      PortNameCase{"a_long_name_is_left_alone", "COMMUNICATIONS_PORT_1", std::nullopt},
                      PortNameCase{"missing", std::nullopt, std::nullopt},
                      PortNameCase{"empty", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// The 98 family keeps no NT port list: nothing is entered and nothing marked. Its INF
// sections are not written yet, so the driver is installed by hand.
class Win98PortNameTest : public AtFixture {
 protected:
  sim::machine::MachineOptions MakeOptions() override {
    sim::machine::MachineOptions o;
    o.win98 = true;
    return o;
  }
  void InstallAtDriver() override {
    const std::string service = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Q93Kat";
    reg::SetString(service, "ImagePath", "System32\\drivers\\Q93Kat.sys", REG_EXPAND_SZ);
    reg::SetDword(service, "Type", 1);
    reg::SetDword(service, "Start", 3);
    pnp::InstallDriverRecord({FAKE_BUS_CHILD_ID, "Q93Kat", "{4D36E978-E325-11CE-BFC1-08002BE10318}", "Ports", "AT", "RYLE", {}, {}});
    reg::SetString(kAtRecord + "\\Device", "PortName", "COM5");
  }
};

TEST_F(Win98PortNameTest, NothingIsRegistered) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  std::string parameters =
      "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + childNode->instancePath + "\\Device Parameters";
  EXPECT_EQ(reg::GetString(parameters, "PortName"), "COM5");
  EXPECT_FALSE(reg::GetDword(parameters, "Inst").has_value());
  EXPECT_FALSE(reg::GetString(kPortsKey, "COM5:").has_value());
}

}  // namespace
}  // namespace attest
