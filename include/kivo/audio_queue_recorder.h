// KIVOAudioQueueRecorder: the microphone. It opens a capture source (ALSA "default" unless the host
// names another device or installs its own source factory), moves the captured 16000 Hz S16LE mono
// stream through two 2048-byte buffers on a capture thread of its own, gathers them into blocks of
// requiredBufferSize bytes and hands each block, and every raw buffer, to its delegate on that
// thread. Failures go to the host as "kivo.error" 501 with the step's reason.
//
// Threads: control calls (prepare, start, stop, setters) may come from any thread and are
// serialised by the recorder; the record-permission answer always runs on the main queue. The
// capture thread takes no lock and allocates nothing of its own; its log lines go through a
// bounded lock-free queue. Stopping joins the capture thread before anything it uses is freed.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kivo/capture_source.h"
#include "kivo/export.h"

namespace kivo {

class Clock;
class KIVOAudioConverter;
class KIVOAudioQueueRecorder;
namespace capture {
class CaptureRing;
class CaptureLog;
}  // namespace capture

// Receives blocks and raw buffers on the capture thread; the bytes are valid only during the call.
class KIVO_API KIVOAudioQueueRecorderDelegate {
 public:
  virtual ~KIVOAudioQueueRecorderDelegate() = default;
  // A full block: between requiredBufferSize and requiredBufferSize + 2047 bytes.
  virtual void recorderBuffer(KIVOAudioQueueRecorder& recorder, const uint8_t* buffer, uint64_t size) = 0;
  // Every raw 2048-byte capture buffer, before it is gathered. Optional.
  virtual void recorderIncomingSampleBuffer(KIVOAudioQueueRecorder&, const uint8_t*, uint64_t) {}
  virtual bool implementsIncomingSampleBuffer() const { return false; }
  // Kept for hosts; the recorder never calls these two.
  virtual void recorderCurrentPeakLevel(KIVOAudioQueueRecorder&, int16_t, int16_t, double) {}
  virtual void recorderFailedToInitialize(KIVOAudioQueueRecorder&, const std::string&) {}
};

// The capture stream description (the record format).
struct AudioStreamDescription {
  double sampleRate = 0;
  uint32_t formatID = 0;
  uint32_t formatFlags = 0;
  uint32_t bytesPerPacket = 0;
  uint32_t framesPerPacket = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
};

// Set by pauseRecord, cleared at each start.
KIVO_API extern std::atomic<bool> g_KIVOAudioQueueRecorderPause;
// Monotonic time (seconds on the library clock's monotonic face) of the last capture callback that
// reached a delegate, or of the last successful start, whichever is later.
KIVO_API extern std::atomic<double> g_lastCallbackTime;

class KIVO_API KIVOAudioQueueRecorder {
 public:
  static constexpr uint32_t kLinearPCM = 0x6C70636D;  // "lpcm"
  static constexpr size_t kQueueBufferBytes = 2048;
  static constexpr uint64_t kDefaultRequiredBufferSize = 104000;
  // Largest block: 60 s of capture audio.
  static constexpr uint64_t kMaxRequiredBufferSize = 1920000;

  // The process-wide recorder (created on first use, thread-safe).
  static KIVOAudioQueueRecorder& sharedRecorder();

  // A recorder of its own (tests and tools).
  KIVOAudioQueueRecorder();
  ~KIVOAudioQueueRecorder();  // stops recording and joins the capture thread
  KIVOAudioQueueRecorder(const KIVOAudioQueueRecorder&) = delete;
  KIVOAudioQueueRecorder& operator=(const KIVOAudioQueueRecorder&) = delete;

  // Configuration; takes effect at the next prepare.
  double sampleRate() const { return sampleRate_.load(); }
  void setSampleRate(double rate) { sampleRate_.store(rate); }
  uint32_t channelsPerFrame() const { return channelsPerFrame_.load(); }
  void setChannelsPerFrame(uint32_t value) { channelsPerFrame_.store(value); }
  uint32_t formatID() const { return formatID_.load(); }
  void setFormatID(uint32_t value) { formatID_.store(value); }
  uint32_t bitsPerChannel() const { return bitsPerChannel_.load(); }
  void setBitsPerChannel(uint32_t value) { bitsPerChannel_.store(value); }
  bool debugMode() const { return debugMode_.load(); }
  void setDebugMode(bool value) { debugMode_.store(value); }
  // Capture device name for the default ALSA source; "default" unless set.
  std::string deviceName() const;
  void setDeviceName(std::string name);
  // Replaces the source factory (nullptr: the ALSA source). With a factory that returns nullptr
  // there is no input: available() is false and prepare fails.
  void setCaptureSourceFactory(CaptureSourceFactory factory);
  // Replaces the permission provider (nullptr: grant).
  void setRecordPermissionProvider(std::shared_ptr<RecordPermissionProvider> provider);
  // The provider in use (nullptr: grant).
  std::shared_ptr<RecordPermissionProvider> recordPermissionProvider() const;
  // Where 501, 100 and 101 go; by default KIVOError::postErrorNotificationWithErrorCode.
  using ErrorReporter = std::function<void(int64_t code, std::optional<std::string> reason)>;
  void setErrorReporter(ErrorReporter reporter);

