#include "signal/Settings.h"

#include <charconv>
#include <cstring>
#include <utility>

#include <unistd.h>

#include "common/IniFile.h"
#include "common/TextFormat.h"
#include "signal/FilterDefinition.h"
#include "signal/Presets.h"
#include "signal/SampleRate.h"
#include "signal/Stages.h"

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
  dir = ini.ReadString(kDefine, "RecDir", s.recordDir);
  if (dir.size() <= 4096) s.recordDir = dir;
  s.recordInput = ini.ReadInteger(kDefine, "RecInput", s.recordInput) != 0 ? 1 : 0;
  s.recordFlac = ini.ReadInteger(kDefine, "RecFlac", s.recordFlac) != 0 ? 1 : 0;
  // A device id without a known backend is nobody's device: the default.
  for (auto [key, field] : {std::pair{"InDevice", &s.inDevice}, std::pair{"OutDevice", &s.outDevice}}) {
    const std::string id = ini.ReadString(kDefine, key, *field);
    *field = DeviceIdWellFormed(id) ? id : std::string();
  }
  const int rate = ini.ReadInteger(kDefine, "DeviceRate", s.deviceRate);
  if (DeviceRateAccepted(rate)) s.deviceRate = rate;
  s.noiseReduction = ReadBounded(ini, "NR", s.noiseReduction, 0, kNrLevels);
  s.noiseBlanker = ini.ReadInteger(kDefine, "NB", s.noiseBlanker) != 0 ? 1 : 0;
  if (const auto notches = ini.Read(kDefine, "Notches")) s.notches = ParseNotchList(*notches);
  s.noiseReductionLevel = ReadBounded(ini, "NRLevel", s.noiseReductionLevel, 1, kNrLevels);
  s.output = ReadBounded(ini, "Output", s.output, 0, kOutputModeCount - 1);
  const double balance = ReadIniDouble(ini, kDefine, "Balance", s.balance);
  if (BalanceAccepted(balance)) s.balance = balance;
  s.waterfall = ini.ReadInteger(kDefine, "Waterfall", s.waterfall) != 0 ? 1 : 0;
  s.wfHeight = ReadBounded(ini, "WfHeight", s.wfHeight, kWfMinHeight, kWfMaxHeight);
  s.wfSpeed = ReadBounded(ini, "WfSpeed", s.wfSpeed, kWfMinSpeed, kWfMaxSpeed);
  if (const int zoom = ini.ReadInteger(kDefine, "WfZoom", s.wfZoom); zoom == BoundWfZoom(zoom)) s.wfZoom = zoom;
  s.wfContrast = ReadBounded(ini, "WfContrast", s.wfContrast, 0, 2);
  const std::string rig = ini.ReadString(kDefine, "Rig", s.rig);
  if (rig.size() <= 4096) s.rig = rig;
  s.rigFollowPitch = ini.ReadInteger(kDefine, "RigFollowPitch", s.rigFollowPitch) != 0 ? 1 : 0;
  s.rigTxMute = ReadBounded(ini, "RigTxMute", s.rigTxMute, 0, kMaxRigTxMuteDb);
  s.rigTxHang = ReadBounded(ini, "RigTxHang", s.rigTxHang, 0, kMaxRigTxHangMs);
  s.decoder = ini.ReadInteger(kDefine, "Decoder", s.decoder) != 0 ? 1 : 0;
  s.decoderTrack = ini.ReadInteger(kDefine, "DecoderTrack", s.decoderTrack) != 0 ? 1 : 0;
  s.skimmer = ini.ReadInteger(kDefine, "Skimmer", s.skimmer) != 0 ? 1 : 0;
  s.decoderSource = ReadBounded(ini, "DecoderSource", s.decoderSource, 0, 1);

  for (int k = 0; k < kUserSlotCount; ++k) userSlots[k].ReadIni(ini, k);
}

std::vector<double> ParseNotchList(const std::string& text) {
  std::vector<double> hz;
  std::size_t at = 0;
  while (at <= text.size() && hz.size() < kMaxNotches) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    std::size_t from = at, to = comma;
    while (from < to && text[from] == ' ') ++from;
    while (to > from && text[to - 1] == ' ') --to;
    // The whole item a plain number, else it is dropped.
    double v = 0.0;
    const auto [end, ec] = std::from_chars(text.data() + from, text.data() + to, v);
    if (ec == std::errc() && end == text.data() + to && to > from && v >= kMinNotchHz && v <= kMaxNotchHz)
      hz.push_back(v);
    at = comma + 1;
  }
  return hz;
}

