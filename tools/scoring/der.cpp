#include "scoring/der.h"

#include <algorithm>
#include <limits>
#include <map>

#include "scoring/hungarian.h"

namespace {

// Sorts and merges overlapping or touching regions.
std::vector<time_region> merge_regions(std::vector<time_region> regions) {
    std::sort(regions.begin(), regions.end(),
              [](const time_region &a, const time_region &b) { return a.start < b.start; });
    std::vector<time_region> merged;
    for (const time_region &r : regions) {
        if (r.end <= r.start) continue;
        if (!merged.empty() && r.start <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, r.end);
        } else {
            merged.push_back(r);
        }
    }
    return merged;
}

// Regions minus the union of `holes` (both merged).
std::vector<time_region> subtract_regions(const std::vector<time_region> &regions,
                                          const std::vector<time_region> &holes) {
    std::vector<time_region> out;
    size_t h = 0;
    for (time_region r : regions) {
        while (h < holes.size() && holes[h].end <= r.start) ++h;
        size_t k = h;
        while (k < holes.size() && holes[k].start < r.end) {
            if (holes[k].start > r.start) out.push_back({r.start, holes[k].start});
            r.start = std::max(r.start, holes[k].end);
            ++k;
        }
        if (r.end > r.start) out.push_back(r);
    }
    return out;
}

// One speaker's merged turns, per speaker index.
struct speaker_set {
    std::vector<std::string> names;
    std::vector<std::vector<time_region>> turns;
};

speaker_set group_by_speaker(const std::vector<speaker_turn> &turns) {
    std::map<std::string, std::vector<time_region>> grouped;
    for (const speaker_turn &t : turns) grouped[t.speaker].push_back({t.start, t.end});
    speaker_set set;
    for (auto &[name, regions] : grouped) {
        set.names.push_back(name);
        set.turns.push_back(merge_regions(std::move(regions)));
    }
    return set;
}

enum class event_kind { scored, reference, hypothesis };

struct event {
    time_us time;
    int delta;  // +1 start, -1 end
    event_kind kind;
    int index;
};

// A stretch of scored time with the speakers active throughout it.
struct scored_piece {
    time_us duration;
    std::vector<int> reference;
    std::vector<int> hypothesis;
};

std::vector<scored_piece> sweep(const speaker_set &ref, const speaker_set &hyp,
                                const std::vector<time_region> &scored) {
    std::vector<event> events;
    for (const time_region &r : scored) {
        events.push_back({r.start, +1, event_kind::scored, 0});
        events.push_back({r.end, -1, event_kind::scored, 0});
    }
    for (int s = 0; s < static_cast<int>(ref.turns.size()); ++s) {
        for (const time_region &r : ref.turns[s]) {
            events.push_back({r.start, +1, event_kind::reference, s});
            events.push_back({r.end, -1, event_kind::reference, s});
        }
    }
    for (int s = 0; s < static_cast<int>(hyp.turns.size()); ++s) {
        for (const time_region &r : hyp.turns[s]) {
            events.push_back({r.start, +1, event_kind::hypothesis, s});
            events.push_back({r.end, -1, event_kind::hypothesis, s});
        }
    }
    std::sort(events.begin(), events.end(),
              [](const event &a, const event &b) { return a.time < b.time; });

    std::vector<char> ref_active(ref.turns.size()), hyp_active(hyp.turns.size());
    bool in_scored = false;
    std::vector<scored_piece> pieces;
    size_t i = 0;
    while (i < events.size()) {
        const time_us now = events[i].time;
        for (; i < events.size() && events[i].time == now; ++i) {
            const event &e = events[i];
            const char on = e.delta > 0 ? 1 : 0;
            switch (e.kind) {
                case event_kind::scored: in_scored = on; break;
                case event_kind::reference: ref_active[e.index] = on; break;
                case event_kind::hypothesis: hyp_active[e.index] = on; break;
            }
        }
        if (i == events.size() || !in_scored) continue;
        scored_piece piece{events[i].time - now, {}, {}};
        for (size_t s = 0; s < ref_active.size(); ++s)
            if (ref_active[s]) piece.reference.push_back(static_cast<int>(s));
        for (size_t s = 0; s < hyp_active.size(); ++s)
            if (hyp_active[s]) piece.hypothesis.push_back(static_cast<int>(s));
        if (piece.duration > 0 && (!piece.reference.empty() || !piece.hypothesis.empty()))
            pieces.push_back(std::move(piece));
    }
    return pieces;
}

}  // namespace

