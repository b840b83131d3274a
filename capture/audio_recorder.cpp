#include "kivo/audio_recorder.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "kivo/audio_queue_recorder.h"
#include "kivo/dispatch.h"

namespace kivo {

// The delegate half: what the capture thread calls.
struct KIVOAudioRecorder::State final : KIVOAudioQueueRecorderDelegate, std::enable_shared_from_this<State> {
  std::mutex mutex;
  BufferHandler buffer;                                    // guarded by mutex
  std::vector<std::unique_ptr<RawBufferHandler>> raws;     // guarded by mutex; current and retired ones
  std::atomic<bool> hasBuffer{false};
  std::atomic<const RawBufferHandler*> raw{nullptr};
  std::atomic<bool> debugMode{false};

  // REQUIRES mutex, and no capture thread.
  void dropRetiredRaws() {
    std::erase_if(raws, [current = raw.load()](const auto& handler) { return handler.get() != current; });
  }

  void recorderBuffer(KIVOAudioQueueRecorder&, const uint8_t* bytes, uint64_t size) override {
    if (!hasBuffer.load()) return;
    Bytes block(bytes, bytes + size);
    dispatch::Queue::main().async([weak = weak_from_this(), block = std::move(block)]() mutable {
      auto state = weak.lock();
      if (!state) return;
      BufferHandler handler;
      {
        std::lock_guard lock(state->mutex);
        handler = state->buffer;
      }
      if (handler) handler(std::move(block));
    });
  }

  bool implementsIncomingSampleBuffer() const override { return true; }
  void recorderIncomingSampleBuffer(KIVOAudioQueueRecorder&, const uint8_t* bytes, uint64_t size) override {
    const RawBufferHandler* handler = raw.load();
    if (handler && *handler) (*handler)(bytes, size);
  }
};

KIVOAudioRecorder& KIVOAudioRecorder::shared() {
  static auto* instance = new KIVOAudioRecorder(KIVOAudioQueueRecorder::sharedRecorder());  // lives for the process
  return *instance;
}

KIVOAudioRecorder::KIVOAudioRecorder(KIVOAudioQueueRecorder& recorder)
    : recorder_(recorder), state_(std::make_shared<State>()) {
  recorder_.setDelegate(state_);
}

KIVOAudioRecorder::~KIVOAudioRecorder() {
  recorder_.stopRecord();
  recorder_.setDelegate(nullptr);
}

bool KIVOAudioRecorder::prepareWithDuration(double) { return recorder_.prepare(); }
bool KIVOAudioRecorder::start() { return recorder_.startRecord(); }

void KIVOAudioRecorder::stop() {
  recorder_.stopRecord();
  std::lock_guard lock(state_->mutex);
  if (!recorder_.capturing()) state_->dropRetiredRaws();
}

void KIVOAudioRecorder::restart() { recorder_.restart(); }
bool KIVOAudioRecorder::debugMode() const { return state_->debugMode.load(); }

void KIVOAudioRecorder::setDebugMode(bool value) {
  state_->debugMode.store(value);
  recorder_.setDebugMode(value);
}

bool KIVOAudioRecorder::interrupting() const { return recorder_.interrupting(); }
double KIVOAudioRecorder::lastAudioBufferInterval() const { return recorder_.lastCallbackInterval(); }
bool KIVOAudioRecorder::isRecording() const { return recorder_.recording(); }
bool KIVOAudioRecorder::isRunning() const { return recorder_.isRunning(); }
uint64_t KIVOAudioRecorder::requiredBufferSize() const { return recorder_.requiredBufferSize(); }
void KIVOAudioRecorder::setRequiredBufferSize(uint64_t size) { recorder_.setRequiredBufferSize(size); }

void KIVOAudioRecorder::setBufferHandler(BufferHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->hasBuffer.store(bool(handler));
  state_->buffer = std::move(handler);
}

void KIVOAudioRecorder::setRawBufferHandler(RawBufferHandler handler) {
  auto owned = handler ? std::make_unique<RawBufferHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(state_->mutex);
  state_->raw.store(owned.get());
  // The capture thread may still be inside the old handler: it is freed once capture has stopped.
  if (owned) state_->raws.push_back(std::move(owned));
  if (!recorder_.capturing()) state_->dropRetiredRaws();
}

}  // namespace kivo
