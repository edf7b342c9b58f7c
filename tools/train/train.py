"""Trains the embedding network on the cache of prepare_data.py and exports a
model file (thresholds are set afterwards by tune.py).

Objective: every frame of a crop is classified, by cosine softmax with an
additive margin, as its speaker or as background (class 0). Crops join one
to three pieces of different sources, so the network also learns speaker
changes inside a window; with --dialogue some crops are two voices taking
turns instead. A second term keeps the frames of each speaker run (of each
voice, with --dialogue) close to their mean direction, and short pauses
inside one speaker's speech carry that speaker's label.
"""
import json
import os
import re
import tempfile
import time

# One BLAS thread per process, set before torch loads the library: an idle
# BLAS thread otherwise spins on the core the other process needs.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import torch  # noqa: E402
import torch.distributed as dist  # noqa: E402
import torch.nn.functional as F  # noqa: E402

import common
import network

WINDOW, CONTEXT = 192, 32  # crops are at most one window long
BATCH = 32  # crops per step, over all processes together
CROP_FRAMES = (96, 128, 160, 192)
SCALE = 20.0
BACKGROUND_SHARE = 0.15
# provisional thresholds (merge, reassign, assign, background), replaced by tune.py
THRESHOLDS = (0.25, 0.3, 0.2, 0.2)


def bridge_pauses(labels, lengths, longest):
    """Labels with every background run of at most `longest` frames that has
    the same speaker on both sides, inside one source, given to that speaker."""
    out = labels.copy()
    at = 0
    for n in lengths:
        y = out[at:at + n]
        k = 0
        while k < n:
            if y[k] != 0:
                k += 1
                continue
            end = k
            while end < n and y[end] == 0:
                end += 1
            if 0 < k and end < n and end - k <= longest and y[k - 1] > 0 and y[k - 1] == y[end]:
                y[k:end] = y[k - 1]
            k = end
        at += n
    return out


def speaker_groups(labels):
    """One index per (crop, label) for every frame, flattened, and the number
    of indices each crop spans (crop = index // width)."""
    width = int(labels.max()) + 2
    return (torch.arange(labels.shape[0])[:, None] * width + labels + 1).reshape(-1), width


def consistency_loss(emb, labels, per_speaker=False):
    """Sum over the frames of speaker runs (maximal runs of one label above 0)
    of 1 - cos(frame, the run's mean direction). With `per_speaker` all runs
    of one label in a crop share one mean direction."""
    B, T, D = emb.shape
    if per_speaker:
        groups, _ = speaker_groups(labels)
    else:
        change = torch.ones(B, T, dtype=torch.int64)
        change[:, 1:] = (labels[:, 1:] != labels[:, :-1]).to(torch.int64)
        groups = torch.cumsum(change.reshape(-1), 0) - 1
    flat = emb.reshape(-1, D)
    sums = flat.new_zeros(int(groups.max()) + 1, D).index_add_(0, groups, flat)
    centres = F.normalize(sums, dim=-1, eps=1e-6)[groups]
    cos = (flat * centres).sum(-1)
    mask = (labels.reshape(-1) > 0).to(emb.dtype)
    return ((1.0 - cos) * mask).sum()


def separation_loss(emb, labels, margin):
    """Sum over the labelled frames of a crop of max(0, cos(the frame's
    speaker's mean direction in the crop, another speaker's there) - margin),
    over the other speakers of the crop. Voices that share a channel must stay
    apart: through one room the speakers' directions were found to crowd
    together while each voice's own frames stayed as tight as on clean audio."""
    D = emb.shape[-1]
    groups, width = speaker_groups(labels)
    flat = emb.reshape(-1, D)
    count = int(groups.max()) + 1
    sums = flat.new_zeros(count, D).index_add_(0, groups, flat)
    frames = flat.new_zeros(count).index_add_(0, groups, (labels.reshape(-1) > 0).to(emb.dtype))
    used = torch.nonzero(frames > 0).squeeze(1)
    if len(used) < 2:
        return emb.new_zeros(())
    centres = F.normalize(sums[used], dim=-1, eps=1e-6)
    crop = used // width
    pair = (crop[:, None] == crop[None, :]) & ~torch.eye(len(used), dtype=torch.bool)
    excess = torch.clamp(centres @ centres.t() - margin, min=0.0) * pair
    return (frames[used] * excess.sum(1)).sum()


