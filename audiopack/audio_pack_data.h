// The two 16-byte markers of a pack file and the byte fields its records are made of
// (big-endian, unaligned).
#pragma once

#include <cstdint>
#include <span>

#include "kivo/bytes.h"

namespace kivo {

class KIVOAudioPackData {
 public:
  // 0xF7 "AudioPack1" 01 0D 0A 1A 0A: the first 16 bytes of every pack.
  static Bytes header();
  // The same with 0xF1 first: the marker in front of a pack's metadata.
  static Bytes headerForMetadata();
};

// The first byte of data. Throws std::out_of_range when data is empty.
uint8_t uint8Value(std::span<const uint8_t> data);
// The first four bytes of data as a big-endian value. Throws std::out_of_range when data is shorter.
uint32_t uint32Value(std::span<const uint8_t> data);
Bytes dataWithUInt8Value(uint8_t value);
// Four bytes, big-endian.
Bytes dataWithUInt32Value(uint32_t value);

}  // namespace kivo
