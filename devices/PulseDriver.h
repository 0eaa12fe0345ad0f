#pragma once
// The sound card through a PulseAudio server (also what PipeWire desktops
// serve): sources and sinks by name, each stream sized to about one block
// so that the server adds little delay, and never moved to another device
// behind the user's back when one is named. Every call that may wait on the
// server runs on a DeviceCallWorker and is abandoned after its limit; the
// streams' callbacks run on libpulse's own thread.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "audio/WaveDevice.h"
#include "devices/DeviceCallWorker.h"

class PulseDriver : public WaveDriver {
 public:
  // Connects to the server the environment names (never starts one).
  PulseDriver();
  ~PulseDriver() override;
  PulseDriver(const PulseDriver&) = delete;
  PulseDriver& operator=(const PulseDriver&) = delete;

  // True when a server answered at construction.
  bool Connected() const { return connected_; }

  // "pulse:NAME" for a source or sink; an empty id follows the server's
  // default. A lost connection is made again at the next open.
  int OpenInput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback, void* instance,
                std::unique_ptr<WaveIn>& device) override;
  int OpenOutput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback, void* instance,
                 std::unique_ptr<WaveOut>& device) override;
  std::vector<DeviceInfo> Devices() override;
  std::string BackendName() const override { return "PulseAudio"; }
  // Counts the server's device events (a source or sink came or went).
  long DeviceEvents() const override;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  bool connected_ = false;
  DeviceCallWorker worker_;
};