def invariance_loss(emb, target, labels):
    """Sum over the speech frames of 1 - cos(frame, the same frame's embedding
    in `target`): the start network's embeddings of the crop before its
    channel. A room was found to move every voice towards one direction, so
    the voices of a far-field recording crowd together; here each frame heard
    through a room, codec or microphone is pulled to where the same frame
    sits on the clean recording, where the voices are apart."""
    cos = (emb * target).sum(-1)
    mask = (labels > 0).to(emb.dtype)
    return ((1.0 - cos) * mask).sum()


class CropSampler:
    def __init__(self, cache, mean, scale, rng, bridge, equalise, dialogue=0.0, same_channel=0.0,
                 narrowband=0.0, line_noise=0.0, clean_inputs=False):
        d = np.load(os.path.join(cache, "train.npz"))
        self.rows = d["rows"].reshape(-1, 80)
        self.labels = bridge_pauses(d["labels"], d["lengths"], bridge)
        self.classes = int(d["classes"])
        lengths = d["lengths"]
        self.starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
        self.lengths = lengths
        self.mean = np.tile(mean, 2)
        self.scale = np.tile(scale, 2)
        self.rng = rng
        self.equalise = equalise
        self.dialogue_share = dialogue
        self.same_channel_share = same_channel
        self.narrowband_share = narrowband
        self.line_noise = line_noise
        # the last source is the synthetic non-speech
        self.speech_sources = np.arange(len(lengths) - 1)
        self.background_source = len(lengths) - 1
        self.channel_groups = channel_groups(cache, len(lengths) - 1) if same_channel > 0 else None
        if same_channel > 0 and self.channel_groups is None:
            print("no sources.txt matching the cache: every dialogue crop keeps two channels", flush=True)
        # With clean_inputs every crop comes with its clean twin: the same
        # frames of the clean recording each piece's copy was made from, with
        # no look (batch() leaves it in self.clean).
        self.clean_of = None
        if clean_inputs:
            self.clean_of = clean_sources(cache, len(lengths) - 1)
            if self.clean_of is None:
                print("no sources.txt matching the cache: the clean twins are the pieces without their look",
                      flush=True)
                self.clean_of = np.arange(len(lengths))
        self.clean = None
        self._clean_pieces = []

    def look(self):
        """A channel for one piece or one voice: a level change (a constant in
        the log domain), for some a smooth gain curve over the bands (another
        microphone or room), and for some a stationary noise floor."""
        r = self.rng
        level = int(r.integers(-1536, 1025))
        curve = None
        if self.equalise > 0 and r.random() < self.equalise:
            bands = np.linspace(0.0, 1.0, 40)
            curve = r.uniform(-512, 512) * (2 * bands - 1) + r.uniform(0, 384) * np.sin(
                np.pi * int(r.integers(1, 4)) * bands + r.uniform(0, 2 * np.pi))
            curve = np.tile(np.round(curve).astype(np.int32), 2)
        floor = None
        if r.random() < 0.3:
            tilt = np.linspace(0, r.uniform(-3000, 1000), 40)
            floor = np.tile(r.uniform(-14000, -6000) + tilt, 2)
        return level, curve, floor, self.narrowband()

    def narrowband(self):
        """For some pieces, a telephone channel as the engine's features show
        it after 8 kHz audio is resampled (measured on AMR-NB copies): the
        bands above 3.4 to 4 kHz hold only a steady floor, about 40 dB below
        ordinary speech and the same whatever the voice, the bands just below
        roll off, and the lowest band loses part of its energy to the codec's
        high-pass. With a line noise, the codec's own error on the speech
        bands too: it moves each band of each frame by a few dB whatever the
        voice. Returns the attenuation, the floor per band and the size of
        that error, or None."""
        r = self.rng
        if self.narrowband_share <= 0 or r.random() >= self.narrowband_share:
            return None
        gone = int(r.integers(31, 35))  # first band with nothing of the speech left
        bands = np.arange(40)
        attenuation = np.clip((bands - (gone - 4)) / 4.0, 0.0, 1.0) * 12000.0
        attenuation[0] += r.uniform(0, 2000)
        floor = np.where(bands >= gone - 4, r.uniform(-12500, -10500), -40000.0)
        error = r.uniform(0, self.line_noise) if self.line_noise > 0 else 0.0  # none drawn: older runs hold
        return np.tile(attenuation, 2), np.tile(floor, 2), error

    def piece(self, source, frames, look=None):
        r = self.rng
        length = self.lengths[source]
        frames = min(frames, length)
        at = self.starts[source] + int(r.integers(0, length - frames + 1))
        raw = self.rows[at:at + frames].astype(np.int32)
        labels = self.labels[at:at + frames].copy()
        clean = None
        if self.clean_of is not None:  # copies are frame-aligned with their clean recording and no longer
            twin = self.starts[self.clean_of[source]] + (at - self.starts[source])
            clean = self.rows[twin:twin + frames].astype(np.int32)
        silent = raw == -32768
        level, curve, floor, narrow = look or self.look()
        raw = raw + level
        if curve is not None:
            raw = raw + curve
        if floor is not None:  # added in the power domain
            mixed = np.log10(10.0 ** (raw / 1024.0) + 10.0 ** (floor / 1024.0)) * 1024.0
            raw = np.round(mixed).astype(np.int32)
            silent[:] = False
        if narrow is not None:  # after the noise: the codec band-limits both
            attenuation, nf, error = narrow
            nf = nf + r.normal(0, 150, size=raw.shape)  # the line's own floor, whatever the voice's level
            if error > 0:
                raw = raw + np.round(r.normal(0, error, size=raw.shape)).astype(np.int32)
            mixed = np.log10(10.0 ** ((raw - attenuation) / 1024.0) + 10.0 ** (nf / 1024.0)) * 1024.0
            raw = np.round(mixed).astype(np.int32)
            silent[:] = False
        raw = np.clip(raw, -19405, 0)
        raw[silent] = -32768
        if self.clean_of is not None:
            self._clean_pieces.append(clean)
        return raw, labels

    def crop(self, frames):
        r = self.rng
        k = int(r.choice([1, 2, 3], p=[0.4, 0.4, 0.2]))
        cuts = np.sort(r.choice(np.arange(24, frames - 23), size=k - 1, replace=False)) if k > 1 else []
        bounds = [0, *cuts, frames]
        raws, labels, last = [], [], -1
        for a, b in zip(bounds[:-1], bounds[1:]):
            while True:
                s = self.background_source if r.random() < BACKGROUND_SHARE else int(r.choice(self.speech_sources))
                if s != last:
                    break
            last = s
            self.append(raws, labels, s, b - a)
        return self.finish(raws, labels)

    def dialogue(self, frames):
        """Two voices taking turns of 1.3 to 4 s, A B A B ..., with pauses of
        0.1 to 0.8 s between them, each voice keeping its own channel for the
        whole crop: a voice must come back to its own direction after the
        other one spoke, or the clustering splits it or joins it to the other.
        With --same-channel some crops give both voices one channel (copies of
        the same kind of chain, one band curve and noise floor, levels within
        4 dB), as in a real recording: then only the voices tell them apart."""
        r = self.rng
        first = other = int(r.choice(self.speech_sources))
        same = self.channel_groups is not None and r.random() < self.same_channel_share
        group = self.channel_groups[first] if same else self.speech_sources
        if len(group) < 2:
            group, same = self.speech_sources, False
        while other == first:
            other = int(r.choice(group))
        voices = (first, other)
        if same:
            level, curve, floor, narrow = self.look()
            looks = [(level, curve, floor, narrow), (level + int(r.integers(-410, 411)), curve, floor, narrow)]
        else:
            looks = [self.look(), self.look()]
            if looks[0][3] is not None or looks[1][3] is not None:
                # a telephone line carries both voices: one narrowband, the other not, would
                # teach the bandwidth as a speaker's trait
                narrow = looks[0][3] if looks[0][3] is not None else looks[1][3]
                looks = [look[:3] + (narrow,) for look in looks]
        raws, labels = [], []
        t, turn = 0, 0
        while t < frames:
            n = min(int(r.integers(40, 126)), frames - t)
            self.append(raws, labels, voices[turn % 2], n, looks[turn % 2])
            t += n
            turn += 1
            if t < frames:
                n = min(int(r.integers(3, 26)), frames - t)
                self.append(raws, labels, self.background_source, n)
                t += n
        return self.finish(raws, labels)

    def append(self, raws, labels, source, frames, look=None):
        raw, lab = self.piece(source, frames, look)
        if len(raw) < frames:  # short source: pad with its own start
            reps = frames // len(raw) + 1
            raw, lab = np.tile(raw, (reps, 1))[:frames], np.tile(lab, reps)[:frames]
            if self.clean_of is not None:
                self._clean_pieces[-1] = np.tile(self._clean_pieces[-1], (reps, 1))[:frames]
        if raws:
            lab[:2] = -1  # the frames right at a change are ambiguous
            labels[-1][-2:] = -1
        raws.append(raw)
        labels.append(lab)

    def finish(self, raws, labels):
        norm = common.normalise(np.concatenate(raws), self.mean, self.scale)
        if self.clean_of is not None:
            clean = common.normalise(np.concatenate(self._clean_pieces), self.mean, self.scale)
            self.last_clean = clean.astype(np.float32) / 1024.0
            self._clean_pieces = []
        return norm.astype(np.float32) / 1024.0, np.concatenate(labels)

    def one(self, frames):
        if self.dialogue_share > 0 and self.rng.random() < self.dialogue_share:
            return self.dialogue(frames)
        return self.crop(frames)

    def batch(self, frames, count):
        xs, ys, cleans = [], [], []
        for _ in range(count):
            x, y = self.one(frames)
            xs.append(x)
            ys.append(y)
            if self.clean_of is not None:
                cleans.append(self.last_clean)
        self.clean = torch.from_numpy(np.stack(cleans)) if cleans else None
        return torch.from_numpy(np.stack(xs)), torch.from_numpy(np.stack(ys).astype(np.int64))


