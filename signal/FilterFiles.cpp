// Filter definitions as INI sections, and the coefficient text export.

#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/IniFile.h"
#include "common/ReplacingFile.h"
#include "common/TextFormat.h"
#include "signal/FilterDefinition.h"

namespace {

std::string SectionName(int slot) {
  if (slot < 0) return "UserSetup";
  std::string name("User");
  name += std::to_string(slot + 1);
  return name;
}

std::string HKey(int i) {
  std::string key("H");
  key += std::to_string(i);
  return key;
}

bool IsDesignedType(int type) { return type >= FilterType::LPF && type <= FilterType::BEF; }

}  // namespace

bool FilterDefinition::ReadIni(const IniFile& ini, int slot) {
  const std::string sec = SectionName(slot);

  FilterParams p = params;
  int ratio = overSmp, n = tap, delay = lmsDelay, inv = lmsInv, agc = lmsAGC;
  double mu2 = lmsMU2, gm = lmsGM;

  p.type = ini.ReadInteger(sec, "Type", p.type);
  ratio = ini.ReadInteger(sec, "OverSmp", ratio);
  n = ClampTap(ini.ReadInteger(sec, "Tap", n));
  p.tap = n;
  p.fs = ReadIniDouble(ini, sec, "FS", p.fs);
  p.fcl = ReadIniDouble(ini, sec, "FCL", p.fcl);
  p.fch = ReadIniDouble(ini, sec, "FCH", p.fch);
  p.att = ReadIniDouble(ini, sec, "ATT", p.att);
  p.gain = ReadIniDouble(ini, sec, "GAIN", p.gain);
  delay = ClampLmsDelay(ini.ReadInteger(sec, "lmsDelay", delay));
  inv = ini.ReadInteger(sec, "lmsInv", inv);
  agc = ini.ReadInteger(sec, "lmsAGC", agc);
  mu2 = ReadIniDouble(ini, sec, "lmsMU2", mu2);
  gm = ReadIniDouble(ini, sec, "lmsGM", gm);

  bool valid = p.type >= 0 && p.type <= 5 && RatioAccepted(ratio);
  for (double v : {p.fs, p.fcl, p.fch, p.att, p.gain, mu2, gm})
    if (!std::isfinite(v)) valid = false;
  if (IsDesignedType(p.type) && (n == 0 || !(p.fs > 0.0) || !GainAccepted(p.gain))) valid = false;
  if (p.type == FilterType::LMS && (!LmsStepAccepted(mu2) || !LmsLeakAccepted(gm))) valid = false;

  double coefs[kCoefCount];
  if (valid && p.type == FilterType::User) {
    std::memcpy(coefs, h, sizeof(double) * (n + 1));
    for (int i = 0; i <= n; ++i) {
      coefs[i] = ReadIniDouble(ini, sec, HKey(i), coefs[i]);
      if (!std::isfinite(coefs[i])) valid = false;
    }
  }

  if (!valid) {
    // A broken definition must not divide by zero or play garbage: it loads
    // as the through setting and the rest of the definition stays as it was.
    SetThrough();
    return false;
  }

  if (IsDesignedType(p.type)) {
    DesignFir(coefs, p);
    for (int i = 0; i <= n; ++i)
      if (!std::isfinite(coefs[i])) valid = false;
    if (!valid) {
      SetThrough();
      return false;
    }
  }

  params = p;
  overSmp = ratio;
  tap = n;
  lmsDelay = delay;
  lmsInv = inv;
  lmsAGC = agc;
  lmsMU2 = mu2;
  lmsGM = gm;
  if (p.type == FilterType::LMS)
    std::memset(h, 0, sizeof h);
  else
    std::memcpy(h, coefs, sizeof(double) * (n + 1));
  return true;
}

void FilterDefinition::WriteIni(IniFile& ini, int slot) const {
  const std::string sec = SectionName(slot);
  ini.WriteInteger(sec, "Type", params.type);
  ini.WriteInteger(sec, "OverSmp", overSmp);
  ini.WriteInteger(sec, "Tap", tap);
  WriteIniDouble(ini, sec, "FS", params.fs);
  WriteIniDouble(ini, sec, "FCL", params.fcl);
  WriteIniDouble(ini, sec, "FCH", params.fch);
  WriteIniDouble(ini, sec, "ATT", params.att);
  WriteIniDouble(ini, sec, "GAIN", params.gain);
  ini.WriteInteger(sec, "lmsDelay", lmsDelay);
  ini.WriteInteger(sec, "lmsInv", lmsInv);
  ini.WriteInteger(sec, "lmsAGC", lmsAGC);
  WriteIniDouble(ini, sec, "lmsMU2", lmsMU2);
  WriteIniDouble(ini, sec, "lmsGM", lmsGM);
  if (params.type == FilterType::User)
    for (int i = 0; i <= tap; ++i) WriteIniDouble(ini, sec, HKey(i), h[i]);
}

std::string FilterDefinition::CoefFileText() const {
  const FilterDefinition& d = *this;
  const FilterParams& p = d.params;
  std::string text("/*Tap=");
  text += std::to_string(static_cast<unsigned>(d.tap));
  text += ' ';
  text += TypeName(p.type);
  const bool designed = IsDesignedType(p.type);
  auto field = [&text](const char* before, double value, const char* after) {
    text += before;
    text += FormatFixed(value);
    text += after;
  };
  if (p.type == FilterType::LPF || p.type == FilterType::HPF) {
    field(" fs=", p.fs, "[Hz]");
    field(" fc=", p.fcl, "[Hz]");
    field(" ", p.att, "[dB]");
    field(" Gain=", p.gain, "*/\n");
  } else if (designed) {
    field(" fs=", p.fs, "[Hz]");
    field(" fcl=", p.fcl, "[Hz]");
    field(" fch=", p.fch, "[Hz]");
    field(" ", p.att, "[dB]");
    field(" Gain=", p.gain, "*/\n");
  } else {
    text += "*/\n";
  }
  text += "{\n";
  for (int i = 0; i <= d.tap; ++i) {
    text += '\t';
    text += FormatExp(d.h[d.tap - i]);
    text += ",\t/*H[";
    text += std::to_string(i);
    text += ']';
    if (designed) {
      text += "=H[";
      text += std::to_string(d.tap - i);
      text += ']';
    }
    text += "*/\n";
  }
  text += "}\n";
  return text;
}

bool FilterDefinition::WriteCoefFile(const std::string& path, std::string& error) const {
  if (ReplaceFileAtomically(path, CoefFileText())) return true;
  error = "ファイルが作成できません.";
  return false;
}
