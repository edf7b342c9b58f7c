"""Checks of the training pipeline's own arithmetic: the frame labels, the
steadiness term, the dialogue crops, the simulated conversations, the
engine's normalisation, and a model written by the exporter read back by the
engine with the same embeddings.

    python3 -m unittest discover -s tools/train/tests -v

Needs numpy and torch (the optional training packages); skips without them.
The export check also needs build/quorva_features (QUORVA_TOOLS names
another folder).
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile
import unittest
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

try:
    import numpy as np
    import torch
except ImportError as e:  # the training packages are an optional install
    np = torch = None
    MISSING = "training packages not installed (%s)" % e
else:
    MISSING = None
    import common
    import network
    import prepare_data
    import train
    import tune

TOOLS = os.environ.get("QUORVA_TOOLS", os.path.join(HERE, "..", "..", "..", "build"))


@unittest.skipIf(MISSING, MISSING)
class FrameLabels(unittest.TestCase):
    def bridged(self, labels, lengths, longest):
        return train.bridge_pauses(np.array(labels, dtype=np.int32), np.array(lengths), longest).tolist()

    def test_short_pause_of_one_speaker_is_that_speaker(self):
        self.assertEqual(self.bridged([3, 3, 0, 0, 3, 0], [6], 2), [3, 3, 3, 3, 3, 0])

    def test_pauses_that_must_stay_background(self):
        cases = [
            ([3, 0, 0, 0, 3], [5], 2),        # longer than allowed
            ([3, 0, 4], [3], 5),              # another speaker after it
            ([0, 3, 3, 0], [4], 5),           # at the edges of the source
            ([3, 0, 0, 3], [2, 2], 5),        # across two sources
            ([3, -1, 0, 3], [4], 5),          # next to an ignored frame
        ]
        for labels, lengths, longest in cases:
            with self.subTest(labels=labels, lengths=lengths):
                self.assertEqual(self.bridged(labels, lengths, longest), labels)

    def test_input_is_left_alone(self):
        labels = np.array([1, 0, 1], dtype=np.int32)
        train.bridge_pauses(labels, np.array([3]), 4)
        self.assertEqual(labels.tolist(), [1, 0, 1])

    def test_reference_turns_give_speaker_background_and_overlap(self):
        turns = [(0.0, 0.128, "a"), (0.096, 0.192, "b"), (0.256, 0.32, "a")]
        got = prepare_data.rttm_frame_labels(turns, 12, {"a": 5, "b": 6}).tolist()
        self.assertEqual(got, [5, 5, 5, -1, 6, 6, 0, 0, 5, 5, 0, 0])

    def test_energy_labels_mark_frames_25_db_below_the_loud_part(self):
        rows = np.zeros((20, 80), dtype=np.int16)
        rows[:10] = -1000
        rows[10:15] = -1000 - 2559  # just within 25 dB
        rows[15:] = -1000 - 2561
        got = prepare_data.energy_labels(rows, 9)
        self.assertEqual(got.tolist(), [9] * 15 + [0] * 5)


@unittest.skipIf(MISSING, MISSING)
class SteadinessTerm(unittest.TestCase):
    def unit(self, *angles):
        return torch.tensor([[math.cos(a), math.sin(a)] for a in angles], dtype=torch.float64)

    def test_sum_over_runs_of_distance_to_run_direction(self):
        theta = 0.6
        emb = self.unit(0.0, theta, 2.0, 1.0)[None]
        labels = torch.tensor([[1, 1, 2, 0]])
        # run of label 1: both frames theta/2 from their mean direction;
        # run of label 2: one frame, no distance; background: left out
        want = 2 * (1 - math.cos(theta / 2))
        self.assertAlmostEqual(train.consistency_loss(emb, labels).item(), want, places=12)

    def test_runs_end_at_a_change_of_label_and_at_the_end_of_a_crop(self):
        emb = torch.stack([self.unit(0.0, 0.0), self.unit(1.5, 1.5)])
        self.assertAlmostEqual(train.consistency_loss(emb, torch.tensor([[1, 1], [1, 1]])).item(), 0.0,
                               places=12)
        # the same label resumed after another one is a new run
        emb = self.unit(0.0, 1.0, 1.5)[None]
        self.assertAlmostEqual(train.consistency_loss(emb, torch.tensor([[4, 2, 4]])).item(), 0.0,
                               places=12)

    def test_per_speaker_joins_the_runs_of_one_label_in_a_crop(self):
        emb = self.unit(0.0, 1.0, 0.6, 1.5)[None]
        labels = torch.tensor([[4, 2, 4, 0]])
        # label 4's two runs share the direction 0.3: each frame 0.3 from it
        self.assertAlmostEqual(train.consistency_loss(emb, labels, per_speaker=True).item(),
                               2 * (1 - math.cos(0.3)), places=12)
        # but not across crops
        emb = torch.stack([self.unit(0.0, 1.0), self.unit(1.0, 0.0)])
        self.assertAlmostEqual(train.consistency_loss(emb, torch.tensor([[4, 2], [2, 4]]), per_speaker=True).item(),
                               0.0, places=12)

    def test_separation_counts_close_speakers_of_one_crop_by_their_frames(self):
        # crop 0: label 3 at angle 0 (two frames), label 5 at 0.5, background, an ignored frame;
        # crop 1: the same two labels far apart, and a lone speaker that has nobody to be near
        emb = torch.stack([self.unit(0.0, 0.0, 0.5, 0.5, 0.5), self.unit(0.0, 0.0, 3.0, 3.0, 3.0)])
        emb = torch.cat([emb, self.unit(0.0, 0.0, 0.0, 0.0, 0.0)[None]])
        labels = torch.tensor([[3, 3, 5, 0, -1], [3, 3, 5, 5, 5], [7, 7, 7, 7, 7]])
        excess = math.cos(0.5) - 0.3
        self.assertAlmostEqual(train.separation_loss(emb, labels, 0.3).item(), 3 * excess, places=12)
        self.assertAlmostEqual(train.separation_loss(emb, labels, 0.95).item(), 0.0, places=12)
        self.assertEqual(train.separation_loss(emb[2:], labels[2:], 0.3).item(), 0.0)


@unittest.skipIf(MISSING, MISSING)
class Normalisation(unittest.TestCase):
    def test_matches_the_integer_formula_with_floor_shift_and_saturation(self):
        rng = np.random.default_rng(5)
        raw = rng.integers(-32768, 1, size=(50, 80)).astype(np.int16)
        raw[0, :] = -32768
        mean = rng.integers(-20000, 0, size=80).astype(np.int16)
        scale = rng.integers(0, 32768, size=80).astype(np.int16)
        got = common.normalise(raw, mean, scale)
        for i in range(raw.shape[0]):
            for j in range(80):
                v = ((int(raw[i, j]) - int(mean[j])) * int(scale[j])) // 1024  # floor, as >> does
                self.assertEqual(int(got[i, j]), max(-32768, min(32767, v)))


@unittest.skipIf(MISSING, MISSING)
class DialogueCrops(unittest.TestCase):
    """Crops of two voices taking turns: the voices alternate with pauses
    between them, and each keeps one channel for the whole crop."""

    def sampler(self, folder, dialogue):
        # three steady voices (labels 1 to 3, constant bands) and the non-speech source last
        lengths = [400, 400, 400, 300]
        rows = np.concatenate([np.full((n, 80), -4000 - 1000 * i, dtype=np.int16) for i, n in enumerate(lengths)])
        labels = np.concatenate([np.full(n, i + 1 if i < 3 else 0, dtype=np.int32) for i, n in enumerate(lengths)])
        np.savez(os.path.join(folder, "train.npz"), rows=rows, labels=labels, lengths=np.array(lengths), classes=4)
        mean, scale = np.full(40, -6000, dtype=np.int16), np.full(40, 512, dtype=np.int16)
        return train.CropSampler(folder, mean, scale, np.random.default_rng(5), 0, 0.5, dialogue)

    def test_two_voices_alternate_and_keep_their_channel(self):
        with tempfile.TemporaryDirectory() as d:
            sampler = self.sampler(d, 1.0)
            for _ in range(20):
                x, y = sampler.batch(192, 1)
                x, y = x[0].numpy(), y[0].numpy()
                turns = [int(v) for k, v in enumerate(y) if v > 0 and (k == 0 or y[k - 1] != v)]
                self.assertEqual(len(set(turns)), 2)
                self.assertTrue(all(a != b for a, b in zip(turns, turns[1:])))  # a pause never joins one voice's turns
                for voice in set(turns):
                    frames = x[y == voice]
                    self.assertTrue((frames == frames[0]).all())  # one level and band curve for all its turns

    def test_same_channel_voices_share_one_kind_of_chain_and_one_band_curve(self):
        # voices 1 and 3 are clean, 2 and 4 went through rooms and MP3: a shared
        # channel pairs voices of one kind, and one band curve leaves their
        # difference flat over the bands (a level step), where two looks do not
        chains = ["clean", "room 0.31 s, noise 9 dB, mp3", "clean", "room 0.74 s, noise 21 dB, mp3", "clean"]
        lengths = [400, 400, 400, 400, 300]
        rows = np.concatenate([np.full((n, 80), -5000, dtype=np.int16) for n in lengths])
        labels = np.concatenate([np.full(n, i + 1 if i < 4 else 0, dtype=np.int32) for i, n in enumerate(lengths)])
        mean, scale = np.full(40, -6000, dtype=np.int16), np.full(40, 512, dtype=np.int16)

        def pairs(same):
            with tempfile.TemporaryDirectory() as d:
                np.savez(os.path.join(d, "train.npz"), rows=rows, labels=labels, lengths=np.array(lengths),
                         classes=5)
                with open(os.path.join(d, "sources.txt"), "w") as f:
                    f.writelines("s%d\t%d frames\t%s\n" % (i, n, c) for i, (n, c) in enumerate(zip(lengths, chains)))
                sampler = train.CropSampler(d, mean, scale, np.random.default_rng(7), 0, 1.0, 1.0, same)
                out = []
                for _ in range(40):
                    x, y = sampler.dialogue(192)
                    a, b = sorted(set(int(v) for v in y if v > 0))
                    step = x[y == a][0] - x[y == b][0]
                    out.append(((a, b), float(step.max() - step.min())))
                return out

        shared = pairs(1.0)
        self.assertTrue(all(p in ((1, 3), (2, 4)) for p, _ in shared))
        self.assertLess(max(spread for _, spread in shared), 0.05)
        apart = pairs(0.0)
        self.assertTrue(any(p not in ((1, 3), (2, 4)) for p, _ in apart))
        self.assertGreater(max(spread for _, spread in apart), 0.2)

    def test_without_dialogue_the_random_stream_is_the_plain_crops(self):
        # a share of 0 draws nothing more, so earlier runs stay reproducible
        with tempfile.TemporaryDirectory() as d:
            x, y = self.sampler(d, 0.0).batch(96, 4)
            plain = self.sampler(d, 0.0)
            xs, ys = zip(*(plain.crop(96) for _ in range(4)))
            self.assertTrue(np.array_equal(x.numpy(), np.stack(xs)))
            self.assertTrue(np.array_equal(y.numpy(), np.stack(ys)))


    def test_narrowband_limits_both_voices_of_a_dialogue_and_keeps_the_low_bands(self):
        # voices at three levels with flat bands: a telephone piece keeps its
        # low bands (the voices stay apart there) and has its top bands at a
        # floor that does not follow the voice; a dialogue is limited as a whole
        with tempfile.TemporaryDirectory() as d:
            self.sampler(d, 1.0)  # writes the cache
            mean, scale = np.full(40, -6000, dtype=np.int16), np.full(40, 512, dtype=np.int16)
            sampler = train.CropSampler(d, mean, scale, np.random.default_rng(3), 0, 0.0, 1.0, 0.0, 0.5)
            kinds, gaps = [], []
            for _ in range(40):
                x, y = sampler.dialogue(192)
                voices = sorted(set(int(v) for v in y if v > 0))
                narrow = []
                for v in voices:
                    frames = x[y == v]
                    low, top = frames[:, 2:26], frames[:, 36:40]
                    self.assertLess(float(low.std(axis=0).max()), 1e-6)  # the speech bands are untouched
                    narrow.append(bool((top < low[:, :4] - 1.0).all()))
                self.assertEqual(len(set(narrow)), 1)  # one line carries both voices
                kinds.append(narrow[0])
                if narrow[0]:
                    tops = [float(x[y == v][:, 36:40].mean()) for v in voices]
                    lows = [float(x[y == v][:, 10].mean()) for v in voices]
                    self.assertLess(abs(tops[0] - tops[1]), 0.05)  # the line's floor, not the voice's level
                    gaps.append(abs(lows[0] - lows[1]))
            self.assertEqual(set(kinds), {True, False})
            self.assertGreater(max(gaps), 1.0)

    def test_line_noise_moves_the_speech_bands_of_telephone_pieces_alone(self):
        # flat, steady voices: any spread over the frames of a voice is the
        # codec's error, which only telephone lines have, one size per line
        with tempfile.TemporaryDirectory() as d:
            self.sampler(d, 1.0)  # writes the cache
            mean, scale = np.full(40, -6000, dtype=np.int16), np.full(40, 512, dtype=np.int16)
            sampler = train.CropSampler(d, mean, scale, np.random.default_rng(4), 0, 0.0, 1.0, 0.0, 0.5, 600.0)
            spreads = []
            for _ in range(40):
                x, y = sampler.dialogue(192)
                voices = sorted(set(int(v) for v in y if v > 0))
                low = [x[y == v][:, 2:26] for v in voices]
                narrow = bool((x[y == voices[0]][:, 36:40] < low[0][:, :4] - 1.0).all())
                spread = [float(l.std()) for l in low]
                if not narrow:
                    self.assertEqual(max(spread), 0.0)
                    continue
                self.assertLess(max(spread), 1.15 * 600 / 2048)  # in input units: 512 / 1024 / 1024 per unit
                if min(spread) > 0.03:
                    self.assertLess(max(spread) / min(spread), 1.3)  # one line, one codec error
                spreads.append(min(spread))
            self.assertGreater(len(spreads), 5)
            self.assertGreater(max(spreads), 0.15)

@unittest.skipIf(MISSING, MISSING)
class CleanTwins(unittest.TestCase):
    """Each crop's clean twin: the same frames of the clean recording that
    each piece's copy was made from, for the invariance term."""

    def test_every_frame_meets_its_own_clean_frame(self):
        # two voices at two speeds' worth of sources: clean, then its copies
        # (the second copy a frame shorter, as codecs leave them); the clean
        # frames count up, each copy is its clean recording 3000 lower
        names = ["a", "a", "a", "b", "b", "noise"]
        chains = ["clean", "room 0.4 s, mp3", "noise 12 dB", "clean", "room 0.7 s", "clean"]
        lengths = [300, 300, 299, 250, 250, 200]
        ramps = [np.arange(300), np.arange(300), np.arange(299), np.arange(250), np.arange(250), np.zeros(200)]
        base = [-9000, -12000, -12000, -6000, -9000, -20000]
        rows = np.concatenate([np.repeat((b + r)[:, None], 80, 1) for b, r in zip(base, ramps)]).astype(np.int16)
        labels = np.concatenate([np.full(n, (1, 1, 1, 2, 2, 0)[i], dtype=np.int32) for i, n in enumerate(lengths)])
        mean, scale = np.full(40, 0, dtype=np.int16), np.full(40, 1024, dtype=np.int16)
        with tempfile.TemporaryDirectory() as d:
            np.savez(os.path.join(d, "train.npz"), rows=rows, labels=labels, lengths=np.array(lengths), classes=3)
            with open(os.path.join(d, "sources.txt"), "w") as f:
                f.writelines("%s\t%d frames\t%s\n" % t for t in zip(names, lengths, chains))
            self.assertEqual(train.clean_sources(d, 5).tolist(), [0, 0, 0, 3, 3, 5])
            sampler = train.CropSampler(d, mean, scale, np.random.default_rng(2), 0, 0.5, 0.5, clean_inputs=True)
            for source in range(5):
                raw, _ = sampler.piece(source, 299, (0, None, None, None))
                clean = sampler._clean_pieces.pop()
                self.assertTrue(np.array_equal(clean - raw, np.full_like(raw, 3000 * (source not in (0, 3)))))
            self.assertEqual(sampler._clean_pieces, [])
            for _ in range(30):
                x, y = sampler.batch(160, 2)
                clean = sampler.clean.numpy() * 1024.0
                self.assertEqual(clean.shape, x.shape)
                steady = clean[..., 0][:, :, None] == clean  # a clean frame holds one value over its bands
                self.assertTrue(steady.all())
                value = clean[..., 0]
                for voice, low, high in ((1, -9000, -8701), (2, -6000, -5751)):
                    on = value[y.numpy() == voice]
                    self.assertTrue(((on >= low) & (on <= high)).all())  # the voice's own clean recording
        # without the option nothing more is kept or drawn
        with tempfile.TemporaryDirectory() as d:
            np.savez(os.path.join(d, "train.npz"), rows=rows, labels=labels, lengths=np.array(lengths), classes=3)
            plain = train.CropSampler(d, mean, scale, np.random.default_rng(2), 0, 0.5, 0.5)
            plain.batch(160, 2)
            self.assertIsNone(plain.clean)


