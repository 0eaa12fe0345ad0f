#include "control/CwDecodeTap.h"

#include <chrono>
#include <cmath>

namespace {

constexpr double kTrackSpanHz = 100;  // tracking looks this far either side of Fo
constexpr double kTrackMinDb = 10;    // a tone must stand this far over its noise to be followed
constexpr double kTrackMoveHz = 8;    // closer than this the decoder stays where it is
constexpr std::size_t kMaxText = 1 << 16;  // text kept for a window that does not take it

}  // namespace

CwDecodeTap::CwDecodeTap(TapHub& taps) : taps_(taps) {}

CwDecodeTap::~CwDecodeTap() { Stop(); }

bool CwDecodeTap::Start(TapPoint point, std::string& error) {
  Stop();
  point_ = point;
  consumer_.Ring(TapPoint::Input)->Reset();
  consumer_.Ring(TapPoint::Output)->Reset();
  if (!taps_.Add(consumer_)) {
    error = "every tap of the engine is taken";
    return false;
  }
  consumer_.Ring(point)->Enable(true);
  stopping_ = false;
  active_ = true;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void CwDecodeTap::Stop() {
  if (!thread_.joinable()) return;
  consumer_.Ring(point_)->Enable(false);
  taps_.Remove(consumer_);
  stopping_ = true;
  thread_.join();
  active_ = false;
}

void CwDecodeTap::Run() {
  // Everything the thread uses is made here, before the first block.
  auto decoder = std::make_unique<CwDecoder>();
  auto skimmer = std::make_unique<CwSkimmer>();
  CwToneFinder finder;
  double fo = foHz_.load(), pitch = fo;
  decoder->SetPitch(pitch);
  finder.Setup(fo - kTrackSpanHz - 20, fo + kTrackSpanHz + 20, 5);
  bool skimming = false;
  std::string fresh;
  fresh.reserve(4096);
  TapRing& ring = *consumer_.Ring(point_);
  while (!stopping_.load()) {
    TapBlock block;
    const double* samples = nullptr;
    if (!ring.Front(block, samples)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    // Fo moved: the decoder (and the tracking band) goes with it.
    const double wantFo = foHz_.load();
    if (wantFo != fo) {
      fo = pitch = wantFo;
      decoder->SetPitch(pitch);
      finder.Setup(fo - kTrackSpanHz - 20, fo + kTrackSpanHz + 20, 5);
    }
    const int n = block.frames;  // mono at the engine's rate
    decoder->Process(samples, n);
    if (finder.Process(samples, n) && track_.load()) {
      double best = 0;
      if (finder.Strongest(fo - kTrackSpanHz, fo + kTrackSpanHz, kTrackMinDb, best) &&
          std::abs(best - pitch) > kTrackMoveHz) {
        pitch = best;
        decoder->SetPitch(pitch);
      }
    } else if (!track_.load() && pitch != fo) {
      pitch = fo;
      decoder->SetPitch(pitch);
    }
    const bool skim = skim_.load();
    if (skim != skimming) {
      skimming = skim;
      skimmer->Reset();
    }
    if (skimming) skimmer->Process(samples, n);
    ring.Pop();

    fresh.clear();
    CwSymbol s;
    while (decoder->Pop(s)) fresh += s.text;
    open_ = decoder->Open();
    wpm_ = decoder->Wpm();
    snrDb_ = decoder->SnrDb();
    pitchHz_ = decoder->PitchHz();
    std::vector<CwSignal> signals;
    if (skimming) signals = skimmer->Signals();
    std::lock_guard<std::mutex> lock(m_);
    text_ += fresh;
    if (text_.size() > kMaxText) text_.erase(0, text_.size() - kMaxText);
    signals_.swap(signals);
  }
}

CwDecodeStatus CwDecodeTap::Read() const {
  CwDecodeStatus s;
  s.active = active_.load();
  s.open = open_.load();
  s.wpm = wpm_.load();
  s.snrDb = snrDb_.load();
  s.pitchHz = pitchHz_.load();
  s.dropped = consumer_.Ring(point_)->Dropped();
  return s;
}

std::string CwDecodeTap::TakeText() {
  std::lock_guard<std::mutex> lock(m_);
  std::string t;
  t.swap(text_);
  return t;
}

std::vector<CwSignal> CwDecodeTap::Signals() const {
  std::lock_guard<std::mutex> lock(m_);
  return signals_;
}
