// Constants shared by the whole program.
#pragma once

#include <cstdint>

inline constexpr const char* ServerVersion = "1.0.0.23";
// Where the version refusals send clients for a current release.
inline constexpr const char* WebAddress = "http://www.zarnel.example/";

inline constexpr std::uint16_t FilmPort = 28200;
inline constexpr std::uint16_t ViewPort = 28100;
inline constexpr std::uint16_t RelayPort = 28300;
inline constexpr std::uint16_t AdminPort = 28400;
