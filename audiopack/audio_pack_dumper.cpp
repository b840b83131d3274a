#include "audiopack/audio_pack_dumper.h"

#include <limits>

#include "audiopack/audio_pack_data.h"
#include "audiopack/utf8.h"
#include "kivo/error.h"
#include "kivo/format.h"
#include "kivo/log.h"

namespace kivo {

std::unique_ptr<KIVOAudioPackDumper> KIVOAudioPackDumper::startDumpWithPathURL(const std::filesystem::path& fileURL) {
  return startDumpWithPathURL(fileURL, std::make_shared<DiskFileSystem>(), [](int code, const std::string& reason) {
    KIVOError::postErrorNotificationWithErrorCode(code, reason);
  });
}

std::unique_ptr<KIVOAudioPackDumper> KIVOAudioPackDumper::startDumpWithPathURL(const std::filesystem::path& fileURL,
                                                                               std::shared_ptr<FileSystem> files,
                                                                               ErrorPoster postError) {
  std::unique_ptr<KIVOAudioPackDumper> dumper(
      new KIVOAudioPackDumper(fileURL, std::move(files), std::move(postError)));
  dumper->start();
  return dumper;
}

void KIVOAudioPackDumper::start() {
  if (fileHandle_ || fileURL_.empty()) return;
  fileHandle_ = KIVOFileHandle::initForWriteFile(fileURL_, *files_);
  if (!fileHandle_) {
    logLine("[ERROR] Failed to open file for writing");
    return;
  }
  if (!writeHeader()) logLine("Failed to write header");
}

void KIVOAudioPackDumper::addAFP(const KIVOAudioPackAFPData& afp) {
  const std::string* identifier = afp.identifier ? &*afp.identifier : nullptr;
  if (!identifier || identifier->find('\0') != std::string::npos || !isValidUtf8(*identifier)) {
    logLine("[WARN] Skipped AFP without a valid identifier");
    return;
  }
  if (identifier->size() > kMaxIdentifierBytes) {
    logLine(format("[WARN] Skipped AFP %@: identifier longer than 253 bytes", *identifier));
    return;
  }
  if (afp.afp.size() > std::numeric_limits<uint32_t>::max()) {
    logLine(format("[WARN] Skipped AFP %@: fingerprint longer than 4294967295 bytes", *identifier));
    return;
  }
  const auto* name = reinterpret_cast<const uint8_t*>(identifier->data());
  // The length byte counts the terminator.
  writeUInt8(0x61) && writeUInt8(uint8_t(identifier->size() + 1)) && writeBytes({name, identifier->size()}) &&
      writeUInt8(0x00) && writeUInt32(uint32_t(afp.type)) && writeUInt32(uint32_t(afp.afp.size())) &&
      writeBytes(afp.afp);
}

bool KIVOAudioPackDumper::finishWithMetadata(const nlohmann::json& metadata) {
  if (!fileHandle_) {
    logLine("[ERROR] No file handle (maybe calls without start method?)");
    return false;
  }
  writeUInt8(0x00);
  writeHeaderForMetadata();
  std::string text;
  try {
    text = metadata.dump(4);
  } catch (const nlohmann::json::exception&) {
    logLine("[ERROR] Failed to dump because metadata cannot be serialized");
    fileHandle_.reset();
    return false;
  }
  writeBytes({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  const bool written = fileHandle_->finishWrite();
  fileHandle_.reset();
  if (!written && postError_) postError_(KIVOErrorCodeAudioPackDumpFailed, "Failed to dump because cannot remove old item");
  return written;
}

bool KIVOAudioPackDumper::writeHeader() { return writeBytes(KIVOAudioPackData::header()); }

bool KIVOAudioPackDumper::writeHeaderForMetadata() { return writeBytes(KIVOAudioPackData::headerForMetadata()); }

bool KIVOAudioPackDumper::writeUInt8(uint8_t value) {
  if (!fileHandle_) {
    logLine("[ERROR] failed to write UInt8 because file handle is nil");
    return false;
  }
  return writeBytes(dataWithUInt8Value(value));
}

bool KIVOAudioPackDumper::writeUInt32(uint32_t value) {
  if (!fileHandle_) {
    logLine("[ERROR] failed to write UInt32 because file handle is nil");
    return false;
  }
  return writeBytes(dataWithUInt32Value(value));
}

}  // namespace kivo
