"""The engine's recurrent embedding network in torch, with quantisation in the
loop, and the writer of the engine's model file.

Fixed-point rules mirrored here: int8 weights and biases with 1.0 = 128
(fake-quantised, straight-through gradient), every dense result, cell state
and layer output saturated to the int16 Q10 range [-32, 32), gate inputs
clamped to the sigmoid table's range [-8, 7.9375] (tanh: [-4, 3.96875]).
"""
import struct

import numpy as np
import torch
import torch.nn.functional as F

Q10_MIN, Q10_MAX = -32.0, 32767.0 / 1024.0
W_MIN, W_MAX = -1.0, 127.0 / 128.0


def fake_q7(w):
    q = torch.clamp(torch.round(w * 128.0), -128.0, 127.0) / 128.0
    return w + (q - w).detach()


def sat(x):
    return torch.clamp(x, Q10_MIN, Q10_MAX)


def table_sigmoid(v):
    return torch.sigmoid(torch.clamp(v, -8.0, 7.9375))


def table_tanh(v):
    return torch.tanh(torch.clamp(v, -4.0, 3.96875))


# The recurrence of one layer, both directions batched, as scripted loops with
# a hand-written backward through time. Inside the loop the saturations of the
# fixed-point cell never bind: c stays a convex mix of values in [-1, 1], so
# |c|, |h| <= 1, and the gate clamps only cut where the sigmoid is already
# flat (the table's ends differ from the float curve by under 0.001). Leaving
# them out keeps the time loop short.
@torch.jit.script
def _scan_forward(gx, Ut):
    """gx: (time, direction, batch, 3H) input gates; Ut: (direction, H, 3H).
    Returns h and c for steps 0..T (step 0 the zero start), tanh(c) and the
    gate activations (z, g, o) for steps 1..T. Every step writes into the
    stacked outputs: few and small allocations keep the short steps fast."""
    T, D, B = gx.shape[0], gx.shape[1], gx.shape[2]
    H = Ut.shape[1]
    hs = gx.new_zeros(T + 1, D, B, H)
    cs = gx.new_zeros(T + 1, D, B, H)
    tcs = gx.new_empty(T, D, B, H)
    gates = torch.empty_like(gx)
    for t in range(T):
        c = cs[t]
        pre = torch.baddbmm(gx[t], hs[t], Ut)
        zgo = gates[t]
        z = torch.sigmoid(pre[..., :H], out=zgo[..., :H])
        g = torch.tanh(pre[..., H:2 * H], out=zgo[..., H:2 * H])
        o = torch.sigmoid(pre[..., 2 * H:], out=zgo[..., 2 * H:])
        c = torch.add(c, z * (g - c), out=cs[t + 1])
        tc = torch.tanh(c, out=tcs[t])
        torch.mul(tc, o, out=hs[t + 1])
    return hs, cs, tcs, gates


@torch.jit.script
def _scan_backward(dout, U, hs, cs, tcs, gates):
    """Backpropagation through time. dout: (time, direction, batch, H) output
    gradients; U: (direction, 3H, H). Returns the gradients of the input gates
    (time, direction, batch, 3H) and of U."""
    T, D, B = dout.shape[0], dout.shape[1], dout.shape[2]
    H = U.shape[2]
    z = gates[..., :H]
    g = gates[..., H:2 * H]
    o = gates[..., 2 * H:]
    # Every factor that does not depend on the incoming gradient, for all
    # steps at once; the time loop is left with the recurrence alone.
    dc_from_dh = o * (1.0 - tcs * tcs)
    keep_c = 1.0 - z
    factors = torch.cat([(g - cs[:-1]) * (z * (1.0 - z)), z * (1.0 - g * g), tcs * (o * (1.0 - o))], -1)
    factors_zg = factors[..., :2 * H].view(T, D, B, 2, H)
    factors_o = factors[..., 2 * H:]
    dpre = torch.empty_like(gates)
    dpre_zg = dpre[..., :2 * H].view(T, D, B, 2, H)
    dpre_o = dpre[..., 2 * H:]
    dh = torch.zeros_like(dout[0])
    dc = torch.zeros_like(dout[0])
    for t in range(T - 1, -1, -1):
        dh = dh + dout[t]
        dc = dc + dh * dc_from_dh[t]
        torch.mul(dc.unsqueeze(2), factors_zg[t], out=dpre_zg[t])
        torch.mul(dh, factors_o[t], out=dpre_o[t])
        dc = dc * keep_c[t]
        dh = torch.bmm(dpre[t], U)
    # dU = sum over time and batch of dpre^T h_prev, one product for all steps
    dU = torch.einsum("tdbg,tdbh->dgh", dpre, hs[:-1])
    return dpre, dU


