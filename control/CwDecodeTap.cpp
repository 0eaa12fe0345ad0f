#include "control/CwDecodeTap.h"

#include <chrono>
#include <cmath>

namespace {

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
  auto tracker = std::make_unique<CwTracker>();
  auto skimmer = std::make_unique<CwSkimmer>();
  CwDecoder& decoder = tracker->Decoder();
  double fo = foHz_.load();
  tracker->SetFo(fo);
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
    if (foHz_.load() != fo) {
      fo = foHz_.load();
      tracker->SetFo(fo);
    }
    tracker->SetTrack(track_.load());
    const int n = block.frames;  // mono at the engine's rate
    tracker->Process(samples, n);
    const bool skim = skim_.load();
    if (skim != skimming) {
      skimming = skim;
      skimmer->Reset();
    }
    if (skimming) skimmer->Process(samples, n);
    ring.Pop();

    fresh.clear();
    CwSymbol s;
    while (decoder.Pop(s)) fresh += s.text;
    open_ = decoder.Open();
    wpm_ = decoder.Wpm();
    snrDb_ = decoder.SnrDb();
    pitchHz_ = decoder.PitchHz();
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

std::string SkimmerLabel(const std::string& text) {
  std::size_t end = text.size();
  while (end > 0) {
    while (end > 0 && text[end - 1] == ' ') --end;
    std::size_t start = end;
    while (start > 0 && text[start - 1] != ' ') --start;
    const std::string word = text.substr(start, end - start);
    // A prefix, a digit, a suffix of letters ("DL1ABC", "9A1AA", "W1AW/P"):
    // not a report ("5NN", "599") nor a plain word.
    const std::string call = word.substr(0, word.find('/'));
    const std::size_t digit = call.find_last_of("0123456789");
    bool shaped = digit != std::string::npos && digit >= 1 && digit + 1 < call.size() && word.size() <= 10;
    for (std::size_t i = 0; shaped && i < call.size(); ++i) {
      const char c = call[i];
      const bool letter = c >= 'A' && c <= 'Z', number = c >= '0' && c <= '9';
      shaped = i > digit ? letter : letter || number;
    }
    if (shaped) return word;
    end = start;
  }
  std::size_t from = text.size() > 12 ? text.size() - 12 : 0;
  while (from < text.size() && text[from] == ' ') ++from;
  return text.substr(from);
}
