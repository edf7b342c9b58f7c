"""ctypes declarations of the C API and the Engine class built on them."""

import array
import ctypes
import ctypes.util
import math
import os
from typing import List, NamedTuple, Optional, Tuple

_STATUS_SUCCESS = 0
_STATUS_OUT_OF_MEMORY = 1

# Segment times are the start times of 32 ms frames.
FRAME_SECONDS = 0.032


class Segment(NamedTuple):
    """A stretch of time attributed to one speaker.

    start and end are the start times of the first and last 32 ms frame of the
    stretch, in seconds, as the library reports them; the speech runs until
    end + 0.032 s. speaker is the label 1..K, numbered per call.
    """

    start: float
    end: float
    speaker: int


class Speaker(NamedTuple):
    """One speaker of a result: its label, the seconds of its segments (each
    covering its last 32 ms frame), and the unit-length mean embedding of its
    frames, to compare speakers across recordings by cosine similarity."""

    label: int
    seconds: float
    embedding: Tuple[float, ...]


class Diarization(list):
    """The segments of one call (a list of Segment), with the speakers.

    speakers: a Speaker per label, in label order. speaker_count_met: False
    when num_speakers or min_speakers asked for more speakers than the
    recording's speech allowed. audio_seconds: the length of the audio.
    """

    def __init__(self, segments, speakers, speaker_count_met, audio_seconds=0.0):
        super().__init__(segments)
        self.speakers = list(speakers)
        self.speaker_count_met = bool(speaker_count_met)
        self.audio_seconds = float(audio_seconds)


class QuorvaError(Exception):
    """A failed library call: the status code, its name and the error stack,
    led by a plain reason (reason) when a file cannot be opened or read."""

    def __init__(self, status: int, status_name: str, messages: List[str], call: str,
                 reason: Optional[str] = None):
        self.status = status
        self.status_name = status_name
        self.messages = list(messages)
        self.call = call
        self.reason = reason
        text = f"{call} failed: {status_name}"
        if messages:
            text += "\n  " + "\n  ".join(messages)
        if reason:
            text = reason + "\n" + text
        super().__init__(text)


class _CSegment(ctypes.Structure):
    _fields_ = [
        ("start_seconds", ctypes.c_float),
        ("end_seconds", ctypes.c_float),
        ("speaker_label", ctypes.c_int32),
    ]


class _COptions(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_uint32),
        ("num_speakers", ctypes.c_int32),
        ("min_speakers", ctypes.c_int32),
        ("max_speakers", ctypes.c_int32),
        ("min_duration_off", ctypes.c_float),
    ]


class _CSpeaker(ctypes.Structure):
    _fields_ = [
        ("speaker_label", ctypes.c_int32),
        ("seconds", ctypes.c_float),
        ("embedding", ctypes.POINTER(ctypes.c_float)),
    ]


class _CResult(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_uint32),
        ("num_segments", ctypes.c_int32),
        ("segments", ctypes.POINTER(_CSegment)),
        ("num_speakers", ctypes.c_int32),
        ("speakers", ctypes.POINTER(_CSpeaker)),
        ("embedding_dimension", ctypes.c_int32),
        ("speaker_count_met", ctypes.c_int32),
        ("audio_seconds", ctypes.c_double),
    ]


def _library_candidates():
    env = os.environ.get("QUORVA_LIBRARY")
    if env:
        yield env
        return
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(os.path.dirname(here))
    # The source tree's build directory, then an install tree's lib directory.
    for base in (os.path.join(root, "build"), os.path.join(root, "lib")):
        yield os.path.join(base, "libzr_quorva.so")
    found = ctypes.util.find_library("zr_quorva")
    if found:
        yield found
    yield "libzr_quorva.so.1"


def _load_library():
    errors = []
    for candidate in _library_candidates():
        if os.sep in candidate and not os.path.exists(candidate):
            continue
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as e:
            errors.append(f"{candidate}: {e}")
            continue
        _declare(lib)
        return lib
    raise OSError("libzr_quorva.so not found; set QUORVA_LIBRARY to its path"
                  + ("".join("\n  " + e for e in errors)))


