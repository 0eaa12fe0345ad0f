#pragma once
// The program's sound card: PulseAudio when a server answers (also what
// PipeWire desktops serve), PortAudio (ALSA, JACK) otherwise. A device id's
// prefix ("pulse:", "alsa:") says which backend opens it, so an "alsa:"
// choice reaches PortAudio even where a server runs. Any other id, or one
// whose backend is not there, goes to the active backend: an empty id
// opens its default, one it does not know is no device.

#include <memory>

#include "audio/WaveDevice.h"
#include "devices/PortAudioDriver.h"
#include "devices/PulseDriver.h"

class SoundDriver : public WaveDriver {
 public:
  // forcePortAudio: skip the server (TARVIK_BACKEND=alsa does the same).
  explicit SoundDriver(bool forcePortAudio = false);
  ~SoundDriver() override;

  // False when neither backend can open anything.
  bool Usable();

  int OpenInput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback, void* instance,
                std::unique_ptr<WaveIn>& device) override;
  int OpenOutput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback, void* instance,
                 std::unique_ptr<WaveOut>& device) override;
  std::vector<DeviceInfo> Devices() override;
  std::string BackendName() const override;
  long DeviceEvents() const override { return pulse_ ? pulse_->DeviceEvents() : 0; }

 private:
  // The backend that opens an id, by its prefix.
  WaveDriver* For(const std::string& id);
  // PulseAudio when a server answered, else PortAudio.
  WaveDriver* Active();
  WaveDriver* Pulse() { return pulse_.get(); }  // null without a server
  WaveDriver* PortAudioBackend() { return &PortAudio(); }
  PortAudioDriver& PortAudio();

  std::unique_ptr<PulseDriver> pulse_;
  std::unique_ptr<PortAudioDriver> portAudio_;
};
