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
  // The CW decoder: on, following the strongest tone near Fo, the skimmer,
  // and what it listens to (0 the input, 1 the output).
  int decoder = 0;
  int decoderTrack = 0;
  int skimmer = 0;
  int decoderSource = 0;
};

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
// the added stages' keys (NR, NB, Notches, NRLevel) and the decoder's
// (Decoder, DecoderTrack, Skimmer, DecoderSource) after them, then the six
// slots.
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