class RecurrentScan(torch.autograd.Function):
    """h_t of the three-gate cell for input gates gx (direction, batch, time,
    3H) and recurrent weights U (direction, 3H, H); returns (direction, batch,
    time, H). Autograd saves only the per-step states, not a graph per step."""

    @staticmethod
    def forward(ctx, gx, U):
        hs, cs, tcs, gates = _scan_forward(gx.permute(2, 0, 1, 3).contiguous(), U.transpose(1, 2))
        ctx.save_for_backward(U, hs, cs, tcs, gates)
        return hs[1:].permute(1, 2, 0, 3)

    @staticmethod
    def backward(ctx, dout):
        U, hs, cs, tcs, gates = ctx.saved_tensors
        dpre, dU = _scan_backward(dout.permute(2, 0, 1, 3).contiguous(), U, hs, cs, tcs, gates)
        return dpre.permute(1, 2, 0, 3), dU


class EmbeddingNetwork(torch.nn.Module):
    def __init__(self, layers, hidden, dim, classes, seed=0):
        super().__init__()
        g = torch.Generator().manual_seed(seed)
        self.hidden = hidden
        self.W, self.bW, self.U, self.bU = (torch.nn.ParameterList() for _ in range(4))
        inputs = 80
        for _ in range(layers):
            # index 0: forward direction, 1: backward
            self.W.append(torch.nn.Parameter(torch.randn(2, 3 * hidden, inputs, generator=g) / inputs ** 0.5))
            self.bW.append(torch.nn.Parameter(torch.zeros(2, 3 * hidden)))
            self.U.append(torch.nn.Parameter(torch.randn(2, 3 * hidden, hidden, generator=g) / hidden ** 0.5))
            self.bU.append(torch.nn.Parameter(torch.zeros(2, 3 * hidden)))
            inputs = hidden
        self.out_w = torch.nn.Parameter(torch.randn(dim, hidden, generator=g) / hidden ** 0.5)
        self.out_b = torch.nn.Parameter(torch.zeros(dim))
        # class 0 is the background; its direction becomes the background embedding
        self.classes = torch.nn.Parameter(torch.randn(classes, dim, generator=g))

    def quantised_parameters(self):
        return [*self.W, *self.bW, *self.U, *self.bU, self.out_w, self.out_b]

    def clip_to_q7(self):
        with torch.no_grad():
            for p in self.quantised_parameters():
                p.clamp_(W_MIN, W_MAX)

    def input_gates(self, x, l):
        """Fake-quantised W x + biases of both directions for the whole
        sequence, (direction, batch, time, 3H); the backward direction's time
        is reversed. Ordinary autograd: only the recurrence is hand-written."""
        W, bW = fake_q7(self.W[l]), fake_q7(self.bW[l])
        bU = fake_q7(self.bU[l])
        gx = sat(torch.einsum("bti,dgi->dbtg", x, W) + bW[:, None, None, :]) + bU[:, None, None, :]
        return torch.stack([gx[0], gx[1].flip(1)])

    def layer(self, x, l):
        hs = RecurrentScan.apply(self.input_gates(x, l), fake_q7(self.U[l]))
        return hs[0] + hs[1].flip(1)  # |sum| <= 2: no saturation

    def layer_reference(self, x, l):
        """The same layer with the time loop under autograd: slow (backward
        grows with T squared), kept to check the hand-written backward."""
        H = self.hidden
        gx = self.input_gates(x, l)
        U = fake_q7(self.U[l])
        B = x.shape[0]
        h = x.new_zeros(2, B, H)
        c = x.new_zeros(2, B, H)
        Ut = U.transpose(1, 2)
        outs = []
        for step in gx.unbind(2):
            pre = torch.baddbmm(step, h, Ut)
            z = torch.sigmoid(pre[..., :H])
            g = torch.tanh(pre[..., H:2 * H])
            o = torch.sigmoid(pre[..., 2 * H:])
            c = c + z * (g - c)
            h = torch.tanh(c) * o
            outs.append(h)
        hs = torch.stack(outs, 2)
        return hs[0] + hs[1].flip(1)

    def forward(self, x):
        """x: (batch, frames, 80) normalised features (Q10 values / 1024)."""
        for l in range(len(self.W)):
            x = self.layer(x, l)
        e = sat(x @ fake_q7(self.out_w).t() + fake_q7(self.out_b))
        return F.normalize(e, dim=-1, eps=1e-6)

    def logits(self, emb, labels, scale, margin):
        cos = emb @ F.normalize(self.classes, dim=-1).t()
        # the margin comes off each frame's own class alone: the values of
        # cos - margin * one_hot without a second tensor of the logits' size
        target = labels.clamp(min=0).unsqueeze(-1)
        return scale * cos.scatter(-1, target, cos.gather(-1, target) - margin)

    def logits_reference(self, emb, labels, scale, margin):
        cos = emb @ F.normalize(self.classes, dim=-1).t()
        onehot = F.one_hot(labels.clamp(min=0), cos.shape[-1]).to(cos.dtype)
        return scale * (cos - margin * onehot)

    def background_embedding(self):
        return F.normalize(self.classes[0].detach(), dim=0).numpy().astype(np.float32)


