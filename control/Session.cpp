#include "control/Session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "common/IniFile.h"
#include "signal/NoiseReduction.h"
#include "signal/SampleRate.h"

void InstallSelected(const Settings& s, const FilterDefinition* userSlots, FilterDefinition& def) {
  InstallPreset(def, s.select, s.fo, s.presetTap, userSlots);
}

ChainExtras ExtrasFor(const Settings& s) {
  ChainExtras e;
  e.nrLevel = s.noiseReduction > 0 ? BoundNrLevel(s.noiseReduction) : 0;
  e.blanker = s.noiseBlanker != 0;
  e.notchCount = static_cast<int>(std::min<std::size_t>(s.notches.size(), kMaxNotches));
  for (int i = 0; i < e.notchCount; ++i) e.notchHz[i] = s.notches[static_cast<std::size_t>(i)];
  return e;
}

Session::Session(WaveDriver& driver, UiBridge* ui)
    : slots_(new FilterDefinition[kUserSlotCount]), engine_(std::make_unique<CFilter>(driver, ui)) {
  SetDefaultUserDesigns(slots_.get(), s_.presetTap);
  s_.bufferSize = engine_->BufferSize();
  s_.fftMode = engine_->FftMode();
  s_.fftWidth = engine_->FftWidth();
  s_.volume = static_cast<int>(engine_->Volume());
}

Session::~Session() {
  // Whoever is still listening may be going too (members destroyed before
  // this one): tell nobody from here.
  listeners_.clear();
  Stop();
}

void Session::Start() {
  if (!engine_) return;
  SelectPreset(s_.select);
  engine_->Resume();
  PutDecoder();
}

void Session::Stop() {
  if (!engine_) return;
  decoder_.reset();  // off the engine's taps before the engine goes
  s_ = Current();  // the engine's own values outlive it, for a last save
  // Listeners holding the engine (a waterfall's tap) let go of it while it
  // still exists; Engine() is already null for them.
  const std::unique_ptr<CFilter> engine = std::move(engine_);
  Tell(kEngine);
  engine->Stop();
}

int Session::AddListener(Listener listener) {
  listeners_.emplace_back(nextListener_, std::move(listener));
  return nextListener_++;
}

void Session::RemoveListener(int id) {
  std::erase_if(listeners_, [id](const auto& l) { return l.first == id; });
}

void Session::Tell(unsigned changes) {
  if (decoder_ && (changes & kFilter)) decoder_->SetPitch(s_.fo);
  // A listener may add or remove listeners: walk a copy.
  const auto listeners = listeners_;
  for (const auto& l : listeners) l.second(changes);
}

Settings Session::Current() const {
  Settings s = s_;
  if (engine_) {
    s.bufferSize = engine_->BufferSize();
    s.fftMode = engine_->FftMode();
    s.fftWidth = engine_->FftWidth();
    s.volume = static_cast<int>(engine_->Volume());
  }
  return s;
}

void Session::SelectPreset(int code) {
  if (code < 0 || code >= kPresetCount) code = 0;
  if (code == 0) {
    if (s_.select == 0 && prevSelect_ != 0) {
      SelectPreset(prevSelect_);
      return;
    }
    prevSelect_ = s_.select;
  }
  s_.select = code;
  if (engine_) {
    FilterDefinition d = engine_->Definition();
    InstallSelected(s_, slots_.get(), d);
    engine_->SetDefinition(d);
  }
  Tell(kFilter);
}

bool Session::SetFo(double hz) {
  if (hz == s_.fo || !FoAccepted(hz)) return false;
  s_.fo = hz;
  Reselect();
  return true;
}

bool Session::StepFo(double hz) { return SetFo(BoundFo(s_.fo + hz)); }

bool Session::SetFoAt(double hz) { return SetFo(BoundFo(std::round(hz / kFoClickStepHz) * kFoClickStepHz)); }

bool Session::SetPresetTap(int tap) {
  if (tap == s_.presetTap || !PresetTapAccepted(tap)) return false;
  s_.presetTap = tap;
  Reselect();
  return true;
}

void Session::SetDcCut(bool on) {
  s_.dcCut = on ? 1 : 0;
  if (engine_) engine_->SetDcCut(on);
  Tell(kHighPass);
}

void Session::PutExtras() {
  if (engine_) engine_->SetExtras(ExtrasFor(s_));
  Tell(kExtras);
}

