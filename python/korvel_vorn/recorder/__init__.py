"""Live exchange feeds recorded into hourly gzip JSON Lines files with a manifest per day.

`record` and `make_recorder` (in `recording`) choose the recorder of a source (`binance`,
`bybit`, built on `core`) and run it until stopped; `files` writes the folders that `convert`
reads.
"""

from __future__ import annotations

from .core import Recorder, RecordError
from .options import RecordOptions
from .recording import SOURCES, make_recorder, record

__all__ = ["SOURCES", "RecordError", "RecordOptions", "Recorder", "make_recorder", "record"]
