// Strict UTF-8 validation for pack identifiers.
#pragma once

#include <string_view>

namespace kivo {

// True when text is well-formed UTF-8: no overlong forms, surrogates or code points above U+10FFFF.
bool isValidUtf8(std::string_view text);

}  // namespace kivo