def _declare(lib):
    status = ctypes.c_int32
    engine_p = ctypes.c_void_p
    seg_pp = ctypes.POINTER(ctypes.POINTER(_CSegment))
    signatures = {
        "zr_status_to_string": (ctypes.c_char_p, [status]),
        "zr_get_error_stack": (status, [ctypes.POINTER(ctypes.POINTER(ctypes.c_char_p)),
                                        ctypes.POINTER(ctypes.c_int32)]),
        "zr_free_error_stack": (None, [ctypes.POINTER(ctypes.c_char_p)]),
        "zr_quorva_version": (ctypes.c_char_p, []),
        "zr_sample_rate": (ctypes.c_int32, []),
        "zr_quorva_init": (status, [ctypes.c_char_p, ctypes.POINTER(engine_p)]),
        "zr_quorva_delete": (None, [engine_p]),
        "zr_quorva_process": (status, [engine_p, ctypes.POINTER(ctypes.c_int16), ctypes.c_int32,
                                       ctypes.POINTER(ctypes.c_int32), seg_pp]),
        "zr_quorva_process_file": (status, [engine_p, ctypes.c_char_p,
                                            ctypes.POINTER(ctypes.c_int32), seg_pp]),
        "zr_quorva_segments_delete": (None, [ctypes.POINTER(_CSegment)]),
        "zr_quorva_options_init": (None, [ctypes.POINTER(_COptions)]),
        "zr_quorva_process_with_options": (status, [engine_p, ctypes.POINTER(ctypes.c_int16), ctypes.c_int32,
                                                    ctypes.POINTER(_COptions),
                                                    ctypes.POINTER(ctypes.POINTER(_CResult))]),
        "zr_quorva_process_file_with_options": (status, [engine_p, ctypes.c_char_p, ctypes.POINTER(_COptions),
                                                         ctypes.POINTER(ctypes.POINTER(_CResult))]),
        "zr_quorva_result_delete": (None, [ctypes.POINTER(_CResult)]),
        # c_void_p, not c_char_p: the text must be handed back to zr_free.
        "zr_quorva_file_problem": (ctypes.c_void_p, [ctypes.c_char_p]),
        "zr_free": (None, [ctypes.c_void_p]),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


_lib = None


def _library():
    global _lib
    if _lib is None:
        _lib = _load_library()
    return _lib


def library_version() -> str:
    return _library().zr_quorva_version().decode()


def sample_rate() -> int:
    return int(_library().zr_sample_rate())


def _status_name(status: int) -> str:
    name = _library().zr_status_to_string(status)
    return name.decode() if name else f"status {status}"


def _error_stack() -> List[str]:
    """Takes the calling thread's messages (the library keeps them per thread)."""
    lib = _library()
    messages = ctypes.POINTER(ctypes.c_char_p)()
    depth = ctypes.c_int32(0)
    got = lib.zr_get_error_stack(ctypes.byref(messages), ctypes.byref(depth))
    texts = []
    if got in (_STATUS_SUCCESS, _STATUS_OUT_OF_MEMORY) and messages:
        texts = [messages[i].decode("utf-8", "replace") for i in range(depth.value)]
    lib.zr_free_error_stack(messages)
    return texts


def _raise_for(status: int, call: str, path: Optional[bytes] = None):
    if status != _STATUS_SUCCESS:
        messages = _error_stack()  # taken first: it belongs to the failed call
        raise QuorvaError(status, _status_name(status), messages, call,
                          _file_problem(path) if path is not None else None)


def _file_problem(path: bytes) -> Optional[str]:
    lib = _library()
    text = lib.zr_quorva_file_problem(path)
    if not text:
        return None
    try:
        return ctypes.string_at(text).decode("utf-8", "replace")
    finally:
        lib.zr_free(text)


_INT32_MAX = 0x7FFFFFFF


def _options(num_speakers, min_speakers, max_speakers, min_duration_off) -> _COptions:
    """The options record; the library checks the values (and names a bad
    one), after the checks that ctypes conversion would otherwise hide."""
    options = _COptions()
    _library().zr_quorva_options_init(ctypes.byref(options))
    for name, value in (("num_speakers", num_speakers), ("min_speakers", min_speakers),
                        ("max_speakers", max_speakers)):
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if not -_INT32_MAX - 1 <= value <= _INT32_MAX:
            raise ValueError(f"{name} is out of range: {value}")
        setattr(options, name, value)
    if min_duration_off is not None:
        if isinstance(min_duration_off, bool) or not isinstance(min_duration_off, (int, float)):
            raise TypeError(f"min_duration_off must be a number of seconds, not {type(min_duration_off).__name__}")
        value = float(min_duration_off)
        # Beyond float32 the value would become infinite or lose its sign of error; keep it refused.
        options.min_duration_off = value if math.isnan(value) or abs(value) < 3.4e38 else math.copysign(math.inf, value)
    return options


def _default_model_path() -> str:
    """The installed default model next to the library, else the source tree's."""
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(os.path.dirname(here))
    for path in (os.path.join(root, "share", "zr_quorva", "default.zr"),
                 os.path.join(root, "models", "default.zr")):
        if os.path.exists(path):
            return path
    return os.path.join(root, "models", "default.zr")


def _fs_path(path) -> bytes:
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("path contains a NUL character")
    return encoded


def _as_int16_buffer(samples):
    """A ctypes int16 pointer, its sample count, and the object that keeps it alive."""
    if isinstance(samples, (bytes, bytearray, memoryview)):
        view = memoryview(samples).cast("B")
        if view.nbytes % 2:
            raise ValueError("16-bit PCM needs an even number of bytes")
        buf = array.array("h")
        buf.frombytes(view)
    elif isinstance(samples, array.array):
        if samples.typecode != "h":
            raise TypeError("an array of samples must have type code 'h' (int16)")
        buf = samples
    elif type(samples).__module__ == "numpy" and type(samples).__name__ == "ndarray":
        import numpy  # only reached when numpy is installed

        if samples.dtype != numpy.int16 or samples.ndim != 1:
            raise TypeError("a numpy array of samples must be one-dimensional int16")
        keep = numpy.ascontiguousarray(samples)
        return keep.ctypes.data_as(ctypes.POINTER(ctypes.c_int16)), int(keep.size), keep
    else:
        buf = array.array("h", samples)  # any iterable of ints in range
    if len(buf) == 0:
        # A valid pointer, so that the library reports the length, not a NULL.
        empty = (ctypes.c_int16 * 1)()
        return ctypes.cast(empty, ctypes.POINTER(ctypes.c_int16)), 0, empty
    address, count = buf.buffer_info()
    return ctypes.cast(address, ctypes.POINTER(ctypes.c_int16)), count, buf


class Engine:
    """A diarization engine loaded from a model file.

    One engine serves one call at a time; use one engine per thread. Close it
    with close(), a with block, or let it be collected.
    """

    def __init__(self, model_path: Optional[str] = None):
        self._handle = None
        lib = _library()
        self.model_path = os.fspath(model_path) if model_path is not None else _default_model_path()
        handle = ctypes.c_void_p()
        _raise_for(lib.zr_quorva_init(_fs_path(self.model_path), ctypes.byref(handle)),
                   "zr_quorva_init")
        self._handle = handle

    def close(self) -> None:
        """Releases the engine; later calls raise ValueError. Safe to repeat."""
        if self._handle is not None:
            _library().zr_quorva_delete(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:  # the interpreter may be shutting down
            pass

    def _live_handle(self):
        if self._handle is None:
            raise ValueError("the engine is closed")
        return self._handle

    @staticmethod
    def _take_result(result) -> Diarization:
        try:
            r = result.contents
            segments = [Segment(round(r.segments[i].start_seconds, 3), round(r.segments[i].end_seconds, 3),
                                int(r.segments[i].speaker_label)) for i in range(r.num_segments)]
            dim = r.embedding_dimension
            speakers = [Speaker(int(r.speakers[i].speaker_label), round(r.speakers[i].seconds, 3),
                                tuple(r.speakers[i].embedding[:dim])) for i in range(r.num_speakers)]
            return Diarization(segments, speakers, r.speaker_count_met, r.audio_seconds)
        finally:
            _library().zr_quorva_result_delete(result)

    def process(self, samples, *, num_speakers: Optional[int] = None, min_speakers: Optional[int] = None,
                max_speakers: Optional[int] = None, min_duration_off: Optional[float] = None) -> Diarization:
        """Diarizes mono 16-bit PCM at 16000 Hz.

        samples: an array.array('h'), bytes in native byte order, a numpy int16
        array, or any sequence of ints from -32768 to 32767.
        num_speakers: exactly this many speakers where the speech allows it;
        min_speakers / max_speakers: bounds instead; min_duration_off: pauses
        shorter than this many seconds inside one speaker's speech are filled.
        Returns the segments as a list, with .speakers (label, seconds, mean
        embedding) and .speaker_count_met.
        """
        handle = self._live_handle()
        options = _options(num_speakers, min_speakers, max_speakers, min_duration_off)
        pointer, count, keep = _as_int16_buffer(samples)
        if count > 0x7FFFFFFF:
            raise ValueError("too many samples for one call")
        result = ctypes.POINTER(_CResult)()
        status = _library().zr_quorva_process_with_options(handle, pointer, count, ctypes.byref(options),
                                                           ctypes.byref(result))
        del keep
        _raise_for(status, "zr_quorva_process")
        return self._take_result(result)

    def process_file(self, path, *, num_speakers: Optional[int] = None, min_speakers: Optional[int] = None,
                     max_speakers: Optional[int] = None, min_duration_off: Optional[float] = None) -> Diarization:
        """Diarizes an audio file (WAV, FLAC, MP3, Ogg Opus/Vorbis, WebM, MP4/M4A/3GP).

        The keywords and the result are those of process(). A file that cannot
        be opened or read raises QuorvaError with the plain reason first.
        """
        handle = self._live_handle()
        options = _options(num_speakers, min_speakers, max_speakers, min_duration_off)
        encoded = _fs_path(path)
        result = ctypes.POINTER(_CResult)()
        status = _library().zr_quorva_process_file_with_options(handle, encoded, ctypes.byref(options),
                                                                ctypes.byref(result))
        _raise_for(status, "zr_quorva_process_file", encoded)
        return self._take_result(result)
