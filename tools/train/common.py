"""Shared settings of the training scripts: paths, the speaker split, the
engine's feature normalisation, and simulated conversations."""
import argparse
import os
import wave

import numpy as np

SAMPLE_RATE = 16000
FRAME = 512

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))


def default_data_dir():
    """../shared/data beside the checkout (one level further up from a worktree)."""
    for up in ("..", os.path.join("..", "..")):
        d = os.path.normpath(os.path.join(ROOT, up, "shared", "data"))
        if os.path.isdir(d):
            return d
    return os.path.normpath(os.path.join(ROOT, "..", "shared", "data"))


def parse_args(extra=None):
    p = argparse.ArgumentParser()
    p.add_argument("--data", default=default_data_dir())
    p.add_argument("--tools", default=os.path.join(ROOT, "build"), help="folder with quorva and quorva_features")
    p.add_argument("--cache", default=os.path.join(ROOT, "build", "train-cache"))
    p.add_argument("--out", default=os.path.join(ROOT, "models", "default.zr"))
    p.add_argument("--minutes", type=float, default=80.0, help="training wall time")
    p.add_argument("--steps", type=int, default=0,
                   help="train exactly this many steps instead (same result on any machine)")
    p.add_argument("--resume", action="store_true",
                   help="continue from the trained network (--network) with a fresh, lower learning-rate cycle")
    p.add_argument("--procs", type=int, default=2,
                   help="data-parallel training processes of one thread each (1: no torch.distributed)")
    p.add_argument("--network", default=None, help="the trained network (default: network.pt in the cache)")
    # Pauses of up to 32 frames (1.02 s) between speech of one speaker count
    # as that speaker, as turn-level references mark them.
    p.add_argument("--bridge", type=int, default=32,
                   help="longest pause in frames inside one speaker's speech labelled as that speaker")
    # The clustering's online pass splits a turn wherever one frame strays
    # from the current cluster, so steadiness within a turn matters as much
    # as separating speakers: this term pulls every frame of a speaker run
    # towards the run's mean direction.
    p.add_argument("--consistency", type=float, default=1.0,
                   help="weight of the steadiness term within speaker runs (0: none)")
    p.add_argument("--separation", type=float, default=0.0,
                   help="weight of the term that keeps the speakers of one crop apart (see train.separation_loss)")
    p.add_argument("--separation-margin", type=float, default=0.3,
                   help="cosine between two speakers' mean directions in a crop above which that term counts")
    p.add_argument("--invariance", type=float, default=0.0,
                   help="weight of the term that pulls each frame towards the start network's embedding of the "
                        "same frame on the clean recording (see train.invariance_loss)")
    p.add_argument("--equalise", type=float, default=0.5,
                   help="share of crop pieces given a random smooth gain curve over the bands")
    # Every speed factor is a new set of speakers: tempo and pitch both move,
    # so close factors teach the network to tell similar voices apart.
    p.add_argument("--speeds", default="0.85,0.92,1.08,1.15",
                   type=lambda v: tuple(float(x) for x in v.split(",") if x),
                   help="comma-separated speed factors, each a new copy of every training speaker")
    p.add_argument("--margin", type=float, default=0.15,
                   help="additive margin of the cosine softmax (its scale is 20)")
    # Conversations bring a voice back after another one: crops of two voices
    # taking turns teach the network to return to the same direction.
    p.add_argument("--dialogue", type=float, default=0.0,
                   help="share of crops made of two voices taking turns (then the steadiness term "
                        "pulls all of a voice's frames in a crop together)")
    p.add_argument("--same-channel", type=float, default=0.0,
                   help="share of the dialogue crops whose two voices share one channel")
    p.add_argument("--seed", type=int, default=0,
                   help="seed of the crops and of new weights (a run continuing another sees new crops "
                        "with another seed)")
    p.add_argument("--narrowband", type=float, default=0.0,
                   help="share of crop pieces (of dialogue crops: both voices) band-limited as "
                        "telephone audio in the feature domain")
    # AMR-NB copies differ from their sources by about 400 to 450 (4 dB, 1024
    # units to 10 dB) per band and frame on the bands that still carry
    # speech in their louder half, not only in the top bands.
    p.add_argument("--line-noise", type=float, default=0.0,
                   help="with --narrowband, the largest per-band, per-frame error of the telephone codec "
                        "on the speech bands (standard deviation in feature units, each line drawn up "
                        "to it; 0: none)")
    p.add_argument("--layers", type=int, default=2, help="bidirectional recurrent layers")
    p.add_argument("--hidden", type=int, default=64, help="units per direction and layer")
    p.add_argument("--dim", type=int, default=32, help="embedding size")
    # Twelve short conversations made the tuning and test figures swing by a
    # point or two with any change; more of them (the first twelve are the
    # same whatever the count) steady both.
    p.add_argument("--conversations", type=int, default=48,
                   help="simulated conversations in each of the tuning and test sets")
    p.add_argument("--extra", default=os.environ.get("QUORVA_EXTRA_SPEECH", "/tmp/speech"),
                   help="folder the extraction scripts of shared/data/extra wrote into "
                        "(speechocean762/, telephone/); missing sources are skipped")
    p.add_argument("--copies", type=int, default=1,
                   help="copies of every training recording through a random room, noise, microphone "
                        "and codec chain (same speaker, same frame labels)")
    p.add_argument("--far-copies", type=int, default=0,
                   help="further copies of every training recording, each through a room (0.2 to 0.9 s), "
                        "and most through noise and a microphone, without a codec")
    p.add_argument("--peak", type=float, default=0.0,
                   help="peak learning rate (default 0.003 from random weights, 0.0015 from --init, "
                        "0.001 with --resume)")
    p.add_argument("--sets-only", action="store_true",
                   help="prepare_data.py: build only the development sets, not the training data")
    p.add_argument("--training-only", action="store_true",
                   help="prepare_data.py: build only the training data, not the development sets")
    p.add_argument("--no-smoothing", action="store_true",
                   help="tune.py: choose each threshold by its own objective, not by the mean with its grid "
                        "neighbours'")
    p.add_argument("--init", default=None,
                   help="start from this network (a model file or a saved network) instead of random "
                        "weights; a larger shape keeps its function, the new units start cut off")
    p.add_argument("--prototypes", action="store_true",
                   help="with --init, start every class direction at its mean embedding under the start network")
    if extra:
        extra(p)
    return p.parse_args()


