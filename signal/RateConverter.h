#pragma once
// Band-limited sample-rate conversion of one channel (libsamplerate), for
// recordings and devices that do not run at the program's rate. Samples are
// doubles in 16-bit units. Open allocates; Convert never does.

#include <memory>
#include <string>

struct SRC_STATE_tag;

class RateConverter {
 public:
  enum class Quality { Best, Medium, Fastest };  // libsamplerate's sinc converters

  RateConverter();
  ~RateConverter();
  RateConverter(const RateConverter&) = delete;
  RateConverter& operator=(const RateConverter&) = delete;

  // From fromHz to toHz (both 1..1e6), for calls of at most maxFrames input
  // frames. False, with the reason in error, when the rates or the
  // converter cannot be had.
  bool Open(double fromHz, double toHz, int maxFrames, Quality quality, std::string& error);
  // Output frames one Convert call may give at most.
  long MaxOutput() const { return outCapacity_; }
  double Ratio() const { return ratio_; }
  // Output over input for the calls from now on, within 1 % of the ratio
  // opened with (the output buffer's headroom). The sinc converters glide
  // from the old ratio to the new one across the next call, without a
  // click.
  void SetRatio(double ratio);

  // Converts in[0..frames) (frames <= maxFrames) into out (MaxOutput()
  // frames). `used` tells how many input frames it took; call again with the
  // rest while some remain, and with end set (and no input) until it gives
  // nothing, to flush the tail. Returns the frames written, or -1 with the
  // reason in error.
  long Convert(const double* in, long frames, bool end, double* out, long& used, std::string& error);

 private:
  SRC_STATE_tag* state_ = nullptr;
  double ratio_ = 1.0;
  double openRatio_ = 1.0;
  long inCapacity_ = 0;
  long outCapacity_ = 0;
  std::unique_ptr<float[]> inBuf_;
  std::unique_ptr<float[]> outBuf_;
};
