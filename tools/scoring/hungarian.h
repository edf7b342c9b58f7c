// Optimal one-to-one assignment (Hungarian method, O(n^3)).
#pragma once

#include <cstdint>
#include <vector>

// gain[r][c] for rows r < R and columns c < C (every row the same length).
// Returns, for every row, the column it is paired with, or -1 when the row is
// left unpaired (more rows than columns). The pairing maximises the summed
// gain over all one-to-one pairings.
std::vector<int> max_gain_assignment(const std::vector<std::vector<int64_t>> &gain, int columns);
