// What the sorting found: per user the SSRCs, their kinds and payload types, and the counts of
// what was left out; as text for standard error and as JSON.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>

#include "packet_sorter.h"

namespace pcapin {

void print_summary(FILE* out, const PacketSorter& sorter);
nlohmann::json summary_json(const PacketSorter& sorter);

}  // namespace pcapin
