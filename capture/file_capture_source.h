// A capture source that replays PCM bytes (16000 Hz S16LE mono) as a microphone would deliver
// them: a repeating timer of the library clock writes the next chunk (2048 bytes every 64 ms by
// default) from a serial queue. Under a manual clock it advances only with virtual time. At the
// end of the data it writes nothing more, or, when given an end status, fails the stream with it
// (a device that went away).
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

#include "kivo/bytes.h"
#include "kivo/capture_source.h"
#include "kivo/dispatch.h"

namespace kivo::capture {

struct FileCaptureOptions {
  std::chrono::nanoseconds period = std::chrono::milliseconds(64);
  size_t chunkBytes = 2048;
  std::optional<int> endStatus;  // fail with this once the data is used up
};

class FileCaptureSource : public CaptureSource {
 public:
  using Options = FileCaptureOptions;
  explicit FileCaptureSource(Bytes pcm, Options options);
  explicit FileCaptureSource(Bytes pcm) : FileCaptureSource(std::move(pcm), Options{}) {}
  // The raw bytes of a file; nullptr when it cannot be read.
  static std::unique_ptr<FileCaptureSource> fromFile(const std::filesystem::path& path, Options options = {});
  ~FileCaptureSource() override;

  int open() override { return 0; }
  int start(CaptureSink& sink) override;
  void stop() override;
  bool isStreaming() const override;

 private:
  struct Stream;
  Bytes pcm_;
  Options options_;
  dispatch::Queue queue_;
  std::shared_ptr<Stream> stream_;
  std::optional<dispatch::Timer> timer_;  // set while streaming
};

}  // namespace kivo::capture
