#pragma once
// The sound card as CWave sees it: a capture and a playback device, each
// with a queue of buffers that the device hands back one by one through a
// completion callback. Implementations: the sound servers in devices/
// (PulseAudio natively, PortAudio for ALSA and JACK) and a simulated device
// for tests.
//
// Guarantees every implementation gives:
// - buffers are handed back whole, in the order queued, each exactly once,
//   through the callback with WIM_DATA / WOM_DONE;
// - completions arrive on a thread other than the caller's, except those of
//   Reset, which are reported before Reset returns;
// - the callback is never called while the device holds a lock of its own
//   that a device operation called from inside CWave would need;
// - playback can be opened paused (silence, nothing consumed) and restarted;
// - no callback runs after Close returns.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "signal/SampleRate.h"

struct WaveFormat {
  int formatTag = 1;  // PCM
  int channels = 1;   // 1 or 2; a frame holds one sample of each, interleaved
  int samplesPerSec = kSampleRateHz;
  int avgBytesPerSec = 2 * kSampleRateHz;
  int blockAlign = 2;
  int bitsPerSample = 16;
};

// One buffer of a device queue. CWave owns the header and its data.
struct WaveHeader {
  char* data = nullptr;
  int bufferLength = 0;   // bytes to fill or to play (may be less than allocated)
  int bytesRecorded = 0;  // capture: bytes the device filled
  std::uintptr_t user = 0;
  int flags = 0;
  int loops = 0;
};

constexpr int kWhdrDone = 1;
constexpr int kWhdrPrepared = 2;
constexpr int kWhdrInQueue = 16;

constexpr unsigned kWimData = 0x3C0;
constexpr unsigned kWomDone = 0x3BD;
// Ours: playback had to play silence because nothing was queued (param1 0).
constexpr unsigned kWomStarved = 0x7001;

// Device error codes of our own (CWave's are 100 and 111..116).
constexpr int kWaveErrNoDevice = 2;      // no default device
constexpr int kWaveErrBadFormat = 32;    // format refused
constexpr int kWaveErrDeviceFailed = 1;  // anything else the device reports
constexpr int kWaveErrNotPrepared = 34;  // header not prepared

class WaveDevice;
// message: kWimData or kWomDone; param1: the WaveHeader* handed back.
// Or kWomStarved, from a device that says so.
using WaveCallback = void (*)(WaveDevice* device, unsigned message, void* instance, std::uintptr_t param1,
                              std::uintptr_t param2);

class WaveDevice {
 public:
  virtual ~WaveDevice() = default;
  // Makes a header usable by the device, and releases it. Neither device
  // here needs more than the flag.
  virtual int Prepare(WaveHeader* header) {
    header->flags |= kWhdrPrepared;
    return 0;
  }
  virtual int Unprepare(WaveHeader* header) {
    header->flags &= ~kWhdrPrepared;
    return 0;
  }
  // Hands every queued buffer back (through the callback) and stops.
  virtual int Reset() = 0;
  // Ends the device; no callback runs after it returns.
  virtual int Close() = 0;
  // What the backend holds beyond CWave's buffers (server and hardware), in
  // microseconds; 0 when it does not say. Any thread.
  virtual long LatencyUs() const { return 0; }
  // Playback: program-rate frames queued and not yet taken by the backend;
  // -1 when the device does not say.
  virtual long QueuedFrames() const { return -1; }
  // Playback: how often so far the backend cut a backlog that stood (a
  // jump in the sound, heard like a lost block). Any thread.
  virtual long Cuts() const { return 0; }
  // The device actually opened, as the user knows it; the device rate in Hz
  // (the program's rate when nothing is converted).
  virtual std::string Description() const { return {}; }
  virtual int DeviceRateHz() const { return kSampleRateHz; }
};

class WaveIn : public WaveDevice {
 public:
  // Queues an empty buffer for capture.
  virtual int AddBuffer(WaveHeader* header) = 0;
  virtual int Start() = 0;
};

class WaveOut : public WaveDevice {
 public:
  // Queues a filled buffer for playback.
  virtual int Write(WaveHeader* header) = 0;
  virtual int Pause() = 0;
  virtual int Restart() = 0;
  // Volume word: low 16 bits left, high 16 bits right; 0xFFFF full.
  virtual int GetVolume(std::uint32_t* volume) = 0;
  virtual int SetVolume(std::uint32_t volume) = 0;
  // True for a device that hands a buffer back when it has taken it into
  // buffers of its own (a sound server), not when it has played it, and
  // sends kWomStarved when it actually runs dry. For such a device an empty
  // queue is no gap yet; for a card that reports each buffer played it is.
  virtual bool ReportsStarvation() const { return false; }
};

// Which device to open and at what rate. id: empty for the system's
// default, "pulse:NAME" for a PulseAudio source or sink, "alsa:NAME" for a
// PortAudio device. rateHz: 0 to run the device at the program's rate
// (converted only when the device refuses it), otherwise the rate to open
// it with; the driver converts, so CWave always sees the program's rate.
struct DeviceRequest {
  std::string id;
  int rateHz = 0;
  int blockFrames = 0;  // frames per CWave buffer, so a server can size its own (0: unknown)
};

// One entry of a device list.
struct DeviceInfo {
  std::string id;           // as DeviceRequest::id takes it
  std::string description;  // what the user reads
  bool input = false;
  bool isDefault = false;
};

class WaveDriver {
 public:
  virtual ~WaveDriver() = default;
  // Open a capture / playback device. 0 and a device, or an error code
  // (kWaveErrNoDevice when the requested device is not there).
  virtual int OpenInput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback,
                        void* instance, std::unique_ptr<WaveIn>& device) = 0;
  virtual int OpenOutput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback,
                         void* instance, std::unique_ptr<WaveOut>& device) = 0;
  // The devices the active backend offers, inputs first.
  virtual std::vector<DeviceInfo> Devices() { return {}; }
  // "PulseAudio", "ALSA" ...; for the status bar and bug reports.
  virtual std::string BackendName() const { return {}; }
  // Grows when a device comes or goes (where the backend says so), so that
  // a device list can be read again.
  virtual long DeviceEvents() const { return 0; }
};