void Session::SetNoiseReduction(bool on, int level) {
  s_.noiseReductionLevel = BoundNrLevel(level);
  s_.noiseReduction = on ? s_.noiseReductionLevel : 0;
  PutExtras();
}

void Session::SetBlanker(bool on) {
  s_.noiseBlanker = on ? 1 : 0;
  PutExtras();
}

bool Session::AddNotch(double hz) {
  const double at = std::round(hz);
  if (s_.notches.size() >= kMaxNotches || !(at >= kMinNotchHz && at <= kMaxNotchHz)) return false;
  s_.notches.push_back(at);
  PutExtras();
  return true;
}

void Session::RemoveNotch(std::size_t index) {
  if (index >= s_.notches.size()) return;
  s_.notches.erase(s_.notches.begin() + static_cast<std::ptrdiff_t>(index));
  PutExtras();
}

void Session::ClearNotches() {
  s_.notches.clear();
  PutExtras();
}

void Session::SetOutput(OutputMode mode, double balance) {
  if (!OutputModeAccepted(static_cast<int>(mode))) mode = OutputMode::Mono;
  s_.output = static_cast<int>(mode);
  if (BalanceAccepted(balance)) s_.balance = balance;
  if (engine_) engine_->SetOutput(Output(), s_.balance);
  Tell(kOutput);
}

void Session::ChooseDevices(const std::string& input, const std::string& output, int rateHz) {
  s_.inDevice = input;
  s_.outDevice = output;
  s_.deviceRate = DeviceRateAccepted(rateHz) ? rateHz : 0;
  if (engine_) engine_->SetDevices(s_.inDevice, s_.outDevice, s_.deviceRate);
  Tell(kDevices);
}

void Session::SetBufferSize(int frames) {
  if (engine_) {
    engine_->SetBufferSize(frames);  // refuses sizes outside kMinBlock..kMaxBlock
    s_.bufferSize = engine_->BufferSize();
  }
  Tell(kDevices);
}

void Session::SetFftMode(int mode) {
  if (engine_) engine_->SetFftMode(mode);
  s_.fftMode = mode;
  Tell(kSpectrum);
}

void Session::SetFftWidth(int width) {
  if (engine_) engine_->SetFftWidth(width);
  s_.fftWidth = width;
  Tell(kSpectrum);
}

void Session::SetRecordDir(const std::string& dir) {
  s_.recordDir = dir;
  Tell(kRecording);
}

void Session::SetRecordInput(bool on) {
  s_.recordInput = on ? 1 : 0;
  Tell(kRecording);
}

void Session::SetRecordFlac(bool on) {
  s_.recordFlac = on ? 1 : 0;
  Tell(kRecording);
}

void Session::SetDialogDirs(const std::string& defDir, const std::string& hDir) {
  s_.defDir = defDir;
  s_.hDir = hDir;
}

void Session::SetWaterfall(bool on) {
  s_.waterfall = on ? 1 : 0;
  Tell(kWaterfall);
}

void Session::SetWfHeight(int pixels) {
  s_.wfHeight = std::clamp(pixels, kWfMinHeight, kWfMaxHeight);
  Tell(kWaterfall);
}

void Session::SetWfSpeed(int linesPerSecond) {
  s_.wfSpeed = std::clamp(linesPerSecond, kWfMinSpeed, kWfMaxSpeed);
  Tell(kWaterfall);
}

void Session::SetWfZoom(int hz) {
  s_.wfZoom = BoundWfZoom(hz);
  Tell(kWaterfall);
}

void Session::SetWfContrast(int contrast) {
  s_.wfContrast = std::clamp(contrast, 0, 2);
  Tell(kWaterfall);
}

void Session::SetDecoder(bool on) {
  s_.decoder = on ? 1 : 0;
  PutDecoder();
  Tell(kDecoder);
}

void Session::SetDecoderTrack(bool on) {
  s_.decoderTrack = on ? 1 : 0;
  PutDecoder();
  Tell(kDecoder);
}

void Session::SetSkimmer(bool on) {
  s_.skimmer = on ? 1 : 0;
  PutDecoder();
  Tell(kDecoder);
}

void Session::SetDecoderSource(int source) {
  const int want = source == 1 ? 1 : 0;
  if (want != s_.decoderSource) decoder_.reset();  // back on the other point below
  s_.decoderSource = want;
  PutDecoder();
  Tell(kDecoder);
}

