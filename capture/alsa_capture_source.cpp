#include "capture/alsa_capture_source.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kivo::capture {
namespace {

constexpr unsigned kRate = 16000;
constexpr unsigned kLatencyMicros = 128000;  // two 64 ms buffers
constexpr int kMaxPollFds = 16;

}  // namespace

AlsaCaptureSource::AlsaCaptureSource(std::string device, std::string configText)
    : device_(std::move(device)), configText_(std::move(configText)) {}

AlsaCaptureSource::~AlsaCaptureSource() {
  stop();
  if (pcm_) snd_pcm_close(pcm_);
  if (config_) snd_config_delete(config_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

int AlsaCaptureSource::open() {
  if (pcm_) return 0;
  int err = 0;
  if (!configText_.empty()) {
    snd_input_t* input = nullptr;
    if ((err = snd_config_top(&config_)) < 0) return err;
    if ((err = snd_input_buffer_open(&input, configText_.data(), ssize_t(configText_.size()))) < 0) return err;
    err = snd_config_load(config_, input);
    snd_input_close(input);
    if (err < 0) return err;
    err = snd_pcm_open_lconf(&pcm_, device_.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK, config_);
  } else {
    err = snd_pcm_open(&pcm_, device_.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  }
  if (err < 0) {
    pcm_ = nullptr;
    return err;
  }
  err = snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate, 1, kLatencyMicros);
  if (err < 0) return err;
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return wakeFd_ < 0 ? -errno : 0;
}

int AlsaCaptureSource::start(CaptureSink& sink) {
  if (!pcm_) return -EBADFD;
  if (thread_.joinable()) return 0;
  int err = snd_pcm_prepare(pcm_);
  if (err >= 0) err = snd_pcm_start(pcm_);
  if (err < 0) return err;
  uint64_t drain;
  while (::read(wakeFd_, &drain, sizeof drain) > 0) {
  }
  stopRequested_.store(false);
  streaming_.store(true);
  thread_ = std::thread([this, &sink] { readLoop(sink); });
  return 0;
}

void AlsaCaptureSource::stop() {
  if (!thread_.joinable()) return;
  stopRequested_.store(true);
  const uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
  thread_.join();
  streaming_.store(false);
  snd_pcm_drop(pcm_);
}

void AlsaCaptureSource::readLoop(CaptureSink& sink) {
  pollfd fds[kMaxPollFds + 1];
  const int count = snd_pcm_poll_descriptors_count(pcm_);
  const int pcmFds = (count > 0 && count <= kMaxPollFds) ? snd_pcm_poll_descriptors(pcm_, fds, unsigned(count)) : -1;
  if (pcmFds < 0) {
    streaming_.store(false);
    sink.fail(-EINVAL);
    return;
  }
  fds[pcmFds] = pollfd{wakeFd_, POLLIN, 0};
  for (;;) {
    if (::poll(fds, nfds_t(pcmFds + 1), -1) < 0 && errno != EINTR) break;
    if (fds[pcmFds].revents & POLLIN) return;  // stop()
    unsigned short revents = 0;
    snd_pcm_poll_descriptors_revents(pcm_, fds, unsigned(pcmFds), &revents);
    if (revents & (POLLERR | POLLNVAL)) {
      const int err = snd_pcm_state(pcm_) == SND_PCM_STATE_DISCONNECTED ? -ENODEV : -EIO;
      if (snd_pcm_recover(pcm_, -EPIPE, 1) < 0 || err == -ENODEV) {
        streaming_.store(false);
        sink.fail(err);
        return;
      }
      snd_pcm_start(pcm_);
      continue;
    }
    if (!(revents & POLLIN)) continue;
    while (!stopRequested_.load(std::memory_order_relaxed)) {
      const snd_pcm_sframes_t n = snd_pcm_readi(pcm_, period_, kPeriodFrames);
      if (n > 0) {
        sink.write(reinterpret_cast<const uint8_t*>(period_), size_t(n) * 2);
        continue;
      }
      if (n == -EAGAIN || n == 0) break;
      // An overrun or a suspend is recovered; anything else ends the stream.
      if (snd_pcm_recover(pcm_, int(n), 1) < 0) {
        streaming_.store(false);
        sink.fail(int(n));
        return;
      }
      snd_pcm_start(pcm_);
      break;
    }
  }
  streaming_.store(false);
  sink.fail(-errno);
}

std::vector<CaptureDeviceInfo> listCaptureDevices() {
  std::vector<CaptureDeviceInfo> devices;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return devices;
  for (void** hint = hints; *hint; ++hint) {
    char* name = snd_device_name_get_hint(*hint, "NAME");
    char* description = snd_device_name_get_hint(*hint, "DESC");
    char* direction = snd_device_name_get_hint(*hint, "IOID");
    if (name && (!direction || std::string_view(direction) == "Input")) {
      std::string text = description ? description : "";
      for (char& c : text)
        if (c == '\n') c = ' ';
      devices.push_back({name, text});
    }
    std::free(name);
    std::free(description);
    std::free(direction);
  }
  snd_device_name_free_hint(hints);
  return devices;
}

}  // namespace kivo::capture
