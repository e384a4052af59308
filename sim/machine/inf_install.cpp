// The INF installer: reads [Version], [Manufacturer] and the models and install sections
// chosen for the platform, checks everything first, then writes services, files, AddReg
// values and one driver database record per hardware id for the PnP manager.
#include "inf_install.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

#include "image.h"
#include "pnp.h"
#include "registry.h"

namespace sim::machine {

namespace reg = sim::kernel::registry;
using inf::EqualsNoCase;
using inf::Lower;

namespace {

constexpr const char* kServicesRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
constexpr const char* kEnumRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
constexpr const char* kNtClassRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
constexpr const char* k98ClassRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class";

// AddReg flags.
constexpr unsigned long kBinValueType = 0x00000001;
constexpr unsigned long kNoClobber = 0x00000002;
constexpr unsigned long kDelVal = 0x00000004;
constexpr unsigned long kAppend = 0x00000008;
constexpr unsigned long kKeyOnly = 0x00000010;
constexpr unsigned long kOverwriteOnly = 0x00000020;
constexpr unsigned long kTypeMask = 0xFFFF0000 | kBinValueType;
constexpr unsigned long kTypeSz = 0x00000000;
constexpr unsigned long kTypeMultiSz = 0x00010000;
constexpr unsigned long kTypeExpandSz = 0x00020000;
constexpr unsigned long kTypeBinary = 0x00000001;
constexpr unsigned long kTypeDword = 0x00010001;
constexpr unsigned long kTypeNone = 0x00020001;

constexpr unsigned long kAssocService = 0x00000002;  // SPSVCINST_ASSOCSERVICE

bool HostFileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string DirOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(std::string base, std::string_view sub) {
  while (!sub.empty() && sub.front() == '\\') sub.remove_prefix(1);
  while (!sub.empty() && sub.back() == '\\') sub.remove_suffix(1);
  if (sub.empty()) return base;
  return base + "\\" + std::string(sub);
}

bool ParseNumber(std::string_view text, unsigned long* out) {
  std::string s(text);
  if (s.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFull) return false;
  *out = static_cast<unsigned long>(v);
  return true;
}

std::string Where(const inf::InfFile& file, const inf::Line* line, const std::string& what) {
  std::ostringstream s;
  s << file.FileName();
  if (line) s << "(" << line->lineNumber << ")";
  s << ": " << what;
  return s.str();
}

// A parsed TargetOSVersion decoration.
struct Decoration {
  std::string arch;  // lower case, empty when not given
  unsigned long major = 0, minor = 0, productType = 0, suiteMask = 0, build = 0;
  bool hasVersion = false;
};

bool ParseDecoration(std::string_view text, Decoration* d) {
  std::string s = Lower(text);
  if (s.rfind("nt", 0) != 0) return false;
  size_t dot = s.find('.', 2);
  d->arch = s.substr(2, dot == std::string::npos ? std::string::npos : dot - 2);
  if (dot == std::string::npos) return true;
  std::vector<std::string> parts;
  std::string rest = s.substr(dot + 1);
  size_t start = 0;
  while (true) {
    size_t next = rest.find('.', start);
    parts.push_back(rest.substr(start, next == std::string::npos ? std::string::npos : next - start));
    if (next == std::string::npos) break;
    start = next + 1;
  }
  unsigned long* slots[] = {&d->major, &d->minor, &d->productType, &d->suiteMask, &d->build};
  for (size_t i = 0; i < parts.size(); i++) {
    if (i >= 5) return false;
    if (parts[i].empty()) continue;
    if (!ParseNumber(parts[i], slots[i])) return false;
    if (i < 2) d->hasVersion = true;
  }
  return true;
}

const char* ArchName(Arch a) {
  switch (a) {
    case Arch::X86: return "x86";
    case Arch::Amd64: return "amd64";
    case Arch::Ia64: return "ia64";
  }
  return "x86";
}

bool Matches(const Decoration& d, const Platform& p) {
  if (!d.arch.empty() && d.arch != ArchName(p.arch)) return false;
  if (std::make_pair(d.major, d.minor) > std::make_pair<unsigned long, unsigned long>(p.major, p.minor)) return false;
  if (d.productType && d.productType != p.productType) return false;
  if (d.suiteMask && (p.suiteMask & d.suiteMask) != d.suiteMask) return false;
  if (d.build && d.build > p.build) return false;
  return true;
}

}  // namespace

// ---- Decorations ---------------------------------------------------------------------------

std::optional<std::string> ChooseModelsSection(const inf::InfFile& file, std::string_view models,
                                               const std::vector<std::string>& decorations, const Platform& p) {
  std::string plain(models);
  bool decorationsRead = p.nt && std::make_pair(p.major, p.minor) >= std::make_pair(5u, 1u);
  if (decorationsRead) {
    std::optional<std::string> best;
    std::tuple<unsigned long, unsigned long, unsigned long, int, int, int> bestRank{};
    for (const std::string& text : decorations) {
      Decoration d;
      if (!ParseDecoration(text, &d) || !Matches(d, p)) continue;
      std::string name = plain + "." + text;
      if (!file.HasSection(name)) continue;
      auto rank = std::make_tuple(d.major, d.minor, d.build, d.arch.empty() ? 0 : 1, d.productType ? 1 : 0,
                                  d.suiteMask ? 1 : 0);
      if (!best || rank > bestRank) {
        best = name;
        bestRank = rank;
      }
    }
    if (best) return best;
    // 64-bit Windows takes no undecorated models section: it could be an x86-only driver.
    if (p.arch != Arch::X86) return std::nullopt;
  }
  if (file.HasSection(plain)) return plain;
  return std::nullopt;
}

std::optional<std::string> ChooseInstallSection(const inf::InfFile& file, std::string_view install,
                                                const Platform& p) {
  std::string plain(install);
  if (p.nt) {
    for (std::string name : {plain + ".NT" + ArchName(p.arch), plain + ".NT"})
      if (file.HasSection(name)) return name;
  }
  if (file.HasSection(plain)) return plain;
  return std::nullopt;
}

// ---- One installation ----------------------------------------------------------------------

// Runs one INF: every check happens in a first pass that writes nothing (apply false), so a
// broken INF leaves the machine as it was; the second pass writes.
class InstallRun {
 public:
  InstallRun(InfInstaller& installer, const std::string& path, inf::InfFile file, std::string* error)
      : I(installer), P(installer.platform_), path_(path), dir_(DirOf(path)), inf_(std::move(file)), error_(error) {}

