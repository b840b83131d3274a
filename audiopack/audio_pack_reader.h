// KIVOAudioPack reads a pack file (the form every pack the system loads has: shipped, downloaded,
// local dump) and hands its records to a KIVOAudioPackDelegate. Layout: docs/audio-pack.md.
// One call reads one file on the calling thread; the delegate is called synchronously there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "audiopack/file_handle.h"
#include "platform/file_system.h"
#include "kivo/audio_pack_delegate.h"

namespace kivo {

// Kinds of chunk, by the byte that opens it.
enum KIVOAudioPackChunkType : int32_t {
  KIVOAudioPackChunkAFPData = 0,      // 0x61
  KIVOAudioPackChunkDeleteIfAny = 1,  // 0x64
  KIVOAudioPackChunkTestMatch = 2,    // 0x6D
  KIVOAudioPackChunkEnd = 3,          // 0x00
  KIVOAudioPackChunkUnknown = 4,      // any other byte, or none left
};

class KIVOAudioPack {
 public:
  // Reads the pack at path and delivers its records to delegate (may be null: parse only; not
  // retained). True when the file was read to its end chunk: only then does the delegate get
  // audioPackFinishLoadWithMetaData. Records delivered before a failure stay delivered. Never
  // throws: an exception raised during the load, by the delegate too, is logged and gives false.
  static bool loadPath(const std::filesystem::path& path, KIVOAudioPackDelegate* delegate);
  static bool loadPath(const std::filesystem::path& path, KIVOAudioPackDelegate* delegate, FileSystem& files);

  // Debugging aid: logs message followed by every byte as "%02x ".
  static void dumpData(std::span<const uint8_t> data, std::string_view message);

  explicit KIVOAudioPack(std::filesystem::path path) : path_(std::move(path)) {}
  ~KIVOAudioPack() { closeFileHandle(); }
  KIVOAudioPack(const KIVOAudioPack&) = delete;
  KIVOAudioPack& operator=(const KIVOAudioPack&) = delete;

 private:
  // An identifier field: present, deliberately absent (length byte 255, or bytes that are not a
  // UTF-8 string without zero bytes), or cut off by the end of the file.
  struct Identifier {
    enum class Status { kPresent, kNone, kUnreadable };
    Status status = Status::kUnreadable;
    std::string text;
  };

  bool load(KIVOAudioPackDelegate* delegate, FileSystem& files);
  bool openFile(FileSystem& files);
  bool readHeader();
  KIVOAudioPackChunkType readChunkType();
  Identifier readIdentifier();
  std::optional<KIVOAudioPackAFPData> readAFPData();
  bool readTestMatch();
  bool skipBytePack();
  bool readMetaDataHeader();
  std::optional<nlohmann::json> readMetaDatas();
  void closeFileHandle() { fileHandle_.reset(); }
  Identifier readStringLength(uint8_t length);
  std::optional<Bytes> readFileAsGenericStringWithLength(uint8_t length);

  std::filesystem::path path_;
  std::unique_ptr<KIVOFileHandle> fileHandle_;
};

}  // namespace kivo