void Session::PutDecoder() {
  decoderError_.clear();
  if (!engine_ || !s_.decoder) {
    decoder_.reset();
    if (s_.decoder) decoderError_ = "the sound is stopped";
    return;
  }
  if (!decoder_) {
    auto tap = std::make_unique<CwDecodeTap>(engine_->Taps());
    tap->SetPitch(s_.fo);
    if (!tap->Start(s_.decoderSource ? TapPoint::Output : TapPoint::Input, decoderError_)) return;
    decoder_ = std::move(tap);
  }
  decoder_->SetPitch(s_.fo);
  decoder_->SetTrack(s_.decoderTrack != 0);
  decoder_->SetSkimmer(s_.skimmer != 0);
}

bool Session::StartRecording(const std::string& stamp, std::string& error) {
  if (!engine_) {
    error = "the sound is stopped";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(s_.recordDir, ec);
  const std::string ext = s_.recordFlac ? ".flac" : ".wav";
  const bool withInput = s_.recordInput != 0;
  std::string out, in;
  for (int n = 1; n < 1000; ++n) {
    std::string base = s_.recordDir + "/Tarvik-" + stamp;
    if (rigFreqHz_ > 0.0) base += '-' + RigFrequencyTag(rigFreqHz_);
    if (n > 1) base += '-' + std::to_string(n);
    out = base + ext;
    in = withInput ? base + "-input" + ext : "";
    if (!std::filesystem::exists(out, ec) && (in.empty() || !std::filesystem::exists(in, ec))) break;
  }
  return engine_->StartRecording(out, in, s_.recordFlac ? RecordFormat::Flac : RecordFormat::Wav, error);
}

void Session::SetRig(const std::string& rigSpec, bool followPitch, int txMuteDb, int txHangMs) {
  rigOverride_.reset();
  s_.rig = rigSpec;
  s_.rigFollowPitch = followPitch ? 1 : 0;
  s_.rigTxMute = std::clamp(txMuteDb, 0, kMaxRigTxMuteDb);
  s_.rigTxHang = std::clamp(txHangMs, 0, kMaxRigTxHangMs);
  if (s_.rig.empty()) rigFreqHz_ = 0.0;
  Tell(kRig);
}

void Session::OverrideRig(const std::string& rigSpec) {
  rigOverride_ = rigSpec;
  Tell(kRig);
}

std::string RigFrequencyTag(double hz) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.2f", std::round(hz / 10.0) / 100.0);
  std::string t = buf;
  while (t.back() == '0') t.pop_back();
  if (t.back() == '.') t.pop_back();
  return t + "kHz";
}

void Session::StoreSlot(int k, const FilterDefinition& d) {
  FilterDefinition& slot = slots_[ClampSlot(k)];
  slot = d;
  slot.ForgetWeights();
  Tell(kSlots);
}

void Session::Play(const FilterDefinition& d) {
  if (engine_) engine_->SetDefinition(d);
  Tell(kFilter);
}

bool Session::Load(const std::string& file) {
  // A file too large is not read (it reads as empty), and the rest goes on
  // with the defaults.
  IniFile ini(file);
  Settings s = Current();
  ReadSettings(ini, s, slots_.get());
  // The level in force is the one chosen last.
  if (s.noiseReduction > 0) s.noiseReductionLevel = s.noiseReduction;
  s_ = s;
  prevSelect_ = s_.select;
  if (engine_) {
    engine_->SetBufferSize(s_.bufferSize);
    engine_->SetFftMode(s_.fftMode);
    engine_->SetFftWidth(s_.fftWidth);
    engine_->SetStartVolume(static_cast<std::uint32_t>(s_.volume));
    engine_->SetDcCut(s_.dcCut != 0);
  }
  ChooseDevices(s_.inDevice, s_.outDevice, s_.deviceRate);
  if (engine_) engine_->SetOutput(Output(), s_.balance);
  PutExtras();
  Tell(kAll);
  return !ini.TooLarge();
}

void Session::Write(IniFile& ini) const { WriteSettings(ini, Current(), slots_.get()); }

bool Session::Save(const std::string& file, bool quiet) const {
  // The user's settings directory may not exist before the first save.
  const std::size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    std::error_code ec;
    std::filesystem::create_directories(file.substr(0, slash), ec);
  }
  IniFile ini(file);
  Write(ini);
  return ini.Save(quiet);
}

std::string Session::Text() const {
  IniFile ini{std::string()};
  Write(ini);
  return ini.Text();
}
