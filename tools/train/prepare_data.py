"""Builds the training cache: the engine's own front-end features for every
training recording, speed-perturbed copies as extra speakers, copies through
random rooms, noise, microphones and codecs as the same speakers, synthetic
and simulated real non-speech, and the development sets: simulated
conversations of held-out speakers of every source, far-field and lossy
copies of them.

Features come from build/quorva_features (bit-exact engine front end); audio
comes from build/quorva decode (the engine's own readers and resampler).
"""
import multiprocessing
import os
import subprocess
import tempfile
import wave

import numpy as np

import augment
import common


def decode(tool_dir, path, cache=None):
    """16 kHz mono int16 samples of an audio file, as the engine hears them."""
    with tempfile.TemporaryDirectory(dir=cache) as d:
        out = os.path.join(d, "decoded.wav")
        subprocess.run([os.path.join(tool_dir, "quorva"), "decode", path, out], check=True)
        with wave.open(out, "rb") as w:
            return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").copy()


def features_of_pcm(tool_dir, pcm, cache=None, name="x"):
    with tempfile.TemporaryDirectory(dir=cache) as d:
        raw = os.path.join(d, name + ".s16")
        pcm.astype("<i2").tofile(raw)
        out = os.path.join(d, name + ".i16")
        subprocess.run([os.path.join(tool_dir, "quorva_features"), "features", raw, out], check=True)
        return np.fromfile(out, dtype="<i2").reshape(-1, 80)


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


def speaker_samples(tool_dir, folder, limit_seconds=None, trim=False):
    """Every utterance of one speaker's folder, decoded and joined in name
    order (at most `limit_seconds`); with `trim` each utterance keeps only the
    part from its first to its last loud block."""
    pieces, total = [], 0
    for f in sorted(os.listdir(folder)):
        if not f.endswith(".flac"):
            continue
        pcm = decode(tool_dir, os.path.join(folder, f))
        if trim:
            a, b = common.speech_extent(pcm)
            pcm = pcm[a:b]
        pieces.append(pcm)
        total += len(pcm)
        if limit_seconds and total >= limit_seconds * common.SAMPLE_RATE:
            break
    return np.concatenate(pieces)


# Work for the pool of preparation processes; set in each by _init_worker.
_POOL = {}


def _init_worker(tools, babble):
    _POOL["tools"] = tools
    _POOL["babble"] = babble


def make_sources(job):
    """Features and labels of one recording: the clean recording at every
    speed (each speed a new class), and for each its channel copies, which
    keep the clean recording's labels. job: (seed, pcm, first class, speeds,
    copies, far copies, narrowband, turns or None). With turns (a real
    conversation) the labels come from its reference and there are no speed
    copies. The far copies draw from a stream of their own, so adding them
    leaves the other copies as they were."""
    seed, pcm, label, speeds, copies, far_copies, narrowband, turns = job
    tools = _POOL["tools"]
    quorva = os.path.join(tools, "quorva")
    rng = np.random.default_rng(seed)
    far_rng = np.random.default_rng([seed, 1])
    out = []
    for k, factor in enumerate((1.0,) + tuple(speeds)):
        p = pcm if factor == 1.0 else speed(pcm, factor)
        rows = features_of_pcm(tools, p)
        if turns is not None:
            labels = rttm_frame_labels(turns[0], len(rows), turns[1])
        elif label == 0:
            labels = np.zeros(len(rows), dtype=np.int32)
        else:
            labels = energy_labels(rows, label + k)
        out.append((rows, labels, "clean"))
        chains = [(augment.random_channel, rng)] * copies + [(augment.far_copy, far_rng)] * far_copies
        for chain, stream in chains:
            q, what = chain(p, stream, quorva, _POOL["babble"], narrowband)
            r = features_of_pcm(tools, q)
            n = min(len(r), len(rows))
            out.append((r[:n], labels[:n], what))
    return out


def real_background(rng, seconds, babble):
    """Non-speech as microphones hear it: room tone, fans and hum, far murmur,
    in rooms, at levels from quiet to loud."""
    sr = common.SAMPLE_RATE
    pieces, total = [], 0
    while total < seconds * sr:
        n = int(rng.uniform(2.0, 6.0) * sr)
        x = augment.coloured_noise(rng, n)
        if rng.random() < 0.3:
            x = x + rng.uniform(0.2, 1.0) * augment.hum(rng, n)
        if rng.random() < 0.3:
            x = x + rng.uniform(0.1, 0.5) * augment.babble(rng, n, babble)
        if rng.random() < 0.5:
            x = augment.reverberate(x, rng, rng.uniform(0.2, 0.9))
        x = x / (np.abs(x).max() + 1e-9) * 10 ** rng.uniform(1.0, 3.8)
        pieces.append(augment.to_int16(x))
        total += n
    return np.concatenate(pieces)


