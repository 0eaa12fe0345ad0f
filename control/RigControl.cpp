#include "control/RigControl.h"

#include <cmath>
#include <cstdio>

#include "signal/SampleRate.h"

RigControl::RigControl(Session& session, Post post)
    : session_(session), post_(std::move(post)), link_([this] {
        // One call waits in the queue at a time; it reads the newest state.
        if (posted_.exchange(true)) return;
        std::weak_ptr<int> alive = alive_;
        post_([this, alive] {
          if (alive.expired()) return;
          posted_ = false;
          Take();
        });
      }) {
  listener_ = session_.AddListener([this](unsigned changes) {
    if (changes & Session::kRig) Follow();
  });
  Follow();
}

RigControl::~RigControl() {
  session_.RemoveListener(listener_);
  link_.Stop();
  if (CFilter* engine = session_.Engine()) engine->SetOutputAttenuation(0.0);
  session_.SetRigFrequency(0.0);
}

void RigControl::Follow() {
  if (session_.Rig() != spec_ || state_.link == RigState::Link::Off) {
    spec_ = session_.Rig();
    link_.Start(spec_, session_.RigTxHangMs());
  } else {
    link_.SetHang(session_.RigTxHangMs());
  }
  followed_ = 0;  // following turned on takes the pitch at once
  Take();
}

void RigControl::Take() {
  const RigState s = link_.State();
  const bool changed = !(s == state_);
  const bool wasQuiet = state_.quiet;
  state_ = s;
  const bool up = s.link == RigState::Link::Connected;
  session_.SetRigFrequency(up ? s.freqHz : 0.0);
  if (session_.RigFollowPitch() && up && (s.cw || s.cwReverse) && s.pitchHz > 0) {
    if (s.pitchHz != followed_) {
      followed_ = s.pitchHz;
      session_.SetFoAt(s.pitchHz);  // as if typed: rounded, bounded, the preset re-centres
    }
  } else {
    followed_ = 0;
  }
  PutQuiet();
  if (s.quiet != wasQuiet) Label(s.quiet);
  if (changed && onChange) onChange();
}

void RigControl::PutQuiet() {
  if (CFilter* engine = session_.Engine())
    engine->SetOutputAttenuation(state_.quiet && session_.RigTxMuteDb() > 0 ? session_.RigTxMuteDb() : 0.0);
}

std::optional<double> RigControl::ZeroBeatHz(const RigState& s, double clickedHz, double pitchHz) {
  if (!std::isfinite(clickedHz) || !std::isfinite(pitchHz) || s.freqHz <= 0.0) return std::nullopt;
  const double offset = clickedHz - pitchHz;
  if (s.cw) return std::round(s.freqHz + offset);
  if (s.cwReverse) return std::round(s.freqHz - offset);
  return std::nullopt;
}

bool RigControl::ZeroBeat(double clickedHz) {
  if (state_.link != RigState::Link::Connected) return false;
  const double pitch = state_.pitchHz > 0 ? state_.pitchHz : session_.Fo();
  const std::optional<double> hz = ZeroBeatHz(state_, clickedHz, pitch);
  if (!hz || *hz <= 0.0) return false;
  link_.Tune(*hz);
  return true;
}

std::string RigControl::LabelFileFor(const std::string& recording) {
  const std::size_t slash = recording.rfind('/');
  const std::size_t dot = recording.rfind('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExt ? recording.substr(0, dot) : recording) + ".txt";
}

void RigControl::Label(bool quiet) {
  CFilter* engine = session_.Engine();
  if (!engine) return;
  const RecordingStatus rec = engine->Recording();
  if (quiet && rec.active && !labelOpen_) {
    // Where the writer stands: behind the sound by at most its pace and a
    // block (tens of ms).
    labelOpen_ = true;
    labelRecording_ = rec.outputFile;
    labelStartS_ = static_cast<double>(rec.frames) / kSampleRate;
    lastFrames_ = rec.frames;
  } else if (!quiet && labelOpen_) {
    CloseLabel(rec.active && rec.outputFile == labelRecording_ ? rec.frames : lastFrames_);
  }
}

void RigControl::CloseLabel(long long frames) {
  labelOpen_ = false;
  if (FILE* f = std::fopen(LabelFileFor(labelRecording_).c_str(), "a")) {
    const int attDb = session_.RigTxMuteDb();
    std::fprintf(f, "%.3f\t%.3f\tTX", labelStartS_, static_cast<double>(frames) / kSampleRate);
    if (attDb > 0)
      std::fprintf(f, " -%d dB\n", attDb);
    else
      std::fputs(" (not lowered)\n", f);
    std::fclose(f);
  }
}

void RigControl::Tick() {
  CFilter* engine = session_.Engine();
  if (!engine) return;
  const RecordingStatus rec = engine->Recording();
  if (labelOpen_) {
    if (rec.active && rec.outputFile == labelRecording_) {
      lastFrames_ = rec.frames;
    } else {
      CloseLabel(lastFrames_);
      labelRecording_.clear();
    }
  }
  if (state_.quiet && rec.active && !labelOpen_) Label(true);
}
