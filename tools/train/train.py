"""Trains the embedding network on the cache of prepare_data.py and exports a
model file (thresholds are set afterwards by tune.py).

Objective: every frame of a crop is classified, by cosine softmax with an
additive margin, as its speaker or as background (class 0). Crops join one
to three pieces of different sources, so the network also learns speaker
changes inside a window.
"""
import json
import os
import time

import numpy as np
import torch

import common
import network

LAYERS, HIDDEN, DIM = 2, 64, 32
WINDOW, CONTEXT = 192, 32
BATCH = 32
CROP_FRAMES = (96, 128, 160, 192)
SCALE, MARGIN = 20.0, 0.15
BACKGROUND_SHARE = 0.15
# provisional thresholds (merge, reassign, assign, background), replaced by tune.py
THRESHOLDS = (0.25, 0.3, 0.2, 0.2)


class CropSampler:
    def __init__(self, cache, mean, scale, rng):
        d = np.load(os.path.join(cache, "train.npz"))
        self.rows = d["rows"].reshape(-1, 80)
        self.labels = d["labels"]
        self.classes = int(d["classes"])
        lengths = d["lengths"]
        self.starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
        self.lengths = lengths
        self.mean = np.tile(mean, 2)
        self.scale = np.tile(scale, 2)
        self.rng = rng
        # the last source is the synthetic non-speech
        self.speech_sources = np.arange(len(lengths) - 1)
        self.background_source = len(lengths) - 1

    def piece(self, source, frames):
        r = self.rng
        length = self.lengths[source]
        frames = min(frames, length)
        at = self.starts[source] + int(r.integers(0, length - frames + 1))
        raw = self.rows[at:at + frames].astype(np.int32)
        labels = self.labels[at:at + frames].copy()
        silent = raw == -32768
        raw = raw + int(r.integers(-1536, 1025))  # level change: a constant in the log domain
        if r.random() < 0.3:  # stationary noise floor added in the power domain
            tilt = np.linspace(0, r.uniform(-3000, 1000), 40)
            floor = np.tile(r.uniform(-14000, -6000) + tilt, 2)
            mixed = np.log10(10.0 ** (raw / 1024.0) + 10.0 ** (floor / 1024.0)) * 1024.0
            raw = np.round(mixed).astype(np.int32)
            silent[:] = False
        raw = np.clip(raw, -19405, 0)
        raw[silent] = -32768
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
            raw, lab = self.piece(s, b - a)
            if len(raw) < b - a:  # short source: pad with its own start
                reps = (b - a) // len(raw) + 1
                raw, lab = np.tile(raw, (reps, 1))[:b - a], np.tile(lab, reps)[:b - a]
            if a > 0:
                lab[:2] = -1  # the frames right at a change are ambiguous
                labels[-1][-2:] = -1
            raws.append(raw)
            labels.append(lab)
        raw = np.concatenate(raws)
        norm = common.normalise(raw, self.mean, self.scale)
        return norm.astype(np.float32) / 1024.0, np.concatenate(labels)

    def batch(self):
        frames = int(self.rng.choice(CROP_FRAMES))
        xs, ys = zip(*(self.crop(frames) for _ in range(BATCH)))
        return torch.from_numpy(np.stack(xs)), torch.from_numpy(np.stack(ys).astype(np.int64))


def main():
    args = common.parse_args()
    torch.manual_seed(0)
    torch.set_num_threads(1)
    rng = np.random.default_rng(0)
    d = np.load(os.path.join(args.cache, "train.npz"))
    mean, scale = common.normaliser_from(d["rows"].reshape(-1, 40))
    sampler = CropSampler(args.cache, mean, scale, rng)
    net = network.EmbeddingNetwork(LAYERS, HIDDEN, DIM, sampler.classes, seed=0)
    peak = 3e-3
    if args.resume:
        net.load_state_dict(torch.load(os.path.join(args.cache, "network.pt")))
        peak = 1e-3
    net.clip_to_q7()
    opt = torch.optim.Adam(net.parameters(), lr=peak)
    budget = args.minutes * 60.0
    start = time.time()
    step = 0
    log = []
    while True:
        elapsed = time.time() - start
        progress = step / args.steps if args.steps > 0 else elapsed / budget
        if progress >= 1.0:
            break
        lr = 1e-4 + (peak - 1e-4) * 0.5 * (1 + np.cos(np.pi * progress))
        for g in opt.param_groups:
            g["lr"] = lr
        x, y = sampler.batch()
        emb = net(x)
        logits = net.logits(emb, y, SCALE, MARGIN)
        loss = torch.nn.functional.cross_entropy(logits.reshape(-1, logits.shape[-1]), y.reshape(-1), ignore_index=-1)
        opt.zero_grad()
        loss.backward()
        opt.step()
        net.clip_to_q7()
        step += 1
        if step % 50 == 0:
            with torch.no_grad():
                mask = y >= 0
                acc = (logits.argmax(-1) == y)[mask].float().mean().item()
            log.append((step, round(elapsed), float(loss), acc))
            print("step %d  %.0f s  loss %.3f  frame accuracy %.3f  lr %.5f" % (step, elapsed, loss.item(), acc, lr),
                  flush=True)
    torch.save(net.state_dict(), os.path.join(args.cache, "network.pt"))
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    network.export_model(args.out, net, mean, scale, WINDOW, CONTEXT, THRESHOLDS, net.background_embedding())
    with open(os.path.join(args.cache, "train_log.json"), "w") as f:
        json.dump({"steps": step, "seconds": time.time() - start, "log": log,
                   "mean": mean.tolist(), "scale": scale.tolist(), "classes": sampler.classes}, f)
    print("wrote %s after %d steps, %.0f s" % (args.out, step, time.time() - start), flush=True)


if __name__ == "__main__":
    main()