  bool Run(InstalledInf* out) {
    if (!Prepare()) return false;
    if (!Walk(false)) return false;
    apply_ = true;
    if (!Walk(true)) return false;
    *out = result_;
    return true;
  }

 private:
  struct Model {
    std::string desc, mfg, install;
    std::vector<std::string> ids;
    const inf::Line* line = nullptr;
  };

  bool Fail(const inf::Line* line, const std::string& what) {
    *error_ = Where(inf_, line, what);
    return false;
  }

  // [Version], [Manufacturer] and the models lines: what the rest works from.
  bool Prepare() {
    if (!inf_.HasSection("Version")) return Fail(nullptr, "no [Version] section");
    std::string sig = Lower(inf_.Value("Version", "Signature").value_or(""));
    bool chicago = sig == "$chicago$" || sig == "$windows 95$";
    if (!(chicago || (P.nt && sig == "$windows nt$")))
      return Fail(inf_.FindSection("Version")->lines.empty() ? nullptr : &inf_.FindSection("Version")->lines[0],
                  "signature \"" + inf_.Value("Version", "Signature").value_or("") +
                      "\" is not one this Windows installs");
    classGuid_ = inf_.Value("Version", "ClassGuid").value_or("");
    className_ = inf_.Value("Version", "Class").value_or("");
    provider_ = inf_.Value("Version", "Provider").value_or("");
    if (classGuid_.size() != 38 || classGuid_.front() != '{' || classGuid_.back() != '}')
      return Fail(nullptr, "[Version] has no valid ClassGuid");
    if (const auto* dv = inf_.Fields("Version", "DriverVer")) {
      std::string date = dv->empty() ? "" : (*dv)[0];
      unsigned m = 0, d = 0, y = 0;
      char tail = 0;
      if (sscanf(date.c_str(), "%u/%u/%u%c", &m, &d, &y, &tail) != 3 || m < 1 || m > 12 || d < 1 || d > 31)
        return Fail(nullptr, "DriverVer date \"" + date + "\" is not mm/dd/yyyy");
      driverDate_ = date;
      if (dv->size() > 1) driverVersion_ = (*dv)[1];
    }
    const inf::Section* mfg = inf_.FindSection("Manufacturer");
    if (!mfg) return Fail(nullptr, "no [Manufacturer] section");
    for (const inf::Line& l : mfg->lines) {
      std::string mfgName = l.hasKey ? l.key : (l.fields.empty() ? "" : l.fields[0]);
      std::string modelsName = l.hasKey ? (l.fields.empty() ? "" : l.fields[0]) : mfgName;
      if (modelsName.empty()) return Fail(&l, "manufacturer line names no models section");
      std::vector<std::string> decorations;
      if (l.hasKey)
        for (size_t i = 1; i < l.fields.size(); i++) decorations.push_back(l.fields[i]);
      auto chosen = ChooseModelsSection(inf_, modelsName, decorations, P);
      if (!chosen) continue;  // nothing of this manufacturer for this platform
      for (const inf::Line& m : inf_.FindSection(*chosen)->lines) {
        if (!m.hasKey || m.fields.size() < 2 || m.fields[0].empty() || m.fields[1].empty())
          return Fail(&m, "model line needs \"description = install-section, hardware-id\"");
        Model model{m.key, mfgName, m.fields[0], {}, &m};
        for (size_t i = 1; i < m.fields.size(); i++)
          if (!m.fields[i].empty()) model.ids.push_back(m.fields[i]);
        models_.push_back(std::move(model));
      }
    }
    if (models_.empty()) return Fail(nullptr, "no models section applies to this platform");
    return true;
  }