@unittest.skipIf(MISSING, MISSING)
class OverlapFloor(unittest.TestCase):
    def test_earliest_started_speaker_holds_the_overlap(self):
        with tempfile.TemporaryDirectory() as d:
            ref, hyp = os.path.join(d, "ref.rttm"), os.path.join(d, "floor.rttm")
            tune.write_turns(ref, [("f", 0.0, 1.0, "a"), ("f", 0.5, 2.0, "b"), ("g", 0.2, 0.3, "c")])
            tune.overlap_floor_hypothesis(tune.EvalSet("x", [], ref), hyp)
            got = [(f, round(a, 2), round(b, 2), s) for f, a, b, s in tune.read_turns(hyp)]
        self.assertEqual(got, [("f", 0.0, 1.0, "a"), ("f", 1.0, 2.0, "b"), ("g", 0.2, 0.3, "c")])


@unittest.skipIf(MISSING, MISSING)
class ThresholdSearch(unittest.TestCase):
    """A narrow dip at the grid's edge (one lucky setting) against a broad
    basin: the smoothed search must keep the basin, the plain one takes the dip."""
    GRID = {"a": [0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6], "b": [0.0, 1.0, 2.0, 3.0, 4.0]}

    def objective(self, th):
        self.calls.append(tuple(sorted(th.items())))
        lucky = 1.9 if th["a"] == 0.0 else 2.0 + 6.0 * abs(th["a"] - 0.4)
        return lucky + abs(th["b"] - 2.0)

    def search(self, smooth):
        self.calls = []
        return tune.coordinate_search(self.objective, {"a": 0.3, "b": 3.0}, self.GRID, ("a", "b"),
                                      rounds=2, smooth=smooth, log=lambda *a, **k: None)

    def test_smoothing_prefers_a_setting_whose_neighbours_hold(self):
        self.assertEqual(self.search(smooth=True), ({"a": 0.4, "b": 2.0}, 2.0))
        self.assertEqual(self.search(smooth=False), ({"a": 0.0, "b": 2.0}, 1.9))

    def test_each_setting_is_measured_once(self):
        self.search(smooth=True)
        self.assertEqual(len(self.calls), len(set(self.calls)))

    def test_a_second_start_reaches_a_basin_one_threshold_at_a_time_cannot(self):
        # the best setting needs both thresholds moved at once
        def objective(th):
            return 1.0 if (th["a"], th["b"]) == (0.6, 4.0) else 2.0 + abs(th["b"] - 2.0) + abs(th["a"] - 0.3)

        def search(starts):
            return tune.coordinate_search(objective, starts, self.GRID, ("a", "b"), rounds=2, smooth=False,
                                          log=lambda *a, **k: None)
        self.assertEqual(search({"a": 0.3, "b": 3.0}), ({"a": 0.3, "b": 2.0}, 2.0))
        self.assertEqual(search([{"a": 0.3, "b": 3.0}, {"a": 0.6, "b": 4.0}]), ({"a": 0.6, "b": 4.0}, 1.0))


