"""Channel simulation in the waveform domain: rooms, noise, microphones, band
limits and real codec round trips. Every transform keeps the samples aligned
with its input (same length, no delay), so the frame labels of the clean
recording still hold for the copy."""
import os
import shutil
import subprocess
import tempfile
import wave

import numpy as np

import common

SR = 16000


def _convolve(x, h):
    n = len(x) + len(h) - 1
    size = 1 << (n - 1).bit_length()
    y = np.fft.irfft(np.fft.rfft(x, size) * np.fft.rfft(h, size), size)
    return y[:len(x)]


def room_impulse(rng, rt60):
    """A synthetic room: the direct sound, a few early reflections within 30 ms,
    then a tail of noise whose level falls 60 dB in `rt60` seconds and whose
    high frequencies die sooner (air and walls absorb them first)."""
    n = int(rt60 * SR * 1.1) + 1
    t = np.arange(n) / SR
    noise = rng.normal(0, 1, n)
    low = np.convolve(noise, np.ones(8) / 8, mode="same")
    out = low * np.exp(-6.908 * t / rt60) + (noise - low) * np.exp(-6.908 * t / (0.5 * rt60))
    onset = int(rng.uniform(0.002, 0.006) * SR)
    out[:onset] = 0
    h = out / (np.sqrt((out ** 2).sum()) + 1e-12)
    # direct-to-reverberant ratio of -3 to +9 dB
    h *= 10 ** (-rng.uniform(-3, 9) / 20)
    h[0] = 1.0
    for _ in range(int(rng.integers(2, 6))):
        h[int(rng.uniform(0.001, 0.03) * SR)] += rng.uniform(-0.6, 0.6)
    return h


def reverberate(pcm, rng, rt60):
    x = pcm.astype(np.float64)
    y = _convolve(x, room_impulse(rng, rt60))
    return y * (np.sqrt((x ** 2).mean()) / (np.sqrt((y ** 2).mean()) + 1e-9))


def coloured_noise(rng, n):
    """Stationary noise with a random spectral slope (white to brown) and a
    gentle random bump: fans, air conditioning, traffic, tape hiss."""
    spec = np.fft.rfft(rng.normal(0, 1, n))
    f = np.maximum(np.arange(len(spec)), 1) / len(spec)
    slope = rng.uniform(0.0, 1.2)
    bump = 1 + rng.uniform(0, 3) * np.exp(-((np.log(f) - np.log(rng.uniform(0.005, 0.5))) ** 2) / 0.5)
    x = np.fft.irfft(spec * bump / f ** slope, n)
    return x / (x.std() + 1e-9)


def hum(rng, n):
    f0 = rng.choice([50.0, 60.0])
    t = np.arange(n) / SR
    x = sum(rng.uniform(0.1, 1.0) / k * np.sin(2 * np.pi * f0 * k * t + rng.uniform(0, 6.3)) for k in range(1, 12))
    return x / (x.std() + 1e-9)


