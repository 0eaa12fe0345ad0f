#include "signal/Settings.h"

#include "common/IniFile.h"
#include "signal/FilterDefinition.h"
#include "signal/Presets.h"
#include "signal/SampleRate.h"

namespace {
const char* const kDefine = "Define";

int ReadBounded(const IniFile& ini, const char* key, int current, int lo, int hi) {
  const int v = ini.ReadInteger(kDefine, key, current);
  return v >= lo && v <= hi ? v : current;
}
}  // namespace

void ReadSettings(const IniFile& ini, Settings& s, FilterDefinition* userSlots) {
  std::string dir = ini.ReadString(kDefine, "DefDir", s.defDir);
  if (dir.size() <= kMaxDirText) s.defDir = dir;
  dir = ini.ReadString(kDefine, "HDir", s.hDir);
  if (dir.size() <= kMaxDirText) s.hDir = dir;

  s.select = ReadBounded(ini, "Select", s.select, 0, kPresetCount - 1);
  const int tap = ini.ReadInteger(kDefine, "Tap", s.presetTap);
  if (PresetTapAccepted(tap)) s.presetTap = tap;
  const double fo = ReadIniDouble(ini, kDefine, "Fo", s.fo);
  if (FoAccepted(fo)) s.fo = fo;
  s.bufferSize = ReadBounded(ini, "BuffSize", s.bufferSize, kMinBlock, kMaxBlock);
  s.fftMode = ReadBounded(ini, "FFTSW", s.fftMode, 0, 2);
  s.fftWidth = ReadBounded(ini, "FFTFW", s.fftWidth, 0, 3);
  s.volume = ini.ReadInteger(kDefine, "Volume", s.volume);
  s.dcCut = ini.ReadInteger(kDefine, "DCCut", s.dcCut) != 0 ? 1 : 0;

  for (int k = 0; k < kUserSlotCount; ++k) userSlots[k].ReadIni(ini, k);
}

void WriteSettings(IniFile& ini, const Settings& s, const FilterDefinition* userSlots) {
  ini.WriteString(kDefine, "DefDir", s.defDir);
  ini.WriteString(kDefine, "HDir", s.hDir);
  ini.WriteInteger(kDefine, "Select", s.select);
  ini.WriteInteger(kDefine, "Tap", s.presetTap);
  WriteIniDouble(ini, kDefine, "Fo", s.fo);
  ini.WriteInteger(kDefine, "BuffSize", s.bufferSize);
  ini.WriteInteger(kDefine, "FFTSW", s.fftMode);
  ini.WriteInteger(kDefine, "FFTFW", s.fftWidth);
  ini.WriteInteger(kDefine, "Volume", s.volume);
  ini.WriteInteger(kDefine, "DCCut", s.dcCut);
  for (int k = 0; k < kUserSlotCount; ++k) userSlots[k].WriteIni(ini, k);
}