  // ---- Sections, with Include/Needs -----------------------------------------------------------

  struct Found {
    const inf::InfFile* file;
    const inf::Section* section;
  };
  std::optional<Found> Section(std::string_view name) {
    if (const inf::Section* s = inf_.FindSection(name)) return Found{&inf_, s};
    for (const inf::InfFile& f : included_)
      if (const inf::Section* s = f.FindSection(name)) return Found{&f, s};
    return std::nullopt;
  }

  // Include lines load INFs from the package folder. Windows' own INFs are not part of the
  // simulated PC: an include that is not there, and a Needs section found nowhere, are skipped.
  bool LoadIncludes(const Found& sec) {
    for (const inf::Line& l : sec.section->lines) {
      if (!l.hasKey || !EqualsNoCase(l.key, "Include")) continue;
      for (const std::string& name : l.fields) {
        bool loaded = false;
        for (const inf::InfFile& f : included_) loaded = loaded || EqualsNoCase(BaseName(f.FileName()), name);
        std::string p = dir_ + "/" + name;
        if (loaded || !HostFileExists(p)) continue;
        std::string err;
        auto f = inf::InfFile::Load(p, &err);
        if (!f) {
          *error_ = err;
          return false;
        }
        included_.push_back(std::move(*f));
      }
    }
    return true;
  }

  // ---- The walk --------------------------------------------------------------------------------

  bool Walk(bool apply) {
    apply_ = apply;
    claimed_.clear();
    absoluteDone_.clear();
    for (const Model& m : models_) {
      auto install = ChooseInstallSection(inf_, m.install, P);
      if (!install) return Fail(m.line, "install section [" + m.install + "] not found for this platform");
      std::vector<std::string> ids;
      for (const std::string& id : m.ids)
        if (claimed_.insert(Lower(id)).second) ids.push_back(id);
      if (ids.empty()) continue;

      // The function driver and its service keys.
      std::string service;
      auto services = Section(*install + ".Services");
      if (services) {
        if (!LoadIncludes(*services)) return false;
        if (!ServicesSection(*services, &service)) return false;
      }
      if (service.empty())
        return Fail(m.line, "[" + *install + ".Services] names no function driver (AddService flag 0x2)");

      std::vector<std::string> records;
      for (const std::string& id : ids) records.push_back(RecordPath(id));
      if (apply) {
        for (size_t i = 0; i < ids.size(); i++) WriteRecord(records[i], ids[i], m, service, *install);
        for (const std::string& id : ids) result_.hardwareIds.push_back(id);
      }

      // Driver key (HKR) values and HKLM values of the install section.
      std::vector<std::string> driverKeys;
      for (const std::string& r : records) driverKeys.push_back(r + "\\Driver");
      auto main = Section(*install);
      if (!Directives(*main, driverKeys, /*hardware=*/false, records, 0)) return false;

      // The device key (HKR of .HW): Device Parameters, and the filter drivers.
      if (auto hw = Section(*install + ".HW")) {
        std::vector<std::string> deviceKeys;
        for (const std::string& r : records) deviceKeys.push_back(r + "\\" + kDeviceTemplate);
        if (!Directives(*hw, deviceKeys, /*hardware=*/true, records, 0)) return false;
      }
    }
    if (apply) {
      ClassKey();
    }
    return true;
  }

  std::string RecordPath(const std::string& id) {
    return std::string(sim::kernel::pnp::kDriverDatabase) + "\\" + sim::kernel::pnp::EscapeHardwareId(id);
  }