def chain_kinds(cache, count):
    """The channel chain of each of the first `count` sources in sources.txt,
    and each one's recording name; None where sources.txt does not match."""
    path = os.path.join(cache, "sources.txt")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        lines = [line.rstrip("\n").split("\t") for line in f]
    if len(lines) < count:
        return None
    return [(parts[0], parts[-1]) for parts in lines[:count]]


def clean_sources(cache, count):
    """For each speech source, the index of the clean recording it is a copy
    of (prepare_data.py writes each clean recording, at each speed, before its
    copies), itself for a clean one; the non-speech source last is its own.
    None where sources.txt does not match the cache."""
    sources = chain_kinds(cache, count)
    if sources is None:
        return None
    out = np.arange(count + 1)
    last = None
    for i, (name, chain) in enumerate(sources):
        if chain == "clean":
            last = (name, i)
        elif last is not None and last[0] == name:
            out[i] = last[1]
    return out


def channel_groups(cache, count):
    """For each speech source, the sources whose channel chain is of the same
    kind (the chain in sources.txt without its numbers: "clean", "room, mic,
    noise, amr", ...). None where sources.txt does not match the cache."""
    sources = chain_kinds(cache, count)
    if sources is None:
        return None
    kinds = [re.sub(r"[-0-9.]+ ?(s|dB|kbit/s)?", "", chain).replace(" ", "") for _, chain in sources]
    members = {}
    for i, k in enumerate(kinds):
        members.setdefault(k, []).append(i)
    groups = {k: np.array(v) for k, v in members.items()}
    return [groups[k] for k in kinds]


