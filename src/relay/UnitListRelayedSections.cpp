#include "relay/UnitListRelayedSections.h"

TRelayedSection& TListRelayedSections::Add(const std::string& AGameName, std::int32_t ASection) {
  return FItems.emplace_back(AGameName, ASection);
}

TRelayedSection& TListRelayedSections::Items(int index) {
  if (index < 0) throw std::out_of_range("List index out of bounds");
  return FItems.at(static_cast<std::size_t>(index));
}