  void WriteRecord(const std::string& rec, const std::string& id, const Model& m, const std::string& service,
                   const std::string& install) {
    // A later package for the same id replaces the earlier one's record.
    reg::DeleteTree(rec);
    sim::kernel::pnp::DriverRecord r;
    r.hardwareId = id;
    r.service = service;
    r.classGuid = classGuid_;
    r.className = className_;
    r.deviceDesc = m.desc;
    r.mfg = m.mfg;
    sim::kernel::pnp::InstallDriverRecord(r);
    reg::SetString(rec, "InfName", published_);
    // What Windows writes into every driver key made from this INF.
    std::string drv = rec + "\\Driver";
    reg::SetString(drv, "InfPath", published_);
    reg::SetString(drv, "InfSection", m.install);
    if (install.size() > m.install.size()) reg::SetString(drv, "InfSectionExt", install.substr(m.install.size()));
    if (!provider_.empty()) reg::SetString(drv, "ProviderName", provider_);
    if (!driverDate_.empty()) reg::SetString(drv, "DriverDate", driverDate_);
    if (!driverVersion_.empty()) reg::SetString(drv, "DriverVersion", driverVersion_);
  }

  void ClassKey() {
    bool win98 = !reg::KeyExists(kNtClassRoot) && reg::KeyExists(k98ClassRoot);
    std::string key = win98 ? Join(k98ClassRoot, className_.empty() ? classGuid_ : className_)
                            : Join(kNtClassRoot, classGuid_);
    if (!reg::KeyExists(key)) reg::CreateKey(key);
    if (!className_.empty() && !reg::GetString(key, "Class")) reg::SetString(key, "Class", className_);
  }

  // The directives of an install (or .HW, or Needs) section. `hkr` are the keys HKR means.
  bool Directives(const Found& sec, const std::vector<std::string>& hkr, bool hardware,
                  const std::vector<std::string>& records, int depth) {
    if (depth > 8) return Fail(nullptr, "Needs nested too deeply");
    if (!LoadIncludes(sec)) return false;
    // Registry deletions come before additions, as Windows orders them.
    for (const char* directive : {"DelReg", "AddReg", "CopyFiles", "Needs"}) {
      for (const inf::Line& l : sec.section->lines) {
        if (!l.hasKey || !EqualsNoCase(l.key, directive)) continue;
        for (const std::string& name : l.fields) {
          if (name.empty()) continue;
          std::string d = directive;
          if (d == "CopyFiles") {
            if (!CopyFiles(*sec.file, &l, name)) return false;
            continue;
          }
          auto target = Section(name);
          if (d == "Needs") {
            if (target && !Directives(*target, hkr, hardware, records, depth + 1)) return false;
            continue;
          }
          if (!target) return Fail(&l, d + " section [" + name + "] not found");
          bool absoluteOnce = absoluteDone_.insert(Lower(name) + (hardware ? ".hw" : "")).second;
          for (const inf::Line& r : target->section->lines) {
            bool ok = d == "AddReg" ? AddRegLine(*target->file, r, hkr, hardware, records, absoluteOnce)
                                    : DelRegLine(*target->file, r, hkr, absoluteOnce);
            if (!ok) return false;
          }
        }
      }
    }
    return true;
  }

  // ---- Registry --------------------------------------------------------------------------------

  static std::vector<std::string> Fields(const inf::Line& l) {
    // A registry line is value-only; an unquoted '=' in it is data.
    std::vector<std::string> f = l.fields;
    if (l.hasKey) {
      if (f.empty()) f.push_back("");
      f[0] = l.key + "=" + f[0];
    }
    return f;
  }

  // The absolute key an HKLM/HKCU/HKCR/HKU root means, or nothing for HKR or an unknown root.
  static std::optional<std::string> AbsoluteRoot(const std::string& root) {
    std::string r = Lower(root);
    if (r == "hklm") return std::string("\\Registry\\Machine");
    if (r == "hkcu") return std::string("\\Registry\\User\\.Default");
    if (r == "hkcr") return std::string("\\Registry\\Machine\\Software\\Classes");
    if (r == "hku") return std::string("\\Registry\\User");
    return std::nullopt;
  }

  bool RootOf(const inf::InfFile& file, const inf::Line& l, const std::string& root, bool* isHkr) {
    *isHkr = EqualsNoCase(root, "HKR");
    if (*isHkr || AbsoluteRoot(root)) return true;
    *error_ = Where(file, &l, "unknown registry root \"" + root + "\"");
    return false;
  }