def class_prototypes(net, sampler, chunk=WINDOW, batch=64):
    """Each class's mean embedding direction under `net`, over every frame of
    the training cache seen as it is (no channel look), in chunks of one
    window. A start network's classes begin here rather than at random: the
    first steps then refine a working classifier instead of pulling the
    trained layers towards random directions."""
    dim = net.out_w.shape[0]
    sums = torch.zeros(sampler.classes, dim, dtype=torch.float64)
    pieces = []
    for start, length in zip(sampler.starts, sampler.lengths):
        for at in range(start, start + length, chunk):
            pieces.append((at, min(chunk, start + length - at)))
    pieces.sort(key=lambda p: p[1])  # equal lengths batch together
    with torch.no_grad():
        k = 0
        while k < len(pieces):
            n = pieces[k][1]
            group = [p for p in pieces[k:k + batch] if p[1] == n]
            k += len(group)
            raw = np.stack([sampler.rows[a:a + n] for a, _ in group])
            norm = common.normalise(raw.reshape(-1, 80), sampler.mean, sampler.scale).reshape(len(group), n, 80)
            emb = net(torch.from_numpy(norm.astype(np.float32) / 1024.0)).reshape(-1, dim)
            labels = torch.from_numpy(np.concatenate([sampler.labels[a:a + n] for a, _ in group]).astype(np.int64))
            keep = labels >= 0
            sums.index_add_(0, labels[keep], emb[keep].to(torch.float64))
    seen = sums.norm(dim=1) > 0
    return F.normalize(sums, dim=1).to(torch.float32), seen


