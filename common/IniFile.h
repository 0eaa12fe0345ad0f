#pragma once
// INI text file: sections in brackets, key=value lines, names matched without
// regard to case. Keys and sections this program does not know stay in the
// file in their order. Changes are kept in memory until Save, which replaces
// the file atomically.

#include <memory>
#include <optional>
#include <string>

// Largest file read: a settings or definition file is a few kilobytes; a
// huge one would freeze the program while it is parsed.
constexpr long long kMaxIniBytes = 1 << 20;

class IniFile {
 public:
  // Reads the file if it exists; a missing or unreadable file is empty, and
  // so is one larger than kMaxIniBytes (TooLarge tells).
  explicit IniFile(std::string path);
  ~IniFile();
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  const std::string& Path() const { return path_; }
  bool Existed() const { return existed_; }
  // The file exists but is larger than kMaxIniBytes: it was not read, and
  // Save refuses to overwrite it.
  bool TooLarge() const { return tooLarge_; }

  bool HasSection(const std::string& section) const;
  std::optional<std::string> Read(const std::string& section, const std::string& key) const;
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  // Decimal, or hexadecimal after "0x"; anything else yields def.
  int ReadInteger(const std::string& section, const std::string& key, int def) const;

  // Creates the section or key when missing, replaces the value in place otherwise.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);

  // Replaces the file through ReplacingFile, so a failed save leaves the old
  // file whole. On failure shows the error box naming the file (unless
  // quiet) and returns false.
  bool Save(bool quiet = false);

  // The file's text as Save would write it.
  std::string Text() const;

 private:
  struct Impl;
  std::string path_;
  bool existed_ = false;
  bool tooLarge_ = false;
  std::unique_ptr<Impl> impl_;
};

// A double as the filter files keep it: written as "%le" text; read by
// offering def as "%le" text and parsing the value as "%lf", so a missing key
// keeps def to seven significant digits and text that is no number gives 0.0.
double ReadIniDouble(const IniFile& ini, const std::string& section, const std::string& key, double def);
void WriteIniDouble(IniFile& ini, const std::string& section, const std::string& key, double value);
