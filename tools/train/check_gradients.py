"""Checks the hand-written recurrence against the autograd loop it replaces:
same forward values, same gradients for every parameter and the input, and
torch's numerical gradient check of the scan itself. Runs in seconds; exits
non-zero on any mismatch, 77 (skipped) without torch.

    python3 tools/train/check_gradients.py
"""
import sys

try:
    import torch
except ImportError as e:  # the training packages are an optional install
    print("skipped: training packages not installed (%s)" % e)
    sys.exit(77)

import network


def run(net, x, layer_fn, logits_fn, scale, margin, labels):
    """Forward through the layers with `layer_fn`, then the training loss."""
    net.zero_grad()
    x = x.clone().requires_grad_(True)
    h = x
    for l in range(len(net.W)):
        h = layer_fn(h, l)
    e = network.sat(h @ network.fake_q7(net.out_w).t() + network.fake_q7(net.out_b))
    emb = torch.nn.functional.normalize(e, dim=-1, eps=1e-6)
    logits = logits_fn(emb, labels, scale, margin)
    loss = torch.nn.functional.cross_entropy(logits.reshape(-1, logits.shape[-1]), labels.reshape(-1),
                                             ignore_index=-1)
    loss.backward()
    grads = {name: p.grad.clone() for name, p in net.named_parameters()}
    grads["input"] = x.grad.clone()
    return emb.detach(), loss.detach(), grads


def compare(dtype, layers, hidden, dim, crops, frames, seed):
    g = torch.Generator().manual_seed(seed)
    net = network.EmbeddingNetwork(layers, hidden, dim, 7, seed=seed).to(dtype)
    # non-zero biases and weights near the Q7 limits, so every term is exercised
    with torch.no_grad():
        for p in net.quantised_parameters():
            p.add_(0.3 * torch.randn(p.shape, generator=g, dtype=dtype))
    net.clip_to_q7()
    x = torch.randn(crops, frames, 80, generator=g, dtype=dtype)
    labels = torch.randint(-1, 7, (crops, frames), generator=g)
    emb_new, loss_new, g_new = run(net, x, net.layer, net.logits, 20.0, 0.15, labels)
    emb_ref, loss_ref, g_ref = run(net, x, net.layer_reference, net.logits_reference, 20.0, 0.15, labels)
    return (emb_new - emb_ref).abs().max().item(), abs(loss_new - loss_ref).item(), \
        {k: (g_new[k] - g_ref[k]).abs().max().item() for k in g_ref}, \
        {k: g_ref[k].abs().max().item() for k in g_ref}


def main():
    torch.set_num_threads(1)
    failures = []

    for layers, hidden, crops, frames, seed in ((2, 8, 3, 20, 1), (3, 5, 2, 17, 2), (1, 8, 1, 1, 3)):
        emb_diff, loss_diff, grad_diff, grad_size = compare(torch.float64, layers, hidden, 4, crops, frames, seed)
        worst = max(grad_diff.values())
        print("float64 %d x %d, %d crops of %d frames: embedding diff %.2e, loss diff %.2e, worst gradient diff %.2e"
              % (layers, hidden, crops, frames, emb_diff, loss_diff, worst))
        if emb_diff > 1e-10 or loss_diff > 1e-10:
            failures.append("float64 forward differs (%g)" % max(emb_diff, loss_diff))
        for name, d in grad_diff.items():
            if d > 1e-8:
                failures.append("float64 gradient of %s differs by %g" % (name, d))
            if frames > 1 and grad_size[name] == 0.0:  # one frame: U never meets a non-zero h
                failures.append("gradient of %s is zero: the check proves nothing for it" % name)

    # float32, the training type: the forward is the same arithmetic, so the same bits
    emb_diff, loss_diff, grad_diff, _ = compare(torch.float32, 2, 64, 4, 32, 96, 4)
    print("float32 2 x 64, 4 crops of 96 frames: embedding diff %.2e, loss diff %.2e, worst gradient diff %.2e"
          % (emb_diff, loss_diff, max(grad_diff.values())))
    if emb_diff != 0.0 or loss_diff != 0.0:
        failures.append("float32 forward not bit-identical (%g, %g)" % (emb_diff, loss_diff))
    if max(grad_diff.values()) > 1e-4:
        failures.append("float32 gradients differ by %g" % max(grad_diff.values()))

    g = torch.Generator().manual_seed(5)
    H = 4
    gx = (2.0 * torch.randn(2, 3, 6, 3 * H, generator=g, dtype=torch.float64)).requires_grad_(True)
    U = torch.randn(2, 3 * H, H, generator=g, dtype=torch.float64).requires_grad_(True)
    ok = torch.autograd.gradcheck(network.RecurrentScan.apply, (gx, U), eps=1e-6, atol=1e-8, raise_exception=False)
    print("gradcheck of the scan: %s" % ("passed" if ok else "FAILED"))
    if not ok:
        failures.append("gradcheck of the scan failed")

    for f in failures:
        print("FAIL: " + f)
    print("all checks passed" if not failures else "%d checks failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
