#include "audiopack/audio_pack_data.h"

#include <stdexcept>

#include "kivo/audio_pack.h"

namespace kivo {

Bytes KIVOAudioPackData::header() { return Bytes(APACK_HEADER, APACK_HEADER + 16); }

Bytes KIVOAudioPackData::headerForMetadata() { return Bytes(APACK_FOOTER, APACK_FOOTER + 16); }

uint8_t uint8Value(std::span<const uint8_t> data) {
  if (data.empty()) throw std::out_of_range("uint8Value of empty data");
  return data[0];
}

uint32_t uint32Value(std::span<const uint8_t> data) {
  if (data.size() < 4) throw std::out_of_range("uint32Value of fewer than 4 bytes");
  return uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
}

Bytes dataWithUInt8Value(uint8_t value) { return Bytes{value}; }

Bytes dataWithUInt32Value(uint32_t value) {
  return Bytes{uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

}  // namespace kivo