  bool AddRegLine(const inf::InfFile& file, const inf::Line& l, const std::vector<std::string>& hkr, bool hardware,
                  const std::vector<std::string>& records, bool absoluteOnce) {
    std::vector<std::string> f = Fields(l);
    if (f.size() < 1) return true;
    bool isHkr = false;
    if (!RootOf(file, l, f[0], &isHkr)) return false;
    std::string subkey = f.size() > 1 ? f[1] : "";
    bool hasName = f.size() > 2;
    std::string name = hasName ? f[2] : "";
    unsigned long flags = 0;
    if (f.size() > 3 && !f[3].empty() && !ParseNumber(f[3], &flags)) {
      *error_ = Where(file, &l, "AddReg flags \"" + f[3] + "\" are not a number");
      return false;
    }
    std::vector<std::string> values(f.begin() + std::min<size_t>(4, f.size()), f.end());
    unsigned long type = flags & kTypeMask;
    std::vector<uint8_t> binary;
    ULONG regType = REG_SZ;
    unsigned long dword = 0;
    if (type == kTypeSz) regType = REG_SZ;
    else if (type == kTypeExpandSz) regType = REG_EXPAND_SZ;
    else if (type == kTypeMultiSz) regType = REG_MULTI_SZ;
    else if (type == kTypeDword && values.size() <= 1) {
      regType = REG_DWORD;
      if (!values.empty() && !values[0].empty() && !ParseNumber(values[0], &dword)) {
        *error_ = Where(file, &l, "REG_DWORD value \"" + values[0] + "\" is not a number");
        return false;
      }
    } else if (type & kBinValueType) {
      // Binary data written as hex bytes; the high word is the registry type.
      regType = type == kTypeBinary ? REG_BINARY : type == kTypeNone ? REG_NONE : ULONG(type >> 16);
      for (const std::string& b : values) {
        unsigned long byte = 0;
        if (b.empty() || !ParseNumber("0x" + (b.rfind("0x", 0) == 0 || b.rfind("0X", 0) == 0 ? b.substr(2) : b), &byte) ||
            byte > 0xFF) {
          *error_ = Where(file, &l, "binary byte \"" + b + "\" is not hex");
          return false;
        }
        binary.push_back(uint8_t(byte));
      }
    } else {
      *error_ = Where(file, &l, "AddReg type flags are not a known registry type");
      return false;
    }
    if (!apply_) return true;
    if (!isHkr && !absoluteOnce) return true;

    // Filter drivers of a device are the record's, not Device Parameters values.
    if (isHkr && hardware && subkey.empty() &&
        (EqualsNoCase(name, "UpperFilters") || EqualsNoCase(name, "LowerFilters"))) {
      for (const std::string& rec : records) {
        std::vector<std::string> list;
        if (flags & kAppend) list = reg::GetMultiString(rec, name).value_or(std::vector<std::string>{});
        if (flags & kDelVal) {
          reg::DeleteValue(rec, name);
          continue;
        }
        for (const std::string& v : values)
          if (!v.empty() && std::none_of(list.begin(), list.end(), [&](auto& s) { return EqualsNoCase(s, v); }))
            list.push_back(v);
        reg::SetMultiString(rec, EqualsNoCase(name, "UpperFilters") ? "UpperFilters" : "LowerFilters", list);
      }
      return true;
    }

    std::vector<std::string> keys;
    if (isHkr) {
      for (const std::string& k : hkr) keys.push_back(Join(k, subkey));
    } else {
      keys.push_back(Join(*AbsoluteRoot(f[0]), subkey));
    }
    for (const std::string& key : keys) {
      if (!hasName || (flags & kKeyOnly)) {
        reg::CreateKey(key);
        continue;
      }
      if (flags & kDelVal) {
        reg::DeleteValue(key, name);
        continue;
      }
      bool exists = reg::GetType(key, name).has_value();
      if ((flags & kNoClobber) && exists) continue;
      if ((flags & kOverwriteOnly) && !exists) continue;
      switch (regType) {
        case REG_SZ:
        case REG_EXPAND_SZ:
          reg::SetString(key, name, values.empty() ? "" : values[0], regType);
          break;
        case REG_MULTI_SZ: {
          std::vector<std::string> list;
          if (flags & kAppend) list = reg::GetMultiString(key, name).value_or(std::vector<std::string>{});
          for (const std::string& v : values)
            if (!(flags & kAppend) || std::none_of(list.begin(), list.end(), [&](auto& s) { return EqualsNoCase(s, v); }))
              list.push_back(v);
          reg::SetMultiString(key, name, list);
          break;
        }
        case REG_DWORD:
          reg::SetDword(key, name, dword);
          break;
        default:
          reg::SetBinary(key, name, binary, regType);
          break;
      }
    }
    return true;
  }

