"""Diarizes an archive of audio files on a Dask cluster.

    python3 -m quorva.batch [--scheduler ADDRESS | --workers N] [--threads-per-worker T]
                            [--model FILE] [--num-speakers N | --min-speakers N | --max-speakers N]
                            [--min-duration-off S] --out DIR FILES_OR_LISTS...

Every input is an audio file, or a list file (a name ending in .txt or .list,
or "-" for standard input) with one path per line. Each file gives
DIR/<uri>.rttm, <uri> being its name without directory and extension: the
same bytes `quorva diarize FILE` writes with the same options, written under
a temporary name and then renamed, so that a crash leaves no half file.
DIR/summary.json lists every file's status, error messages, speakers, audio
seconds and compute seconds.

A second run skips the files whose RTTM exists and redoes the failed ones. A
file that fails is reported and never stops the others; the tasks of a
worker that dies are given to the others by the scheduler.

Without --scheduler a local cluster of N worker processes is started. On
machines that share the files, start `dask scheduler` on one and `dask worker
tcp://HOST:8786` on each (with this package importable there, for example
through PYTHONPATH), then pass --scheduler tcp://HOST:8786. Every worker
thread keeps one engine and reuses it across files.
"""
import argparse
import json
import os
import sys
import threading
import time
import uuid
from typing import Callable, Dict, Iterable, List, Optional

from quorva._binding import Engine, QuorvaError

LIST_SUFFIXES = (".txt", ".list")
SUMMARY = "summary.json"
_FRAME_MS = 32

# One engine per worker thread and model, kept for the thread's life.
_engines = threading.local()


def recording_uri(path: str) -> str:
    """The file name without directory and extension, as the CLI names a recording."""
    name = path.rsplit("/", 1)[-1]
    dot = name.rfind(".")
    return name[:dot] if dot > 0 else name


