"""python3 -m quorva.batch on a local Dask cluster of two workers: the CLI's
results, a damaged file reported, a second run that redoes nothing, and a
worker killed mid-run with every file still done."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "python"))

try:
    import distributed
except ImportError:  # pragma: no cover - install-deps.sh installs it
    distributed = None

from quorva import batch  # noqa: E402

SAMPLE = os.path.join(ROOT, "samples", "ami-dev00.flac")


def tool_path():
    library = os.environ.get("QUORVA_LIBRARY", os.path.join(ROOT, "build", "libzr_quorva.so"))
    return os.path.join(os.path.dirname(library), "quorva")


def cli_rttm(path, *flags):
    return subprocess.run([tool_path(), "diarize", *flags, path], check=True, capture_output=True).stdout


def write_long_wav(path, source_pcm, repeats):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(source_pcm * repeats)


@unittest.skipIf(distributed is None, "python3-distributed is not installed (scripts/install-deps.sh)")
class BatchOnALocalCluster(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.inputs = os.path.join(cls.tmp.name, "in")
        os.makedirs(cls.inputs)
        # The engine's own view of the sample, for WAV copies of other lengths.
        heard = os.path.join(cls.tmp.name, "heard.wav")
        subprocess.run([tool_path(), "decode", SAMPLE, heard], check=True, capture_output=True)
        with wave.open(heard, "rb") as w:
            cls.pcm = w.readframes(w.getnframes())
        cls.good = []
        for name in ("meeting.flac", "copy.flac"):
            shutil.copyfile(SAMPLE, os.path.join(cls.inputs, name))
            cls.good.append(os.path.join(cls.inputs, name))
        for name, repeats in (("double.wav", 2), ("triple.wav", 3)):
            write_long_wav(os.path.join(cls.inputs, name), cls.pcm, repeats)
            cls.good.append(os.path.join(cls.inputs, name))
        with open(SAMPLE, "rb") as f:
            head = f.read(3000)
        cls.damaged = os.path.join(cls.inputs, "damaged.flac")
        with open(cls.damaged, "wb") as f:
            f.write(head)
        cls.listing = os.path.join(cls.tmp.name, "archive.txt")
        with open(cls.listing, "w") as f:
            f.write("# the archive\n" + "\n".join(cls.good + [cls.damaged]) + "\n\n")
        cls.cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                               dashboard_address=None)
        cls.client = distributed.Client(cls.cluster)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.cluster.close()
        cls.tmp.cleanup()

    def test_command_line_results_resume_and_damage(self):
        out = os.path.join(self.tmp.name, "out-cli")
        command = [sys.executable, "-m", "quorva.batch", "--workers", "2", "--out", out, self.listing]
        env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
        first = subprocess.run(command, capture_output=True, text=True, env=env)
        self.assertEqual(first.returncode, 1, first.stderr)  # the damaged file failed
        self.assertIn("quorva.batch: 5 files, 5 diarized, 0 skipped, 1 failed", first.stderr)
        self.assertIn("damaged.flac: IO_ERROR", first.stderr)
        for path in self.good:
            with open(os.path.join(out, batch.recording_uri(path) + ".rttm"), "rb") as f:
                self.assertEqual(f.read(), cli_rttm(path), path)
        self.assertFalse(os.path.exists(os.path.join(out, "damaged.rttm")))
        self.assertEqual([n for n in os.listdir(out) if n.endswith(".tmp")], [])
        with open(os.path.join(out, "summary.json")) as f:
            summary = json.load(f)
        entries = {e["uri"]: e for e in summary["files"]}
        self.assertEqual(entries["damaged"]["status"], "IO_ERROR")
        self.assertTrue(entries["damaged"]["errors"])
        self.assertEqual(entries["double"]["audio_seconds"], 60.0)
        self.assertEqual(entries["meeting"]["status"], "SUCCESS")
        self.assertTrue(entries["meeting"]["speakers"])
        self.assertGreater(entries["triple"]["compute_seconds"], 0.0)

        # Again: the finished files are skipped, their results untouched; the failed one is redone.
        stamps = {n: os.stat(os.path.join(out, n)).st_mtime_ns for n in os.listdir(out) if n.endswith(".rttm")}
        second = subprocess.run(command, capture_output=True, text=True, env=env)
        self.assertIn("quorva.batch: 5 files, 1 diarized, 4 skipped, 1 failed", second.stderr)
        self.assertEqual(stamps, {n: os.stat(os.path.join(out, n)).st_mtime_ns
                                  for n in os.listdir(out) if n.endswith(".rttm")})
        with open(os.path.join(out, "summary.json")) as f:
            again = {e["uri"]: e for e in json.load(f)["files"]}
        self.assertTrue(again["meeting"]["skipped"])
        self.assertEqual(again["meeting"]["speakers"], entries["meeting"]["speakers"])
        self.assertEqual(again["damaged"]["status"], "IO_ERROR")

    def test_options_give_the_cli_results_with_the_same_flags(self):
        out = os.path.join(self.tmp.name, "out-options")
        summary = batch.run_batch(self.good[:2], out, self.client,
                                  options={"num_speakers": 3, "min_duration_off": 0.5})
        self.assertEqual(summary["failed"], 0)
        for path in self.good[:2]:
            with open(os.path.join(out, batch.recording_uri(path) + ".rttm"), "rb") as f:
                self.assertEqual(f.read(), cli_rttm(path, "--num-speakers", "3", "--min-duration-off", "0.5"))
            self.assertEqual(len(summary["files"][self.good.index(path)]["speakers"]), 3)
        # Nothing failed, so a second run has nothing to do.
        again = batch.run_batch(self.good[:2], out, self.client,
                                options={"num_speakers": 3, "min_duration_off": 0.5})
        self.assertEqual((again["diarized"], again["skipped"], again["failed"]), (0, 2, 0))

    def test_a_worker_killed_mid_run_loses_nothing(self):
        files = []
        for k in range(10):
            path = os.path.join(self.tmp.name, "long%02d.wav" % k)
            write_long_wav(path, self.pcm, 8)  # 4 minutes each
            files.append(path)
        out = os.path.join(self.tmp.name, "out-kill")
        pids = self.client.run(os.getpid)
        killed = []

        def kill_one(entry, done, total):
            if not killed:
                victim = sorted(pids.values())[0]
                os.kill(victim, signal.SIGKILL)
                killed.append(victim)

        summary = batch.run_batch(files, out, self.client, on_result=kill_one)
        self.assertEqual(len(killed), 1)
        self.assertEqual(summary["failed"], 0, summary)
        self.assertEqual(summary["diarized"], 10)
        expected = cli_rttm(files[0])
        for path in files:
            with open(os.path.join(out, batch.recording_uri(path) + ".rttm"), "rb") as f:
                text = f.read()
            # The same audio under another name: only the recording name differs.
            self.assertEqual(text.replace(batch.recording_uri(path).encode(), b"long00"), expected)

    def test_inputs_and_names(self):
        self.assertEqual(batch.recording_uri("/a/b/c.d.wav"), "c.d")
        self.assertEqual(batch.recording_uri(".hidden"), ".hidden")
        self.assertEqual(batch.read_inputs([self.listing, self.good[0]]), self.good + [self.damaged])
        out = os.path.join(self.tmp.name, "out-same-name")
        other = os.path.join(self.tmp.name, "meeting.flac")
        shutil.copyfile(SAMPLE, other)
        summary = batch.run_batch([self.good[0], other], out, self.client)
        self.assertEqual([e["status"] for e in summary["files"]], ["SUCCESS", "SKIPPED"])
        self.assertIn("same name", summary["files"][1]["errors"][0])


if __name__ == "__main__":
    unittest.main()