@unittest.skipIf(MISSING, MISSING)
class SimulatedConversations(unittest.TestCase):
    """The held-out sets are rebuilt from their seed: asking for more
    conversations must leave the first ones as they were, so figures stay
    comparable across set sizes."""

    def build(self, root, count):
        speakers = ["s%d" % i for i in range(5)]
        for spk in speakers:
            os.makedirs(os.path.join(root, "data", "speakers/librispeech", spk), exist_ok=True)
            open(os.path.join(root, "data", "speakers/librispeech", spk, "u.flac"), "w").close()

        def decode(tools, path, cache):  # a voice of its own per speaker, 10 s
            spk = int(os.path.basename(os.path.dirname(path))[1:])
            t = np.arange(16000 * 10) / 16000.0
            return 4000 * np.sin(2 * np.pi * (100 + 30 * spk) * t)

        args = argparse.Namespace(data=os.path.join(root, "data"), tools=None, cache=root, conversations=count)
        folder = os.path.join(root, "n%d" % count)
        common.build_conversations(args, speakers, folder, 8, decode)
        return folder

    def test_first_conversations_do_not_depend_on_the_count(self):
        with tempfile.TemporaryDirectory() as d:
            few, many = self.build(d, 2), self.build(d, 5)
            self.assertEqual(len(os.listdir(few)), 4)
            self.assertEqual(len(os.listdir(many)), 10)
            for i in range(2):
                for ext in (".wav", ".rttm"):
                    with open(os.path.join(few, "n2%02d%s" % (i, ext)), "rb") as a, \
                            open(os.path.join(many, "n5%02d%s" % (i, ext)), "rb") as b:
                        self.assertEqual(a.read().replace(b"n200", b"n500").replace(b"n201", b"n501"), b.read())
            for i in range(5):
                name = os.path.join(many, "n5%02d" % i)
                with open(name + ".rttm") as f:
                    turns = [line.split() for line in f]
                self.assertTrue(2 <= len({t[7] for t in turns}) <= 4)
                with wave.open(name + ".wav") as w:
                    seconds = w.getnframes() / 16000.0
                self.assertLessEqual(max(float(t[3]) + float(t[4]) for t in turns), seconds)


