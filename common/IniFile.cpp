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
#include "common/TextFormat.h"

struct IniFile::Impl {
  CSimpleIniA ini{true /*UTF-8*/, false /*no multi-keys*/, false /*no multi-lines*/};
};

IniFile::IniFile(std::string path) : path_(std::move(path)), impl_(std::make_unique<Impl>()) {
  impl_->ini.SetSpaces(false);
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
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

bool IniFile::Save() {
  if (ReplaceFileAtomically(path_, Text())) {
    existed_ = true;
    return true;
  }
  ErrorBox("%s に書き込めません", path_.c_str());
  return false;
}

double ReadIniDouble(const IniFile& ini, const std::string& section, const std::string& key, double def) {
  auto value = ScanDouble(ini.ReadString(section, key, FormatExp(def)));
  return value ? *value : 0.0;
}

void WriteIniDouble(IniFile& ini, const std::string& section, const std::string& key, double value) {
  ini.WriteString(section, key, FormatExp(value));
}

bool ReplaceFileAtomically(const std::string& path, const std::string& text) {
  struct stat st;
  mode_t mode = 0644;
  if (::stat(path.c_str(), &st) == 0) {
    // A read-only or special target is refused even for root, who could
    // otherwise rename over it.
    if (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0) return false;
    mode = st.st_mode & 07777;
  }
  std::vector<char> tmpl(path.begin(), path.end());
  const char suffix[] = ".tmp-XXXXXX";
  tmpl.insert(tmpl.end(), suffix, suffix + sizeof suffix);  // includes the NUL
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return false;
  const char* tmp = tmpl.data();
  bool ok = ::fchmod(fd, mode) == 0;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<std::size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(tmp, path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(tmp);
  return ok;
}
