"""Builds the training cache: the engine's own front-end features for every
training recording, speed-perturbed copies as extra speakers, synthetic
non-speech, and the simulated conversations of held-out speakers used for
tuning and evaluation.

Features come from build/quorva_features (bit-exact engine front end); audio
comes from build/quorva decode (the engine's own readers and resampler).
"""
import os
import subprocess
import wave

import numpy as np

import common


def decode(tool_dir, path, cache):
    """16 kHz mono int16 samples of an audio file, as the engine hears them."""
    out = os.path.join(cache, "tmp_decode.wav")
    subprocess.run([os.path.join(tool_dir, "quorva"), "decode", path, out], check=True)
    with wave.open(out, "rb") as w:
        pcm = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").copy()
    os.remove(out)
    return pcm


def features_of_pcm(tool_dir, pcm, cache, name):
    raw = os.path.join(cache, name + ".s16")
    pcm.astype("<i2").tofile(raw)
    out = os.path.join(cache, name + ".i16")
    subprocess.run([os.path.join(tool_dir, "quorva_features"), "features", raw, out], check=True)
    os.remove(raw)
    rows = np.fromfile(out, dtype="<i2").reshape(-1, 80)
    os.remove(out)
    return rows


def speed(pcm, factor):
    """Plays the samples `factor` times faster: tempo and pitch both move."""
    n = int(len(pcm) / factor)
    t = np.arange(n) * factor
    return np.interp(t, np.arange(len(pcm)), pcm.astype(np.float64)).round().astype(np.int16)


def energy_labels(rows, label):
    """Per-frame labels: `label` for frames within 25 dB of the loud part of
    the recording, background (0) below."""
    energy = rows.astype(np.int32).mean(axis=1)
    loud = np.percentile(energy, 90)
    out = np.full(len(rows), label, dtype=np.int32)
    out[energy < loud - 2560] = 0
    return out


def synth_background(rng, seconds):
    """Non-speech: digital silence, white, pink and brown noise, hum, tones and
    note sequences, clicks; levels from quiet to loud."""
    sr = common.SAMPLE_RATE
    pieces = []
    total = 0
    while total < seconds * sr:
        n = int(rng.uniform(1.0, 4.0) * sr)
        kind = rng.integers(0, 7)
        level = 10 ** rng.uniform(0.5, 3.8)
        t = np.arange(n) / sr
        if kind == 0:
            x = np.zeros(n) if rng.random() < 0.5 else rng.normal(0, 2, n)
        elif kind == 1:
            x = rng.normal(0, 1, n)
        elif kind == 2 or kind == 3:
            w = rng.normal(0, 1, n)
            spec = np.fft.rfft(w)
            f = np.maximum(np.arange(len(spec)), 1)
            spec /= f ** (0.5 if kind == 2 else 1.0)
            x = np.fft.irfft(spec, n)
            x /= x.std() + 1e-9
        elif kind == 4:
            f0 = rng.choice([50.0, 60.0, 100.0, 120.0])
            x = sum(np.sin(2 * np.pi * f0 * k * t) / k for k in range(1, 8))
        elif kind == 5:
            x = np.zeros(n)
            pos = 0
            while pos < n:
                d = int(rng.uniform(0.1, 0.8) * sr)
                f0 = 110 * 2 ** (rng.integers(0, 36) / 12)
                tt = np.arange(min(d, n - pos)) / sr
                env = np.exp(-tt * rng.uniform(1, 8))
                x[pos:pos + len(tt)] = env * sum(np.sin(2 * np.pi * f0 * k * tt) / k ** 1.5 for k in range(1, 6))
                pos += d
        else:
            x = rng.normal(0, 0.05, n)
            for p in rng.integers(0, n - 50, size=int(rng.uniform(2, 20) * n / sr)):
                x[p:p + 30] += rng.normal(0, 1, 30) * np.exp(-np.arange(30) / 5)
        x = x / (np.abs(x).max() + 1e-9) * level
        pieces.append(np.clip(x, -32768, 32767).astype(np.int16))
        total += n
    return np.concatenate(pieces)