def network_path(args):
    return args.network or os.path.join(args.cache, "network.pt")


def librispeech_split(data):
    """Every fifth speaker (in name order) is held out of training; those
    alternate between the tuning set and the reported test set."""
    root = os.path.join(data, "speakers/librispeech")
    speakers = sorted(s for s in os.listdir(root) if os.path.isdir(os.path.join(root, s)))
    held = speakers[::5]
    train = [s for s in speakers if s not in held]
    return train, held[0::2], held[1::2]


def speechocean_split(extra):
    """Every fifth speechocean762 speaker (in name order) is held out of
    training, alternating between tuning and test, as for LibriSpeech. The
    extraction script already leaves out the speakers kept for acceptance."""
    root = os.path.join(extra, "speechocean762")
    if not os.path.isdir(root):
        return [], [], []
    speakers = sorted(s for s in os.listdir(root) if s.startswith("SPEAKER"))
    held = speakers[::5]
    train = [s for s in speakers if s not in held]
    return train, held[0::2], held[1::2]


def normalise(raw, mean, scale):
    """The engine's normalisation, bit for bit: ((f - mean) * scale) >> 10 in
    32-bit integers, saturated to int16."""
    v = ((raw.astype(np.int64) - mean.astype(np.int64)) * scale.astype(np.int64)) >> 10
    return np.clip(v, -32768, 32767).astype(np.int16)