def windowed_embeddings(net, features, window, context):
    """Embeddings of a whole recording with the engine's windowing: windows of
    `window` frames starting 2 * context before the previous one's end, the
    first `context` rows of each later window dropped."""
    n = len(features)
    out = np.zeros((n, net.out_w.shape[0]), dtype=np.float32)
    x = torch.from_numpy(features.astype(np.float32) / 1024.0)
    with torch.no_grad():
        t = min(window, n)
        out[:t] = net(x[None, :t])[0].numpy()
        while t < n:
            u = t - 2 * context
            end = min(n, u + window)
            e = net(x[None, u:end])[0].numpy()
            out[u + context:end] = e[context:end - u]
            t = end
    return out


def network_from_state(state):
    """The network a saved state dict describes, its sizes read from the
    tensors, with the state loaded."""
    layers = sum(1 for k in state if k.startswith("W."))
    dim, hidden = state["out_w"].shape
    net = EmbeddingNetwork(layers, hidden, dim, state["classes"].shape[0])
    net.load_state_dict(state)
    return net


def windowing_of(data):
    """Window and context in frames of a model file's bytes."""
    return struct.unpack_from("<ii", data, find_threshold_offset(data) - 8)


def q7(t):
    return np.clip(np.round(t.detach().numpy() * 128.0), -128, 127).astype(np.int8)


def tensor_bytes(w, b):
    wq, bq = q7(w), q7(b)
    rows, cols = wq.shape
    return struct.pack("<ii", cols, rows) + bq.tobytes() + wq.tobytes()


def export_model(path, net, mean, scale, window, context, thresholds, background):
    """Writes the model file: magic, version, normaliser, forward layers,
    backward layers, output layer, windowing, the four thresholds (merge,
    reassign, assign, background) and the background embedding."""
    layers = len(net.W)
    parts = [b"quorva", b"1.0.0", struct.pack("<i", 40),
             mean.astype("<i2").tobytes(), scale.astype("<i2").tobytes(), struct.pack("<i", layers)]
    for d in (0, 1):
        for l in range(layers):
            parts.append(tensor_bytes(net.W[l][d], net.bW[l][d]))
            parts.append(tensor_bytes(net.U[l][d], net.bU[l][d]))
    parts.append(tensor_bytes(net.out_w, net.out_b))
    merge, reassign, assign, bg = thresholds
    parts.append(struct.pack("<ii", window, context))
    parts.append(struct.pack("<ffff", merge, reassign, assign, bg))
    parts.append(struct.pack("<i", len(background)) + background.astype("<f4").tobytes())
    with open(path, "wb") as f:
        f.write(b"".join(parts))


