"""Where the missed speech of a set comes from: replays the engine's clustering
passes in Python (float64, plain pairwise merging, so close to the engine but
not bit for bit) on the engine's own embeddings, and splits the reference
speech that ends in the background by the pass that put it there and by
whether the frame is loud or a pause (more than 30 dB below the loud part).

    python3 tools/train/miss_sources.py [--out MODEL] [--set simtest]
"""
import os
import struct
import subprocess
import sys
import wave

import numpy as np

import common
import network
from tune import read_turns

PASSES = ("background", "tiny", "merged into background", "too small")


def distance(a, b):
    return (1.0 - float(np.dot(a, b))) * 0.5


def unit(v):
    return v / np.sqrt((v * v).sum())


def clustering_reasons(E, th, background):
    """Per frame: 0 kept by a speaker, else 1 + the index in PASSES of the
    pass that sent it to the background."""
    merge, reassign, assign, bg_threshold = th
    n = len(E)
    reason = np.zeros(n, dtype=np.int32)
    clusters = [{"c": background.copy(), "w": 1.0, "m": [], "id": 0}]
    current = clusters[0]
    for j in range(n):
        if distance(clusters[0]["c"], E[j]) < bg_threshold:
            clusters[0]["w"] += 1
            clusters[0]["m"].append(j)
            reason[j] = 1
        elif distance(current["c"], E[j]) < assign:
            w = current["w"]
            current["c"] = unit((current["c"] * w + E[j]) / (w + 1))
            current["w"] = w + 1
            current["m"].append(j)
        else:
            current = {"c": E[j].copy(), "w": 1.0, "m": [j], "id": len(clusters)}
            clusters.append(current)
    alive = {0: clusters[0]}
    for c in clusters[1:]:
        if c["w"] < 15:
            reason[c["m"]] = 2
        else:
            alive[c["id"]] = c
    while len(alive) > 1:
        ids = sorted(alive)
        d, a, b = min((distance(alive[a]["c"], alive[b]["c"]), a, b) for i, a in enumerate(ids) for b in ids[i + 1:])
        if d > merge:
            break
        keep, other = alive[a], alive.pop(b)
        if a == 0:
            reason[other["m"]] = 3
        keep["c"] = unit((keep["w"] * keep["c"] + other["w"] * other["c"]) / (keep["w"] + other["w"]))
        keep["m"] += other["m"]
        keep["w"] += other["w"]
    smallest = 20 if n < 80 else 60 if n > 2000 else 20 + (n - 80) // 48
    for c in sorted((c for c in alive.values() if c["id"] != 0), key=lambda c: -c["id"]):
        if c["w"] >= smallest:
            continue
        others = [x for x in alive.values() if x["id"] not in (0, c["id"])]
        if others:
            near = min(others, key=lambda x: distance(x["c"], c["c"]))
            if distance(near["c"], c["c"]) < reassign:
                near["m"] += c["m"]
                near["w"] += c["w"]
                del alive[c["id"]]
                continue
        reason[c["m"]] = 4
        del alive[c["id"]]
    return reason


def main():
    args = common.parse_args(lambda p: p.add_argument("--set", default="simtest"))
    with open(args.out, "rb") as f:
        data = f.read()
    off = network.find_threshold_offset(data)
    th = struct.unpack_from("<ffff", data, off)
    dim = struct.unpack_from("<i", data, off + 16)[0]
    background = np.frombuffer(data, "<f4", dim, off + 20).astype(np.float64)
    folder = os.path.join(args.cache, args.set)
    names = sorted(f[:-4] for f in os.listdir(folder) if f.endswith(".wav"))
    emb = os.path.join(args.cache, "miss.f32")
    total = 0
    counts = np.zeros((len(PASSES), 2))
    for name in names:
        wav = os.path.join(folder, name + ".wav")
        subprocess.run([os.path.join(args.tools, "quorva_features"), "embed", args.out, wav, emb], check=True)
        E = np.fromfile(emb, "<f4").reshape(-1, dim).astype(np.float64)
        n = len(E)
        with wave.open(wav) as w:
            pcm = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
        db = 10 * np.log10((pcm[:n * 512].reshape(n, 512) ** 2).mean(axis=1) + 1)
        pause = db < np.percentile(db, 90) - 30
        speech = np.zeros(n, dtype=bool)
        for _, a, b, _ in read_turns(os.path.join(folder, name + ".rttm")):
            speech[int(round(a / 0.032)):int(round(b / 0.032))] = True
        reason = clustering_reasons(E, th, background)
        total += speech.sum()
        for k in range(len(PASSES)):
            counts[k, 0] += (speech & ~pause & (reason == k + 1)).sum()
            counts[k, 1] += (speech & pause & (reason == k + 1)).sum()
    os.remove(emb)
    print("%s: %d reference speech frames; %% of them sent to the background" % (args.set, total))
    print("%-24s %8s %8s" % ("by", "loud", "pause"))
    for k, name in enumerate(PASSES):
        print("%-24s %8.2f %8.2f" % (name, 100 * counts[k, 0] / total, 100 * counts[k, 1] / total))
    return 0


if __name__ == "__main__":
    sys.exit(main())
