"""Measures what the speaker-count options buy: every development and test
set of tune.py diarized without hints, and with each recording's true count
given as --num-speakers, as --max-speakers and as --min-speakers; DER with
collar 0.25 (and 0) for each.

    python3 tools/train/count_hints.py --cache build/run-X --out MODEL.zr
"""
import os
import subprocess
from collections import defaultdict

import common
import tune

HINTS = ("none", "num", "max", "min")


def true_counts(s):
    speakers = defaultdict(set)
    for fid, _, _, who in tune.read_turns(s.reference):
        speakers[fid].add(who)
    return {fid: len(v) for fid, v in speakers.items()}


def diarize_with(args, model, s, hint, hyp):
    """One hypothesis RTTM for the set, each file run with its own count."""
    counts = true_counts(s)
    by_count = defaultdict(list)
    for audio in s.audio:
        by_count[counts.get(os.path.splitext(os.path.basename(audio))[0], 0)].append(audio)
    text = ""
    for k, files in sorted(by_count.items()):
        cmd = [os.path.join(args.tools, "quorva"), "diarize", "--model", model, "--threads", "2"]
        if hint != "none" and k > 0:
            cmd += ["--%s-speakers" % hint, str(k)]
        text += subprocess.run(cmd + files, check=True, capture_output=True, text=True).stdout
    with open(hyp, "w") as f:
        f.write(text)


def main():
    args = common.parse_args()
    work = os.path.join(args.cache, "eval-counts")
    os.makedirs(work, exist_ok=True)
    sets = [tune.ami_set(args), tune.libri2mix_set(args, work, "libri2mix-all", range(0, 32))]
    for folder, name in (("simdev", "sim-dev"), ("sodev", "so-dev"), ("fardev", "far-dev"),
                         ("fardevso", "far-dev-so"), ("amrdev", "amr-dev"), ("simtest", "sim-test"),
                         ("sotest", "so-test"), ("fartest", "far-test"), ("fartestso", "far-test-so")):
        path = os.path.join(args.cache, folder)
        if os.path.isdir(path):
            sets.append(tune.folder_set(path, name, work))
    print("| set | " + " | ".join("%s c0.25 | %s c0" % (h, h) for h in HINTS) + " |")
    print("|---|" + "---|" * (2 * len(HINTS)))
    totals = defaultdict(float)
    for s in sets:
        cells = []
        for hint in HINTS:
            hyp = os.path.join(work, "%s.%s.rttm" % (s.name, hint))
            diarize_with(args, args.out, s, hint, hyp)
            for collar in (0.25, 0.0):
                der = tune.score(args, s, hyp, collar)
                totals[hint, collar] += der / len(sets)
                cells.append("%.2f" % der)
        print("| %s | %s |" % (s.name, " | ".join(cells)), flush=True)
    print("| mean | %s |" % " | ".join("%.2f" % totals[h, c] for h in HINTS for c in (0.25, 0.0)))


if __name__ == "__main__":
    main()
