#include "common/IniFile.h"

// Narrow UTF-8 text only: no wide-character converter needed.
#define SI_NO_CONVERSION
#include <SimpleIni.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "common/MessageBox.h"
#include "common/ReplacingFile.h"
#include "common/TextFormat.h"

struct IniFile::Impl {
  CSimpleIniA ini{true /*UTF-8*/, false /*no multi-keys*/, false /*no multi-lines*/};
};

IniFile::IniFile(std::string path) : path_(std::move(path)), impl_(std::make_unique<Impl>()) {
  impl_->ini.SetSpaces(false);
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    if (st.st_size > kMaxIniBytes) {
      tooLarge_ = true;
      return;
    }
    existed_ = impl_->ini.LoadFile(path_.c_str()) >= 0;
    if (!existed_) impl_->ini.Reset();
  }
}

IniFile::~IniFile() = default;

bool IniFile::HasSection(const std::string& section) const {
  return impl_->ini.GetSection(section.c_str()) != nullptr;
}

std::optional<std::string> IniFile::Read(const std::string& section, const std::string& key) const {
  const char* v = impl_->ini.GetValue(section.c_str(), key.c_str(), nullptr);
  if (!v) return std::nullopt;
  return std::string(v);
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) const {
  auto v = Read(section, key);
  return v ? *v : def;
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
  auto v = Read(section, key);
  if (!v) return def;
  auto n = ParseIniInteger(*v);
  return n ? *n : def;
}

void IniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  impl_->ini.SetValue(section.c_str(), key.c_str(), value.c_str());
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, std::to_string(value));
}

std::string IniFile::Text() const {
  std::string text;
  impl_->ini.Save(text);
  return text;
}

bool IniFile::Save(bool quiet) {
  if (!tooLarge_ && ReplaceFileAtomically(path_, Text())) {
    existed_ = true;
    return true;
  }
  if (!quiet) ErrorBox("%s に書き込めません", path_.c_str());
  return false;
}

double ReadIniDouble(const IniFile& ini, const std::string& section, const std::string& key, double def) {
  auto value = ScanDouble(ini.ReadString(section, key, FormatExp(def)));
  return value ? *value : 0.0;
}

void WriteIniDouble(IniFile& ini, const std::string& section, const std::string& key, double value) {
  ini.WriteString(section, key, FormatExp(value));
}