def set_thresholds(path, thresholds):
    """Rewrites the four thresholds of an existing model file in place."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    off = find_threshold_offset(data)
    struct.pack_into("<ffff", data, off, *thresholds)
    with open(path, "wb") as f:
        f.write(bytes(data))


def find_threshold_offset(data):
    """Byte offset of the merge threshold, found by walking the tensors."""
    off = 11
    count = struct.unpack_from("<i", data, off)[0]
    off += 4 + 4 * count
    layers = struct.unpack_from("<i", data, off)[0]
    off += 4
    for _ in range(4 * layers + 1):
        cols, rows = struct.unpack_from("<ii", data, off)
        off += 8 + rows + rows * cols
    return off + 8


def read_model_file(path):
    """The tensors of a model file as a state dict of this module (weights
    and biases exactly as stored, int8 / 128), with its normaliser and its
    background embedding."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:6] != b"quorva":
        raise ValueError("%s: not a model file" % path)
    off = 11
    count = struct.unpack_from("<i", data, off)[0]
    mean = np.frombuffer(data, dtype="<i2", count=count, offset=off + 4).copy()
    scale = np.frombuffer(data, dtype="<i2", count=count, offset=off + 4 + 2 * count).copy()
    off += 4 + 4 * count
    layers = struct.unpack_from("<i", data, off)[0]
    off += 4

    def tensor():
        nonlocal off
        cols, rows = struct.unpack_from("<ii", data, off)
        off += 8
        b = np.frombuffer(data, dtype=np.int8, count=rows, offset=off).astype(np.float32) / 128.0
        off += rows
        w = np.frombuffer(data, dtype=np.int8, count=rows * cols, offset=off).astype(np.float32) / 128.0
        off += rows * cols
        return torch.from_numpy(w.reshape(rows, cols)), torch.from_numpy(b)

    W, bW, U, bU = ([[None, None] for _ in range(layers)] for _ in range(4))
    for d in (0, 1):
        for l in range(layers):
            W[l][d], bW[l][d] = tensor()
            U[l][d], bU[l][d] = tensor()
    out_w, out_b = tensor()
    off += 8 + 16  # windowing and thresholds
    dim = struct.unpack_from("<i", data, off)[0]
    background = np.frombuffer(data, dtype="<f4", count=dim, offset=off + 4).copy()
    state = {"out_w": out_w, "out_b": out_b}
    for l in range(layers):
        state["W.%d" % l] = torch.stack(W[l])
        state["bW.%d" % l] = torch.stack(bW[l])
        state["U.%d" % l] = torch.stack(U[l])
        state["bU.%d" % l] = torch.stack(bU[l])
    state["classes"] = torch.from_numpy(background)[None, :]
    return state, mean, scale


def _gate_rows(new, old, H_new, H_old):
    """Copies the three gate blocks of `old` (rows g*H_old..) into the first
    H_old rows of each of `new`'s blocks, over `old`'s columns; the rest of
    those rows (inputs from new units) become zero."""
    for g in range(3):
        dst = new[..., g * H_new:g * H_new + H_old, :]
        dst.zero_()
        dst[..., :old.shape[-1]] = old[..., g * H_old:(g + 1) * H_old, :]


def initialise_from(net, state):
    """Starts `net` from a trained network of the same depth and at most its
    sizes. A wider network computes the same embeddings at first: each new
    unit keeps its random input weights but no other unit or the output reads
    it, and new embedding dimensions start at zero. The class directions are
    new, but for the background's (class 0), padded with zeros."""
    layers = sum(1 for k in state if k.startswith("W."))
    if layers != len(net.W):
        raise ValueError("the start network has %d layers, this one %d" % (layers, len(net.W)))
    H_new = net.hidden
    with torch.no_grad():
        for l in range(layers):
            H_old = state["U.%d" % l].shape[2]
            if H_old > H_new:
                raise ValueError("the start network is wider than this one")
            _gate_rows(net.W[l].data, state["W.%d" % l], H_new, H_old)
            _gate_rows(net.U[l].data, state["U.%d" % l], H_new, H_old)
            for name in ("bW", "bU"):
                b = getattr(net, name)[l].data
                old = state["%s.%d" % (name, l)]
                for g in range(3):
                    b[:, g * H_new:g * H_new + H_old] = old[:, g * H_old:(g + 1) * H_old]
        dim, H_old = state["out_w"].shape
        if dim > net.out_w.shape[0]:
            raise ValueError("the start network's embedding is wider than this one's")
        net.out_w.data.zero_()
        net.out_w.data[:dim, :H_old] = state["out_w"]
        net.out_b.data.zero_()
        net.out_b.data[:dim] = state["out_b"]
        background = F.normalize(state["classes"][0], dim=0)
        net.classes.data[0].zero_()
        net.classes.data[0, :dim] = background * net.classes.data[1:].norm(dim=1).mean()