@unittest.skipIf(MISSING, MISSING)
class ExportedModel(unittest.TestCase):
    """A small random network, exported, must give the engine the embeddings
    the training code computes: the file layout, the quantisation, the
    windowing and the normalisation all meet here."""

    def test_engine_and_training_code_agree(self):
        features = os.path.join(TOOLS, "quorva_features")
        if not os.path.exists(features):
            self.skipTest("no %s: build the project first" % features)
        net = network.EmbeddingNetwork(2, 16, 8, 5, seed=3)
        with torch.no_grad():
            for p in net.quantised_parameters():
                p.mul_(2.0)  # larger than at initialisation, to reach the nonlinearities' ends
        net.clip_to_q7()
        rng = np.random.default_rng(11)
        t = np.arange(16000 * 7) / 16000.0
        pcm = (3000 * np.sin(2 * np.pi * (150 + 40 * np.sin(t)) * t) * (np.sin(3 * t) > -0.3)
               + rng.normal(0, 200, t.shape)).astype(np.int16)
        with tempfile.TemporaryDirectory() as d:
            audio, feats = os.path.join(d, "a.wav"), os.path.join(d, "a.i16")
            model, emb = os.path.join(d, "m.zr"), os.path.join(d, "e.f32")
            common.write_wav(audio, pcm)
            subprocess.run([features, "features", audio, feats], check=True)
            raw = np.fromfile(feats, dtype="<i2").reshape(-1, 80)
            mean, scale = common.normaliser_from(raw[:, :40])
            background = net.background_embedding()
            window, context = 64, 8
            network.export_model(model, net, mean, scale, window, context, (0.3, 0.4, 0.2, 0.25), background)
            network.set_thresholds(model, (0.1, 0.2, 0.3, 0.35))
            with open(model, "rb") as f:
                data = f.read()
            off = network.find_threshold_offset(data)
            self.assertEqual(np.frombuffer(data, "<f4", 4, off).tolist(),
                             np.array([0.1, 0.2, 0.3, 0.35], dtype=np.float32).tolist())
            self.assertEqual(network.windowing_of(data), (window, context))
            subprocess.run([features, "embed", model, audio, emb], check=True)
            engine = np.fromfile(emb, dtype="<f4").reshape(len(raw), -1)
        norm = common.normalise(raw, np.tile(mean, 2), np.tile(scale, 2))
        # the sizes of a saved network come back from its tensors alone
        net = network.network_from_state(net.state_dict())
        self.assertEqual((len(net.W), net.hidden, net.out_w.shape[0]), (2, 16, 8))
        ours = network.windowed_embeddings(net, norm, window, context)
        self.assertGreater(len(raw), 3 * window)  # several windows
        cos = (engine * ours).sum(1) / (np.linalg.norm(engine, axis=1) * np.linalg.norm(ours, axis=1))
        self.assertGreater(cos.min(), 0.99)
        self.assertGreater(cos.mean(), 0.999)