def normaliser_from(rows40):
    """Per-band mean and Q10 gain that bring the bands to unit spread; digital
    silence (-32768) is left out of the statistics."""
    mean = np.zeros(40, dtype=np.int16)
    scale = np.zeros(40, dtype=np.int16)
    for b in range(40):
        v = rows40[:, b]
        v = v[v > -32768].astype(np.float64)
        mean[b] = int(round(v.mean()))
        scale[b] = int(min(32767, round(1024.0 * 1024.0 / max(v.std(), 32.0))))
    return mean, scale


def write_wav(path, pcm):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(SAMPLE_RATE)
        w.writeframes(pcm.astype("<i2").tobytes())


def speech_extent(pcm):
    """First and last sample of the 512-sample blocks within 30 dB of the loud part."""
    n = len(pcm) // FRAME
    if n == 0:
        return 0, len(pcm)
    e = (pcm[:n * FRAME].astype(np.float64).reshape(n, FRAME) ** 2).mean(axis=1) + 1.0
    db = 10 * np.log10(e)
    on = np.nonzero(db > np.percentile(db, 90) - 30)[0]
    return on[0] * FRAME, (on[-1] + 1) * FRAME


def build_conversations(args, speakers, folder, seed, decode, voices=None, count=None):
    """Conversations of 2 to 4 held-out speakers: chunks of 1.5 to 4 s of their
    utterances, taking turns with pauses of 0.1 to 0.8 s and, now and then, a
    short overlap. Writes NAME.wav and NAME.rttm per conversation. `voices`
    (samples per speaker) defaults to the speakers' LibriSpeech utterances."""
    rng = np.random.default_rng(seed)
    os.makedirs(folder, exist_ok=True)
    cache = args.cache
    if voices is None:
        voices = {}
        for spk in speakers:
            d = os.path.join(args.data, "speakers/librispeech", spk)
            voices[spk] = np.concatenate([decode(args.tools, os.path.join(d, f), cache)
                                          for f in sorted(os.listdir(d)) if f.endswith(".flac")])
    for c in range(args.conversations if count is None else count):
        k = int(rng.integers(2, 5))
        chosen = list(rng.choice(speakers, size=k, replace=False))
        chunks = {s: [] for s in chosen}
        for s in chosen:
            pcm = voices[s]
            pos = 0
            while len(pcm) - pos > 1.5 * SAMPLE_RATE:
                d = int(rng.uniform(1.5, 4.0) * SAMPLE_RATE)
                chunks[s].append(pcm[pos:pos + d])
                pos += d
        # room for every chunk and its pause (120 s covers the LibriSpeech sets)
        room = sum(len(p) for s in chosen for p in chunks[s]) + SAMPLE_RATE * (len(chunks) + 2)
        out = np.zeros(max(int(120 * SAMPLE_RATE), room + sum(len(chunks[s]) for s in chosen) * SAMPLE_RATE),
                       dtype=np.float64)
        turns = []
        t = int(0.5 * SAMPLE_RATE)
        last = None
        while any(chunks.values()):
            options = [s for s in chosen if chunks[s] and s != last] or [s for s in chosen if chunks[s]]
            s = options[int(rng.integers(0, len(options)))]
            piece = chunks[s].pop(0)
            a, b = speech_extent(piece)
            out[t:t + len(piece)] += piece
            turns.append(((t + a) / SAMPLE_RATE, (t + b) / SAMPLE_RATE, s))
            gap = -rng.uniform(0.1, 0.4) if rng.random() < 0.1 else rng.uniform(0.1, 0.8)
            t = max(t + b + int(gap * SAMPLE_RATE), t + a + 1)
            last = s
        end = max(int(e * SAMPLE_RATE) for _, e, _ in turns) + SAMPLE_RATE // 2
        name = "%s%02d" % (os.path.basename(folder), c)
        write_wav(os.path.join(folder, name + ".wav"), np.clip(out[:end], -32768, 32767).round())
        with open(os.path.join(folder, name + ".rttm"), "w") as f:
            for a, b, s in turns:
                f.write("SPEAKER %s 1 %.3f %.3f <NA> <NA> %s <NA> <NA>\n" % (name, a, b - a, s))