double der_counts::der_percent() const {
    if (scored_speech == 0)
        return errors() == 0 ? 0.0 : std::numeric_limits<double>::infinity();
    return 100.0 * static_cast<double>(errors()) / static_cast<double>(scored_speech);
}

der_counts &der_counts::operator+=(const der_counts &other) {
    scored_speech += other.scored_speech;
    missed += other.missed;
    false_alarm += other.false_alarm;
    confusion += other.confusion;
    return *this;
}

der_counts score_recording(const std::vector<speaker_turn> &reference,
                           const std::vector<speaker_turn> &hypothesis,
                           const std::vector<time_region> &scored_regions, time_us collar) {
    const speaker_set ref = group_by_speaker(reference);
    const speaker_set hyp = group_by_speaker(hypothesis);

    std::vector<time_region> scored = merge_regions(scored_regions);
    if (collar > 0) {
        std::vector<time_region> holes;
        for (const auto &turns : ref.turns) {
            for (const time_region &r : turns) {
                holes.push_back({r.start - collar, r.start + collar});
                holes.push_back({r.end - collar, r.end + collar});
            }
        }
        scored = subtract_regions(scored, merge_regions(std::move(holes)));
    }
    const std::vector<scored_piece> pieces = sweep(ref, hyp, scored);

    // Pair the speakers so that the paired overlap in scored time is largest.
    std::vector<std::vector<int64_t>> overlap(ref.names.size(),
                                              std::vector<int64_t>(hyp.names.size(), 0));
    for (const scored_piece &p : pieces)
        for (int r : p.reference)
            for (int h : p.hypothesis) overlap[r][h] += p.duration;
    const std::vector<int> pairing =
        max_gain_assignment(overlap, static_cast<int>(hyp.names.size()));

    der_counts counts;
    for (const scored_piece &p : pieces) {
        const auto n_ref = static_cast<int64_t>(p.reference.size());
        const auto n_hyp = static_cast<int64_t>(p.hypothesis.size());
        int64_t n_correct = 0;
        for (int r : p.reference) {
            const int h = pairing[r];
            if (h >= 0 && std::find(p.hypothesis.begin(), p.hypothesis.end(), h) != p.hypothesis.end())
                ++n_correct;
        }
        counts.scored_speech += p.duration * n_ref;
        counts.missed += p.duration * std::max<int64_t>(0, n_ref - n_hyp);
        counts.false_alarm += p.duration * std::max<int64_t>(0, n_hyp - n_ref);
        counts.confusion += p.duration * (std::min(n_ref, n_hyp) - n_correct);
    }
    return counts;
}

der_report score_turns(const turn_table &reference, const turn_table &hypothesis,
                       const der_options &options) {
    static const std::vector<speaker_turn> kNoTurns;
    der_report report;
    for (const auto &[uri, ref_turns] : reference) {
        std::vector<time_region> scored;
        if (options.uem) {
            const auto it = options.uem->find(uri);
            if (it != options.uem->end()) scored = it->second;
        } else if (!ref_turns.empty()) {
            time_us first = ref_turns.front().start, last = ref_turns.front().end;
            for (const speaker_turn &t : ref_turns) {
                first = std::min(first, t.start);
                last = std::max(last, t.end);
            }
            scored.push_back({first, last});
        }
        const auto hyp = hypothesis.find(uri);
        const der_counts counts = score_recording(
            ref_turns, hyp == hypothesis.end() ? kNoTurns : hyp->second, scored, options.collar);
        report.files.push_back({uri, counts});
        report.total += counts;
    }
    for (const auto &entry : hypothesis)
        if (reference.find(entry.first) == reference.end())
            report.hypothesis_only.push_back(entry.first);
    return report;
}
