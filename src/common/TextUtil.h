// Plain text and number parsing shared by every layer: protocol fields, settings and names.
#pragma once

#include <cstdint>
#include <string>

// Returns Text up to the first Delimiter and leaves the rest (after it) in Text.
std::string NextField(std::string& text, const std::string& delimiter);
// Text with the ASCII letters a to z upper-cased: how command words and names are compared.
std::string UpperCase(std::string text);
// Converts Text as an INI integer ("0x"/"$" hex, signed decimal); false when it does not convert.
bool TryStrToInt(const std::string& text, std::int32_t& value);
// A number field of a protocol line, read as an INI integer: 0 when it does not convert.
std::int32_t NumberField(const std::string& text);
