// Constants shared by the whole program.
#pragma once

#include <cstdint>

inline constexpr const char* ServerVersion = "1.0.0.23";

inline constexpr std::uint16_t FilmPort = 28200;
inline constexpr std::uint16_t ViewPort = 28100;
inline constexpr std::uint16_t RelayPort = 28300;
inline constexpr std::uint16_t AdminPort = 28400;