def babble(rng, n, pool):
    """Other voices murmuring: three to seven talkers from `pool`, each
    reverberant and quiet, summed."""
    out = np.zeros(n)
    for _ in range(int(rng.integers(3, 8))):
        v = pool[int(rng.integers(0, len(pool)))].astype(np.float64)
        if len(v) < n:
            v = np.tile(v, n // len(v) + 1)
        at = int(rng.integers(0, len(v) - n + 1))
        out += v[at:at + n] / (v.std() + 1e-9)
    out = _convolve(out, room_impulse(rng, rng.uniform(0.4, 0.9)))
    return out / (out.std() + 1e-9)


def speech_power(x):
    """Mean power of the 32 ms blocks within 20 dB of the loud part: the level
    SNR is measured against, so pauses do not lower it."""
    n = len(x) // 512
    if n == 0:
        return float((x ** 2).mean()) + 1e-9
    p = (x[:n * 512].reshape(n, 512) ** 2).mean(axis=1) + 1e-9
    return float(p[p > np.percentile(p, 90) / 100].mean())


def add_noise(x, rng, snr_db, pool=None):
    kind = rng.random()
    if kind < 0.45:
        noise = coloured_noise(rng, len(x))
    elif kind < 0.75 and pool:
        noise = babble(rng, len(x), pool)
    elif kind < 0.85:
        noise = hum(rng, len(x)) + 0.3 * coloured_noise(rng, len(x))
    else:
        noise = coloured_noise(rng, len(x)) + (babble(rng, len(x), pool) if pool else 0)
    noise = noise / np.sqrt((noise ** 2).mean() + 1e-12)
    return x + noise * np.sqrt(speech_power(x) / 10 ** (snr_db / 10))


def colour(x, rng):
    """Another microphone: a smooth random gain over frequency (up to about
    +-8 dB), a high-pass between 50 and 300 Hz and now and then a low-pass
    between 3.4 and 7.5 kHz."""
    size = 1 << (len(x) - 1).bit_length()
    spec = np.fft.rfft(x, size)
    f = np.arange(len(spec)) * SR / size
    lf = np.log2(np.maximum(f, 20.0) / 20.0) / 10.0  # 0 at 20 Hz, 1 near 20 kHz
    db = rng.uniform(-6, 6) * (lf - 0.5) + rng.uniform(0, 4) * np.sin(np.pi * rng.integers(1, 4) * lf + rng.uniform(0, 6.3))
    gain = 10 ** (db / 20)
    hp = rng.uniform(50, 300)
    gain *= 1 / np.sqrt(1 + (hp / np.maximum(f, 1.0)) ** 4)
    if rng.random() < 0.3:
        lp = rng.uniform(3400, 7500)
        gain *= 1 / np.sqrt(1 + (f / lp) ** 8)
    return np.fft.irfft(spec * gain, size)[:len(x)]


# (encoder arguments of ffmpeg, file extension); the engine reads every one of
# these containers itself except GSM, which goes back through WAV.
CODECS = {
    "mp3": lambda r: (["-c:a", "libmp3lame", "-b:a", "%dk" % r.choice([32, 48, 64, 96, 128])], "mp3"),
    "aac": lambda r: (["-c:a", "aac", "-b:a", "%dk" % r.choice([32, 48, 64, 96])], "m4a"),
    "opus": lambda r: (["-c:a", "libopus", "-b:a", "%dk" % r.choice([12, 16, 24, 32])], "opus"),
    "vorbis": lambda r: (["-c:a", "libvorbis", "-q:a", str(r.choice([0, 1, 3]))], "ogg"),
    "webm": lambda r: (["-c:a", "libopus", "-b:a", "%dk" % r.choice([16, 24, 32])], "webm"),
    "amr": None,  # sox's AMR-NB encoder (modes 0 to 7: 4.75 to 12.2 kbit/s), then into 3GP
    "gsm": lambda r: (["-ar", "8000", "-c:a", "libgsm_ms"], "gsm.wav"),
}


def can_encode(name):
    """Whether this machine has the encoder a codec round trip needs."""
    if not shutil.which("ffmpeg"):
        return False
    if name == "amr":
        probe = subprocess.run(["sox", "-h"], capture_output=True, text=True) if shutil.which("sox") else None
        return bool(probe) and "amr-nb" in probe.stdout
    return True


def read_wav(path):
    with wave.open(path, "rb") as w:
        return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").copy()


def align(decoded, reference, search=4000):
    """`decoded` shifted by the lag (up to `search` samples either way) that
    best matches `reference`, then cut or zero-padded to its length: encoders
    and decoders add delays of their own (the AMR-NB path 160 samples, and it
    may invert the waveform)."""
    n = min(len(reference), len(decoded), 10 * SR)
    a = reference[:n].astype(np.float64)
    b = decoded[:n + search].astype(np.float64)
    size = 1 << (len(a) + len(b)).bit_length()
    xc = np.fft.irfft(np.fft.rfft(b, size) * np.conj(np.fft.rfft(a, size)), size)
    lags = np.concatenate([xc[:search + 1], xc[-search:]])
    k = int(np.argmax(np.abs(lags)))  # some encoders invert the signal: the strongest match either way
    lag = k if k <= search else k - len(lags)
    out = np.zeros(len(reference), dtype=np.int16)
    if lag >= 0:
        seg = decoded[lag:lag + len(reference)]
        out[:len(seg)] = seg
    else:
        seg = decoded[:len(reference) + lag]
        out[-lag:-lag + len(seg)] = seg
    return out


def encode_amr(src, dst, mode):
    """AMR-NB in 3GP: sox's encoder (modes 0 to 7: 4.75 to 12.2 kbit/s; ffmpeg
    has none here), then the frames copied into the container by ffmpeg.
    sox dithers with a fresh random seed each run unless -R is given, and
    the copies must be the same each time the cache is built."""
    with tempfile.TemporaryDirectory() as d:
        raw = os.path.join(d, "x.amr")
        subprocess.run(["sox", "-R", src, "-r", "8000", "-c", "1", "-t", "amr-nb", "-C", str(mode), raw], check=True)
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", raw, "-c:a", "copy", dst], check=True)


def codec_round_trip(pcm, name, rng, quorva):
    """Encodes 16 kHz samples with Debian's ffmpeg and decodes them with the
    engine's own readers (`quorva decode`), aligned back to the input."""
    with tempfile.TemporaryDirectory() as d:
        src, dec = os.path.join(d, "in.wav"), os.path.join(d, "out.wav")
        common.write_wav(src, pcm)
        if name == "amr":
            ext = "3gp"
            enc = os.path.join(d, "enc.3gp")
            encode_amr(src, enc, int(rng.integers(0, 8)))
        else:
            args, ext = CODECS[name](rng)
            enc = os.path.join(d, "enc." + ext)
            fmt = ["-f", "wav"] if ext == "gsm.wav" else []
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", src, "-ac", "1", *args, *fmt, enc], check=True)
        if ext == "gsm.wav":  # GSM decoded back to plain WAV first, then read by the engine
            plain = os.path.join(d, "plain.wav")
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", enc, "-c:a", "pcm_s16le", plain], check=True)
            enc = plain
        subprocess.run([quorva, "decode", enc, dec], check=True, capture_output=True)
        return align(read_wav(dec), pcm)


def to_int16(x):
    return np.clip(np.round(x), -32768, 32767).astype(np.int16)


def far_field(pcm, rng, rt60=(0.3, 0.8), snr=(8, 20), pool=None):
    """A distant microphone in a room: reverberation, then noise."""
    x = reverberate(pcm, rng, rng.uniform(*rt60))
    return to_int16(add_noise(x, rng, rng.uniform(*snr), pool))


def far_copy(pcm, rng, quorva, pool=None, narrowband=False):
    """A copy for --far-copies: always a room, no codec (rooms are where the
    models fail most; the codec copies are the other ones)."""
    return random_channel(pcm, rng, quorva, pool, narrowband, room=1.0, codec=0.0)


def random_channel(pcm, rng, quorva, pool=None, narrowband=False, room=0.5, codec=0.7):
    """One random chain for a training copy: room (half of the copies, 0.2 to
    0.9 s), microphone colouring, noise at 5 to 25 dB SNR (most), level, and
    a codec round trip for most. `room` and `codec` are the shares of copies
    that get one. Returns the samples and a short description."""
    x = pcm.astype(np.float64)
    what = []
    if rng.random() < room:
        rt = rng.uniform(0.2, 0.9)
        x = reverberate(x, rng, rt)
        what.append("room %.2f s" % rt)
    if rng.random() < 0.6:
        x = colour(x, rng)
        what.append("mic")
    if rng.random() < 0.75:
        snr = rng.uniform(5, 25)
        x = add_noise(x, rng, snr, pool)
        what.append("noise %.0f dB" % snr)
    peak = np.abs(x).max() + 1e-9
    target = 10 ** rng.uniform(np.log10(800), np.log10(32000))
    x = x * (target / peak)
    out = to_int16(x)
    if rng.random() < codec:
        names = ["amr", "gsm", "mp3", "opus"] if narrowband else list(CODECS)
        name = names[int(rng.integers(0, len(names)))]
        out = codec_round_trip(out, name, rng, quorva)
        what.append(name)
    return out, ", ".join(what) or "level"