def share_of_batch(rank, procs):
    return BATCH // procs + (1 if rank < BATCH % procs else 0)


def all_reduce_sum(tensors):
    """Sums the tensors over all processes in place, as one message."""
    flat = torch.cat([t.reshape(-1) for t in tensors])
    dist.all_reduce(flat)
    at = 0
    for t in tensors:
        n = t.numel()
        t.copy_(flat[at:at + n].view_as(t))
        at += n


def train(rank, procs, args, rendezvous):
    torch.set_num_threads(1)
    if procs > 1:
        dist.init_process_group("gloo", init_method="file://" + rendezvous, rank=rank, world_size=procs)
    torch.manual_seed(args.seed)
    if procs == 1:
        rng = np.random.default_rng(args.seed)
        length_rng = rng  # one stream for crop lengths and crops, as a single process always drew them
    else:
        rng = np.random.default_rng([args.seed, rank])  # each process draws its own crops
        length_rng = np.random.default_rng(args.seed)  # the same crop length everywhere: no process waits
    start_state = None
    if args.init and args.init.endswith(".zr"):
        # The start model's normaliser stays: its network was trained on those inputs.
        start_state, mean, scale = network.read_model_file(args.init)
    else:
        if args.init:
            start_state = torch.load(args.init)
        d = np.load(os.path.join(args.cache, "train.npz"))
        mean, scale = common.normaliser_from(d["rows"].reshape(-1, 40))
        del d
    sampler = CropSampler(args.cache, mean, scale, rng, args.bridge, args.equalise, args.dialogue,
                          args.same_channel, args.narrowband, args.line_noise, args.invariance > 0)
    net = network.EmbeddingNetwork(args.layers, args.hidden, args.dim, sampler.classes, seed=args.seed)
    peak = 3e-3
    if args.resume:
        net.load_state_dict(torch.load(common.network_path(args)))
        peak = 1e-3
    elif start_state is not None:
        network.initialise_from(net, start_state)
        peak = args.peak or 1.5e-3
        if args.prototypes:
            began = time.time()
            directions, seen = class_prototypes(net, sampler)
            with torch.no_grad():
                size = net.classes.norm(dim=1).mean()
                net.classes.data[seen] = directions[seen] * size
            if rank == 0:
                print("class directions from the start network: %d of %d classes, %.0f s"
                      % (int(seen.sum()), sampler.classes, time.time() - began), flush=True)
    if args.peak and not start_state:
        peak = args.peak
    teacher = None
    if args.invariance > 0:
        # the start network, frozen, gives each clean frame its place; without
        # one the network being trained does (its clean twin's embedding, detached)
        teacher = net
        if start_state is not None or args.resume:
            teacher = network.EmbeddingNetwork(args.layers, args.hidden, args.dim, sampler.classes)
            teacher.load_state_dict(net.state_dict())
            teacher.requires_grad_(False)
    net.clip_to_q7()
    params = list(net.parameters())
    opt = torch.optim.Adam(params, lr=peak)
    budget = args.minutes * 60.0
    local_batch = share_of_batch(rank, procs)
    start = time.time()
    step = 0
    frames_trained = 0
    log = []
    while True:
        frames = int(length_rng.choice(CROP_FRAMES))
        x, y = sampler.batch(frames, local_batch)
        # The labelled frames of the whole batch, and rank 0's clock, which
        # decides the learning rate and the end for every process alike.
        shared = torch.tensor([float((y >= 0).sum()), time.time() - start if rank == 0 else 0.0],
                              dtype=torch.float64)
        if procs > 1:
            dist.all_reduce(shared)
        labelled, elapsed = shared.tolist()
        progress = step / args.steps if args.steps > 0 else elapsed / budget
        if progress >= 1.0:
            break
        lr = 1e-4 + (peak - 1e-4) * 0.5 * (1 + np.cos(np.pi * progress))
        for g in opt.param_groups:
            g["lr"] = lr
        emb = net(x)
        logits = net.logits(emb, y, SCALE, args.margin)
        # Each process's loss is its part of the whole batch's mean, so the sum
        # of the processes' gradients is the gradient of that mean.
        loss_sum = torch.nn.functional.cross_entropy(logits.reshape(-1, logits.shape[-1]), y.reshape(-1),
                                                     ignore_index=-1, reduction="sum")
        if args.consistency > 0:
            loss_sum = loss_sum + args.consistency * consistency_loss(emb, y, args.dialogue > 0)
        if args.separation > 0:
            loss_sum = loss_sum + args.separation * separation_loss(emb, y, args.separation_margin)
        if teacher is not None:
            with torch.no_grad():
                target = teacher(sampler.clean)
            loss_sum = loss_sum + args.invariance * invariance_loss(emb, target, y)
        loss = loss_sum / max(labelled, 1.0)
        opt.zero_grad()
        loss.backward()
        logging = (step + 1) % 50 == 0
        with torch.no_grad():
            correct = (logits.argmax(-1) == y)[y >= 0].sum() if logging else torch.zeros(())
            stats = torch.stack([loss.detach(), correct.to(loss.dtype)])
        if procs > 1:
            grads = [p.grad if p.grad is not None else torch.zeros_like(p) for p in params]
            all_reduce_sum(grads + [stats])
            for p, g in zip(params, grads):
                p.grad = g
        opt.step()
        net.clip_to_q7()
        step += 1
        frames_trained += frames * BATCH
        if logging:
            batch_loss, acc = stats[0].item(), stats[1].item() / max(labelled, 1.0)
            log.append((step, round(elapsed), batch_loss, acc))
            if rank == 0:
                print("step %d  %.0f s  loss %.3f  frame accuracy %.3f  lr %.5f  %.0f frames/s"
                      % (step, elapsed, batch_loss, acc, lr, frames_trained / max(elapsed, 1e-9)), flush=True)
    seconds = time.time() - start
    if rank == 0:
        torch.save(net.state_dict(), common.network_path(args))
        os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
        network.export_model(args.out, net, mean, scale, WINDOW, CONTEXT, THRESHOLDS, net.background_embedding())
        with open(os.path.join(args.cache, "train_log.json"), "w") as f:
            json.dump({"steps": step, "seconds": seconds, "procs": procs, "frames": frames_trained,
                       "frames_per_second": frames_trained / seconds, "log": log,
                       "mean": mean.tolist(), "scale": scale.tolist(), "classes": sampler.classes}, f)
        print("wrote %s after %d steps, %.0f s, %d processes, %.0f frames/s"
              % (args.out, step, seconds, procs, frames_trained / seconds), flush=True)
    if procs > 1:
        dist.destroy_process_group()


def main():
    args = common.parse_args()
    procs = max(1, min(args.procs, BATCH))
    if procs == 1:
        train(0, 1, args, None)
        return
    with tempfile.TemporaryDirectory() as folder:
        torch.multiprocessing.spawn(train, args=(procs, args, os.path.join(folder, "rendezvous")), nprocs=procs)


if __name__ == "__main__":
    main()
