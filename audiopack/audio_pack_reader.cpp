#include "audiopack/audio_pack_reader.h"

#include <cstdio>
#include <exception>

#include "audiopack/audio_pack_data.h"
#include "audiopack/utf8.h"
#include "kivo/format.h"
#include "kivo/log.h"
#include "platform/json_depth.h"

namespace kivo {
namespace {

constexpr uint64_t kHeaderLength = 16;

// As the platform prints a data object: "<f7417564 696f5061 ...>".
std::string describeData(std::span<const uint8_t> data) {
  std::string text = "<";
  char hex[3];
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0 && i % 4 == 0) text += ' ';
    std::snprintf(hex, sizeof hex, "%02x", data[i]);
    text += hex;
  }
  return text + ">";
}

}  // namespace

bool KIVOAudioPack::loadPath(const std::filesystem::path& path, KIVOAudioPackDelegate* delegate) {
  DiskFileSystem disk;
  return loadPath(path, delegate, disk);
}

bool KIVOAudioPack::loadPath(const std::filesystem::path& path, KIVOAudioPackDelegate* delegate, FileSystem& files) {
  try {
    KIVOAudioPack pack(path);
    return pack.load(delegate, files);
  } catch (const std::exception& e) {
    logLine(format("[ERROR] Failed to load audiopack: Exception = %@", e.what()));
  } catch (...) {
    logLine("[ERROR] Failed to load audiopack: Exception = unknown exception");
  }
  return false;
}

void KIVOAudioPack::dumpData(std::span<const uint8_t> data, std::string_view message) {
  std::string hex;
  char byte[4];
  for (const uint8_t b : data) {
    std::snprintf(byte, sizeof byte, "%02x ", b);
    hex += byte;
  }
  logLine(format("%@%@", message, hex));
}

bool KIVOAudioPack::load(KIVOAudioPackDelegate* delegate, FileSystem& files) {
  if (!openFile(files)) {
    logLine(format("failed to open file %@", path_));
    return false;
  }
  if (!readHeader()) {
    logLine("failed to read header");
    closeFileHandle();
    return false;
  }
  for (;;) {
    switch (readChunkType()) {
      case KIVOAudioPackChunkAFPData: {
        auto afp = readAFPData();
        if (!afp) {
          logLine("failed to read afp data");
          closeFileHandle();
          return false;
        }
        if (delegate) delegate->audioPackRetrieveAFPData(std::move(*afp));
        break;
      }
      case KIVOAudioPackChunkDeleteIfAny: {
        const Identifier identifier = readIdentifier();
        if (identifier.status != Identifier::Status::kPresent) {
          logLine("failed to read identifier for delete if any");
          closeFileHandle();
          return false;
        }
        if (delegate) delegate->audioPackDeleteIfAny(identifier.text);
        break;
      }
      case KIVOAudioPackChunkTestMatch:
        if (!readTestMatch()) {
          closeFileHandle();
          return false;
        }
        break;
      case KIVOAudioPackChunkEnd: {
        std::optional<nlohmann::json> metadata;
        if (skipBytePack() && readMetaDataHeader()) metadata = readMetaDatas();
        closeFileHandle();
        if (delegate) delegate->audioPackFinishLoadWithMetaData(metadata ? *metadata : nlohmann::json::object());
        return true;
      }
      case KIVOAudioPackChunkUnknown:
        logLine("unknown chunk type");
        closeFileHandle();
        return false;
    }
  }
}

bool KIVOAudioPack::openFile(FileSystem& files) {
  fileHandle_ = KIVOFileHandle::initForReadFile(path_, files);
  if (!fileHandle_) return false;
  if (fileHandle_->length() <= kHeaderLength) {
    logLine("[ERROR] local audiopacks has any no contents");
    closeFileHandle();
    return false;
  }
  return true;
}

bool KIVOAudioPack::readHeader() {
  const auto header = fileHandle_->readDataOfLength(kHeaderLength);
  const Bytes expected = KIVOAudioPackData::header();
  if (header && *header == expected) return true;
  logLine(format("Readed header %@ is different with required header %@", describeData(header ? *header : Bytes{}),
                 describeData(expected)));
  return false;
}

