"""Python binding of the Quorva speaker-diarization library (ctypes, no build step).

    from quorva import Engine

    with Engine("models/default.zr") as engine:
        for segment in engine.process_file("meeting.wav"):
            print(segment.start, segment.end, segment.speaker)

The shared library is found through the QUORVA_LIBRARY environment variable
(a path to libzr_quorva.so), else next to this package in a build or install
tree, else by the system's library search.
"""

from quorva._binding import (Diarization, Engine, QuorvaError, Segment, Speaker, library_version,
                             sample_rate)

__all__ = ["Diarization", "Engine", "QuorvaError", "Segment", "Speaker", "library_version", "sample_rate"]
