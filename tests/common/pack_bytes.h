// Builds pack bytes by hand, field by field (big-endian), for tests that need exact or broken layouts.
#pragma once

#include <cstdint>
#include <string_view>

#include "kivo/audio_pack.h"
#include "kivo/bytes.h"

namespace kivo::test {

struct PackBytes {
  Bytes bytes;

  PackBytes& u8(uint8_t v) {
    bytes.push_back(v);
    return *this;
  }
  PackBytes& u32(uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(uint8_t(v >> shift));
    return *this;
  }
  PackBytes& text(std::string_view s) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  PackBytes& raw(const Bytes& b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
  }
  PackBytes& fill(size_t count, uint8_t v) {
    bytes.insert(bytes.end(), count, v);
    return *this;
  }
  PackBytes& header() { return raw(Bytes(APACK_HEADER, APACK_HEADER + 16)); }
  PackBytes& footer() { return raw(Bytes(APACK_FOOTER, APACK_FOOTER + 16)); }
  // 0xFF bytes up to the next multiple of 16.
  PackBytes& pad() { return fill((16 - bytes.size() % 16) % 16, 0xFF); }

  // Stream records: op, name length, name, then the op's fields.
  PackBytes& add(std::string_view name, uint32_t type, const Bytes& data) {
    return u8(APACK_OP_ADD).u8(uint8_t(name.size())).text(name).u32(type).u32(uint32_t(data.size())).raw(data);
  }
  PackBytes& del(std::string_view name) { return u8(APACK_OP_DEL_IF_ANY).u8(uint8_t(name.size())).text(name); }
  PackBytes& test(std::string_view name, uint32_t checksum) {
    return u8(APACK_OP_TEST_MATCH).u8(uint8_t(name.size())).text(name).u32(checksum);
  }
  // End byte, padding and trailer.
  PackBytes& end() { return u8(0x00).pad().footer(); }

  // Pack-file chunks: identifiers carry their terminator inside the length byte.
  PackBytes& id(std::string_view identifier) { return u8(uint8_t(identifier.size() + 1)).text(identifier).u8(0); }
  PackBytes& afp(std::string_view identifier, uint32_t type, const Bytes& data) {
    return u8(0x61).id(identifier).u32(type).u32(uint32_t(data.size())).raw(data);
  }
  PackBytes& deleteIfAny(std::string_view identifier) { return u8(0x64).id(identifier); }
  PackBytes& testMatch(std::string_view identifier, uint32_t value) { return u8(0x6D).id(identifier).u32(value); }
  // End chunk, metadata marker and the metadata text.
  PackBytes& metadata(std::string_view json) { return u8(0x00).footer().text(json); }
};

}  // namespace kivo::test
