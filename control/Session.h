#pragma once
// The listening session: what the listener has chosen (the preset, Fo, the
// preset tap count, the six user slots, the high-pass, noise reduction, the
// blanker, the notches, the devices and their rate, the recording options,
// the dialogs' directories) and the engine it plays through. The window, the
// offline tool and any later driver of the state (a rig link) change it only
// here: each operation puts its change in force and tells the listeners.
//
// Threads: the user-interface thread only. A driver on another thread posts
// its change to that thread first.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/CFilter.h"
#include "control/CwDecodeTap.h"
#include "signal/FilterDefinition.h"
#include "signal/Presets.h"
#include "signal/Settings.h"

class IniFile;
class UiBridge;
class WaveDriver;

// The one mapping from a listening state to the chain, for the live engine
// and the offline tool alike: the state's preset at its Fo and tap count
// into `def` (fields the preset does not set keep their values, as a click
// keeps them), and its added stages (noise reduction, blanker, notches).
void InstallSelected(const Settings& s, const FilterDefinition* userSlots, FilterDefinition& def);
ChainExtras ExtrasFor(const Settings& s);

// A click on a display sets Fo to this step, in Hz.
constexpr double kFoClickStepHz = 5.0;

class Session {
 public:
  // What changed, for the listeners.
  enum Change : unsigned {
    kFilter = 1u << 0,    // the preset in force, Fo or the tap count
    kHighPass = 1u << 1,  // the 80 Hz high-pass
    kExtras = 1u << 2,    // noise reduction, blanker, notches
    kDevices = 1u << 3,   // the devices, their rate or the block size
    kSpectrum = 1u << 4,  // the spectrum's source or width
    kRecording = 1u << 5, // the recording options
    kSlots = 1u << 6,     // a user slot
    kOutput = 1u << 7,    // mono, binaural or pan, and the balance
    kWaterfall = 1u << 8, // the waterfall pane: shown, height, speed, zoom, contrast
    kRig = 1u << 9,       // the rig link's settings
    kDecoder = 1u << 10,  // the CW decoder: on, tracking, skimmer, source
    kEngine = 1u << 11,   // the engine went (Stop): Engine() is null from now
    kAll = 0xFFFu,
  };
  using Listener = std::function<void(unsigned changes)>;

  // The engine is created suspended on driver; ui may be null (tests).
  Session(WaveDriver& driver, UiBridge* ui);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The engine, the windows' door to the sound; null once stopped.
  CFilter* Engine() const { return engine_.get(); }
  // Puts the preset in force and starts the engine.
  void Start();
  // Stops the engine and lets it go; the state stays readable and savable.
  void Stop();

  // Listeners are told after every change, in the order they were added.
  int AddListener(Listener listener);
  void RemoveListener(int id);

  // --- the state ----------------------------------------------------------
  int Select() const { return s_.select; }
  int PreviousSelect() const { return prevSelect_; }
  double Fo() const { return s_.fo; }
  int PresetTap() const { return s_.presetTap; }
  bool DcCut() const { return s_.dcCut != 0; }
  bool NrOn() const { return s_.noiseReduction > 0; }
  int NrLevel() const { return s_.noiseReductionLevel; }  // kept while off
  bool Blanker() const { return s_.noiseBlanker != 0; }
  const std::vector<double>& Notches() const { return s_.notches; }
  OutputMode Output() const { return static_cast<OutputMode>(s_.output); }
  double Balance() const { return s_.balance; }
  const std::string& InDevice() const { return s_.inDevice; }
  const std::string& OutDevice() const { return s_.outDevice; }
  int DeviceRate() const { return s_.deviceRate; }
  const std::string& RecordDir() const { return s_.recordDir; }
  bool RecordInput() const { return s_.recordInput != 0; }
  bool RecordFlac() const { return s_.recordFlac != 0; }
  bool Waterfall() const { return s_.waterfall != 0; }
  int WfHeight() const { return s_.wfHeight; }
  int WfSpeed() const { return s_.wfSpeed; }
  int WfZoom() const { return s_.wfZoom; }
  int WfContrast() const { return s_.wfContrast; }
  bool DecoderOn() const { return s_.decoder != 0; }
  bool DecoderTrack() const { return s_.decoderTrack != 0; }
  bool SkimmerOn() const { return s_.skimmer != 0; }
  int DecoderSource() const { return s_.decoderSource; }  // 0 input, 1 output
  // The running decoder, null while it is off or the engine stopped.
  CwDecodeTap* Decoder() const { return decoder_.get(); }
  // Why the decoder is on but not running ("" when it runs or is off).
  const std::string& DecoderError() const { return decoderError_; }
  const std::string& DefDir() const { return s_.defDir; }
  const std::string& HDir() const { return s_.hDir; }
  // The rig link in force: the setting, or --rig's for this run.
  const std::string& Rig() const { return rigOverride_ ? *rigOverride_ : s_.rig; }
  bool RigFollowPitch() const { return s_.rigFollowPitch != 0; }
  int RigTxMuteDb() const { return s_.rigTxMute; }  // 0 off
  int RigTxHangMs() const { return s_.rigTxHang; }
  const FilterDefinition& UserSlot(int k) const { return slots_[ClampSlot(k)]; }
  const FilterDefinition* UserSlots() const { return slots_.get(); }
  // Everything a save writes, with the engine's own (block size, spectrum,
  // volume) as they stand.
  Settings Current() const;

