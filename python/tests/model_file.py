"""Writes small model files with random weights for the binding's tests."""

import random
import struct


def _tensor(rng, cols, rows):
    out = struct.pack("<ii", cols, rows)
    out += bytes(rng.randrange(256) for _ in range(rows))
    out += bytes(rng.randrange(256) for _ in range(rows * cols))
    return out


def random_model_bytes(seed=1, layers=1, hidden=8, embedding=4, window=20, context=4,
                       version=b"1.0.0"):
    rng = random.Random(seed)
    out = b"quorva" + version
    out += struct.pack("<i", 40) + struct.pack("<40h", *([0] * 40)) + struct.pack("<40h", *([1024] * 40))
    out += struct.pack("<i", layers)
    for _direction in range(2):
        inputs = 80
        for _ in range(layers):
            out += _tensor(rng, inputs, 3 * hidden) + _tensor(rng, hidden, 3 * hidden)
            inputs = hidden
    out += _tensor(rng, hidden, embedding)
    out += struct.pack("<ii", window, context)
    out += struct.pack("<ffff", 0.3, 0.4, 0.2, 0.1)
    out += struct.pack("<i", embedding) + struct.pack(f"<{embedding}f", 1.0, *([0.0] * (embedding - 1)))
    return out
