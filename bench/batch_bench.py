"""Throughput of python3 -m quorva.batch on a local Dask cluster of 1 and 2
workers: files per second and hours of audio per hour of wall time, over
FILES copies of the quick-start sample repeated to MINUTES minutes each.

    PYTHONPATH=python python3 bench/batch_bench.py [--files 24] [--minutes 5]

The time counts from the first submission to the last result (the cluster is
started before); a first warm-up file loads each worker's engine.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
import wave

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))

import distributed  # noqa: E402

from quorva import batch  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--files", type=int, default=24)
    p.add_argument("--minutes", type=float, default=5.0)
    p.add_argument("--tool", default=os.path.join(ROOT, "build", "quorva"))
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        heard = os.path.join(tmp, "heard.wav")
        subprocess.run([args.tool, "decode", os.path.join(ROOT, "samples", "ami-dev00.flac"), heard], check=True)
        with wave.open(heard, "rb") as w:
            pcm = w.readframes(w.getnframes())
        repeats = max(1, int(round(args.minutes * 60 * 16000 * 2 / len(pcm))))
        files = []
        for k in range(args.files):
            path = os.path.join(tmp, "file%03d.wav" % k)
            with wave.open(path, "wb") as w:
                w.setnchannels(1)
                w.setsampwidth(2)
                w.setframerate(16000)
                w.writeframes(pcm * repeats)
            files.append(path)
        for workers in (1, 2):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                          dashboard_address=None) as cluster, distributed.Client(cluster) as client:
                batch.run_batch(files[:workers], os.path.join(tmp, "warm-%d" % workers), client)
                out = os.path.join(tmp, "out-%d" % workers)
                started = time.perf_counter()
                summary = batch.run_batch(files, out, client)
                wall = time.perf_counter() - started
            audio = summary["audio_seconds"]
            print("%d worker%s: %d files, %.2f h of audio in %.2f s: %.2f files/s, %.0f audio hours per hour"
                  % (workers, "" if workers == 1 else "s", len(files), audio / 3600.0, wall,
                     len(files) / wall, audio / wall), flush=True)


if __name__ == "__main__":
    main()
