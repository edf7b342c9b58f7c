// Reading speaker turns from RTTM files and scored regions from UEM files.
// Times are kept in whole microseconds so that sums of durations are exact.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

using time_us = int64_t;

struct speaker_turn {
    std::string speaker;
    time_us start = 0;
    time_us end = 0;  // exclusive
};

struct time_region {
    time_us start = 0;
    time_us end = 0;
};

// Turns per recording, keyed by the RTTM file field.
using turn_table = std::map<std::string, std::vector<speaker_turn>>;
// Scored regions per recording, keyed by the UEM file field.
using region_table = std::map<std::string, std::vector<time_region>>;

// Seconds as written in the files, to microseconds (nearest).
time_us seconds_to_us(double seconds);

// Parses RTTM text. Only SPEAKER lines count; blank lines and lines starting
// with ';' or '#' are skipped, other record types are ignored. Turns of zero
// duration are dropped. On a malformed line returns false with `error` naming
// the line.
bool parse_rttm(const std::string &text, turn_table &turns, std::string &error);

// Parses UEM text: "<file> <channel> <start> <end>" per line.
bool parse_uem(const std::string &text, region_table &regions, std::string &error);

// Reads a whole file into `text`; false with `error` when it cannot be read.
bool read_text_file(const std::string &path, std::string &text, std::string &error);
