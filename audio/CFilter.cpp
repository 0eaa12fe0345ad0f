#include "audio/CFilter.h"
#include "signal/SampleRate.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/MessageBox.h"

namespace {
int BoundBlock(int n) { return std::clamp(n, 1, kBlockBufSize); }
}  // namespace

CFilter::CFilter(WaveDriver& driver, UiBridge* ui)
    : wave(driver), fftBuf(new double[kFftSize]()), ui_(ui), blockBuf_(new double[kBlockBufSize]()) {
  waveFormat.formatTag = 1;
  waveFormat.channels = 1;
  waveFormat.samplesPerSec = kSampleRateHz;
  waveFormat.bitsPerSample = 16;
  waveFormat.blockAlign = 2;
  waveFormat.avgBytesPerSec = 2 * kSampleRateHz;
}

CFilter::~CFilter() {
  if (thread_.joinable()) {
    terminated_ = true;
    WaitForBody();
    thread_.join();
  }
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
  if (stopped.load() != 0) return;
  NormalPriority();
  terminated_ = true;
  while (stopped.load() == 0) {
    if (ui_) ui_->ProcessPendingEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void CFilter::SetBufferSize(int n) {
  // The loop compares bufferSize with the size its devices were opened
  // with before every read and reopens both when they differ, so the next
  // pass runs wholly with the new size and no loss is counted.
  if (n < 1 || n > kBlockBufSize || n == bufferSize.load()) return;
  bufferSize.store(n);
}

int CFilter::OpenSize() const { return BoundBlock(bufferSize.load()); }

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

void CFilter::TapSpectrum(const double* block, int count) {
  if (fftReady.load(std::memory_order_acquire) == 1) return;
  const int k = std::min(count, kFftSize - fftFill);
  if (k > 0) std::memcpy(fftBuf.get() + fftFill, block, sizeof(double) * k);
  fftFill += k;
  if (fftFill >= kFftSize) {
    fftFill = 0;
    fftReady.store(1, std::memory_order_release);
  }
}

SpectrumSnapshot CFilter::TakeSpectrum() {
  if (fftReady.load(std::memory_order_acquire) == 1) {
    fft.Compute(fftBuf.get(), 0, 744, 30.0, 3, levels);
    fftReady.store(0, std::memory_order_release);
  }
  SpectrumSnapshot s{levels, fftWidth.load(), fftMode.load() != 0, nullptr};
  int lost = lostCount.load();
  if (lost != 0 || core.overload.load() != 0) {
    s.warning = lost != 0 ? "Lost" : "Over";
    core.overload.store(0);
    // The loop may add a loss meanwhile; take exactly one off.
    while (lost > 0 && !lostCount.compare_exchange_weak(lost, lost - 1)) {
    }
  }
  return s;
}

bool CFilter::Recover() {
  lostCount.fetch_add(1);
  return Reopen();
}

bool CFilter::Reopen() {
  const int n = OpenSize();
  openSize_ = n;
  // Both close before either opens: closing playback waits for what is
  // queued to play out (up to 2000 ms when it never started), and capture
  // opened before that wait would overrun and cost a second loss.
  wave.CloseInput();
  wave.CloseOutput();
  const bool inOk = wave.OpenInput(waveFormat, n) == 0;
  const bool outOk = wave.OpenOutput(waveFormat, n) == 0;
  if (outOk) wave.SetVolume(volume.load());
  return inOk || outOk;
}

void CFilter::Run() {
  RaisePriority();
  openSize_ = OpenSize();
  if (wave.OpenInput(waveFormat, openSize_) != 0) {
    ErrorBox("Cannot open the sound devaice!   ");
    return;
  }
  if (wave.OpenOutput(waveFormat, openSize_) != 0) {
    inputOnly = 1;
    ErrorBox("再生デバイスがオープンできません.");
  } else if (volume.load() == 1) {
    volume.store(wave.GetVolume());
  } else {
    wave.SetVolume(volume.load());
  }
  if (ui_ && updateVolumeButtons) ui_->RunOnUiThread(updateVolumeButtons);
  stopped = 0;

  double* const block = blockBuf_.get();
  bool idleBeforePass = false;
  while (!terminated_.load()) {
    if (idleBeforePass) {
      // Neither device came back: retry at a calm pace instead of spinning.
      for (int i = 0; i < 10 && !terminated_.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (terminated_.load()) break;
    }
    idleBeforePass = false;
    passes.fetch_add(1, std::memory_order_relaxed);

    // A new block size, requested between two passes: no loss.
    if (OpenSize() != openSize_) Reopen();

    int n = wave.ReadInput(block, openSize_);
    if (n < 0) {
      idleBeforePass = !Recover();
      continue;
    }
    if (terminated_.load()) break;
    if (fftMode.load() == 1) TapSpectrum(block, n);
    core.ProcessBlock(block, n);
    if (fftMode.load() == 2) TapSpectrum(block, n);
    if (inputOnly.load()) continue;

    const double* p = block;
    while (n != 0) {
      const int r = wave.WriteOutput(p, n);
      if (r < 0) {
        idleBeforePass = !Recover();
        break;
      }
      n -= r;
      p += r;
    }
  }
  wave.CloseInput();
  wave.CloseOutput();
  stopped = 1;
}
