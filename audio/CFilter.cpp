#include "audio/CFilter.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "common/MessageBox.h"
#include "signal/SampleRate.h"

namespace {
int BoundBlock(int n) { return std::clamp(n, kMinBlock, kMaxBlock); }
}  // namespace

CFilter::CFilter(WaveDriver& driver, UiBridge* ui)
    : wave_(driver),
      ui_(ui),
      blockBuf_(new double[kBlockBufSize]()),
      stereoBuf_(new double[2 * kBlockBufSize]()),
      driver_(driver) {
  taps_.Add(spectrum_.Consumer());  // the first of the free slots
  outGain_.Setup(kSampleRate);
}

CFilter::~CFilter() {
  if (thread_.joinable()) {
    terminated_ = true;
    WaitForBody();
    thread_.join();
  }
  taps_.Remove(spectrum_.Consumer());
}

void CFilter::Resume() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] {
    Run();
    bodyDone_ = true;
  });
}

void CFilter::WaitForBody() {
  // The body may be waiting for the UI thread (its start-up call or a
  // message box), so the wait keeps serving UI events.
  while (!bodyDone_.load()) {
    if (ui_) ui_->ProcessPendingEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void CFilter::Stop() {
  if (stopped_.load() != 0) return;
  NormalPriority();
  terminated_ = true;
  while (stopped_.load() == 0) {
    if (ui_) ui_->ProcessPendingEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void CFilter::SetBufferSize(int n) {
  // The loop compares bufferSize with the size its devices were opened
  // with before every read and reopens both when they differ, so the next
  // pass runs wholly with the new size and no loss is counted.
  if (!BlockSizeAccepted(n) || n == bufferSize_.load()) return;
  bufferSize_.store(n);
}

void CFilter::SetDevices(const std::string& input, const std::string& output, int deviceRateHz) {
  if (!DeviceRateAccepted(deviceRateHz)) deviceRateHz = 0;
  std::lock_guard<std::mutex> lock(devicesLock_);
  if (wantIn_.id == input && wantOut_.id == output && wantIn_.rateHz == deviceRateHz) return;
  wantIn_ = {input, deviceRateHz, 0};
  wantOut_ = {output, deviceRateHz, 0};
  devicesWanted_.fetch_add(1);
}

bool CFilter::TakeDeviceChoice() {
  const int wanted = devicesWanted_.load();
  if (wanted == devicesOpened_) return false;
  devicesOpened_ = wanted;
  std::lock_guard<std::mutex> lock(devicesLock_);
  wave_.inRequest = wantIn_;
  wave_.outRequest = wantOut_;
  return true;
}

CFilter::DeviceStatus CFilter::Devices() const {
  std::lock_guard<std::mutex> lock(devicesLock_);
  DeviceStatus s = status_;
  s.delayMs = delayUs_.load(std::memory_order_relaxed) / 1000.0;
  return s;
}

void CFilter::NoteDevices(bool inOk, bool outOk) {
  // Descriptions are read here, between passes, so the UI never touches a
  // device the loop may be closing.
  std::string in = inOk && wave_.inHandle ? wave_.inHandle->Description() : std::string();
  std::string out = outOk && wave_.outHandle ? wave_.outHandle->Description() : std::string();
  int rate = 0;
  if (inOk && wave_.inHandle) rate = wave_.inHandle->DeviceRateHz();
  if (!rate && outOk && wave_.outHandle) rate = wave_.outHandle->DeviceRateHz();
  std::string backend = driver_.BackendName();
  std::lock_guard<std::mutex> lock(devicesLock_);
  status_.backend = std::move(backend);
  status_.input = std::move(in);
  status_.output = std::move(out);
  blocksSinceOpen_ = 0;
  cutsSeen_ = outOk && wave_.outHandle ? wave_.outHandle->Cuts() : 0;
  delayUs_.store(0, std::memory_order_relaxed);
  status_.outputChannels = outChannels_.load();
  status_.stereoRefused = stereoRefused_.load();
  status_.inputMissing = !inOk;
  status_.outputMissing = !outOk;
  if (rate) status_.deviceRateHz = rate;
}

void CFilter::NoteDelay(int frames) {
  // A sample waits for its block to fill (one block), then behind what is
  // queued ahead of that block, then in the server and the hardware on
  // either side: the block just queued and those ahead, less what the
  // backend took already (it says how much it holds itself), and the
  // captured blocks not yet read when the loop fell behind.
  // A cut in what playback held is heard as a jump: counted as a loss.
  const long cuts = wave_.outHandle ? wave_.outHandle->Cuts() : 0;
  if (cuts > cutsSeen_) {
    lostCount_.fetch_add(static_cast<int>(cuts - cutsSeen_));
    lostTotal_.fetch_add(cuts - cutsSeen_, std::memory_order_relaxed);
  }
  cutsSeen_ = cuts;
  const long queued = wave_.outHandle ? wave_.outHandle->QueuedFrames() : -1;
  long us = static_cast<long>((queued >= 0 ? static_cast<double>(queued)
                                           : wave_.QueuedOutput() * static_cast<double>(frames)) *
                              1e6 / kSampleRate);
  us += static_cast<long>(wave_.CapturedWaiting() * 1e6 * frames / kSampleRate);
  if (wave_.inHandle) us += wave_.inHandle->LatencyUs();
  if (wave_.outHandle) us += wave_.outHandle->LatencyUs();
  // Fresh streams settle for a moment (a server reports its whole buffer
  // at first): the delay is shown once half a second has played on them.
  if (++blocksSinceOpen_ * frames < kSampleRateHz / 2) us = 0;
  delayUs_.store(us, std::memory_order_relaxed);
}

int CFilter::OpenSize() const { return BoundBlock(bufferSize_.load()); }

bool CFilter::VolumeUp() {
  const std::uint32_t v = volume_.load();
  if (v == 1 || (v >> 28) == 0xF) return false;
  volume_.store(v + (1u << 28));
  wave_.SetVolume(volume_.load());
  return true;
}

bool CFilter::VolumeDown() {
  const std::uint32_t v = volume_.load();
  if (v == 1 || (v >> 28) == 0) return false;
  volume_.store(v - (1u << 28));
  wave_.SetVolume(volume_.load());
  return true;
}

void CFilter::RaisePriority() {
  // One step above normal where the system lets us; never a failure.
  const int tid = static_cast<int>(::syscall(SYS_gettid));
  threadId_ = tid;
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (errno == 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice - 1);
}

void CFilter::NormalPriority() {
  if (const int tid = threadId_.load()) ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 0);
}

SpectrumSnapshot CFilter::TakeSpectrum() {
  SpectrumSnapshot s;
  spectrum_.Take(s.levels);
  s.width = fftWidth_.load();
  s.trace = spectrum_.Mode() != 0;
  int lost = lostCount_.load();
  if (lost != 0 || core_.overload.load() != 0) {
    s.warning = lost != 0 ? "Lost" : "Over";
    core_.overload.store(0);
    // The loop may add a loss meanwhile; take exactly one off.
    while (lost > 0 && !lostCount_.compare_exchange_weak(lost, lost - 1)) {
    }
  }
  return s;
}

bool CFilter::Recover() {
  lostCount_.fetch_add(1);
  lostTotal_.fetch_add(1, std::memory_order_relaxed);
  // A reopen that fails again before a block went through meets the same
  // condition the next time: back off, waiting longer for the first
  // buffer (4.5, 9, 18 s) and pausing before the reopen (0.25 s doubling
  // to 2 s), so that such a loop cannot spin for ever.
  failedStarts_ = flowing_ ? 0 : std::min(failedStarts_ + 1, 6);
  wave_.SetFirstBufferPatience(kWaveFirstBufferMs << std::min(failedStarts_ / 2, 2));
  if (failedStarts_ >= 2) {
    const int pauseMs = std::min(250 << (failedStarts_ - 2), 2000);
    for (int waited = 0; waited < pauseMs && !terminated_.load(); waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // What playback still holds is dropped: the loss is counted already, and a
  // server that went away would never play it (the drain would wait out
  // its time-out).
  return Reopen(false);
}

bool CFilter::OpenPlayback(int frames) {
  WaveFormat format = waveFormat_;
  format.channels = core_.OutputChannels();
  format.blockAlign = format.channels * format.bitsPerSample / 8;
  format.avgBytesPerSec = format.blockAlign * format.samplesPerSec;
  bool ok = wave_.OpenOutput(format, frames) == 0;
  const bool refused = !ok && format.channels == 2;
  if (refused) {
    // A device of one channel: the ears are heard mixed, as mono.
    format.channels = 1;
    format.blockAlign = format.bitsPerSample / 8;
    format.avgBytesPerSec = format.blockAlign * format.samplesPerSec;
    ok = wave_.OpenOutput(format, frames) == 0;
  }
  outChannels_.store(ok ? format.channels : 1);
  stereoRefused_.store(ok && refused);
  return ok;
}

void CFilter::SetOutput(OutputMode mode, double balance) {
  // The ears change between two blocks; a new channel count also reopens
  // playback between two passes.
  core_.SetOutput(mode, balance);
}

bool CFilter::RetryMissing() {
  if (TakeDeviceChoice() || OpenSize() != openSize_) return Reopen(true);
  const bool inOk = wave_.InputOpen() || wave_.OpenInput(waveFormat_, openSize_) == 0;
  bool outOk = inputOnly_.load() || wave_.OutputOpen();
  if (!outOk && (outOk = OpenPlayback(openSize_))) wave_.SetVolume(volume_.load());
  NoteDevices(inOk, outOk);
  return inOk && outOk;
}

bool CFilter::Reopen(bool drain) {
  flowing_ = false;
  const int n = OpenSize();
  openSize_ = n;
  // Both close before either opens: closing playback waits for what is
  // queued to play out, and capture opened before that wait would overrun
  // and cost a second loss.
  wave_.CloseInput();
  wave_.CloseOutput(drain);
  const bool inOk = wave_.OpenInput(waveFormat_, n) == 0;
  const bool outOk = OpenPlayback(n);
  if (outOk) wave_.SetVolume(volume_.load());
  NoteDevices(inOk, outOk || inputOnly_.load());
  // Without capture every pass fails at once, without playback every pass
  // fails at its first write: only both reopened end the calm retry.
  return inOk && (outOk || inputOnly_.load());
}

void CFilter::Run() {
  RaisePriority();
  openSize_ = OpenSize();
  TakeDeviceChoice();
  const bool inOk = wave_.OpenInput(waveFormat_, openSize_) == 0;
  if (!inOk) {
    ErrorBox("Cannot open the sound devaice!   ");
    // A device the user chose may be plugged in later: keep trying it (the
    // status bar shows it missing). Without a choice there is nothing to
    // wait for.
    if (wave_.inRequest.id.empty()) return;
  }
  const bool outOk = OpenPlayback(openSize_);
  if (!outOk) {
    inputOnly_ = 1;
    ErrorBox("再生デバイスがオープンできません.");
  } else if (volume_.load() == 1) {
    volume_.store(wave_.GetVolume());
  } else {
    wave_.SetVolume(volume_.load());
  }
  NoteDevices(inOk, outOk || inputOnly_.load());
  if (ui_ && updateVolumeButtons) ui_->RunOnUiThread(updateVolumeButtons);
  stopped_ = 0;

  double* const block = blockBuf_.get();
  bool idleBeforePass = !inOk;
  while (!terminated_.load()) {
    if (idleBeforePass) {
      // Neither device came back: retry at a calm pace instead of spinning.
      for (int i = 0; i < 10 && !terminated_.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (terminated_.load()) break;
      // Only what is missing is tried again: a device that works stays
      // open rather than being made anew ten times a second.
      if (!RetryMissing()) continue;
    }
    idleBeforePass = false;
    passes_.fetch_add(1, std::memory_order_relaxed);

    // A new block size or device choice, requested between two passes: no
    // loss. A choice that cannot be opened retries calmly.
    const bool channelsChanged = !inputOnly_.load() && core_.OutputChannels() != outChannels_.load() &&
                                 !(stereoRefused_.load() && core_.OutputChannels() == 2);
    if (TakeDeviceChoice() || OpenSize() != openSize_ || channelsChanged) {
      if (!Reopen(true)) {
        idleBeforePass = true;
        continue;
      }
    }

    int n = wave_.ReadInput(block, openSize_);
    if (n < 0) {
      idleBeforePass = !Recover();
      continue;
    }
    if (terminated_.load()) break;
    if (inputOnly_.load()) flowing_ = true;
    taps_.Publish(TapPoint::Input, block, n);
    const int playing = outChannels_.load();
    double* const stereo = stereoBuf_.get();
    const int made = core_.ProcessBlock(block, n, stereo);
    // The ears were switched off this moment: both play the mono result
    // until playback reopens with one channel (filled below, after the gain).
    // Quiet while a transmitter is keyed: what is heard, and what the taps
    // record of it.
    if (made == 2)
      outGain_.Process(stereo, n, 2);
    else
      outGain_.Process(block, n);
    if (playing == 2 && made == 1) {
      for (int i = 0; i < n; ++i) stereo[2 * i] = stereo[2 * i + 1] = block[i];
    }
    const double* heard = playing == 2 ? stereo : block;
    taps_.Publish(TapPoint::Output, made == 2 ? stereo : block, n, made);
    if (inputOnly_.load()) continue;

    const double* p = heard;
    while (n != 0) {
      const int r = wave_.WriteOutput(p, n);
      if (r < 0) {
        idleBeforePass = !Recover();
        break;
      }
      n -= r;
      p += static_cast<std::ptrdiff_t>(r) * playing;
    }
    if (n == 0) {
      flowing_ = true;
      blocksPlayed_.fetch_add(1, std::memory_order_relaxed);
      NoteDelay(openSize_);
    }
  }
  wave_.CloseInput();
  wave_.CloseOutput();
  stopped_ = 1;
}