def write_copies(folder, out, stems, transform, ext="wav"):
    """Copies of conversations (NAME.wav with NAME.rttm) under new names in
    `out`: transform(samples, rng) gives the new samples (ext "wav"), or
    transform(src_wav, dst_path, rng) writes an encoded file itself."""
    os.makedirs(out, exist_ok=True)
    tag = os.path.basename(out)
    for i, stem in enumerate(stems):
        rng = np.random.default_rng(1000 + i)
        name = "%s%02d" % (tag, i)
        src = os.path.join(folder, stem + ".wav")
        if ext == "wav":
            common.write_wav(os.path.join(out, name + ".wav"), transform(augment.read_wav(src), rng))
        else:
            transform(src, os.path.join(out, name + "." + ext), rng)
        with open(os.path.join(folder, stem + ".rttm")) as f, open(os.path.join(out, name + ".rttm"), "w") as g:
            for line in f:
                p = line.split()
                p[1] = name
                g.write(" ".join(p) + "\n")


def encoder(args_of):
    def run(src, dst, rng):
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", src, "-ac", "1", *args_of(rng), dst], check=True)
    return run


def amr_encoder(src, dst, rng):
    augment.encode_amr(src, dst, 7)


# The report's lossy copies of the test conversations: one fixed setting each.
LOSSY = {
    "flac": (encoder(lambda r: ["-c:a", "flac"]), "flac"),
    "mp3": (encoder(lambda r: ["-c:a", "libmp3lame", "-b:a", "64k"]), "mp3"),
    "aac": (encoder(lambda r: ["-c:a", "aac", "-b:a", "64k"]), "m4a"),
    "opus": (encoder(lambda r: ["-c:a", "libopus", "-b:a", "24k"]), "opus"),
    "vorbis": (encoder(lambda r: ["-c:a", "libvorbis", "-q:a", "1"]), "ogg"),
    "webm": (encoder(lambda r: ["-c:a", "libopus", "-b:a", "24k"]), "webm"),
    "amr": (amr_encoder, "3gp"),
}


def main():
    args = common.parse_args()
    rng = np.random.default_rng(1234)
    cache = args.cache
    os.makedirs(cache, exist_ok=True)
    data = args.data
    tools = args.tools

    train_speakers, dev_speakers, test_speakers = common.librispeech_split(data)
    so_train, so_dev, so_test = common.speechocean_split(args.extra)
    so_root = os.path.join(args.extra, "speechocean762")
    if not args.sets_only:
        training_data(args, rng, tools, train_speakers, so_train, so_root)
    if not args.training_only:
        development_sets(args, tools, dev_speakers, test_speakers, so_dev, so_test, so_root)
    print("done", flush=True)


