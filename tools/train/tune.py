"""Tunes the four clustering thresholds of a trained model with the C++ engine
itself (quorva diarize, quorva score) on development data held out from
training, writes them into the model, and measures the results table.

Tuning sets (each one weighs the same in the mean DER that is minimised):
AMI dev00/dev01 (with their UEM), the simulated conversations of the tuning
speakers of LibriSpeech and of speechocean762, far-field copies of both (rooms
of 0.3 to 0.8 s, noise at 8 to 20 dB SNR), AMR-NB copies in 3GP, and
libri2mix files 0000-0015.
Reported besides: libri2mix (other half, all), the test speakers' simulated
conversations, their far-field copies, and 24 of the LibriSpeech ones as FLAC,
MP3, AAC, Opus, Vorbis, WebM and AMR-NB; each with the one-speaker baseline
and the overlap floor. Sets whose folders prepare_data.py did not make (no
extra speech) are left out.
"""
import json
import os
import shutil
import struct
import subprocess

import numpy as np

import common
import network

GRID = {
    "background": [0.02, 0.05, 0.1, 0.15, 0.2, 0.25, 0.3, 0.35, 0.4, 0.45],
    "assign": [0.02, 0.03, 0.05, 0.07, 0.1, 0.15, 0.2, 0.25, 0.3, 0.35, 0.4, 0.5],
    "merge": [0.03, 0.05, 0.07, 0.1, 0.12, 0.15, 0.2, 0.25, 0.3, 0.35, 0.4, 0.5],
    "reassign": [0.05, 0.1, 0.2, 0.3, 0.4, 0.5, 0.7],
}
ORDER = ("background", "assign", "merge", "reassign")
START = {"merge": 0.25, "reassign": 0.3, "assign": 0.2, "background": 0.2}


def read_turns(path):
    turns = []
    with open(path) as f:
        for line in f:
            p = line.split()
            if len(p) >= 8 and p[0] == "SPEAKER":
                turns.append((p[1], float(p[3]), float(p[3]) + float(p[4]), p[7]))
    return turns


def write_turns(path, turns):
    with open(path, "w") as f:
        for fid, a, b, s in turns:
            if b > a:
                f.write("SPEAKER %s 1 %.3f %.3f <NA> <NA> %s <NA> <NA>\n" % (fid, a, b - a, s))


class EvalSet:
    """Audio files with one reference RTTM whose file ids are the file stems."""

    def __init__(self, name, audio, reference, uem=None):
        self.name, self.audio, self.reference, self.uem = name, audio, reference, uem


def libri2mix_set(args, folder, name, indices):
    src = os.path.join(args.data, "conversations/libri2mix")
    turns, audio = [], []
    for i in indices:
        stem = "train-clean-2mix-%04d" % i
        audio.append(os.path.join(src, stem + ".flac"))
        # the references name the recording differently from the file
        turns += [(stem, a, b, s) for _, a, b, s in read_turns(os.path.join(src, stem + ".rttm"))]
    ref = os.path.join(folder, name + ".rttm")
    write_turns(ref, turns)
    return EvalSet(name, audio, ref)


AUDIO_EXTENSIONS = (".wav", ".flac", ".mp3", ".m4a", ".opus", ".ogg", ".webm", ".3gp")


def folder_set(folder, name, out):
    """Every recording of a folder (any format the engine reads) with its NAME.rttm."""
    audio = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(AUDIO_EXTENSIONS))
    turns = []
    for a in audio:
        turns += read_turns(os.path.splitext(a)[0] + ".rttm")
    ref = os.path.join(out, name + ".rttm")
    write_turns(ref, turns)
    return EvalSet(name, audio, ref)


def ami_set(args):
    ami = os.path.join(args.data, "conversations/ami")
    return EvalSet("ami-dev", [os.path.join(ami, "dev00.flac"), os.path.join(ami, "dev01.flac")],
                   os.path.join(ami, "debug.development.rttm"), os.path.join(ami, "debug.development.uem"))


