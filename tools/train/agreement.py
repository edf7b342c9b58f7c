"""Compares the engine's embeddings of a recording (quorva_features embed)
with the training code's for the same model: mean cosine over frames."""
import os
import subprocess
import sys

import numpy as np
import torch

import common
import network


def main():
    args = common.parse_args(lambda p: p.add_argument("--audio", default=None))
    audio = args.audio or os.path.join(args.data, "conversations/ami/dev00.flac")
    net = network.network_from_state(torch.load(common.network_path(args)))
    with open(args.out, "rb") as f:
        data = f.read()
    mean = np.frombuffer(data, dtype="<i2", count=40, offset=15)
    scale = np.frombuffer(data, dtype="<i2", count=40, offset=95)
    tools = args.tools
    feats = os.path.join(args.cache, "agree.i16")
    emb = os.path.join(args.cache, "agree.f32")
    subprocess.run([os.path.join(tools, "quorva_features"), "features", audio, feats], check=True)
    subprocess.run([os.path.join(tools, "quorva_features"), "embed", args.out, audio, emb], check=True)
    raw = np.fromfile(feats, dtype="<i2").reshape(-1, 80)
    engine = np.fromfile(emb, dtype="<f4").reshape(len(raw), -1)
    norm = common.normalise(raw, np.tile(mean, 2), np.tile(scale, 2))
    ours = network.windowed_embeddings(net, norm, *network.windowing_of(data))
    cos = (engine * ours).sum(1) / (np.linalg.norm(engine, axis=1) * np.linalg.norm(ours, axis=1) + 1e-9)
    print("%s: %d frames, mean cosine %.6f, min %.6f, largest difference %.4f" % (
        os.path.basename(audio), len(cos), cos.mean(), cos.min(), np.abs(engine - ours).max()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