  bool DelRegLine(const inf::InfFile& file, const inf::Line& l, const std::vector<std::string>& hkr, bool absoluteOnce) {
    std::vector<std::string> f = Fields(l);
    if (f.empty()) return true;
    bool isHkr = false;
    if (!RootOf(file, l, f[0], &isHkr)) return false;
    if (!apply_ || (!isHkr && !absoluteOnce)) return true;
    std::string subkey = f.size() > 1 ? f[1] : "";
    std::vector<std::string> keys;
    if (isHkr) {
      for (const std::string& k : hkr) keys.push_back(Join(k, subkey));
    } else {
      keys.push_back(Join(*AbsoluteRoot(f[0]), subkey));
    }
    for (const std::string& key : keys) {
      if (f.size() > 2) {
        reg::DeleteValue(key, f[2]);
      } else if (!subkey.empty()) {
        reg::DeleteTree(key);  // never a whole root: an empty subkey with no value deletes nothing
      }
    }
    return true;
  }

  // ---- Services --------------------------------------------------------------------------------

  bool ServicesSection(const Found& sec, std::string* function) {
    for (const inf::Line& l : sec.section->lines) {
      if (!l.hasKey) continue;
      if (EqualsNoCase(l.key, "DelService")) {
        if (l.fields.empty() || l.fields[0].empty()) return Fail(&l, "DelService names no service");
        if (apply_) reg::DeleteTree(Join(kServicesRoot, l.fields[0]));
        continue;
      }
      if (!EqualsNoCase(l.key, "AddService")) continue;
      if (l.fields.empty() || l.fields[0].empty()) return Fail(&l, "AddService names no service");
      const std::string& name = l.fields[0];
      unsigned long flags = 0;
      if (l.fields.size() > 1 && !l.fields[1].empty() && !ParseNumber(l.fields[1], &flags))
        return Fail(&l, "AddService flags \"" + l.fields[1] + "\" are not a number");
      if (flags & kAssocService) {
        if (!function->empty() && !EqualsNoCase(*function, name))
          return Fail(&l, "a second function driver (" + name + ") for one device");
        *function = name;
      }
      if (l.fields.size() < 3 || l.fields[2].empty()) {
        // A null driver: the device runs raw, no service is added.
        continue;
      }
      auto install = Section(l.fields[2]);
      if (!install) return Fail(&l, "service install section [" + l.fields[2] + "] not found");
      if (!ServiceInstall(*install, name)) return false;
    }
    return true;
  }

  bool ServiceInstall(const Found& sec, const std::string& name) {
    const inf::InfFile& f = *sec.file;
    std::string secName = sec.section->name;
    unsigned long type = 0, start = 0, errorControl = 0;
    const char* required[] = {"ServiceType", "StartType", "ErrorControl"};
    unsigned long* slots[] = {&type, &start, &errorControl};
    for (int i = 0; i < 3; i++) {
      auto v = f.Value(secName, required[i]);
      if (!v || !ParseNumber(*v, slots[i]))
        return Fail(nullptr, "[" + secName + "] needs a numeric " + required[i]);
    }
    auto binary = f.Value(secName, "ServiceBinary");
    if (!binary || binary->empty()) return Fail(nullptr, "[" + secName + "] needs ServiceBinary");
    std::string key = Join(kServicesRoot, name);
    // The service section's own AddReg (HKR is the service key): checked in the first
    // pass, written after the service's own values.
    auto serviceAddReg = [&]() -> bool {
      for (const std::string& addReg : f.AllValues(secName, "AddReg")) {
        auto target = Section(addReg);
        if (!target) return Fail(nullptr, "AddReg section [" + addReg + "] not found");
        for (const inf::Line& r : target->section->lines)
          if (!AddRegLine(*target->file, r, {key}, false, {}, true)) return false;
      }
      return true;
    };
    if (!apply_) return serviceAddReg();
    reg::CreateKey(key);
    reg::SetDword(key, "Type", type);
    reg::SetDword(key, "Start", start);
    reg::SetDword(key, "ErrorControl", errorControl);
    reg::SetString(key, "ImagePath", ImagePath(*binary), REG_EXPAND_SZ);
    if (auto v = f.Value(secName, "DisplayName")) reg::SetString(key, "DisplayName", *v);
    if (auto v = f.Value(secName, "Description")) reg::SetString(key, "Description", *v);
    if (auto v = f.Value(secName, "LoadOrderGroup")) reg::SetString(key, "Group", *v);
    if (const auto* deps = f.Fields(secName, "Dependencies")) reg::SetMultiString(key, "DependOnService", *deps);
    if (!serviceAddReg()) return false;
    if (std::none_of(result_.services.begin(), result_.services.end(),
                     [&](auto& s) { return EqualsNoCase(s, name); }))
      result_.services.push_back(name);
    return true;
  }