  // Bytes per delivered block. Sizes of 0 or above kMaxRequiredBufferSize are refused with a log
  // line. While recording the new size applies at once but the arrays keep their capacity: a block
  // then goes out when the gather buffer is full, and larger arrays are made at the next start.
  uint64_t requiredBufferSize() const { return requiredBufferSize_.load(); }
  void setRequiredBufferSize(uint64_t size);
  // Strong reference. A replaced delegate stays alive until capture stops.
  std::shared_ptr<KIVOAudioQueueRecorderDelegate> delegate() const;
  void setDelegate(std::shared_ptr<KIVOAudioQueueRecorderDelegate> delegate);
  // Optional rate converter on the block path; used from the next start.
  std::shared_ptr<KIVOAudioConverter> audioConverter() const;
  void setAudioConverter(std::shared_ptr<KIVOAudioConverter> converter);

  int32_t frameSize() const { return frameSize_.load(); }
  bool available() const { return available_.load(); }
  bool recording() const { return recording_.load(); }
  bool interrupting() const { return interrupting_.load(); }
  void setInterrupting(bool value) { interrupting_.store(value); }
  bool inBackground() const { return background_.load(); }
  AudioStreamDescription recordFormat() const;
  uint64_t packetCount() const { return packets_.load(); }
  // Input callbacks since creation, skipped ones included (diagnostics).
  uint64_t callbackCount() const { return callbacks_.load(); }

  // Opens the capture source (disposing of any earlier one first); false after logging and
  // posting 501 when a step fails. Formats other than 1 channel, 16 bits, "lpcm" are refused.
  bool prepare();
  // Asks for permission and returns true at once; capture starts on the main queue when the
  // answer grants it and no stopRecord came in between. Nothing when already recording.
  bool startRecord();
  // Stops the stream, joins the capture thread and closes the source; also cancels a start that
  // waits for permission and disposes of a source prepared but never started.
  void stopRecord();
  // Stops the stream at once; recording stays true.
  void pauseRecord();
  // Starts only while interrupting; otherwise logs that there is nothing to do.
  void restart();
  // True while a capture thread exists (from a start until the stop that joins it).
  bool capturing() const;
  // The stream is running; without a source, recording().
  bool isRunning() const;
  // Seconds since the last callback (or the start) on the monotonic clock; 0 when not recording.
  double lastCallbackInterval() const;

  uint64_t sizeOfAllBuffer() const { return gathered_.load(); }
  // Empties the gather buffer (applied by the capture thread before its next buffer while recording).
  void dropBuffer();
  // Queue buffer 0 or 1 (2048 bytes, written by the capture thread); nullptr for other indexes.
  const uint8_t* getBufferRefAtIndex(size_t index) const;
  void enqueueReadyForBufferIndex(size_t index);
  bool isReadyToEnqueueForBufferIndex(size_t index) const;
  void clearEnqueueReady();
  void turnOffRecordingState() { recording_.store(false); }
  const CaptureSource* currentAudioQueue() const;
  // "record.wav" in the library's data directory; nothing records to it.
  std::filesystem::path recordedFilePath() const;

  // Host-called lifecycle and session events (Linux has no platform notifications for them).
  void applicationDidEnterBackground() { background_.store(true); }
  void applicationDidBecomeActive() { background_.store(false); }
  // Interruption type 1 began, 0 ended; ignored without a type, or while not started (the
  // registration lives from a successful start to stopRecord).
  void interruptNotification(std::optional<int64_t> type);
  void mediaServiceResetNotification();

 private:
  void report(int64_t code, std::optional<std::string> reason);
  bool quiet() const { return interrupting_.load() || background_.load(); }
  bool prepareLocked();                       // REQUIRES control_
  void stopRecordLocked();                    // REQUIRES control_
  void disposeLocked();                       // REQUIRES control_: stream stopped, thread joined, source closed
  void permissionAnswered(bool granted, uint64_t generation);
  bool ensureCapacityLocked();                // REQUIRES control_, capture thread not running
  void captureLoop();
  void handleBuffer(const uint8_t* bytes, size_t size);  // capture thread
  void gather(KIVOAudioQueueRecorderDelegate& delegate, const uint8_t* bytes, size_t size);  // capture thread
  void deliver(KIVOAudioQueueRecorderDelegate& delegate);  // capture thread: the gathered bytes as a block
  static void converterLog(void* context, const char* line) noexcept;
  void flushReports(std::unique_lock<std::mutex>& lock);  // unlocks, then reports what is pending

