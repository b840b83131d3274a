// A pack reader delegate that records every call in order.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kivo/audio_pack_delegate.h"

namespace kivo::test {

class RecordingDelegate : public KIVOAudioPackDelegate {
 public:
  struct Call {
    enum class Kind { kAFP, kDelete } kind;
    KIVOAudioPackAFPData afp;  // kAFP
    std::string identifier;    // kDelete
  };

  void audioPackRetrieveAFPData(KIVOAudioPackAFPData afp) override {
    calls.push_back({Call::Kind::kAFP, std::move(afp), {}});
  }
  void audioPackDeleteIfAny(const std::string& identifier) override {
    calls.push_back({Call::Kind::kDelete, {}, identifier});
  }
  void audioPackFinishLoadWithMetaData(const nlohmann::json& m) override {
    ++finishCount;
    metadata = m;
  }

  std::vector<Call> calls;
  std::optional<nlohmann::json> metadata;
  int finishCount = 0;
};

}  // namespace kivo::test
