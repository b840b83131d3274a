// Fuzzes the pack reader through the memory file system. Properties beyond "no crash, no leak":
// the delegate is finished exactly when the load succeeds, with an object; and what was read,
// dumped again, reads back as the same records and metadata.
#include <cstdint>
#include <string_view>

#include "audiopack/audio_pack_dumper.h"
#include "audiopack/audio_pack_reader.h"
#include "audiopack/utf8.h"
#include "fuzz_check.h"
#include "kivo/log.h"
#include "common/memory_file_system.h"
#include "audiopack/recording_delegate.h"

namespace {

using kivo::test::RecordingDelegate;

bool dumpable(const kivo::KIVOAudioPackAFPData& afp) {
  return afp.identifier && afp.identifier->size() <= kivo::KIVOAudioPackDumper::kMaxIdentifierBytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    kivo::setLogSink([](std::string_view) {});
    return true;
  }();
  (void)quiet;
  auto files = std::make_shared<kivo::test::MemoryFileSystem>();
  files->put("/in.pack", kivo::Bytes(data, data + size));
  RecordingDelegate first;
  const bool loaded = kivo::KIVOAudioPack::loadPath("/in.pack", &first, *files);
  FUZZ_CHECK(first.finishCount == (loaded ? 1 : 0));
  if (!loaded) return 0;
  FUZZ_CHECK(first.metadata && first.metadata->is_object());

  auto dumper = kivo::KIVOAudioPackDumper::startDumpWithPathURL("/again.pack", files, {});
  std::vector<kivo::KIVOAudioPackAFPData> kept;
  for (const auto& call : first.calls) {
    if (call.kind != RecordingDelegate::Call::Kind::kAFP) continue;
    FUZZ_CHECK(!call.afp.identifier || kivo::isValidUtf8(*call.afp.identifier));
    dumper->addAFP(call.afp);
    if (dumpable(call.afp)) kept.push_back(call.afp);
  }
  FUZZ_CHECK(dumper->finishWithMetadata(*first.metadata));

  RecordingDelegate second;
  FUZZ_CHECK(kivo::KIVOAudioPack::loadPath("/again.pack", &second, *files));
  FUZZ_CHECK(second.calls.size() == kept.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    FUZZ_CHECK(second.calls[i].afp.identifier == kept[i].identifier);
    FUZZ_CHECK(second.calls[i].afp.type == kept[i].type);
    FUZZ_CHECK(second.calls[i].afp.afp == kept[i].afp);
  }
  FUZZ_CHECK(second.metadata == first.metadata);
  return 0;
}
