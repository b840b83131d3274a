#include "kivo/audio_queue_recorder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "capture/alsa_capture_source.h"
#include "capture/audio_queue_status.h"
#include "capture/capture_log.h"
#include "capture/capture_ring.h"
#include "kivo/audio_converter.h"
#include "kivo/data_directory.h"
#include "kivo/debug_log.h"
#include "kivo/dispatch.h"
#include "kivo/error.h"
#include "kivo/format.h"
#include "kivo/log.h"
#include "platform/clock.h"

namespace kivo {

std::atomic<bool> g_KIVOAudioQueueRecorderPause{false};
std::atomic<double> g_lastCallbackTime{0.0};

namespace {

using capture::CaptureLog;

constexpr size_t kRingBytes = 65536;  // 2 s of capture audio between the device and the capture thread
constexpr uint32_t kFormatFlagsSignedPacked = 0x0C;

double monotonicSeconds(const Clock& clock) {
  return std::chrono::duration<double>(clock.monotonicNow().time_since_epoch()).count();
}

void defaultReporter(int64_t code, std::optional<std::string> reason) {
  KIVOError::postErrorNotificationWithErrorCode(code, std::move(reason));
}

}  // namespace

KIVOAudioQueueRecorder& KIVOAudioQueueRecorder::sharedRecorder() {
  static auto* instance = new KIVOAudioQueueRecorder;  // lives for the process
  return *instance;
}

KIVOAudioQueueRecorder::KIVOAudioQueueRecorder()
    : ring_(std::make_unique<capture::CaptureRing>(kRingBytes)),
      log_(std::make_unique<CaptureLog>()),
      self_(std::make_shared<KIVOAudioQueueRecorder*>(this)) {
  setRequiredBufferSize(kDefaultRequiredBufferSize);
}

KIVOAudioQueueRecorder::~KIVOAudioQueueRecorder() {
  self_.reset();
  std::unique_lock lock(control_);
  stopRecordLocked();
  pendingReports_.clear();
}

void KIVOAudioQueueRecorder::flushReports(std::unique_lock<std::mutex>& lock) {
  auto reports = std::move(pendingReports_);
  pendingReports_.clear();
  ErrorReporter reporter = reporter_ ? reporter_ : ErrorReporter(defaultReporter);
  lock.unlock();
  for (auto& [code, reason] : reports) reporter(code, std::move(reason));
}

void KIVOAudioQueueRecorder::report(int64_t code, std::optional<std::string> reason) {
  pendingReports_.emplace_back(code, std::move(reason));
}

std::string KIVOAudioQueueRecorder::deviceName() const {
  std::lock_guard lock(control_);
  return deviceName_;
}

void KIVOAudioQueueRecorder::setDeviceName(std::string name) {
  std::lock_guard lock(control_);
  deviceName_ = std::move(name);
}

void KIVOAudioQueueRecorder::setCaptureSourceFactory(CaptureSourceFactory factory) {
  std::lock_guard lock(control_);
  factory_ = std::move(factory);
}

void KIVOAudioQueueRecorder::setRecordPermissionProvider(std::shared_ptr<RecordPermissionProvider> provider) {
  std::lock_guard lock(control_);
  permission_ = std::move(provider);
}

std::shared_ptr<RecordPermissionProvider> KIVOAudioQueueRecorder::recordPermissionProvider() const {
  std::lock_guard lock(control_);
  return permission_;
}

void KIVOAudioQueueRecorder::setErrorReporter(ErrorReporter reporter) {
  std::lock_guard lock(control_);
  reporter_ = std::move(reporter);
}

void KIVOAudioQueueRecorder::setRequiredBufferSize(uint64_t size) {
  if (size == 0 || size > kMaxRequiredBufferSize) {
    logLine(format("[KIVOAudioQueueRecorder] Refused block size %lu bytes: it must lie between 1 and %lu",
                   size, kMaxRequiredBufferSize));
    return;
  }
  std::lock_guard lock(control_);
  requiredBufferSize_.store(size);
  maxSize_.store(size + size / 2);
  if (captureThread_.joinable()) return;  // the arrays keep their capacity until the next start
  if (ensureCapacityLocked()) gathered_.store(0);
}

bool KIVOAudioQueueRecorder::ensureCapacityLocked() {
  const uint64_t wanted = maxSize_.load();
  if (capacity_.load() == wanted && gatherBuffer_) return true;
  std::unique_ptr<uint8_t[]> gather(new (std::nothrow) uint8_t[wanted]);
  std::unique_ptr<uint8_t[]> delivery(new (std::nothrow) uint8_t[wanted]);
  if (!gather || !delivery) return false;
  gatherBuffer_ = std::move(gather);
  deliveryBuffer_ = std::move(delivery);
  capacity_.store(wanted);
  gathered_.store(0);
  return true;
}

std::shared_ptr<KIVOAudioQueueRecorderDelegate> KIVOAudioQueueRecorder::delegate() const {
  std::lock_guard lock(control_);
  return delegate_;
}

void KIVOAudioQueueRecorder::setDelegate(std::shared_ptr<KIVOAudioQueueRecorderDelegate> delegate) {
  std::lock_guard lock(control_);
  delegateRaw_.store(delegate.get());
  if (delegate_ && captureThread_.joinable()) retiredDelegates_.push_back(delegate_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<KIVOAudioConverter> KIVOAudioQueueRecorder::audioConverter() const {
  std::lock_guard lock(control_);
  return converter_;
}

void KIVOAudioQueueRecorder::setAudioConverter(std::shared_ptr<KIVOAudioConverter> converter) {
  std::lock_guard lock(control_);
  converter_ = std::move(converter);
}

AudioStreamDescription KIVOAudioQueueRecorder::recordFormat() const {
  std::lock_guard lock(control_);
  return recordFormat_;
}

const CaptureSource* KIVOAudioQueueRecorder::currentAudioQueue() const {
  std::lock_guard lock(control_);
  return source_.get();
}

std::filesystem::path KIVOAudioQueueRecorder::recordedFilePath() const { return dataDirectory() / "record.wav"; }

const uint8_t* KIVOAudioQueueRecorder::getBufferRefAtIndex(size_t index) const {
  return index < 2 ? queueBuffers_[index] : nullptr;
}

void KIVOAudioQueueRecorder::enqueueReadyForBufferIndex(size_t index) {
  if (index < 2) enqueueReady_[index].store(true);
}

bool KIVOAudioQueueRecorder::isReadyToEnqueueForBufferIndex(size_t index) const {
  return index < 2 && enqueueReady_[index].load();
}

void KIVOAudioQueueRecorder::clearEnqueueReady() {
  enqueueReady_[0].store(false);
  enqueueReady_[1].store(false);
}

void KIVOAudioQueueRecorder::dropBuffer() {
  std::lock_guard lock(control_);
  if (captureThread_.joinable())
    dropRequested_.store(true);
  else
    gathered_.store(0);
}

// Control ---------------------------------------------------------------------------------------

bool KIVOAudioQueueRecorder::prepare() {
  std::unique_lock lock(control_);
  const bool ok = prepareLocked();
  flushReports(lock);
  return ok;
}

bool KIVOAudioQueueRecorder::prepareLocked() {
  if (recording_.load()) stopRecordLocked();
  disposeLocked();

  const uint32_t channels = channelsPerFrame_.load();
  const uint32_t bits = bitsPerChannel_.load();
  const uint32_t formatID = formatID_.load();
  frameSize_.store(int32_t((bits / 8) * channels));

  std::unique_ptr<CaptureSource> source =
      factory_ ? factory_(deviceName_) : std::make_unique<capture::AlsaCaptureSource>(deviceName_);
  available_.store(source != nullptr);
  if (!source) {
    logLine("Failed to Setup AVAudioSession");
    if (!quiet()) report(KIVOErrorCodeAudioRecorderFailed, "Failed to setup audio session");
    return false;
  }
  // Only 16 kHz 16-bit mono linear PCM is captured; any other combination would mislabel the bytes.
  const int status = (channels == 1 && bits == 16 && formatID == kLinearPCM) ? source->open() : -EINVAL;
  if (status != 0) {
    KIVOAudioQueueRecorderLogWithOSStatus("AudioQueueNewInput", KIVOAudioQueueStatusFromCaptureError(status));
    logLine("Failed to AudioQueueNewInput()");
    if (!quiet()) report(KIVOErrorCodeAudioRecorderFailed, "Failed to create audio input");
    return false;
  }
  deviceRate_.store(source->deviceRate());
  if (debugMode_.load()) {
    if (source->deviceRate() != sampleRate_.load())
      logLine(format("AVAudioSession's Sample Rate(%lf) is different with KIVO SDK Preffered Sample Rate(%lf)",
                     source->deviceRate(), sampleRate_.load()));
    logLine(format("AVAudioSession Category[%@] Mode[%@] Options[%lu]", "PlayAndRecord", "Measurement", 1));
  }
  recordFormat_ = AudioStreamDescription{16000.0, formatID, kFormatFlagsSignedPacked, bits / 8 * channels, 1,
                                         bits / 8 * channels, 1, bits};
  if (!ensureCapacityLocked()) {
    logLine("Failed to allocation audio buffer");
    report(KIVOErrorCodeAudioRecorderFailed, "Failed to allocate audio buffer");
    return false;
  }
  source_ = std::move(source);
  return true;
}

bool KIVOAudioQueueRecorder::startRecord() {
  std::shared_ptr<RecordPermissionProvider> provider;
  uint64_t generation = 0;
  {
    std::lock_guard lock(control_);
    if (recording_.load()) return true;
    wanted_ = true;
    if (awaitingAnswer_) return true;  // one question at a time
    awaitingAnswer_ = true;
    generation = ++generation_;
    provider = permission_ ? permission_ : std::make_shared<GrantingPermissionProvider>();
  }
  std::weak_ptr<KIVOAudioQueueRecorder*> self = self_;
  provider->requestRecordPermission([self, generation](bool granted) {
    dispatch::Queue::main().async([self, generation, granted] {
      if (auto recorder = self.lock()) (*recorder)->permissionAnswered(granted, generation);
    });
  });
  return true;
}

void KIVOAudioQueueRecorder::permissionAnswered(bool granted, uint64_t generation) {
  std::unique_lock lock(control_);
  if (generation != generation_) return;  // superseded by a stop
  awaitingAnswer_ = false;
  if (!wanted_ || recording_.load()) return;
  if (!granted) {
    report(KIVOErrorCodeAudioRecorderFailed, "User not granted microphone services");
    flushReports(lock);
    return;
  }
  KIVODebugLog("[KIVOAudioQueueRecorder] Start");
  g_KIVOAudioQueueRecorderPause.store(false);
  packets_.store(0);
  if (!prepareLocked()) {
    logLine("Audio recorder preparation failure: It may retry after few seconds...");
    report(KIVOErrorCodeAudioRecorderFailed, "Failed to prepare audio services");
    flushReports(lock);
    return;
  }
  if (debugMode_.load()) logLine("Starting audio queue service");

  // The capture thread's world is set up while no capture thread runs.
  activeConverter_ = converter_;
  if (activeConverter_) {
    activeConverter_->setLogHook(&KIVOAudioQueueRecorder::converterLog, this);
    if (scratchBytes_ < activeConverter_->requiredSampleBytes()) {
      scratchBytes_ = activeConverter_->requiredSampleBytes();
      convertedScratch_.reset(new uint8_t[scratchBytes_]);
    }
  }
  gathered_.store(0);  // a block never joins audio from two runs
  dropRequested_.store(false);
  captureClock_ = currentClock();
  captureReporter_ = reporter_ ? reporter_ : ErrorReporter(defaultReporter);
  ring_->reset();
  running_.store(true);
  recording_.store(true);
  captureThread_ = std::thread([this] { captureLoop(); });

  const int status = source_->start(*ring_);
  if (status != 0) {
    recording_.store(false);
    disposeLocked();
    KIVOAudioQueueRecorderLogWithOSStatus("AudioQueueStart", KIVOAudioQueueStatusFromCaptureError(status));
    logLine("AudioQueueStart failed ##### Cannot start KIVO");
    if (!quiet()) report(KIVOErrorCodeAudioRecorderFailed, "AudioQueueStart failed");
    report(KIVOErrorCodeAudioRecorderFailed, "Failed to prepare audio services");
    flushReports(lock);
    return;
  }
  g_lastCallbackTime.store(monotonicSeconds(*captureClock_));
  interrupting_.store(false);
  background_.store(false);
  sessionObserved_ = true;
  flushReports(lock);
}

void KIVOAudioQueueRecorder::stopRecord() {
  std::unique_lock lock(control_);
  stopRecordLocked();
  flushReports(lock);
}

void KIVOAudioQueueRecorder::stopRecordLocked() {
  wanted_ = false;
  awaitingAnswer_ = false;
  ++generation_;  // an answer still on its way finds nothing to start
  if (recording_.load()) {
    KIVODebugLog("[KIVOAudioQueueRecorder] Stop");
    recording_.store(false);
  }
  disposeLocked();
  sessionObserved_ = false;
}

void KIVOAudioQueueRecorder::disposeLocked() {
  running_.store(false);
  if (source_) source_->stop();
  if (captureThread_.joinable()) {
    ring_->close();
    // From a delegate call on the capture thread itself the join waits for the next control call.
    if (captureThread_.get_id() == std::this_thread::get_id()) return;
    captureThread_.join();
    log_->flush();
    retiredDelegates_.clear();
  }
  source_.reset();
}

void KIVOAudioQueueRecorder::pauseRecord() {
  std::lock_guard lock(control_);
  if (!recording_.load()) return;
  g_KIVOAudioQueueRecorderPause.store(true);
  running_.store(false);
  if (source_) source_->stop();
}

void KIVOAudioQueueRecorder::restart() {
  if (!interrupting_.load()) {
    logLine("INFO: KIVO working currently. There's no need to restart. Don't mind ;-)");
    return;
  }
  startRecord();
}

bool KIVOAudioQueueRecorder::capturing() const {
  std::lock_guard lock(control_);
  return captureThread_.joinable();
}

bool KIVOAudioQueueRecorder::isRunning() const {
  std::lock_guard lock(control_);
  if (!source_) return recording_.load();
  return running_.load() && source_->isStreaming();
}

double KIVOAudioQueueRecorder::lastCallbackInterval() const {
  if (!recording_.load()) return 0.0;
  const double last = g_lastCallbackTime.load();
  if (last == 0.0) return 0.0;
  return std::max(0.0, monotonicSeconds(*currentClock()) - last);
}

void KIVOAudioQueueRecorder::interruptNotification(std::optional<int64_t> type) {
  if (!type) return;
  std::unique_lock lock(control_);
  if (!sessionObserved_) return;
  logLine(format("AVAudioSession Interruption Notification Type %d", *type));
  if (*type == 1) {
    interrupting_.store(true);
    if (recording_.load()) stopRecordLocked();
    report(KIVOErrorCodeInterruptionBegan, std::nullopt);
    flushReports(lock);
  } else if (*type == 0) {
    interrupting_.store(false);
    const bool start = !recording_.load();
    report(KIVOErrorCodeInterruptionEnded, std::nullopt);
    flushReports(lock);
    if (start) startRecord();
  }
}

void KIVOAudioQueueRecorder::mediaServiceResetNotification() { logLine("Receiving Media Service Reset Notification"); }

// Capture thread ----------------------------------------------------------------------------------

void KIVOAudioQueueRecorder::converterLog(void* context, const char* line) noexcept {
  static_cast<KIVOAudioQueueRecorder*>(context)->log_->push(CaptureLog::Kind::Line, "%s", line);
}

void KIVOAudioQueueRecorder::captureLoop() {
  bool enqueued[2] = {true, true};  // both buffers are enqueued at the start
  size_t index = 0;
  for (;;) {
    const auto wait = ring_->waitFor(kQueueBufferBytes);
    if (wait == capture::CaptureRing::Wait::Closed) return;
    if (wait == capture::CaptureRing::Wait::Failed) {
      // The device went away or broke: the stream ends and isRunning turns false.
      running_.store(false);
      const int32_t status = KIVOAudioQueueStatusFromCaptureError(ring_->failure());
      log_->push(CaptureLog::Kind::DebugFile, "[KIVOAudioQueueRecorder] %s OSStatus %ld (%s)", "AudioQueueEnqueueBuffer",
                 long(status), KIVOAudioQueueRecorderStatToString(status).c_str());
      log_->push(CaptureLog::Kind::Line, "[KIVOAudioQueueRecorder] OSStatus with Symbol: %s", capture::statusSymbol(status));
      log_->push(CaptureLog::Kind::Line, "AudioQueueEnqueueBuffer failed ##### KIVO may works invalid");
      if (!quiet()) {
        dispatch::Queue::main().async([reporter = captureReporter_] {
          reporter(KIVOErrorCodeAudioRecorderFailed, "AudioQueueEnqueueBuffer failed");
        });
      }
      return;
    }
    if (!enqueued[index]) index ^= 1;
    if (!enqueued[index]) {  // no buffer left in the queue: captured audio has nowhere to go
      ring_->discardAvailable();
      continue;
    }
    uint8_t* buffer = queueBuffers_[index];
    ring_->read(buffer, kQueueBufferBytes);
    enqueued[index] = false;
    callbacks_.fetch_add(1);
    if (interrupting_.load()) {
      log_->push(CaptureLog::Kind::DebugFile,
                 "[KIVOAudioQueueRecorder] Interrupting currently... (skipping handle audio buffer)");
    } else {
      handleBuffer(buffer, kQueueBufferBytes);
      const int32_t frame = std::max(frameSize_.load(), int32_t(1));
      packets_.fetch_add(kQueueBufferBytes / uint32_t(frame));
      if (running_.load() && recording_.load()) enqueued[index] = true;
    }
    index ^= 1;
  }
}

void KIVOAudioQueueRecorder::handleBuffer(const uint8_t* bytes, size_t size) {
  KIVOAudioQueueRecorderDelegate* delegate = delegateRaw_.load();
  if (!recording_.load() || !delegate) return;
  g_lastCallbackTime.store(monotonicSeconds(*captureClock_));
  if (delegate->implementsIncomingSampleBuffer()) delegate->recorderIncomingSampleBuffer(*this, bytes, size);
  if (dropRequested_.exchange(false)) gathered_.store(0);
  gather(*delegate, bytes, size);
  if (gathered_.load() >= requiredBufferSize_.load()) deliver(*delegate);
}

void KIVOAudioQueueRecorder::deliver(KIVOAudioQueueRecorderDelegate& delegate) {
  const uint64_t gathered = gathered_.load();
  if (debugMode_.load())
    log_->push(CaptureLog::Kind::Line, "It's sufficient the audio buffer when sample rate %f. Start match...",
               deviceRate_.load());
  std::memcpy(deliveryBuffer_.get(), gatherBuffer_.get(), gathered);
  gathered_.store(0);
  delegate.recorderBuffer(*this, deliveryBuffer_.get(), gathered);
}

void KIVOAudioQueueRecorder::gather(KIVOAudioQueueRecorderDelegate& delegate, const uint8_t* bytes, size_t size) {
  KIVOAudioConverter* converter = activeConverter_.get();
  if (converter) {
    converter->feedBuffer(bytes, size);
    if (converter->needMoreBuffer()) return;
    auto made = converter->convertInto({convertedScratch_.get(), scratchBytes_});
    if (!made || *made == 0) {
      log_->push(CaptureLog::Kind::Line, "WARN: No converted data. skip...");
      return;
    }
    if (debugMode_.load())
      log_->push(CaptureLog::Kind::Line, "Taking converted audio buffer %ld bytes from sample rate %f to sample rate %f",
                 long(*made), converter->sourceSampleRate(), 16000.0);
    bytes = convertedScratch_.get();
    size = *made;
  }
  // A block size raised while recording can outgrow the arrays until the next start: the full
  // gather buffer then goes out as it is, so no captured byte is dropped.
  const uint64_t capacity = capacity_.load();
  if (capacity - gathered_.load() < size && gathered_.load() > 0) deliver(delegate);
  const uint64_t gathered = gathered_.load();
  const size_t n = size_t(std::min<uint64_t>(capacity - gathered, size));
  std::memcpy(gatherBuffer_.get() + gathered, bytes, n);
  gathered_.store(uint32_t(gathered + n));
}

}  // namespace kivo