std::string NotchListText(const std::vector<double>& hz) {
  std::string text;
  for (std::size_t i = 0; i < hz.size() && i < kMaxNotches; ++i) {
    if (i) text += ',';
    text += FormatGeneral(hz[i]);
  }
  return text;
}

bool DeviceIdWellFormed(const std::string& id) {
  if (id.size() > 1024) return false;
  for (const char* prefix : {"pulse:", "alsa:"}) {
    const std::size_t n = std::strlen(prefix);
    if (id.size() > n && id.compare(0, n, prefix) == 0) return true;
  }
  return false;
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
  ini.WriteString(kDefine, "RecDir", s.recordDir);
  ini.WriteInteger(kDefine, "RecInput", s.recordInput);
  ini.WriteInteger(kDefine, "RecFlac", s.recordFlac);
  ini.WriteString(kDefine, "InDevice", s.inDevice);
  ini.WriteString(kDefine, "OutDevice", s.outDevice);
  ini.WriteInteger(kDefine, "DeviceRate", s.deviceRate);
  ini.WriteInteger(kDefine, "NR", s.noiseReduction);
  ini.WriteInteger(kDefine, "NB", s.noiseBlanker);
  ini.WriteString(kDefine, "Notches", NotchListText(s.notches));
  ini.WriteInteger(kDefine, "NRLevel", s.noiseReductionLevel);
  ini.WriteInteger(kDefine, "Output", s.output);
  ini.WriteString(kDefine, "Balance", FormatFixed(s.balance));
  ini.WriteInteger(kDefine, "Waterfall", s.waterfall);
  ini.WriteInteger(kDefine, "WfHeight", s.wfHeight);
  ini.WriteInteger(kDefine, "WfSpeed", s.wfSpeed);
  ini.WriteInteger(kDefine, "WfZoom", s.wfZoom);
  ini.WriteInteger(kDefine, "WfContrast", s.wfContrast);
  ini.WriteString(kDefine, "Rig", s.rig);
  ini.WriteInteger(kDefine, "RigFollowPitch", s.rigFollowPitch);
  ini.WriteInteger(kDefine, "RigTxMute", s.rigTxMute);
  ini.WriteInteger(kDefine, "RigTxHang", s.rigTxHang);
  ini.WriteInteger(kDefine, "Decoder", s.decoder);
  ini.WriteInteger(kDefine, "DecoderTrack", s.decoderTrack);
  ini.WriteInteger(kDefine, "Skimmer", s.skimmer);
  ini.WriteInteger(kDefine, "DecoderSource", s.decoderSource);
  for (int k = 0; k < kUserSlotCount; ++k) userSlots[k].WriteIni(ini, k);
}

SettingsPlace FindSettingsPlace(const std::string& explicitFile, const std::string& startDir, bool buildTree,
                                const std::string& xdgConfigHome, const std::string& home) {
  const std::string homeDir = home.empty() ? "/" : (home.back() == '/' ? home : home + "/");
  SettingsPlace place;
  if (!explicitFile.empty()) {
    place.file = explicitFile;
    const std::size_t slash = explicitFile.rfind('/');
    place.dialogDir = slash == std::string::npos ? startDir : explicitFile.substr(0, slash + 1);
    place.portable = true;
    return place;
  }
  const std::string beside = startDir + "Tarvik.ini";
  if (buildTree || (::access(startDir.c_str(), W_OK) == 0 && ::access(beside.c_str(), F_OK) == 0)) {
    place.file = beside;
    place.dialogDir = startDir;
    place.portable = true;
    return place;
  }
  std::string config =
      !xdgConfigHome.empty() && xdgConfigHome[0] == '/' ? xdgConfigHome : homeDir + ".config";
  if (config.back() != '/') config += '/';
  place.file = config + "tarvik/Tarvik.ini";
  place.dialogDir = homeDir;
  return place;
}
