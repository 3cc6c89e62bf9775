"""Recorded market data (exchange recordings, archive files, `record` folders) converted to the
dataset of a "load" command, JSON or `.npz`.

`convert_files` (in `reading`) recognises each input's format and joins the inputs into one
market (`market`), written out by `conversion`; the formats are read by source in
`dataset_records` and the venues' own parsers in `venues/<venue>/`.
"""

from __future__ import annotations

from .conversion import Conversion, EmptyConversion
from .market import ConvertError
from .reading import KINDS, convert_files

__all__ = ["KINDS", "Conversion", "ConvertError", "EmptyConversion", "convert_files"]
