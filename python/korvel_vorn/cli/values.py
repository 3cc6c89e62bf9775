"""Parsers of option values: sizes in pixels and bytes, positive numbers, times."""

from __future__ import annotations

import argparse
import math

from ..timefmt import parse_time
from .common import CliError


def pixel_size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"bad size {text!r}: use WIDTHxHEIGHT in pixels, e.g. 1600x1000") from None
    if not (100 <= width <= 10_000 and 100 <= height <= 10_000):
        raise argparse.ArgumentTypeError("width and height must be between 100 and 10000 pixels")
    return width, height


def byte_size(text: str) -> int:
    units = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    number, unit = text.strip().upper().rstrip("B").rstrip("I"), ""
    if number and number[-1] in units:
        number, unit = number[:-1], number[-1]
    try:
        size = int(float(number) * units[unit])
    except ValueError:
        raise argparse.ArgumentTypeError(f"bad size {text!r}: use bytes or a number with K, M or G") from None
    if size <= 0:
        raise argparse.ArgumentTypeError(f"bad size {text!r}: it must be positive")
    return size


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def convert_time(text: str | None, option: str) -> int | None:
    if text is None:
        return None
    try:
        return parse_time(text)
    except ValueError as error:
        raise CliError(f"{option}: {error}") from None