def training_data(args, rng, tools, train_speakers, so_train, so_root):
    data, cache = args.data, args.cache
    jobs = []  # (seed, pcm, first class, speeds, copies, far copies, narrowband, turns)
    next_label = 1
    names = []

    def job(pcm, speeds, narrowband=False, turns=None, label=None, name=""):
        nonlocal next_label
        if label is None:
            label = next_label
            next_label += 1 + len(speeds)
        jobs.append((len(jobs) + 1, pcm, label, speeds, args.copies, args.far_copies, narrowband, turns))
        names.append(name)

    libri = {spk: speaker_samples(tools, os.path.join(data, "speakers/librispeech", spk)) for spk in train_speakers}
    for spk in train_speakers:
        job(libri[spk], args.speeds, name="librispeech/" + spk)
    print("librispeech classes", next_label - 1, flush=True)

    fsdd = os.path.join(data, "speakers/fsdd")
    for spk in sorted(s for s in os.listdir(fsdd) if os.path.isdir(os.path.join(fsdd, s))):
        job(speaker_samples(tools, os.path.join(fsdd, spk)), args.speeds, name="fsdd/" + spk)
    print("with fsdd", next_label - 1, flush=True)

    # speechocean762: many more real voices, children and adults; two speed copies each.
    for spk in so_train:
        job(speaker_samples(tools, os.path.join(so_root, spk)), (0.9, 1.1), name="speechocean762/" + spk)
    print("with speechocean762 (%d speakers)" % len(so_train), next_label - 1, flush=True)

    # Telephone voices, 8 kHz: at most 15 minutes each; en_ and es_mx_allison_smith are one speaker.
    tel = os.path.join(args.extra, "telephone")
    if os.path.isdir(tel):
        allison = None
        for voice in sorted(os.listdir(tel)):
            folder = os.path.join(tel, voice)
            if not os.path.isdir(folder):
                continue
            pcm = speaker_samples(tools, folder, limit_seconds=900 if "allison" not in voice else 450)
            if "allison_smith" in voice:
                if allison is None:
                    allison = next_label
                    next_label += 3
                job(pcm, (0.9, 1.1), narrowband=True, label=allison, name="telephone/" + voice)
            else:
                job(pcm, (0.9, 1.1), narrowband=True, name="telephone/" + voice)
        print("with telephone voices", next_label - 1, flush=True)
    else:
        print("no telephone voices in %s: skipped" % tel, flush=True)

    ami = os.path.join(data, "conversations/ami")
    ami_ids = {}
    for i in range(10):
        fid = "trn%02d" % i
        turns = rttm_turns(os.path.join(ami, "debug.train.rttm"), fid)
        for _, _, spk in turns:
            if spk not in ami_ids:
                ami_ids[spk] = next_label
                next_label += 1
        job(decode(tools, os.path.join(ami, fid + ".flac")), (), turns=(turns, ami_ids), label=-1, name="ami/" + fid)
    print("with ami", next_label - 1, flush=True)

    babble = [libri[s] for s in train_speakers[:60]]
    job(synth_background(rng, 420), (), label=0, name="synthetic non-speech")
    job(real_background(rng, 300, babble), (), label=0, name="room non-speech")

    with multiprocessing.Pool(2, _init_worker, (tools, babble)) as pool:
        made = pool.map(make_sources, jobs, chunksize=1)
    sources = [(r, l) for m in made for r, l, _ in m]
    hours = sum(len(r) for r, _ in sources) * 0.032 / 3600
    print("training sources", len(sources), "classes", next_label, "hours %.1f" % hours, flush=True)
    with open(os.path.join(cache, "sources.txt"), "w") as f:
        for name, m in zip(names, made):
            for r, _, what in m:
                f.write("%s\t%d frames\t%s\n" % (name, len(r), what))

    # The non-speech sources come last: the crop sampler draws background from them.
    speech = [(r, l) for m, j in zip(made, jobs) if j[2] != 0 for r, l, _ in m]
    background = [(r, l) for m, j in zip(made, jobs) if j[2] == 0 for r, l, _ in m]
    rows = np.concatenate([r for r, _ in speech] + [np.concatenate([r for r, _ in background])])
    labels = np.concatenate([l for _, l in speech] + [np.concatenate([l for _, l in background])])
    lengths = [len(r) for r, _ in speech] + [sum(len(r) for r, _ in background)]
    np.savez(os.path.join(cache, "train.npz"), rows=rows, labels=labels, lengths=np.array(lengths),
             classes=next_label)
    del rows, labels, sources, speech, background, made



def development_sets(args, tools, dev_speakers, test_speakers, so_dev, so_test, so_root):
    """Every set is of speakers never trained on."""
    cache = args.cache
    for name, speakers, seed in (("simdev", dev_speakers, 7), ("simtest", test_speakers, 8)):
        common.build_conversations(args, speakers, os.path.join(cache, name), seed, decode)
    for name, speakers, seed in (("sodev", so_dev, 17), ("sotest", so_test, 18)):
        if speakers:
            # 30 s of each voice: conversations of about a minute, like the LibriSpeech ones
            voices = {s: speaker_samples(tools, os.path.join(so_root, s), trim=True)[:30 * common.SAMPLE_RATE]
                      for s in speakers}
            common.build_conversations(args, speakers, os.path.join(cache, name), seed, decode, voices,
                                       count=max(1, args.conversations // 2))
    half = max(1, args.conversations // 2)
    for part, sim, so in (("dev", "simdev", "sodev"), ("test", "simtest", "sotest")):
        stems = ["%s%02d" % (sim, i) for i in range(half)]
        far = os.path.join(cache, "far" + part)
        write_copies(os.path.join(cache, sim), far, stems, lambda x, r: augment.far_field(x, r))
        if os.path.isdir(os.path.join(cache, so)):
            sostems = ["%s%02d" % (so, i) for i in range(half // 2)]
            write_copies(os.path.join(cache, so), far + "so", sostems, lambda x, r: augment.far_field(x, r))
        for codec, (enc, ext) in LOSSY.items():
            if part == "dev" and codec != "amr":
                continue
            write_copies(os.path.join(cache, sim), os.path.join(cache, codec + part), stems, enc, ext)


if __name__ == "__main__":
    main()
