// The ALSA capture source: snd_pcm capture of 16000 Hz S16LE mono (the plug layer converts the
// device's own rate and format), read on a device thread of its own that copies each period into
// the sink and does nothing else. "default" also reaches PipeWire and PulseAudio through their
// ALSA plugins.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "kivo/capture_source.h"

typedef struct _snd_pcm snd_pcm_t;
typedef struct _snd_config snd_config_t;

namespace kivo::capture {

class AlsaCaptureSource final : public CaptureSource {
 public:
  // device: an ALSA PCM name. configText, when given, is an ALSA configuration (the text of an
  // asoundrc) that alone defines the PCMs, device among them; nothing else is read.
  explicit AlsaCaptureSource(std::string device, std::string configText = {});
  ~AlsaCaptureSource() override;

  int open() override;
  int start(CaptureSink& sink) override;
  void stop() override;
  bool isStreaming() const override { return streaming_.load(); }

 private:
  void readLoop(CaptureSink& sink);  // device thread

  static constexpr size_t kPeriodFrames = 1024;
  std::string device_;
  std::string configText_;
  snd_config_t* config_ = nullptr;
  snd_pcm_t* pcm_ = nullptr;
  int wakeFd_ = -1;
  std::atomic<bool> streaming_{false};
  std::atomic<bool> stopRequested_{false};
  std::thread thread_;
  int16_t period_[kPeriodFrames] = {};
};

// A capture PCM the system offers.
struct CaptureDeviceInfo {
  std::string name;         // what --device and setDeviceName take
  std::string description;  // ALSA's description, one line
};
// ALSA's capture-capable PCM names (those with no direction or an input direction).
std::vector<CaptureDeviceInfo> listCaptureDevices();

}  // namespace kivo::capture