def rttm_turns(path, file_id):
    turns = []
    with open(path) as f:
        for line in f:
            p = line.split()
            if len(p) >= 8 and p[0] == "SPEAKER" and p[1] == file_id:
                turns.append((float(p[3]), float(p[3]) + float(p[4]), p[7]))
    return turns


def rttm_frame_labels(turns, frames, speaker_ids):
    """Speaker of each 32 ms frame from reference turns: background where no one
    speaks, -1 (ignored) where several do."""
    count = np.zeros(frames, dtype=np.int32)
    who = np.zeros(frames, dtype=np.int32)
    for start, end, spk in turns:
        a, b = int(round(start / 0.032)), int(round(end / 0.032))
        count[a:b] += 1
        who[a:b] = speaker_ids[spk]
    labels = np.where(count == 0, 0, who)
    labels[count > 1] = -1
    return labels


def main():
    args = common.parse_args()
    rng = np.random.default_rng(1234)
    cache = args.cache
    os.makedirs(cache, exist_ok=True)
    data = args.data

    train_speakers, dev_speakers, test_speakers = common.librispeech_split(data)
    sources = []  # (rows, labels) per training source
    next_label = 1

    def add(rows, labels):
        sources.append((rows, labels))

    for spk in train_speakers:
        for f in sorted(os.listdir(os.path.join(data, "speakers/librispeech", spk))):
            if not f.endswith(".flac"):
                continue
            pcm = decode(args.tools, os.path.join(data, "speakers/librispeech", spk, f), cache)
            for factor in (1.0,) + args.speeds:
                p = pcm if factor == 1.0 else speed(pcm, factor)
                rows = features_of_pcm(args.tools, p, cache, "x")
                add(rows, energy_labels(rows, next_label))
                next_label += 1
    print("librispeech classes", next_label - 1, flush=True)

    fsdd = os.path.join(data, "speakers/fsdd")
    for spk in sorted(s for s in os.listdir(fsdd) if os.path.isdir(os.path.join(fsdd, s))):
        clips = sorted(c for c in os.listdir(os.path.join(fsdd, spk)) if c.endswith(".flac"))
        pcm = np.concatenate([decode(args.tools, os.path.join(fsdd, spk, c), cache) for c in clips])
        for factor in (1.0,) + args.speeds:
            p = pcm if factor == 1.0 else speed(pcm, factor)
            rows = features_of_pcm(args.tools, p, cache, "x")
            add(rows, energy_labels(rows, next_label))
            next_label += 1
    print("with fsdd", next_label - 1, flush=True)

    ami = os.path.join(data, "conversations/ami")
    ami_ids = {}
    for i in range(10):
        fid = "trn%02d" % i
        turns = rttm_turns(os.path.join(ami, "debug.train.rttm"), fid)
        for _, _, spk in turns:
            if spk not in ami_ids:
                ami_ids[spk] = next_label
                next_label += 1
        rows = features_of_pcm(args.tools, decode(args.tools, os.path.join(ami, fid + ".flac"), cache), cache, "x")
        add(rows, rttm_frame_labels(turns, len(rows), ami_ids))
    print("with ami", next_label - 1, flush=True)

    bg = synth_background(rng, 420)
    rows = features_of_pcm(args.tools, bg, cache, "x")
    add(rows, np.zeros(len(rows), dtype=np.int32))

    np.savez(os.path.join(cache, "train.npz"),
             rows=np.concatenate([r for r, _ in sources]),
             labels=np.concatenate([l for _, l in sources]),
             lengths=np.array([len(r) for r, _ in sources]),
             classes=next_label)

    # Simulated conversations of held-out speakers: one set for tuning, one for the results.
    for name, speakers, seed in (("simdev", dev_speakers, 7), ("simtest", test_speakers, 8)):
        common.build_conversations(args, speakers, os.path.join(cache, name), seed, decode)
    print("done", flush=True)


if __name__ == "__main__":
    main()