  // --- operations -----------------------------------------------------------
  // A preset button: code 0 is through, and through pressed again returns to
  // the preset before it. Codes outside 0..28 give through.
  void SelectPreset(int code);
  // The preset in force once more, as from its button (after a slot changed).
  void Reselect() { SelectPreset(s_.select); }
  // Fo as if typed: refused (false) outside kFoMinHz..kFoMaxHz; the preset in
  // force re-centres.
  bool SetFo(double hz);
  // Fo moved by hz and bounded; false when it stays.
  bool StepFo(double hz);
  // A click on a display: Fo there, to kFoClickStepHz and bounded.
  bool SetFoAt(double hz);
  // A typed tap count (PresetTapFromTyped's rule); false when refused.
  bool SetPresetTap(int tap);
  void SetDcCut(bool on);
  // Noise reduction on or off at a level (bounded to 1..4; kept while off).
  void SetNoiseReduction(bool on, int level);
  void SetBlanker(bool on);
  // A notch at hz (to 1 Hz); false when all are placed or hz is out of range.
  bool AddNotch(double hz);
  void RemoveNotch(std::size_t index);
  void ClearNotches();
  // What the ears hear; a balance out of -1..1 (or NaN) keeps the last.
  void SetOutput(OutputMode mode, double balance);
  // Devices (ids as the device layer takes them) and their rate, at once.
  void ChooseDevices(const std::string& input, const std::string& output, int rateHz);
  // Frames per block; sizes outside kMinBlock..kMaxBlock are refused.
  void SetBufferSize(int frames);
  void SetFftMode(int mode);
  void SetFftWidth(int width);
  void SetRecordDir(const std::string& dir);
  void SetRecordInput(bool on);
  void SetRecordFlac(bool on);
  void SetDialogDirs(const std::string& defDir, const std::string& hDir);
  // The waterfall pane; values out of range are bounded (height 60..600
  // px, 2..50 lines a second, zoom 0 or 200..5000 Hz, contrast 0..2).
  void SetWaterfall(bool on);
  void SetWfHeight(int pixels);
  void SetWfSpeed(int linesPerSecond);
  void SetWfZoom(int hz);
  void SetWfContrast(int contrast);
  // The rig link's settings (kept as given, bounded: txMuteDb 0..120,
  // txHangMs 0..2000); the link follows them.
  void SetRig(const std::string& rigSpec, bool followPitch, int txMuteDb, int txHangMs);
  // A rig for this run only (tarvik --rig): the saved setting stays.
  void OverrideRig(const std::string& rigSpec);
  // The rig's frequency (Hz; 0 none), for the recordings' names.
  void SetRigFrequency(double hz) { rigFreqHz_ = hz > 0.0 ? hz : 0.0; }
  // The CW decoder on the input (source 0) or the output (1) at Fo, or
  // following the strongest keyed tone within 100 Hz of it, with the
  // skimmer beside it when asked.
  void SetDecoder(bool on);
  void SetDecoderTrack(bool on);
  void SetSkimmer(bool on);
  void SetDecoderSource(int source);
  // Records what is heard (and the input, when chosen) into the recording
  // folder, creating it, as "Tarvik-<stamp>.wav" (or .flac; with the rig's
  // frequency "Tarvik-<stamp>-7030.5kHz.wav"), with "-2",
  // "-3" ... added when a file of that name is there: a recording never
  // replaces another. False, with the reason, when no file can be made.
  bool StartRecording(const std::string& stamp, std::string& error);
  // Stores a definition in slot k; a live LMS filter is stored without its
  // weights, which restart whenever it is put in force.
  void StoreSlot(int k, const FilterDefinition& d);
  // Plays d now without changing the selection (a slot being designed).
  void Play(const FilterDefinition& d);

  // --- settings -------------------------------------------------------------
  // Reads Tarvik.ini; every value the file does not hold (or holds out of
  // range) stays. False when the file is too large to read: nothing is read
  // and a save will not overwrite it.
  bool Load(const std::string& file);
  // Writes file (its directory created when missing); false when refused,
  // after the error box unless quiet.
  bool Save(const std::string& file, bool quiet) const;
  // What a save would write, to see whether anything changed.
  std::string Text() const;

 private:
  static int ClampSlot(int k) { return k < 0 ? 0 : (k >= kUserSlotCount ? kUserSlotCount - 1 : k); }
  void Write(IniFile& ini) const;
  void PutExtras();
  void PutDecoder();
  void Tell(unsigned changes);

  Settings s_;
  int prevSelect_ = 0;
  std::unique_ptr<FilterDefinition[]> slots_;
  std::unique_ptr<CFilter> engine_;
  std::unique_ptr<CwDecodeTap> decoder_;  // registered with engine_'s taps
  std::string decoderError_;
  std::vector<std::pair<int, Listener>> listeners_;
  int nextListener_ = 1;
  std::optional<std::string> rigOverride_;
  double rigFreqHz_ = 0.0;
};

// "7030.5kHz" for 7030500 Hz: kHz to 10 Hz, no trailing zeros.
std::string RigFrequencyTag(double hz);