  // Paths below the Windows folder become \SystemRoot\..., as the loader expects them.
  static std::string ImagePath(const std::string& binary) {
    std::string win = std::string(inf::kWindowsDir) + "\\";
    if (binary.size() > win.size() && EqualsNoCase(binary.substr(0, win.size()), win))
      return "\\SystemRoot\\" + binary.substr(win.size());
    if (binary.size() > 2 && binary[1] == ':') return "\\??\\" + binary;
    return binary;
  }

  // ---- Files -----------------------------------------------------------------------------------

  std::optional<std::string> DestinationDir(const inf::InfFile& file, const std::string& copySection) {
    const std::vector<std::string>* f = file.Fields("DestinationDirs", copySection);
    if (!f) f = file.Fields("DestinationDirs", "DefaultDestDir");
    unsigned long id = 11;  // no DestinationDirs entry at all: System32
    std::string sub;
    if (f && !f->empty()) {
      if (!ParseNumber((*f)[0], &id)) return std::nullopt;
      if (f->size() > 1) sub = (*f)[1];
    }
    auto base = inf::DirIdPath(int(id));
    if (!base) return std::nullopt;
    return Join(*base, sub);
  }

  // Where the file to copy comes from: a driver image is the host build of it in the image
  // directories; anything else lies beside the INF.
  std::optional<std::string> SourceOf(const std::string& source) {
    std::string lower = Lower(source);
    if (lower.size() > 4 && lower.substr(lower.size() - 4) == ".sys") {
      std::string base = source.substr(0, source.size() - 4);
      for (const std::string& d : sim::kernel::ImageDirectories())
        for (const std::string& candidate : {d + "/lib" + base + ".so", d + "/" + base + ".so"})
          if (HostFileExists(candidate)) return candidate;
      if (I.ImageExists(base)) return std::string();
      return std::nullopt;
    }
    std::string p = dir_ + "/" + source;
    if (HostFileExists(p)) return p;
    return std::nullopt;
  }

  bool CopyFiles(const inf::InfFile& file, const inf::Line* line, const std::string& name) {
    std::vector<std::pair<std::string, std::string>> copies;  // destination name, source name
    std::string dirKey = name;
    if (name[0] == '@') {
      copies.emplace_back(name.substr(1), name.substr(1));
      dirKey = "DefaultDestDir";
    } else {
      auto sec = Section(name);
      if (!sec) return Fail(line, "CopyFiles section [" + name + "] not found");
      for (const inf::Line& l : sec->section->lines) {
        std::vector<std::string> f = Fields(l);
        if (f.empty() || f[0].empty()) continue;
        copies.emplace_back(f[0], f.size() > 1 && !f[1].empty() ? f[1] : f[0]);
      }
    }
    auto dest = DestinationDir(file, dirKey);
    if (!dest) return Fail(line, "no usable destination directory for [" + name + "]");
    for (auto& [destName, srcName] : copies) {
      auto src = SourceOf(srcName);
      if (!src) return Fail(line, "source file " + srcName + " not found in the package");
      if (!apply_) continue;
      std::string target = *dest + "\\" + destName;
      I.files_[target] = *src;
      if (std::none_of(result_.files.begin(), result_.files.end(), [&](auto& s) { return EqualsNoCase(s, target); }))
        result_.files.push_back(target);
    }
    return true;
  }

 public:
  std::string published_;

 private:
  InfInstaller& I;
  const Platform& P;
  std::string path_, dir_;
  inf::InfFile inf_;
  std::vector<inf::InfFile> included_;
  std::string* error_;
  bool apply_ = false;
  std::string classGuid_, className_, provider_, driverDate_, driverVersion_;
  std::vector<Model> models_;
  std::set<std::string> claimed_, absoluteDone_;
  InstalledInf result_;
};

// ---- InfInstaller ----------------------------------------------------------------------------

InfInstaller::InfInstaller(Platform platform) : platform_(platform) {}

bool InfInstaller::ImageExists(const std::string& base) const { return builtinImages_.count(base) != 0; }

void InfInstaller::AddBuiltinImage(std::string_view base) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  builtinImages_.insert(std::string(base));
}

