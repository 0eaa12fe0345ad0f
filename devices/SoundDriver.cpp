#include "devices/SoundDriver.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

SoundDriver::SoundDriver(bool forcePortAudio) {
  const char* backend = std::getenv("TARVIK_BACKEND");
  if (backend && std::strcmp(backend, "alsa") == 0) forcePortAudio = true;
  if (!forcePortAudio) {
    pulse_ = std::make_unique<PulseDriver>();
    if (!pulse_->Connected()) pulse_.reset();
  }
}

SoundDriver::~SoundDriver() = default;

PortAudioDriver& SoundDriver::PortAudio() {
  // Started only when needed: probing ALSA costs time and prints nothing
  // useful where a server does the work.
  if (!portAudio_) portAudio_ = std::make_unique<PortAudioDriver>();
  return *portAudio_;
}

bool SoundDriver::Usable() { return pulse_ || PortAudio().Initialized(); }

WaveDriver* SoundDriver::For(const std::string& id) {
  struct Backend {
    std::string_view prefix;
    WaveDriver* (SoundDriver::*driver)();  // null when that backend is not there
  };
  static constexpr Backend kBackends[] = {
      {"pulse:", &SoundDriver::Pulse},
      {"alsa:", &SoundDriver::PortAudioBackend},
  };
  for (const Backend& backend : kBackends)
    if (id.starts_with(backend.prefix))
      if (WaveDriver* driver = (this->*backend.driver)()) return driver;
  return Active();
}

WaveDriver* SoundDriver::Active() { return pulse_ ? Pulse() : PortAudioBackend(); }

int SoundDriver::OpenInput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback,
                           void* instance, std::unique_ptr<WaveIn>& device) {
  return For(request.id)->OpenInput(request, format, callback, instance, device);
}

int SoundDriver::OpenOutput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback,
                            void* instance, std::unique_ptr<WaveOut>& device) {
  return For(request.id)->OpenOutput(request, format, callback, instance, device);
}

std::vector<DeviceInfo> SoundDriver::Devices() { return Active()->Devices(); }

std::string SoundDriver::BackendName() const { return pulse_ ? "PulseAudio" : "ALSA"; }
