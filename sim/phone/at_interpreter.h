// The phone's AT command interpreter, shared by the AT channel and the data
// modem's command mode: assembles lines from arbitrary chunks, runs the
// commands on them and formats result codes as the phone sends them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sim::phone {

enum class AtResult { Ok, Connect, Ring, NoCarrier, Error, NoDialtone, Busy, NoAnswer };

struct AtIdentity {
  std::string manufacturer = "RYLE";
  std::string model = "Q-93K";
  std::string revision = "1.00";
  std::optional<std::string> serial;
  int signalQuality = 20;
};

// Call-control commands belong to whoever owns the interpreter (only the
// modem can dial). Return Unsupported to make the command an ERROR.
class AtCallControl {
 public:
  enum class Outcome { Unsupported, Ok, Error, Handled };  // Handled: owner sent its own result
  virtual ~AtCallControl() = default;
  virtual Outcome callCommand(char command, std::string_view argument, uint64_t now) = 0;
};

class AtInterpreter {
 public:
  AtInterpreter(AtIdentity identity, bool echoDefault, AtCallControl* calls);

  // Feeds command-mode input. Returns how many bytes were taken: the rest of
  // the chunk after a command that left command mode (stopFeeding) belongs
  // to the data stream.
  size_t feed(std::span<const uint8_t> bytes, uint64_t now);
  void stopFeeding() { stop_ = true; }

  // Emits a final or unsolicited result code in the current format.
  void result(AtResult code, std::string_view suffix = {});
  // Bytes produced since the last call.
  std::string takeOutput();
  bool hasOutput() const { return !output_.empty(); }

  void reset();  // ATZ / power on: echo default, verbose, S-registers
  bool echo() const { return echo_; }
  // Escape guard time from S12 (fiftieths of a second), in 100 ns units.
  uint64_t guardTime() const { return uint64_t(sRegisters_[12]) * 200000; }
  char escapeCharacter() const { return char(sRegisters_[2]); }
  int sRegister(size_t n) const { return n < sRegisters_.size() ? sRegisters_[n] : 0; }
  void setSignalQuality(int q) { identity_.signalQuality = q; }

 private:
  void runLine(std::string_view line, uint64_t now);
  bool runCommands(std::string_view commands, uint64_t now);  // false: stop (error or handled)
  bool extended(std::string_view name, std::string_view suffix);
  void info(std::string_view text);

  AtIdentity identity_;
  bool echoDefault_;
  AtCallControl* calls_;
  bool echo_ = true, verbose_ = true, quiet_ = false;
  std::array<uint8_t, 32> sRegisters_{};
  std::string line_;
  bool overflow_ = false;
  bool stop_ = false;
  std::string output_;
};

}  // namespace sim::phone
