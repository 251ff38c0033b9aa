// What the sorting found: per user the SSRCs, their kinds and payload types, and the counts of
// what was left out; as text for standard error and as JSON.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "packet_sorter.h"
#include "pcap_input.h"

namespace pcapin {

void print_summary(FILE* out, const PacketSorter& sorter);
// One line per stream whose clock was measured but matched no known one (its kind was guessed).
void print_clock_warnings(FILE* out, const PacketSorter& sorter);
// The counts, without the streams: write_summary_json() writes them one at a time into `j`'s
// "streams" (the same text as one dump(2) of the whole, without holding every stream at once).
nlohmann::json summary_json(const PacketSorter& sorter);
nlohmann::json stream_json(const PacketSorter& sorter, const Stream& s);
void write_summary_json(std::ostream& out, nlohmann::json j, const PacketSorter& sorter);
nlohmann::json damage_json(const ReadResult& r);

}  // namespace pcapin
