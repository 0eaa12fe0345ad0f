#pragma once
// The settings file "Tarvik.ini": section "Define" with the general settings,
// then "User1".."User6" with the user filter slots.

#include <string>
#include <vector>

struct FilterDefinition;
class IniFile;

constexpr int kMaxDirText = 255;

struct Settings {
  std::string defDir;    // initial directory of the ".def" dialogs, with trailing "/"
  std::string hDir;      // initial directory of the coefficient file dialog
  int select = 0;        // selection code 0..28
  int presetTap = 100;   // even, 2..512
  double fo = 700.0;     // Hz
  int bufferSize = 512;  // frames per block, kMinBlock..kMaxBlock
  int fftMode = 0;       // 0 OFF, 1 IN, 2 OUT
  int fftWidth = 2;      // 0..3: 1K, 2K, 3K, 4K
  int volume = 1;        // playback volume word; 1 = the device's own
  int dcCut = 0;         // HPF button down
  // Recording: its folder ("" until the user picks one), the input too, FLAC.
  std::string recordDir;
  int recordInput = 0;
  int recordFlac = 0;
  // Sound devices: ids as the device layer takes them ("pulse:NAME",
  // "alsa:NAME"; "" the system's default) and the rate to run them at
  // (0: the program's own at the device).
  std::string inDevice;
  std::string outDevice;
  int deviceRate = 0;
  // Noise reduction (0 off, 1..4), the noise blanker (0 or 1) and the
  // notches (Hz, at most four); the level chosen last (1..4), kept while
  // noise reduction is off.
  int noiseReduction = 0;
  int noiseBlanker = 0;
  std::vector<double> notches;
  int noiseReductionLevel = 3;
  // What the ears hear: 0 mono, 1 binaural, 2 pan at a balance -1..1.
  int output = 0;
  double balance = 0.0;
  // The waterfall pane: shown (0 or 1), its height in pixels (60..600),
  // lines per second (2..50), the width it shows in Hz around Fo (0: the
  // whole 0..5512 Hz band, else 200..5000) and its contrast (0 low, 1
  // normal, 2 high).
  int waterfall = 1;
  int wfHeight = 160;
  int wfSpeed = 10;
  int wfZoom = 0;
  int wfContrast = 1;
  // The rig link: "" off, "rigctld:HOST:PORT" or "hamlib:MODEL:DEVICE:BAUD"
  // (kept as typed, even when it does not parse, for the user to mend); Fo
  // following the rig's CW pitch (0 or 1); the output lowered while the rig
  // transmits (0 off, else dB, 1..120, 120 silence) and for how long after
  // it unkeys (ms, 0..2000).
  std::string rig;
  int rigFollowPitch = 0;
  int rigTxMute = 0;
  int rigTxHang = 200;
  // The CW decoder: on, following the strongest tone near Fo, the skimmer,
  // and what it listens to (0 the input, 1 the output).
  int decoder = 0;
  int decoderTrack = 0;
  int skimmer = 0;
  int decoderSource = 0;
};

constexpr int kWfMinHeight = 60, kWfMaxHeight = 600;
constexpr int kWfMinSpeed = 2, kWfMaxSpeed = 50;
constexpr int kWfMinZoomHz = 200, kWfMaxZoomHz = 5000;
// A zoom as the settings take it: 0 (the whole band), else 200..5000 Hz.
constexpr int BoundWfZoom(int hz) { return hz <= 0 ? 0 : (hz < kWfMinZoomHz ? kWfMinZoomHz : (hz > kWfMaxZoomHz ? kWfMaxZoomHz : hz)); }

constexpr int kMaxRigTxMuteDb = 120;
constexpr int kMaxRigTxHangMs = 2000;

// "700,1500.5" -> {700, 1500.5}: numbers within the notches' range, at most
// four; anything else in the list is dropped.
std::vector<double> ParseNotchList(const std::string& text);
std::string NotchListText(const std::vector<double>& hz);

// True for "pulse:NAME" and "alsa:NAME" (NAME not empty).
bool DeviceIdWellFormed(const std::string& id);

// Reads "Define" and the six slots, each missing key keeping the value in
// `settings`/the slot. A value outside its range keeps the value it would
// replace, so the program never starts on a setting it cannot use.
void ReadSettings(const IniFile& ini, Settings& settings, FilterDefinition* userSlots);

// Writes "Define" with its ten keys in order, the recording keys (RecDir,
// RecInput, RecFlac), the device keys (InDevice, OutDevice, DeviceRate) and
// the added stages' keys (NR, NB, Notches, NRLevel), the output's (Output,
// Balance), the waterfall's (Waterfall, WfHeight, WfSpeed, WfZoom,
// WfContrast), the rig link's (Rig, RigFollowPitch, RigTxMute, RigTxHang)
// and the decoder's (Decoder, DecoderTrack, Skimmer, DecoderSource) after
// them, then the six slots.
void WriteSettings(IniFile& ini, const Settings& settings, const FilterDefinition* userSlots);

// Where "Tarvik.ini" lives. explicitFile: --settings (empty when not
// given), taken as is. startDir: the portable copy's directory (with a
// trailing "/"): it is used when it is writable and holds a Tarvik.ini, or
// when the program runs from its build tree. Otherwise the user's place:
// $XDG_CONFIG_HOME/tarvik/ (xdgConfigHome when absolute, else home +
// "/.config"), whose directory the first save creates.
struct SettingsPlace {
  std::string file;       // the settings file
  std::string dialogDir;  // where the file dialogs start by default, with "/"
  bool portable = false;  // beside the program (or --settings)
};
SettingsPlace FindSettingsPlace(const std::string& explicitFile, const std::string& startDir, bool buildTree,
                                const std::string& xdgConfigHome, const std::string& home);
