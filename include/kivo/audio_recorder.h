// KIVOAudioRecorder: the face of capture that recognition control uses. It forwards control calls
// to a KIVOAudioQueueRecorder (the shared one for shared()) and is its delegate: each full block
// reaches bufferHandler on the main queue as its own copy, in capture order; each raw buffer
// reaches rawBufferHandler at once on the capture thread (the bytes are valid only during the
// call, and the handler must not block). Every member is thread-safe; handlers may be replaced at
// any time, also during capture (a replaced raw handler is kept alive until capture stops).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "kivo/bytes.h"
#include "kivo/export.h"

namespace kivo {

class KIVOAudioQueueRecorder;

class KIVO_API KIVOAudioRecorder {
 public:
  using BufferHandler = std::function<void(Bytes block)>;
  using RawBufferHandler = std::function<void(const uint8_t* bytes, uint64_t size)>;

  // The process-wide facade over sharedRecorder() (created on first use, thread-safe).
  static KIVOAudioRecorder& shared();

  // A facade over recorder, which must outlive it; becomes the recorder's delegate.
  explicit KIVOAudioRecorder(KIVOAudioQueueRecorder& recorder);
  ~KIVOAudioRecorder();  // stops the recorder and leaves it without a delegate
  KIVOAudioRecorder(const KIVOAudioRecorder&) = delete;
  KIVOAudioRecorder& operator=(const KIVOAudioRecorder&) = delete;

  bool prepareWithDuration(double seconds);  // prepare(); the duration is not used
  bool start();
  void stop();
  void restart();
  bool debugMode() const;
  void setDebugMode(bool value);
  bool interrupting() const;
  double lastAudioBufferInterval() const;
  bool isRecording() const;
  bool isRunning() const;
  uint64_t requiredBufferSize() const;
  void setRequiredBufferSize(uint64_t size);

  void setBufferHandler(BufferHandler handler);
  void setRawBufferHandler(RawBufferHandler handler);

  KIVOAudioQueueRecorder& queueRecorder() { return recorder_; }

 private:
  struct State;
  KIVOAudioQueueRecorder& recorder_;
  std::shared_ptr<State> state_;
};

}  // namespace kivo
