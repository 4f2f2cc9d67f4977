// Small helpers the services use beside the connection.
#pragma once

#include <cstdint>
#include <string>

// Returns Text up to the first Delimiter and leaves the rest (after it) in Text.
std::string NextField(std::string& text, const std::string& delimiter);
// Text with the ASCII letters a to z upper-cased: how command words and names are compared.
std::string UpperCase(std::string text);
// Waits Milliseconds without holding any lock.
void Sleep(int milliseconds);
