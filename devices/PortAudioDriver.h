#pragma once
// The sound card through PortAudio: ALSA (and JACK) devices, for systems
// where no PulseAudio server answers. PortAudio has no device
// volume, so the volume word is a gain applied in the stream callback: the
// high 16 bits over 0xFFFF, on every channel alike. Every
// PortAudio call that may wait on a server (open, start, stop, close) runs
// on a DeviceCallWorker and is abandoned after its limit, so the audio loop
// is never held for longer.

#include "audio/WaveDevice.h"
#include "devices/DeviceCallWorker.h"

class PortAudioDriver : public WaveDriver {
 public:
  // Initialises PortAudio with the sound libraries' start-up chatter kept
  // off the terminal.
  PortAudioDriver();
  ~PortAudioDriver() override;
  PortAudioDriver(const PortAudioDriver&) = delete;
  PortAudioDriver& operator=(const PortAudioDriver&) = delete;

  // False when PortAudio itself could not start; every open then fails.
  bool Initialized() const { return initialized_; }

  // Devices by PortAudio name ("alsa:NAME"); a device that refuses the
  // program's rate runs at its own, converted here.
  int OpenInput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback, void* instance,
                std::unique_ptr<WaveIn>& device) override;
  int OpenOutput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback, void* instance,
                 std::unique_ptr<WaveOut>& device) override;
  std::vector<DeviceInfo> Devices() override;
  std::string BackendName() const override { return "ALSA"; }

 private:
  bool initialized_ = false;
  DeviceCallWorker worker_;
};
