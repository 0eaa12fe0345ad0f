#pragma once
// A backend's stream is opened on its DeviceCallWorker, since the server or
// the library may keep the open waiting without limit. An open that outlasts
// the worker's limit is abandoned: the caller gets kWaveErrDeviceFailed at
// once, and the worker closes the stream as soon as the open finishes, so a
// late device is never handed out and never reports.

#include <memory>
#include <mutex>

#include "audio/WaveDevice.h"
#include "devices/DeviceCallWorker.h"

// Core: the backend's stream state, with its DeviceStream as `io`, shared
// with the worker so that an abandoned open never outlives it. open(Core&)
// returns 0 or a device error code; closeLate(Core&) undoes an open that
// finished after its caller gave up. Both run on the worker, inside
// held(Core&, fn), which runs fn under whatever lock the backend's stream
// calls need (none: call it). Device is built from the worker and the core
// (see StreamDevice).
template <class Device, class Base, class Core, class Held, class Open, class CloseLate>
int OpenOnWorker(DeviceCallWorker& worker, std::shared_ptr<Core> core, Held held, Open open,
                 CloseLate closeLate, std::unique_ptr<Base>& device) {
  struct Outcome {
    std::mutex m;
    bool abandoned = false;
    int rc = kWaveErrDeviceFailed;
  };
  auto outcome = std::make_shared<Outcome>();
  const bool inTime = worker.Run([core, outcome, held, open, closeLate] {
    held(*core, [&] {
      const int rc = open(*core);
      std::lock_guard<std::mutex> lock(outcome->m);
      outcome->rc = rc;
      if (outcome->abandoned) {
        core->io.detached = true;
        closeLate(*core);
      }
    });
  });
  std::lock_guard<std::mutex> lock(outcome->m);
  if (!inTime) {
    outcome->abandoned = true;
    core->io.detached = true;
    return kWaveErrDeviceFailed;
  }
  if (outcome->rc != 0) return outcome->rc;
  device = std::make_unique<Device>(worker, std::move(core));
  return 0;
}
