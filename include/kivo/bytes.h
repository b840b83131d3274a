// Byte data as the object layer passes it.
#pragma once

#include <cstdint>
#include <vector>

namespace kivo {

using Bytes = std::vector<uint8_t>;

}  // namespace kivo
