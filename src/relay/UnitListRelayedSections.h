// The list of sections a relay connection keeps.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "common/ZarnelException.h"

// One section a relay peer wants, with how far each of its two streams has been sent.
class TRelayedSection {
 public:
  TRelayedSection(std::string AGameName, std::int32_t ASection)
      : GameName(std::move(AGameName)), Section(ASection) {}

  std::string GameName;
  std::int32_t Section;
  bool Completed = false;  // the whole game went out; the entry gets no more data
  std::array<std::int32_t, 2> BlockStart{0, 0};
  std::array<bool, 2> StreamCompleted{false, false};
  // The game information last sent to this connection for the entry's game (command 2);
  // section status judges the entry against it, so the peer can tell what the status did.
  bool InfoSent = false;
  std::int32_t InfoSection = -1;
  bool InfoCompleted = false;
};

// The sections one relay connection asked for, in order of addition. Used by one thread only.
class TListRelayedSections {
 public:
  // Appends a fresh entry and returns it; the reference stays valid while the list lives.
  TRelayedSection& Add(const std::string& AGameName, std::int32_t ASection);
  // Number of entries.
  int Count() const { return static_cast<int>(FItems.size()); }
  // The entry at a zero-based index; raises std::out_of_range outside 0 to Count - 1.
  TRelayedSection& Items(int index);

 private:
  std::deque<TRelayedSection> FItems;  // a deque keeps earlier entries in place as it grows
};