KIVOAudioPackChunkType KIVOAudioPack::readChunkType() {
  const auto kind = fileHandle_->readDataOfLength(1);
  if (!kind) return KIVOAudioPackChunkUnknown;
  switch (uint8Value(*kind)) {
    case 0x61:
      return KIVOAudioPackChunkAFPData;
    case 0x64:
      return KIVOAudioPackChunkDeleteIfAny;
    case 0x6D:
      return KIVOAudioPackChunkTestMatch;
    case 0x00:
      return KIVOAudioPackChunkEnd;
    default:
      return KIVOAudioPackChunkUnknown;
  }
}

KIVOAudioPack::Identifier KIVOAudioPack::readIdentifier() {
  const auto length = fileHandle_->readDataOfLength(1);
  if (!length) return {};
  if (uint8Value(*length) == 255) return {Identifier::Status::kNone, {}};
  return readStringLength(uint8Value(*length));
}

KIVOAudioPack::Identifier KIVOAudioPack::readStringLength(uint8_t length) {
  const auto bytes = readFileAsGenericStringWithLength(length);
  if (!bytes) return {};
  std::string text(bytes->begin(), bytes->end());
  // A zero byte inside would cut the name the database keeps (a C string) short of the key.
  if (text.find('\0') != std::string::npos || !isValidUtf8(text)) return {Identifier::Status::kNone, {}};
  return {Identifier::Status::kPresent, std::move(text)};
}

std::optional<Bytes> KIVOAudioPack::readFileAsGenericStringWithLength(uint8_t length) {
  auto bytes = fileHandle_->readDataOfLength(length);
  if (bytes && !bytes->empty() && bytes->back() == 0x00) bytes->pop_back();
  return bytes;
}

std::optional<KIVOAudioPackAFPData> KIVOAudioPack::readAFPData() {
  Identifier identifier = readIdentifier();
  if (identifier.status == Identifier::Status::kUnreadable) return std::nullopt;
  const auto type = fileHandle_->readDataOfLength(4);
  if (!type) return std::nullopt;
  const auto length = fileHandle_->readDataOfLength(4);
  if (!length) return std::nullopt;
  const uint32_t afpLength = uint32Value(*length);
  auto afp = fileHandle_->readDataOfLength(afpLength);
  if (!afp) {
    logLine(format("[ERROR] failed to read afp hash length %d", int32_t(afpLength)));
    return std::nullopt;
  }
  KIVOAudioPackAFPData data;
  if (identifier.status == Identifier::Status::kPresent) data.identifier = std::move(identifier.text);
  data.type = int32_t(uint32Value(*type));
  data.afp = std::move(*afp);
  return data;
}

bool KIVOAudioPack::readTestMatch() {
  const Identifier identifier = readIdentifier();
  if (identifier.status != Identifier::Status::kPresent) {
    logLine("failed to read identifier for test match");
    return false;
  }
  const auto value = fileHandle_->readDataOfLength(4);
  if (!value) return false;
  // "%ud" prints the number and a literal "d".
  logLine(format("Test Match: %@ %ud", identifier.text, uint32Value(*value)));
  return true;
}

bool KIVOAudioPack::skipBytePack() {
  bool skipped = false;
  while (fileHandle_->offset() < fileHandle_->length()) {
    const auto byte = fileHandle_->readDataOfLength(1);
    if (uint8Value(*byte) == 0xF1) return fileHandle_->seekRelative(-1);
    skipped = true;
  }
  if (skipped) logLine("Failed to load metadata or there's no meta data header. Skip...");
  return false;
}

bool KIVOAudioPack::readMetaDataHeader() {
  const auto marker = fileHandle_->readDataOfLength(kHeaderLength);
  if (marker && *marker == KIVOAudioPackData::headerForMetadata()) return true;
  logLine("Failed to load metadata or there's no meta data header. Skip...");
  return false;
}

std::optional<nlohmann::json> KIVOAudioPack::readMetaDatas() {
  const auto text = fileHandle_->readDataToEndOfFile();
  if (!text || text->size() <= 2) return nlohmann::json::object();
  // Text nested beyond the bound is refused unparsed, as text that is not JSON is.
  const std::string_view view(reinterpret_cast<const char*>(text->data()), text->size());
  auto metadata = jsonDepthWithin(view) ? nlohmann::json::parse(text->begin(), text->end(), nullptr, false)
                                        : nlohmann::json(nlohmann::json::value_t::discarded);
  if (metadata.is_discarded()) {
    logLine("[WARN] Failed to parse metadata. Skip...");
    return std::nullopt;
  }
  if (!metadata.is_object()) {
    logLine("[WARN] Metadata is not a dictionary. Skip...");
    return std::nullopt;
  }
  return metadata;
}

}  // namespace kivo
