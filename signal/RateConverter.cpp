#include "signal/RateConverter.h"

#include <samplerate.h>

#include <algorithm>

namespace {
constexpr double kMaxRatioChange = 1.01;
}  // namespace

RateConverter::RateConverter() = default;

RateConverter::~RateConverter() {
  if (state_) src_delete(state_);
}

bool RateConverter::Open(double fromHz, double toHz, int maxFrames, Quality quality, std::string& error) {
  if (!(fromHz >= 1.0 && fromHz <= 1e6 && toHz >= 1.0 && toHz <= 1e6) || maxFrames < 1) {
    error = "unsupported sample rate";
    return false;
  }
  if (state_) state_ = src_delete(state_);
  const int type = quality == Quality::Best     ? SRC_SINC_BEST_QUALITY
                   : quality == Quality::Medium ? SRC_SINC_MEDIUM_QUALITY
                                                : SRC_SINC_FASTEST;
  int err = 0;
  state_ = src_new(type, 1, &err);
  if (!state_) {
    error = src_strerror(err);
    return false;
  }
  ratio_ = openRatio_ = toHz / fromHz;
  inCapacity_ = maxFrames;
  outCapacity_ = static_cast<long>(maxFrames * ratio_ * kMaxRatioChange) + 64;
  inBuf_.reset(new float[inCapacity_]);
  outBuf_.reset(new float[outCapacity_]);
  return true;
}

void RateConverter::SetRatio(double ratio) {
  if (!(ratio > 0.0)) return;
  ratio_ = std::clamp(ratio, openRatio_ / kMaxRatioChange, openRatio_ * kMaxRatioChange);
}

long RateConverter::Convert(const double* in, long frames, bool end, double* out, long& used,
                            std::string& error) {
  used = 0;
  if (!state_) {
    error = "the converter is not open";
    return -1;
  }
  if (frames > inCapacity_) frames = inCapacity_;
  if (frames < 0) frames = 0;
  // libsamplerate works in floats at full scale 1.
  for (long i = 0; i < frames; ++i) inBuf_[i] = static_cast<float>(in[i] / 32768.0);
  SRC_DATA d{};
  d.data_in = inBuf_.get();
  d.input_frames = frames;
  d.data_out = outBuf_.get();
  d.output_frames = outCapacity_;
  d.src_ratio = ratio_;
  d.end_of_input = end ? 1 : 0;
  if (int err = src_process(state_, &d)) {
    error = src_strerror(err);
    return -1;
  }
  used = d.input_frames_used;
  for (long i = 0; i < d.output_frames_gen; ++i) out[i] = outBuf_[i] * 32768.0;
  return d.output_frames_gen;
}