  // Configuration.
  std::atomic<double> sampleRate_{16000.0};
  std::atomic<uint32_t> channelsPerFrame_{1};
  std::atomic<uint32_t> formatID_{kLinearPCM};
  std::atomic<uint32_t> bitsPerChannel_{16};
  std::atomic<uint64_t> requiredBufferSize_{kDefaultRequiredBufferSize};
  std::atomic<uint64_t> maxSize_{kDefaultRequiredBufferSize + kDefaultRequiredBufferSize / 2};
  std::atomic<bool> debugMode_{false};

  // State read by the capture thread.
  std::atomic<int32_t> frameSize_{2};
  std::atomic<bool> available_{false};
  std::atomic<bool> recording_{false};
  std::atomic<bool> interrupting_{false};
  std::atomic<bool> background_{false};
  std::atomic<bool> running_{false};         // queue state's running flag
  std::atomic<bool> dropRequested_{false};
  std::atomic<uint64_t> packets_{0};
  std::atomic<uint64_t> callbacks_{0};
  std::atomic<uint32_t> gathered_{0};
  std::atomic<KIVOAudioQueueRecorderDelegate*> delegateRaw_{nullptr};
  std::atomic<bool> enqueueReady_[2] = {false, false};

  mutable std::mutex control_;  // serialises the control calls; never taken by the capture thread
  std::string deviceName_ = "default";                                // guarded by control_
  CaptureSourceFactory factory_;                                      // guarded by control_
  std::shared_ptr<RecordPermissionProvider> permission_;              // guarded by control_
  ErrorReporter reporter_;                                            // guarded by control_
  std::shared_ptr<KIVOAudioQueueRecorderDelegate> delegate_;          // guarded by control_
  std::vector<std::shared_ptr<KIVOAudioQueueRecorderDelegate>> retiredDelegates_;  // guarded by control_
  std::shared_ptr<KIVOAudioConverter> converter_;                     // guarded by control_
  std::shared_ptr<KIVOAudioConverter> activeConverter_;               // guarded by control_; the capture thread's
  AudioStreamDescription recordFormat_;                               // guarded by control_
  std::unique_ptr<CaptureSource> source_;                             // guarded by control_
  bool wanted_ = false;          // guarded by control_; startRecord until stopRecord
  bool awaitingAnswer_ = false;  // guarded by control_
  uint64_t generation_ = 0;      // guarded by control_
  bool sessionObserved_ = false; // guarded by control_; interruption registration
  std::thread captureThread_;    // guarded by control_
  std::vector<std::pair<int64_t, std::optional<std::string>>> pendingReports_;  // guarded by control_
  ErrorReporter captureReporter_;  // the capture thread's copy, set before it starts
  std::atomic<double> deviceRate_{16000.0};

  // Capture-thread data, sized while the thread is not running.
  std::unique_ptr<uint8_t[]> gatherBuffer_;
  std::unique_ptr<uint8_t[]> deliveryBuffer_;
  std::unique_ptr<uint8_t[]> convertedScratch_;
  size_t scratchBytes_ = 0;
  std::atomic<uint64_t> capacity_{0};  // bytes in each of gatherBuffer_ and deliveryBuffer_
  uint8_t queueBuffers_[2][kQueueBufferBytes] = {};
  std::shared_ptr<const Clock> captureClock_;  // read by the capture thread
  std::unique_ptr<capture::CaptureRing> ring_;
  std::unique_ptr<capture::CaptureLog> log_;
  std::shared_ptr<KIVOAudioQueueRecorder*> self_;  // weak copies let late answers find a live recorder
};

// A status code's four bytes, most significant first, as text ("fmt?" for 0x666D743F).
KIVO_API std::string KIVOAudioQueueRecorderStatToString(int32_t status);
// Debug-logs "[KIVOAudioQueueRecorder] %@ OSStatus %ld (%@)", then logs the status symbol line.
KIVO_API void KIVOAudioQueueRecorderLogWithOSStatus(std::string_view message, int32_t status);
// The status for a negative errno-style capture error (ALSA's codes): device missing -66680,
// busy -66681, permission -66676, bad argument -66682, overrun -66668, suspended -66671, bad
// state -66678; any other code unchanged (and logged as unknown).
KIVO_API int32_t KIVOAudioQueueStatusFromCaptureError(int error);

}  // namespace kivo
