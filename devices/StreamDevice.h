#pragma once
// What a backend's capture and playback devices share: the DeviceStream
// their callbacks work on (held in the backend's own Core, which has `io`
// and `description`), the worker their blocking calls run on, and the
// answers that only read the stream.

#include <memory>
#include <string>
#include <type_traits>

#include "audio/WaveDevice.h"
#include "devices/DeviceCallWorker.h"

template <class Direction, class Core>
class StreamDevice : public Direction {
 public:
  StreamDevice(DeviceCallWorker& worker, std::shared_ptr<Core> core) : worker_(worker), core_(std::move(core)) {
    core_->io.SetOwner(this);
  }
  long LatencyUs() const override { return core_->io.latencyUs.load(); }
  long QueuedFrames() const override { return core_->io.QueuedFrames(); }
  long Cuts() const override { return core_->io.cuts.load(); }
  std::string Description() const override { return core_->description; }
  int DeviceRateHz() const override { return core_->io.DeviceRateHz(); }
  bool ReportsStarvation() const {
    if constexpr (std::is_same_v<Direction, WaveOut>) return true;
    return false;
  }

 protected:
  // The message a header comes back with.
  static constexpr unsigned kMessage() { return std::is_same_v<Direction, WaveIn> ? kWimData : kWomDone; }
  int Queue(WaveHeader* h) {
    if (!(h->flags & kWhdrPrepared)) return kWaveErrNotPrepared;
    return core_->io.Push(h) ? 0 : kWaveErrDeviceFailed;
  }

  DeviceCallWorker& worker_;
  std::shared_ptr<Core> core_;
};