def score(args, s, hyp, collar):
    cmd = [os.path.join(args.tools, "quorva"), "score", "--collar", str(collar)]
    if s.uem:
        cmd += ["--uem", s.uem]
    out = subprocess.run(cmd + [s.reference, hyp], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        p = line.split()
        if p and p[0] == "TOTAL":
            return float(p[1])
    raise RuntimeError("no TOTAL line in score output")


def diarize(args, model, s, hyp):
    subprocess.run([os.path.join(args.tools, "quorva"), "diarize", "--model", model, "--threads", "2",
                    "--output", hyp] + s.audio, check=True, capture_output=True)


def one_speaker_hypothesis(s, path):
    """All reference speech under one label."""
    write_turns(path, [(f, a, b, "everyone") for f, a, b, _ in read_turns(s.reference)])


def overlap_floor_hypothesis(s, path):
    """The reference with one label per instant (on 10 ms steps, the earliest
    started speaker): its DER is what overlap alone costs any single-label system."""
    turns = read_turns(s.reference)
    out = []
    for fid in sorted({t[0] for t in turns}):
        mine = [t for t in turns if t[0] == fid]
        end = max(b for _, _, b, _ in mine)
        steps = int(np.ceil(end * 100)) + 1
        who = [None] * steps
        for _, a, b, spk in sorted(mine, key=lambda t: t[1], reverse=True):
            for k in range(int(round(a * 100)), min(steps, int(round(b * 100)))):
                who[k] = spk
        k = 0
        while k < steps:
            if who[k] is None:
                k += 1
                continue
            j = k
            while j < steps and who[j] == who[k]:
                j += 1
            out.append((fid, k / 100.0, j / 100.0, who[k]))
            k = j
    write_turns(path, out)


def smoothed(scores):
    """Each grid point's score averaged with its two neighbours' on the grid
    (an end point counts itself twice): a point whose neighbours are much
    worse is a lucky draw of the tuning files, not a setting that holds on
    other recordings. Counting the end point twice, rather than averaging
    two values there, keeps the ends from looking better than they are."""
    padded = [scores[0]] + list(scores) + [scores[-1]]
    return [(padded[i] + padded[i + 1] + padded[i + 2]) / 3.0 for i in range(len(scores))]


def coordinate_search(objective, starts, grid, order, rounds, smooth=True, log=print):
    """Coordinate search of the thresholds from the best of `starts` (one
    setting or a list): each round sets each threshold in turn to the grid
    value with the lowest score, the others held, where the score is the
    mean of the value's own objective and its grid neighbours' (smooth) or
    its own objective alone. Objectives are computed once per setting.
    Returns the setting and its own objective. One threshold at a time
    cannot cross from one basin to another (a looser merge wants a looser
    assignment with it), hence several starts."""
    seen = {}

    def measured(th):
        key = tuple(sorted(th.items()))
        if key not in seen:
            seen[key] = objective(th)
        return seen[key]

    starts = [starts] if isinstance(starts, dict) else list(starts)
    for th in starts:
        log("candidate start", th, round(measured(th), 2), flush=True)
    best = min(starts, key=measured)
    log("start", best, round(measured(best), 2), flush=True)
    for _ in range(rounds):
        for name in order:
            values = grid[name]
            own = [measured(dict(best, **{name: v})) for v in values]
            score = smoothed(own) if smooth else own
            i = int(np.argmin(score))
            current = score[values.index(best[name])] if best[name] in values else measured(best)
            if score[i] < current:
                best = dict(best, **{name: values[i]})
                log("better", best, round(own[i], 2), "smoothed %.2f" % score[i] if smooth else "", flush=True)
    return best, measured(best)


def model_thresholds(path):
    """The four thresholds stored in a model file, by name."""
    with open(path, "rb") as f:
        data = f.read()
    th = struct.unpack_from("<ffff", data, network.find_threshold_offset(data))
    return {k: round(v, 4) for k, v in zip(("merge", "reassign", "assign", "background"), th)}


def main():
    args = common.parse_args(lambda p: p.add_argument(
        "--report-only", action="store_true", help="score the model with its own thresholds, no tuning"))
    work = os.path.join(args.cache, "eval")
    os.makedirs(work, exist_ok=True)
    def cached(folder, name):
        path = os.path.join(args.cache, folder)
        return [folder_set(path, name, work)] if os.path.isdir(path) else []

    # Real, far-field and lossy recordings weigh as much as clean simulated ones.
    tune_sets = ([ami_set(args)] + cached("simdev", "sim-dev") + cached("sodev", "so-dev")
                 + cached("fardev", "far-dev") + cached("fardevso", "far-dev-so") + cached("amrdev", "amr-dev")
                 + [libri2mix_set(args, work, "libri2mix-dev", range(0, 16))])
    report_sets = (tune_sets + [libri2mix_set(args, work, "libri2mix-test", range(16, 32)),
                                libri2mix_set(args, work, "libri2mix-all", range(0, 32))]
                   + cached("simtest", "sim-test") + cached("sotest", "so-test") + cached("fartest", "far-test")
                   + cached("fartestso", "far-test-so")
                   + [s for c in ("flac", "mp3", "aac", "opus", "vorbis", "webm", "amr")
                      for s in cached(c + "test", "sim-test-24-" + c)])
    model = os.path.join(work, "candidate.zr")
    shutil.copyfile(args.out, model)

    def objective(th):
        network.set_thresholds(model, (th["merge"], th["reassign"], th["assign"], th["background"]))
        total = 0.0
        for s in tune_sets:
            hyp = os.path.join(work, s.name + ".hyp.rttm")
            diarize(args, model, s, hyp)
            total += score(args, s, hyp, 0.25)
        return total / len(tune_sets)

    if args.report_only:  # the model's own thresholds, nothing written
        best = model_thresholds(args.out)
        best_score = objective(best)
        print("thresholds", best, round(best_score, 2), flush=True)
    else:
        starts = [dict(START)]
        if args.init and args.init.endswith(".zr") and os.path.exists(args.init):
            # the start model's own thresholds: a continued network often sits where its start did
            starts.append(model_thresholds(args.init))
        best, best_score = coordinate_search(objective, starts, GRID, ORDER, rounds=2,
                                             smooth=not args.no_smoothing)
    print("tuned", best, round(best_score, 2), flush=True)
    th = (best["merge"], best["reassign"], best["assign"], best["background"])
    if not args.report_only:
        network.set_thresholds(args.out, th)
    shutil.copyfile(args.out, model)

    rows = []
    for s in report_sets:
        hyp = os.path.join(work, s.name + ".hyp.rttm")
        diarize(args, model, s, hyp)
        base = os.path.join(work, s.name + ".one.rttm")
        one_speaker_hypothesis(s, base)
        floor = os.path.join(work, s.name + ".floor.rttm")
        overlap_floor_hypothesis(s, floor)
        row = {"set": s.name}
        for c in (0.25, 0.0):
            row["model_%g" % c] = score(args, s, hyp, c)
            row["one_speaker_%g" % c] = score(args, s, base, c)
            row["overlap_floor_%g" % c] = score(args, s, floor, c)
        rows.append(row)
        print(row, flush=True)
    with open(os.path.join(args.cache, "results.json"), "w") as f:
        json.dump({"thresholds": best, "tuning_objective": best_score, "rows": rows}, f, indent=1)
    print("| set | DER c0.25 | DER c0 | one speaker c0.25 | one speaker c0 | overlap floor c0.25 | overlap floor c0 |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        print("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |" % (
            r["set"], r["model_0.25"], r["model_0"], r["one_speaker_0.25"], r["one_speaker_0"],
            r["overlap_floor_0.25"], r["overlap_floor_0"]))


if __name__ == "__main__":
    main()
