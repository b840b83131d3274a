// KIVOAudioPackDumper writes a pack file that KIVOAudioPack reads: the header, one AFP chunk per
// addAFP, the end byte, the metadata marker and the metadata as pretty-printed JSON. Every byte is
// held in memory until finishWithMetadata, which replaces the file in one step: a dump that fails or
// never finishes leaves the previous file as it was. One dump is driven from one thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>

#include "audiopack/file_handle.h"
#include "platform/file_system.h"
#include "kivo/audio_pack_delegate.h"

namespace kivo {

class KIVOAudioPackDumper {
 public:
  // Reports a fault to the host: code and reason.
  using ErrorPoster = std::function<void(int code, const std::string& reason)>;

  // Identifiers longer than this cannot be written: the reader takes length byte 255 for "none".
  static constexpr size_t kMaxIdentifierBytes = 253;

  // A dumper for fileURL, already started; returned also when start failed (later calls then only
  // log). Faults go to KIVOError's "kivo.error" notification.
  static std::unique_ptr<KIVOAudioPackDumper> startDumpWithPathURL(const std::filesystem::path& fileURL);
  // The same over files, posting faults through postError.
  static std::unique_ptr<KIVOAudioPackDumper> startDumpWithPathURL(const std::filesystem::path& fileURL,
                                                                    std::shared_ptr<FileSystem> files,
                                                                    ErrorPoster postError);

  // Opens the new version of the file and writes the header. Does nothing while a dump is open or
  // without a file location.
  void start();
  // Appends one AFP chunk. A record whose identifier is missing, is not UTF-8 without zero bytes, or
  // is longer than 253 bytes is skipped with a log line, as is a fingerprint above 4 GiB.
  void addAFP(const KIVOAudioPackAFPData& afp);
  // Ends the chunk list, appends the metadata and replaces the file. True when the file now holds
  // the dump. When the file cannot be replaced, posts error 502 and keeps the previous file.
  bool finishWithMetadata(const nlohmann::json& metadata);

  // The single writes; each false without an open dump.
  bool writeHeader();
  bool writeHeaderForMetadata();
  bool writeUInt8(uint8_t value);
  bool writeUInt32(uint32_t value);

  const std::filesystem::path& fileURL() const { return fileURL_; }

 private:
  KIVOAudioPackDumper(std::filesystem::path fileURL, std::shared_ptr<FileSystem> files, ErrorPoster postError)
      : fileURL_(std::move(fileURL)), files_(std::move(files)), postError_(std::move(postError)) {}
  bool writeBytes(std::span<const uint8_t> bytes) { return fileHandle_ && fileHandle_->writeData(bytes); }

  std::filesystem::path fileURL_;
  std::shared_ptr<FileSystem> files_;
  ErrorPoster postError_;
  std::unique_ptr<KIVOFileHandle> fileHandle_;  // from a successful start until finishWithMetadata
};

}  // namespace kivo
