#include "capture/file_capture_source.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>

namespace kivo::capture {

// What the timer's ticks share with the source; touched by ticks only on the source's queue.
struct FileCaptureSource::Stream {
  const Bytes* pcm = nullptr;
  Options options;
  CaptureSink* sink = nullptr;
  size_t offset = 0;
  std::atomic<bool> streaming{false};
  bool ended = false;
};

FileCaptureSource::FileCaptureSource(Bytes pcm, Options options)
    : pcm_(std::move(pcm)), options_(options), queue_(dispatch::Queue::serial("kivo-file-capture")) {}

std::unique_ptr<FileCaptureSource> FileCaptureSource::fromFile(const std::filesystem::path& path, Options options) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return nullptr;
  Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return std::make_unique<FileCaptureSource>(std::move(bytes), options);
}

FileCaptureSource::~FileCaptureSource() { stop(); }

int FileCaptureSource::start(CaptureSink& sink) {
  if (timer_) return 0;
  stream_ = std::make_shared<Stream>();
  stream_->pcm = &pcm_;
  stream_->options = options_;
  stream_->sink = &sink;
  stream_->streaming.store(true);
  timer_ = dispatch::Timer::repeating(queue_, options_.period, [stream = stream_] {
    if (!stream->streaming.load() || stream->ended) return;
    const Bytes& pcm = *stream->pcm;
    const size_t n = std::min(stream->options.chunkBytes, pcm.size() - stream->offset);
    if (n > 0) stream->sink->write(pcm.data() + stream->offset, n);
    stream->offset += n;
    if (stream->offset == pcm.size()) {
      stream->ended = true;
      if (stream->options.endStatus) {
        stream->streaming.store(false);
        stream->sink->fail(*stream->options.endStatus);
      }
    }
  });
  return 0;
}

void FileCaptureSource::stop() {
  if (!timer_) return;
  timer_->invalidate();
  stream_->streaming.store(false);
  // A tick already running finishes before this returns: the queue runs one task at a time.
  dispatch::Semaphore done;
  queue_.async([done] { done.signal(); });
  done.wait();
  timer_.reset();
}

bool FileCaptureSource::isStreaming() const { return timer_ && stream_->streaming.load(); }

}  // namespace kivo::capture