if __name__ == "__main__":
    unittest.main()


@unittest.skipIf(MISSING, MISSING)
class ChannelCopies(unittest.TestCase):
    """A channel copy keeps the clean recording's frame labels, so it must
    stay sample-aligned with it: same length and no delay, whatever the
    codec or the room adds."""

    def voice(self):
        rng = np.random.default_rng(5)
        t = np.arange(16000 * 4) / 16000.0
        f0 = 140 + 30 * np.sin(2 * np.pi * 0.7 * t)
        x = sum(np.sin(2 * np.pi * k * np.cumsum(f0) / 16000.0) / k for k in range(1, 20))
        return (4000 * x * (np.sin(2 * np.pi * 0.9 * t) > -0.2) + rng.normal(0, 30, t.shape)).astype(np.int16)

    def test_align_undoes_a_delay_and_keeps_the_length(self):
        pcm = self.voice()
        late = np.concatenate([np.zeros(1105, dtype=np.int16), pcm])[:len(pcm) - 300]
        early = pcm[700:]
        inverted = -np.concatenate([np.zeros(160, dtype=np.int16), pcm])
        for shifted in (late, early, inverted):
            out = import_augment().align(shifted, pcm)
            self.assertEqual(len(out), len(pcm))
            c = np.corrcoef(out[2000:-2000].astype(float), pcm[2000:-2000].astype(float))[0, 1]
            self.assertGreater(abs(c), 0.999)

    def test_amr_copies_are_the_same_each_time(self):
        augment = import_augment()
        if not augment.can_encode("amr"):
            self.skipTest("no AMR-NB encoder")
        with tempfile.TemporaryDirectory() as d:
            src = os.path.join(d, "in.wav")
            common.write_wav(src, self.voice())
            made = []
            for k in range(2):
                augment.encode_amr(src, os.path.join(d, "%d.3gp" % k), 7)
                with open(os.path.join(d, "%d.3gp" % k), "rb") as f:
                    made.append(f.read())
            self.assertEqual(made[0], made[1])

    def test_codec_round_trips_stay_aligned(self):
        quorva = os.path.join(TOOLS, "quorva")
        if not os.path.exists(quorva):
            self.skipTest("no %s: build the project first" % quorva)
        augment = import_augment()
        pcm = self.voice()
        for name in augment.CODECS:
            if not augment.can_encode(name):
                continue
            with self.subTest(codec=name):
                out = augment.codec_round_trip(pcm, name, np.random.default_rng(1), quorva)
                self.assertEqual(len(out), len(pcm))
                c = [abs(np.corrcoef(np.roll(out, k).astype(float), pcm.astype(float))[0, 1]) for k in (-3, 0, 3)]
                self.assertEqual(int(np.argmax(c)), 1, "codec %s left a delay: %s" % (name, c))

    def test_rooms_and_noise_keep_length_and_level(self):
        augment = import_augment()
        pcm = self.voice()
        rng = np.random.default_rng(2)
        y = augment.reverberate(pcm, rng, 0.8)
        self.assertEqual(len(y), len(pcm))
        self.assertAlmostEqual(np.sqrt((y ** 2).mean()) / np.sqrt((pcm.astype(float) ** 2).mean()), 1.0, places=6)
        for snr in (5.0, 20.0):
            noisy = augment.add_noise(pcm.astype(float), rng, snr, [pcm])
            noise = noisy - pcm
            measured = 10 * np.log10(augment.speech_power(pcm.astype(float)) / (noise ** 2).mean())
            self.assertAlmostEqual(measured, snr, places=6)

    def test_far_copies_are_rooms_and_leave_the_other_copies_as_they_were(self):
        quorva_features = os.path.join(TOOLS, "quorva_features")
        if not os.path.exists(quorva_features):
            self.skipTest("no %s: build the project first" % quorva_features)
        pcm = self.voice()
        prepare_data._init_worker(TOOLS, [pcm])
        # (seed, pcm, first class, speeds, copies, far copies, narrowband, turns)
        plain = prepare_data.make_sources((3, pcm, 1, (1.1,), 1, 0, False, None))
        far = prepare_data.make_sources((3, pcm, 1, (1.1,), 1, 2, False, None))
        self.assertEqual(len(plain), 4)
        self.assertEqual(len(far), 8)
        for k in range(2):  # per speed: clean, the ordinary copy, then the far ones
            for a, b in zip(plain[2 * k:2 * k + 2], far[4 * k:4 * k + 2]):
                self.assertEqual(a[2], b[2])
                np.testing.assert_array_equal(a[0], b[0])
            for rows, labels, what in far[4 * k + 2:4 * k + 4]:
                self.assertTrue(what.startswith("room "), what)
                self.assertFalse(any(c in what for c in import_augment().CODECS), what)
                self.assertEqual(len(rows), len(far[4 * k][0]))


