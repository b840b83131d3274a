// The seams under the audio queue recorder: where captured bytes come from (CaptureSource, with the
// CaptureSink it writes into) and who answers the record-permission question. The library ships an
// ALSA source, a file source paced by the library clock and a permission provider that grants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kivo/export.h"

namespace kivo {

// Receives the captured stream: 16000 Hz, signed 16-bit little-endian, mono PCM.
// Called only by the source's device side (one thread at a time). Neither call blocks, locks or
// allocates; bytes that do not fit are dropped and counted.
class KIVO_API CaptureSink {
 public:
  virtual ~CaptureSink() = default;
  virtual void write(const uint8_t* data, size_t size) noexcept = 0;
  // The stream broke with status (a negative errno-style code); nothing more will be written.
  virtual void fail(int status) noexcept = 0;
};

// One capture device. Confined to the recorder's control calls (one thread at a time), except that
// the device side writes into the sink from a thread or timer of its own between start and stop.
// Status results are 0 on success or a negative errno-style code (ALSA's convention).
class KIVO_API CaptureSource {
 public:
  virtual ~CaptureSource() = default;  // closes the device; REQUIRES stopped
  // Opens the device for 16000 Hz S16LE mono capture.
  virtual int open() = 0;
  // The device's own rate before any conversion (for diagnostics); 16000 when unknown.
  virtual double deviceRate() const { return 16000.0; }
  // Starts writing captured bytes into sink, which outlives the stream. REQUIRES open() succeeded.
  virtual int start(CaptureSink& sink) = 0;
  // Stops the stream. Once it returns the sink is never touched again. Idempotent.
  virtual void stop() = 0;
  // True from a successful start until stop() or a failure of the stream.
  virtual bool isStreaming() const = 0;
};

// Makes the source for a device name ("default", "hw:0", ...); nullptr when there is none.
using CaptureSourceFactory = std::function<std::unique_ptr<CaptureSource>(const std::string& device)>;

// Answers whether the process may record. requestRecordPermission may answer on any thread, at
// once or later, exactly once; the recorder always hands the answer on to the main queue.
class KIVO_API RecordPermissionProvider {
 public:
  virtual ~RecordPermissionProvider() = default;
  virtual void requestRecordPermission(std::function<void(bool granted)> answer) = 0;
};

// The default provider: grants at once.
class KIVO_API GrantingPermissionProvider final : public RecordPermissionProvider {
 public:
  void requestRecordPermission(std::function<void(bool granted)> answer) override { answer(true); }
};

}  // namespace kivo