std::optional<std::string> InfInstaller::Install(const std::string& path, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  std::lock_guard<std::recursive_mutex> g(lock_);
  auto file = inf::InfFile::Load(path, error);
  if (!file) return std::nullopt;
  std::string text = ReadHostFile(path);
  // The same INF again keeps its published name, as SetupCopyOEMInf answers.
  std::string reuse;
  for (const InstalledInf& i : installed_)
    if (ReadHostFile(i.sourcePath) == text && EqualsNoCase(BaseName(i.sourcePath), BaseName(path)))
      reuse = i.publishedName;
  std::string published = reuse;
  for (int n = 0; published.empty(); n++) {
    std::string candidate = "oem" + std::to_string(n) + ".inf";
    if (!FileExists(std::string(inf::kWindowsDir) + "\\inf\\" + candidate)) published = candidate;
  }
  InstallRun run(*this, path, std::move(*file), error);
  run.published_ = published;
  InstalledInf result;
  if (!run.Run(&result)) return std::nullopt;
  result.publishedName = published;
  result.originalName = BaseName(path);
  result.sourcePath = path;
  std::string infDir = std::string(inf::kWindowsDir) + "\\inf\\";
  files_[infDir + published] = path;
  files_[infDir + published.substr(0, published.size() - 4) + ".PNF"] = "";
  installed_.erase(std::remove_if(installed_.begin(), installed_.end(),
                                  [&](auto& i) { return EqualsNoCase(i.publishedName, published); }),
                   installed_.end());
  installed_.push_back(result);
  return published;
}

namespace {
// Whether a device's driver key names `published` as its INF. Instance keys are found at
// any depth below Enum: an instance path has three parts, more when a root device's id
// holds a backslash.
bool InfUsedBelow(const std::string& key, const std::string& classRoot, const std::string& published, int depth) {
  if (auto driver = reg::GetString(key, "Driver"); driver && !driver->empty()) {
    auto infPath = reg::GetString(Join(classRoot, *driver), "InfPath");
    if (infPath && EqualsNoCase(*infPath, published)) return true;
  }
  if (depth == 0) return false;
  for (const std::string& sub : reg::SubKeys(key))
    if (InfUsedBelow(Join(key, sub), classRoot, published, depth - 1)) return true;
  return false;
}

bool InfUsedByDevice(const std::string& published) {
  bool win98 = !reg::KeyExists(kNtClassRoot) && reg::KeyExists(k98ClassRoot);
  return InfUsedBelow(kEnumRoot, win98 ? k98ClassRoot : kNtClassRoot, published, 5);
}
}  // namespace

UninstallResult InfInstaller::Uninstall(std::string_view publishedName, bool force) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  auto it = std::find_if(installed_.begin(), installed_.end(),
                         [&](auto& i) { return EqualsNoCase(i.publishedName, publishedName); });
  if (it == installed_.end()) return UninstallResult::NotInstalled;
  if (!force && InfUsedByDevice(it->publishedName)) return UninstallResult::InUse;
  for (const std::string& id : it->hardwareIds) {
    std::string rec =
        std::string(sim::kernel::pnp::kDriverDatabase) + "\\" + sim::kernel::pnp::EscapeHardwareId(id);
    // Only the record this INF wrote: a later package may have replaced it.
    auto owner = reg::GetString(rec, "InfName");
    if (owner && EqualsNoCase(*owner, it->publishedName)) reg::DeleteTree(rec);
  }
  std::string infDir = std::string(inf::kWindowsDir) + "\\inf\\";
  RemoveFile(infDir + it->publishedName);
  RemoveFile(infDir + it->publishedName.substr(0, it->publishedName.size() - 4) + ".PNF");
  installed_.erase(it);
  return UninstallResult::Ok;
}

std::optional<InstalledInf> InfInstaller::Find(std::string_view publishedName) const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  for (const InstalledInf& i : installed_)
    if (EqualsNoCase(i.publishedName, publishedName)) return i;
  return std::nullopt;
}

std::vector<InstalledInf> InfInstaller::Installed() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return installed_;
}

bool InfInstaller::FileExists(std::string_view windowsPath) const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return files_.count(std::string(windowsPath)) != 0;
}

std::optional<std::string> InfInstaller::HostFileOf(std::string_view windowsPath) const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  auto it = files_.find(std::string(windowsPath));
  if (it == files_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> InfInstaller::Files() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::vector<std::string> out;
  for (auto& [k, v] : files_) out.push_back(k);
  return out;
}

void InfInstaller::AddFile(std::string_view windowsPath, std::string_view hostPath) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  files_[std::string(windowsPath)] = std::string(hostPath);
}

bool InfInstaller::RemoveFile(std::string_view windowsPath) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return files_.erase(std::string(windowsPath)) != 0;
}

}  // namespace sim::machine