def _seconds_text(ms: int) -> str:
    sign = "-" if ms < 0 else ""
    ms = abs(ms)
    return "%s%d.%03d" % (sign, ms // 1000, ms % 1000)


def rttm_text(uri: str, segments) -> str:
    """The RTTM lines of `quorva diarize` for one recording."""
    lines = []
    for s in segments:
        start = int(round(s.start * 1000.0))
        end = int(round(s.end * 1000.0))
        lines.append("SPEAKER %s 1 %s %s <NA> <NA> speaker%d <NA> <NA>\n"
                     % (uri, _seconds_text(start), _seconds_text(end - start + _FRAME_MS), s.speaker))
    return "".join(lines)


def write_atomically(path: str, text: str) -> None:
    """Writes `text` under a temporary name in the same folder, flushed to the
    disk, then renames it over `path`: readers see the old file or the whole
    new one."""
    folder = os.path.dirname(os.path.abspath(path))
    temporary = os.path.join(folder, ".%s.%d.%d.tmp" % (os.path.basename(path), os.getpid(),
                                                        threading.get_ident()))
    try:
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _engine(model: Optional[str]) -> Engine:
    engines = getattr(_engines, "by_model", None)
    if engines is None:
        engines = _engines.by_model = {}
    engine = engines.get(model)
    if engine is None:
        engine = engines[model] = Engine(model)
    return engine


def diarize_one(path: str, out_dir: str, model: Optional[str], options: Dict) -> Dict:
    """One file on a worker: its RTTM written atomically, and its summary
    entry. Never raises for a bad file: the failure is the entry."""
    uri = recording_uri(path)
    entry = {"path": path, "uri": uri, "status": "SUCCESS", "errors": [], "speakers": [],
             "audio_seconds": 0.0, "compute_seconds": 0.0}
    started = time.perf_counter()
    try:
        result = _engine(model).process_file(path, **options)
        write_atomically(os.path.join(out_dir, uri + ".rttm"), rttm_text(uri, result))
        entry["speakers"] = [{"label": s.label, "speaker": "speaker%d" % s.label,
                              "seconds": round(s.seconds, 3)} for s in result.speakers]
        entry["speaker_count_met"] = result.speaker_count_met
        entry["audio_seconds"] = round(result.audio_seconds, 3)
    except QuorvaError as e:
        entry["status"] = e.status_name
        entry["errors"] = ([e.reason] if e.reason else []) + e.messages
    except Exception as e:  # a full disk, an unwritable folder: this file fails, the run goes on
        entry["status"] = "ERROR"
        entry["errors"] = ["%s: %s" % (type(e).__name__, e)]
    entry["compute_seconds"] = round(time.perf_counter() - started, 3)
    return entry


def read_inputs(arguments: Iterable[str]) -> List[str]:
    """Audio paths from the arguments, list files expanded (blank lines and
    lines starting with # skipped), in order, each path once."""
    paths, seen = [], set()

    def add(p):
        if p not in seen:
            seen.add(p)
            paths.append(p)

    for a in arguments:
        if a == "-":
            lines = sys.stdin.read().splitlines()
        elif a.endswith(LIST_SUFFIXES):
            with open(a, encoding="utf-8") as f:
                lines = f.read().splitlines()
        else:
            add(a)
            continue
        for line in lines:
            line = line.strip()
            if line and not line.startswith("#"):
                add(line)
    return paths


def _previous_entries(out_dir: str) -> Dict[str, Dict]:
    try:
        with open(os.path.join(out_dir, SUMMARY), encoding="utf-8") as f:
            return {e["uri"]: e for e in json.load(f).get("files", [])}
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return {}


def run_batch(paths: List[str], out_dir: str, client, model: Optional[str] = None,
              options: Optional[Dict] = None,
              on_result: Optional[Callable[[Dict, int, int], None]] = None) -> Dict:
    """Diarizes `paths` on the Dask `client` into `out_dir`; returns the summary
    (also written to out_dir/summary.json). on_result(entry, done, total) is
    called as each file finishes."""
    from distributed import as_completed

    # By reference to the importable module, also when this file runs as
    # __main__: workers import it rather than receive a pickled copy.
    from quorva.batch import diarize_one as task

    options = {k: v for k, v in (options or {}).items() if v is not None}
    os.makedirs(out_dir, exist_ok=True)
    model = os.path.abspath(model) if model else None
    previous = _previous_entries(out_dir)
    entries: Dict[int, Dict] = {}
    by_uri: Dict[str, int] = {}
    work = []
    for i, path in enumerate(paths):
        uri = recording_uri(path)
        if uri in by_uri:  # two files would write one RTTM
            entries[i] = {"path": path, "uri": uri, "status": "SKIPPED", "compute_seconds": 0.0,
                          "audio_seconds": 0.0, "speakers": [],
                          "errors": ["another input, %s, has the same name" % paths[by_uri[uri]]]}
            continue
        by_uri[uri] = i
        if os.path.exists(os.path.join(out_dir, uri + ".rttm")):
            old = previous.get(uri)
            entry = dict(old) if old and old.get("status") == "SUCCESS" else {
                "path": path, "uri": uri, "status": "SUCCESS", "errors": [], "speakers": [],
                "audio_seconds": 0.0, "compute_seconds": 0.0}
            entry["skipped"] = True
            entries[i] = entry
            continue
        work.append((i, path))

    started = time.time()
    futures = {}
    run = uuid.uuid4().hex  # keys of this run alone: a key the scheduler still holds
    for i, path in work:    # from an earlier run would hand back that run's result
        future = client.submit(task, path, out_dir, model, options, pure=False,
                               key="quorva-%s-%d-%s" % (run, i, recording_uri(path)))
        futures[future] = i
    done = 0
    for future in as_completed(futures):
        i = futures[future]
        try:
            entry = future.result()
        except Exception as e:  # the task itself was lost (a worker died too often)
            entry = {"path": paths[i], "uri": recording_uri(paths[i]), "status": "ERROR",
                     "errors": ["%s: %s" % (type(e).__name__, e)], "speakers": [],
                     "audio_seconds": 0.0, "compute_seconds": 0.0}
        entries[i] = entry
        done += 1
        if on_result is not None:
            on_result(entry, done, len(work))

    files = [entries[i] for i in sorted(entries)]
    failed = sum(1 for e in files if e["status"] not in ("SUCCESS",))
    summary = {
        "files": files,
        "total_files": len(files),
        "diarized": len(work),
        "skipped": sum(1 for e in files if e.get("skipped")),
        "failed": failed,
        "audio_seconds": round(sum(e.get("audio_seconds", 0.0) for e in files), 3),
        "wall_seconds": round(time.time() - started, 3),
    }
    write_atomically(os.path.join(out_dir, SUMMARY), json.dumps(summary, indent=1) + "\n")
    return summary


def _progress(entry, done, total):
    tail = "" if entry["status"] == "SUCCESS" else ": %s %s" % (entry["status"], " / ".join(entry["errors"]))
    print("quorva.batch: %d/%d %s%s" % (done, total, entry["path"], tail), file=sys.stderr, flush=True)


def _count(text):
    n = int(text)
    if not 1 <= n <= 1000:
        raise argparse.ArgumentTypeError("must be a number from 1 to 1000")
    return n


def _seconds(text):
    v = float(text)
    if not 0.0 <= v <= 3600.0:
        raise argparse.ArgumentTypeError("must be seconds from 0 to 3600")
    return v


def parse_arguments(argv=None):
    p = argparse.ArgumentParser(prog="python3 -m quorva.batch",
                                description="Diarizes many audio files on a Dask cluster.")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler (tcp://HOST:8786)")
    where.add_argument("--workers", type=int, default=None,
                       help="worker processes of a local cluster (default: one per core)")
    p.add_argument("--threads-per-worker", type=int, default=1, help="threads, and engines, per local worker")
    p.add_argument("--model", default=None, help="model file (default: the shipped model)")
    count = p.add_mutually_exclusive_group()
    count.add_argument("--num-speakers", type=_count)
    p.add_argument("--min-speakers", type=_count)
    p.add_argument("--max-speakers", type=_count)
    p.add_argument("--min-duration-off", type=_seconds)
    p.add_argument("--out", required=True, help="folder for the RTTM files and summary.json")
    p.add_argument("inputs", nargs="+", metavar="FILES_OR_LISTS")
    args = p.parse_args(argv)
    if args.num_speakers and (args.min_speakers or args.max_speakers):
        p.error("--num-speakers cannot be given with --min-speakers or --max-speakers")
    if args.min_speakers and args.max_speakers and args.min_speakers > args.max_speakers:
        p.error("--min-speakers is greater than --max-speakers")
    if args.workers is not None and args.workers < 1:
        p.error("--workers must be at least 1")
    return args


def main(argv=None) -> int:
    args = parse_arguments(argv)
    from distributed import Client, LocalCluster

    try:
        paths = read_inputs(args.inputs)
    except OSError as e:
        print("quorva.batch: cannot read the list %s: %s" % (e.filename, e.strerror), file=sys.stderr)
        return 2
    options = {"num_speakers": args.num_speakers, "min_speakers": args.min_speakers,
               "max_speakers": args.max_speakers, "min_duration_off": args.min_duration_off}
    if args.scheduler:
        cluster, client = None, Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers or os.cpu_count() or 1,
                               threads_per_worker=args.threads_per_worker, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        summary = run_batch(paths, args.out, client, args.model, options, _progress)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print("quorva.batch: %d files, %d diarized, %d skipped, %d failed, %.1f s of audio in %.1f s"
          % (summary["total_files"], summary["diarized"], summary["skipped"], summary["failed"],
             summary["audio_seconds"], summary["wall_seconds"]), file=sys.stderr)
    return 1 if summary["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
