"""Tests of the Python binding against the built library (QUORVA_LIBRARY)."""

import array
import math
import os
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import quorva  # noqa: E402
from model_file import random_model_bytes  # noqa: E402

try:
    import numpy
except ImportError:
    numpy = None


def speech_like(seconds=4):
    """Two alternating tones, one per second, at 16 kHz."""
    out = array.array("h")
    for i in range(16000 * seconds):
        t = i / 16000.0
        f = 140.0 if int(t) % 2 == 0 else 230.0
        out.append(int(6000 * math.sin(2 * math.pi * f * t) + 2000 * math.sin(2 * math.pi * 3.1 * f * t)))
    return out


class BindingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.model = os.path.join(cls.tmp.name, "model.zr")
        with open(cls.model, "wb") as f:
            f.write(random_model_bytes(seed=5, hidden=12, embedding=6))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def pipeline_or_skip(self, engine, samples):
        try:
            return engine.process(samples)
        except quorva.QuorvaError as e:
            if e.status_name == "RUNTIME_ERROR":
                self.skipTest("zr_quorva_process is not built yet (RUNTIME_ERROR)")
            raise

    def test_identity(self):
        self.assertEqual(quorva.library_version(), "1.0.0")
        self.assertEqual(quorva.sample_rate(), 16000)

    def test_init_failures_carry_status_and_error_stack(self):
        missing = os.path.join(self.tmp.name, "missing.zr")
        with self.assertRaises(quorva.QuorvaError) as cm:
            quorva.Engine(missing)
        e = cm.exception
        self.assertEqual((e.status, e.status_name, e.call), (2, "IO_ERROR", "zr_quorva_init"))
        self.assertEqual(e.messages, [f"Failed to open file `{missing}`."])
        self.assertIn("Failed to open file", str(e))

        wrong = os.path.join(self.tmp.name, "wrong.zr")
        with open(wrong, "wb") as f:
            f.write(random_model_bytes(version=b"1.0.1"))
        with self.assertRaises(quorva.QuorvaError) as cm:
            quorva.Engine(wrong)
        self.assertEqual(cm.exception.status_name, "INVALID_ARGUMENT")
        self.assertEqual(cm.exception.messages, [
            "Quorva model (.zr) file belongs to a different version of the library. "
            "File is `1.0.1` while library is `1.0.0`.",
            "Zirtek Error (code `00000136`)"])
        with self.assertRaises(ValueError):
            quorva.Engine("bad\0path.zr")

    def test_default_model(self):
        try:
            with quorva.Engine() as engine:
                self.assertTrue(engine.model_path.endswith("default.zr"))
        except quorva.QuorvaError as e:
            # No trained model in this tree: the error names the path it tried.
            self.assertEqual(e.status_name, "IO_ERROR")
            self.assertIn("default.zr", e.messages[0])

    def test_argument_errors(self):
        with quorva.Engine(self.model) as engine:
            with self.assertRaises(quorva.QuorvaError) as cm:
                engine.process(array.array("h", [0] * 511))
            self.assertEqual(cm.exception.messages, [
                "Argument `num_samples` value `511` is less than the minimum acceptable value of `512`."])
            with self.assertRaises(quorva.QuorvaError) as cm:
                engine.process([])
            self.assertIn("value `0`", cm.exception.messages[0])
            with self.assertRaises(ValueError):
                engine.process(b"\x00\x01\x02")
            with self.assertRaises(TypeError):
                engine.process(array.array("i", [0] * 1024))
            with self.assertRaises(OverflowError):
                engine.process([40000] * 1024)
            with self.assertRaises(quorva.QuorvaError) as cm:
                engine.process_file(os.path.join(self.tmp.name, "no-such.wav"))
            self.assertNotEqual(cm.exception.status, 0)
            self.assertEqual(cm.exception.call, "zr_quorva_process_file")
            self.assertTrue(cm.exception.messages)

    def test_count_keywords_speakers_and_plain_reasons(self):
        root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
        sample = os.path.join(root, "samples", "ami-dev00.flac")
        with quorva.Engine() as engine:  # the shipped model
            plain = engine.process_file(sample)
            self.assertIsInstance(plain, list)
            self.assertIsInstance(plain, quorva.Diarization)
            self.assertTrue(plain.speaker_count_met)
            for k in (1, 2, 3, 4):
                got = engine.process_file(sample, num_speakers=k)
                self.assertEqual(len({s.speaker for s in got}), k)
                self.assertEqual([s.label for s in got.speakers], list(range(1, k + 1)))
                for speaker in got.speakers:
                    self.assertAlmostEqual(sum(x * x for x in speaker.embedding), 1.0, places=5)
                    seconds = sum(s.end - s.start + 0.032 for s in got if s.speaker == speaker.label)
                    self.assertAlmostEqual(speaker.seconds, seconds, places=2)
            self.assertLessEqual(len({s.speaker for s in engine.process_file(sample, max_speakers=2)}), 2)
            self.assertGreaterEqual(len({s.speaker for s in engine.process_file(sample, min_speakers=3)}), 3)
            filled = engine.process_file(sample, min_duration_off=1.0)
            self.assertLessEqual(len(filled), len(plain))
            many = engine.process_file(sample, num_speakers=1000)
            self.assertFalse(many.speaker_count_met)
            with self.assertRaises(quorva.QuorvaError) as cm:
                engine.process(speech_like(1), min_speakers=3, max_speakers=2)
            self.assertEqual(cm.exception.status_name, "INVALID_ARGUMENT")
            self.assertEqual(cm.exception.messages, [
                "Argument `options.min_speakers` value `3` is greater than argument `options.max_speakers` value `2`."])
            for bad in (float("nan"), -1.0, 1e300):
                with self.assertRaises(quorva.QuorvaError) as cm:
                    engine.process(speech_like(1), min_duration_off=bad)
                self.assertIn("`options.min_duration_off`", cm.exception.messages[0])
            with self.assertRaises(TypeError):
                engine.process(speech_like(1), num_speakers=2.0)
            with self.assertRaises(TypeError):
                engine.process(speech_like(1), num_speakers=True)
            with self.assertRaises(ValueError):
                engine.process(speech_like(1), max_speakers=2 ** 32 + 2)  # would wrap to 2
            missing = os.path.join(self.tmp.name, "missing.wav")
            with self.assertRaises(quorva.QuorvaError) as cm:
                engine.process_file(missing)
            self.assertEqual(cm.exception.reason, f"cannot open '{missing}': No such file or directory")
            self.assertTrue(str(cm.exception).startswith(cm.exception.reason + "\nzr_quorva_process_file failed: IO_ERROR"))
            junk = os.path.join(self.tmp.name, "junk.wav")
            with open(junk, "wb") as f:
                f.write(b"x" * 100)
            with self.assertRaises(quorva.QuorvaError) as cm:
                engine.process_file(junk)
            self.assertEqual(cm.exception.reason, "not a recognised audio format "
                             "(WAV, FLAC, MP3, Ogg Opus/Vorbis, WebM, MP4/M4A/3GP)")

    def test_engine_is_a_context_manager_and_closes_once(self):
        with quorva.Engine(self.model) as engine:
            pass
        with self.assertRaises(ValueError):
            engine.process([0] * 1024)
        with self.assertRaises(ValueError):
            engine.process_file("x.wav")
        engine.close()  # again: nothing happens
        quorva.Engine(self.model)  # dropped at once: freed by the collector

    def test_every_sample_container_gives_the_same_segments(self):
        samples = speech_like()
        with quorva.Engine(self.model) as engine:
            first = self.pipeline_or_skip(engine, samples)
            self.assertEqual(engine.process(samples.tobytes()), first)
            self.assertEqual(engine.process(list(samples)), first)
            if numpy is not None:
                self.assertEqual(engine.process(numpy.array(samples, dtype=numpy.int16)), first)
            previous_end = -1.0
            for s in first:
                self.assertIsInstance(s, quorva.Segment)
                self.assertGreaterEqual(s.speaker, 1)
                self.assertLessEqual(s.start, s.end)
                self.assertGreater(s.start, previous_end)
                previous_end = s.end

    def test_engines_on_threads_agree_and_keep_their_own_errors(self):
        samples = speech_like(2)
        results, errors = {}, {}

        def work(name):
            with quorva.Engine(self.model) as engine:
                try:
                    results[name] = engine.process(samples)
                except quorva.QuorvaError as e:
                    results[name] = e.status_name
                try:
                    engine.process([0] * 100)
                except quorva.QuorvaError as e:
                    errors[name] = e.messages

        threads = [threading.Thread(target=work, args=(n,)) for n in ("a", "b")]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(results["a"], results["b"])
        self.assertEqual(errors["a"], errors["b"])
        self.assertEqual(len(errors["a"]), 1)


class ReadmeExampleTest(unittest.TestCase):
    def test_python_example_compiles(self):
        readme = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
        with open(readme, encoding="utf-8") as f:
            text = f.read()
        section = text[text.index("## Python"):]
        code = section[section.index("```python\n") + 10:section.index("```\n", section.index("```python"))]
        self.assertIn("quorva.Engine(", code)
        compile(code, "README.md", "exec")


if __name__ == "__main__":
    unittest.main()