def import_augment():
    import augment
    return augment


@unittest.skipIf(MISSING, MISSING)
class StartNetwork(unittest.TestCase):
    """Training can start from a shipped model file: its weights read back
    exactly, and a wider or longer-embedding network built from them computes
    the same embeddings before its first step."""

    def test_model_file_reads_back_and_widening_keeps_the_function(self):
        net = network.EmbeddingNetwork(2, 16, 8, 5, seed=4)
        net.clip_to_q7()
        mean = np.arange(40, dtype=np.int16) - 20
        scale = np.full(40, 900, dtype=np.int16)
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "m.zr")
            network.export_model(path, net, mean, scale, 64, 8, (0.2, 0.5, 0.1, 0.15), net.background_embedding())
            state, m, s = network.read_model_file(path)
        self.assertEqual(m.tolist(), mean.tolist())
        self.assertEqual(s.tolist(), scale.tolist())
        for l in range(2):
            for d_ in range(2):
                self.assertTrue(torch.equal(state["W.%d" % l][d_], torch.from_numpy(network.q7(net.W[l][d_]) / 128.0)))
                self.assertTrue(torch.equal(state["bU.%d" % l][d_], torch.from_numpy(network.q7(net.bU[l][d_]) / 128.0)))
        self.assertTrue(torch.equal(state["out_w"], torch.from_numpy(network.q7(net.out_w) / 128.0)))
        x = torch.randn(3, 40, 80)
        with torch.no_grad():
            quantised = network.EmbeddingNetwork(2, 16, 8, 5)
            network.initialise_from(quantised, state)
            reference = quantised(x)
            wide = network.EmbeddingNetwork(2, 24, 12, 7, seed=9)
            network.initialise_from(wide, state)
            out = wide(x)
        self.assertLess((out[..., :8] - reference).abs().max().item(), 1e-5)
        self.assertEqual(out[..., 8:].abs().max().item(), 0.0)
        # the background direction survives, padded
        self.assertGreater(torch.nn.functional.cosine_similarity(
            wide.classes[0, :8], torch.from_numpy(net.background_embedding()), dim=0).item(), 0.999)
        with self.assertRaises(ValueError):
            network.initialise_from(network.EmbeddingNetwork(2, 8, 8, 5), state)
