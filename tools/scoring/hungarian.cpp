#include "scoring/hungarian.h"

#include <algorithm>
#include <limits>

std::vector<int> max_gain_assignment(const std::vector<std::vector<int64_t>> &gain, int columns) {
    const int rows = static_cast<int>(gain.size());
    const int n = std::max(rows, columns);
    std::vector<int> pairing(static_cast<size_t>(rows), -1);
    if (rows == 0 || columns == 0) return pairing;

    // Minimise the negated gain on a square matrix padded with zeros, using
    // row and column potentials (1-based, index 0 is the free slot).
    auto cost = [&](int r, int c) -> int64_t {
        if (r >= rows || c >= columns) return 0;
        return -gain[static_cast<size_t>(r)][static_cast<size_t>(c)];
    };
    constexpr int64_t kInf = std::numeric_limits<int64_t>::max() / 4;
    std::vector<int64_t> u(n + 1, 0), v(n + 1, 0), slack(n + 1);
    std::vector<int> row_of_column(n + 1, 0), way(n + 1, 0);
    std::vector<char> used(n + 1);
    for (int r = 1; r <= n; ++r) {
        row_of_column[0] = r;
        int c0 = 0;
        std::fill(slack.begin(), slack.end(), kInf);
        std::fill(used.begin(), used.end(), 0);
        do {
            used[c0] = 1;
            const int r0 = row_of_column[c0];
            int64_t delta = kInf;
            int c1 = 0;
            for (int c = 1; c <= n; ++c) {
                if (used[c]) continue;
                const int64_t reduced = cost(r0 - 1, c - 1) - u[r0] - v[c];
                if (reduced < slack[c]) {
                    slack[c] = reduced;
                    way[c] = c0;
                }
                if (slack[c] < delta) {
                    delta = slack[c];
                    c1 = c;
                }
            }
            for (int c = 0; c <= n; ++c) {
                if (used[c]) {
                    u[row_of_column[c]] += delta;
                    v[c] -= delta;
                } else {
                    slack[c] -= delta;
                }
            }
            c0 = c1;
        } while (row_of_column[c0] != 0);
        do {
            const int c1 = way[c0];
            row_of_column[c0] = row_of_column[c1];
            c0 = c1;
        } while (c0 != 0);
    }
    for (int c = 1; c <= n; ++c) {
        const int r = row_of_column[c] - 1;
        if (r < rows && c - 1 < columns) pairing[static_cast<size_t>(r)] = c - 1;
    }
    return pairing;
}
