// AT command interpreter of the phone. Lines end on the S3 character (CR);
// everything before "AT" on a line is noise and is dropped, as a modem does.
#include "phone/at_interpreter.h"

#include <cctype>
#include <cstdio>
#include <string>

namespace sim::phone {
namespace {

constexpr size_t kMaxLine = 256;

struct ResultText {
  const char* verbose;
  int numeric;
};
constexpr ResultText kResults[] = {
    {"OK", 0},         {"CONNECT", 1}, {"RING", 2}, {"NO CARRIER", 3},
    {"ERROR", 4},      {"NO DIALTONE", 6}, {"BUSY", 7}, {"NO ANSWER", 8},
};

bool startsWithAt(std::string_view s, size_t i) {
  return i + 1 < s.size() && (s[i] == 'A' || s[i] == 'a') && (s[i + 1] == 'T' || s[i + 1] == 't');
}

// Reads a decimal number at `i`; no digits gives `fallback`.
int number(std::string_view s, size_t& i, int fallback) {
  if (i >= s.size() || !std::isdigit(uint8_t(s[i]))) return fallback;
  int v = 0;
  while (i < s.size() && std::isdigit(uint8_t(s[i]))) v = v * 10 + (s[i++] - '0');
  return v;
}

}  // namespace

AtInterpreter::AtInterpreter(AtIdentity identity, bool echoDefault, AtCallControl* calls)
    : identity_(std::move(identity)), echoDefault_(echoDefault), calls_(calls) {
  reset();
}

void AtInterpreter::reset() {
  echo_ = echoDefault_;
  verbose_ = true;
  quiet_ = false;
  sRegisters_.fill(0);
  sRegisters_[2] = '+';
  sRegisters_[3] = '\r';
  sRegisters_[4] = '\n';
  sRegisters_[5] = '\b';
  sRegisters_[7] = 50;
  sRegisters_[12] = 50;  // one second of escape guard time
}

std::string AtInterpreter::takeOutput() {
  std::string out;
  out.swap(output_);
  return out;
}

void AtInterpreter::result(AtResult code, std::string_view suffix) {
  if (quiet_) return;
  const ResultText& r = kResults[int(code)];
  if (verbose_) {
    output_ += "\r\n";
    output_ += r.verbose;
    if (!suffix.empty()) {
      output_ += ' ';
      output_ += suffix;
    }
    output_ += "\r\n";
  } else {
    output_ += std::to_string(r.numeric);
    output_ += '\r';
  }
}

void AtInterpreter::info(std::string_view text) {
  if (verbose_) output_ += "\r\n";
  output_ += text;
  output_ += "\r\n";
}

size_t AtInterpreter::feed(std::span<const uint8_t> bytes, uint64_t now) {
  stop_ = false;
  size_t i = 0;
  while (i < bytes.size() && !stop_) {
    const char c = char(bytes[i++]);
    if (echo_) output_ += c;
    if (c == char(sRegisters_[3])) {
      std::string line;
      line.swap(line_);
      const bool overflowed = overflow_;
      overflow_ = false;
      if (overflowed) {
        result(AtResult::Error);
      } else {
        runLine(line, now);
      }
    } else if (c == char(sRegisters_[5])) {
      if (!line_.empty()) line_.pop_back();
    } else if (c == char(sRegisters_[4]) && line_.empty()) {
      // LF after the previous CR: not part of the next line
    } else if (line_.size() < kMaxLine) {
      line_ += c;
    } else {
      overflow_ = true;
    }
  }
  return i;
}

void AtInterpreter::runLine(std::string_view line, uint64_t now) {
  size_t start = 0;
  while (start < line.size() && !startsWithAt(line, start)) ++start;
  if (start >= line.size()) return;  // no "AT": noise, no answer
  if (runCommands(line.substr(start + 2), now)) result(AtResult::Ok);
}

bool AtInterpreter::runCommands(std::string_view s, uint64_t now) {
  size_t i = 0;
  while (i < s.size()) {
    const char c = char(std::toupper(uint8_t(s[i])));
    if (c == ' ') {
      ++i;
      continue;
    }
    if (c == '+') {
      size_t end = s.find(';', i);
      if (end == std::string_view::npos) end = s.size();
      std::string_view command = s.substr(i, end - i);
      size_t nameEnd = 1;
      while (nameEnd < command.size() && std::isalnum(uint8_t(command[nameEnd]))) ++nameEnd;
      std::string name(command.substr(0, nameEnd));
      for (char& ch : name) ch = char(std::toupper(uint8_t(ch)));
      if (!extended(name, command.substr(nameEnd))) {
        result(AtResult::Error);
        return false;
      }
      i = end < s.size() ? end + 1 : end;
      continue;
    }
    ++i;
    if (c == 'D') {
      // The rest of the line is the dial string.
      auto outcome = calls_ ? calls_->callCommand('D', s.substr(i), now)
                            : AtCallControl::Outcome::Unsupported;
      if (outcome == AtCallControl::Outcome::Ok) return true;
      if (outcome != AtCallControl::Outcome::Handled) result(AtResult::Error);
      return false;
    }
    if (c == '&') {
      const char sub = i < s.size() ? char(std::toupper(uint8_t(s[i++]))) : 0;
      const int value = number(s, i, 0);
      if (sub == 'F' && value == 0) {
        reset();
      } else if (sub == 'C' || sub == 'D' || sub == 'K' || sub == 'W' || sub == 'V') {
        if (sub == 'V') info("ACTIVE PROFILE:\r\nE" + std::to_string(echo_) + " V" +
                             std::to_string(verbose_) + " Q" + std::to_string(quiet_));
      } else {
        result(AtResult::Error);
        return false;
      }
      continue;
    }
    if (c == 'S') {
      const int reg = number(s, i, -1);
      if (reg < 0 || reg >= int(sRegisters_.size()) || i >= s.size()) {
        result(AtResult::Error);
        return false;
      }
      if (s[i] == '?') {
        ++i;
        char text[8];
        std::snprintf(text, sizeof text, "%03d", sRegisters_[reg]);
        info(text);
      } else if (s[i] == '=') {
        ++i;
        const int value = number(s, i, -1);
        if (value < 0 || value > 255) {
          result(AtResult::Error);
          return false;
        }
        sRegisters_[reg] = uint8_t(value);
      } else {
        result(AtResult::Error);
        return false;
      }
      continue;
    }
    const int value = number(s, i, 0);
    switch (c) {
      case 'E': echo_ = value != 0; break;
      case 'V': verbose_ = value != 0; break;
      case 'Q': quiet_ = value != 0; break;
      case 'Z': reset(); break;
      case 'I':
        if (value == 0) info(identity_.model);
        else if (value == 3) info(identity_.revision);
        else info(identity_.manufacturer);
        break;
      case 'L': case 'M': case 'X': break;  // speaker and result-set options: nothing to do
      case 'A': case 'H': case 'O': {
        auto outcome = calls_ ? calls_->callCommand(c, std::to_string(value), now)
                              : AtCallControl::Outcome::Unsupported;
        if (outcome == AtCallControl::Outcome::Ok) break;
        if (outcome != AtCallControl::Outcome::Handled) result(AtResult::Error);
        return false;
      }
      default:
        result(AtResult::Error);
        return false;
    }
  }
  return true;
}

bool AtInterpreter::extended(std::string_view name, std::string_view suffix) {
  const bool test = suffix == "=?";
  if (!suffix.empty() && !test && name != "+CGDCONT" && name != "+CMEE" && name != "+CSQ")
    return false;
  auto identityCommand = [&](const std::string& text) {
    if (!test) info(text);
    return true;
  };
  if (name == "+CGMI" || name == "+GMI") return identityCommand(identity_.manufacturer);
  if (name == "+CGMM" || name == "+GMM") return identityCommand(identity_.model);
  if (name == "+CGMR" || name == "+GMR") return identityCommand(identity_.revision);
  if (name == "+CGSN" || name == "+GSN") {
    if (!identity_.serial) return false;
    return identityCommand(*identity_.serial);
  }
  if (name == "+CSQ") {
    if (test) info("+CSQ: (0-31,99),(0-7,99)");
    else if (suffix.empty()) info("+CSQ: " + std::to_string(identity_.signalQuality) + ",99");
    else return false;
    return true;
  }
  // Accepted so that dial-up set-up strings run through; nothing to model.
  if (name == "+CGDCONT" || name == "+CMEE") return true;
  return false;
}

}  // namespace sim::phone
