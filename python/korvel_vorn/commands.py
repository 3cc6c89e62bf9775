"""Command texts for `Vorn.command`, built from Python values.

The texts are the engine's own protocol, unchanged: these helpers only spell them, so that a
caller never has to assemble JSON by hand. A spec or dataset given as a str is taken as JSON
text; it is checked to be exactly one JSON value before it is embedded, so it can never add
members to the command around it.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from ._jsontext import check_single_value, value_text
from .dataset import dataset_json_from_mapping, timestamp_ms
from .schema import PANEL_KINDS, PANEL_PARAMS


def _panel(kind: str, **params: Any) -> dict[str, Any]:
    panel: dict[str, Any] = {"kind": kind}
    panel.update((k, v) for k, v in params.items() if v is not None)
    return panel


def footprint(price_bin: float | None = None, bucket_ms: int | None = None) -> dict[str, Any]:
    """A footprint panel: traded volume per price bin, buy and sell. Unset parameters take the
    engine's defaults (price_bin 1.0, bucket_ms 60000)."""
    return _panel("footprint", price_bin=price_bin, bucket_ms=bucket_ms)


def book_heatmap(
    price_bin: float | None = None, bucket_ms: int | None = None, depth_levels: int | None = None
) -> dict[str, Any]:
    """A book heatmap panel: resting quantity per price bin and time bucket around the closing
    mid (defaults price_bin 1.0, bucket_ms 60000, depth_levels 40)."""
    return _panel("book_heatmap", price_bin=price_bin, bucket_ms=bucket_ms, depth_levels=depth_levels)


def liquidation_map(price_bin: float | None = None) -> dict[str, Any]:
    """A liquidation map panel: every liquidation on the price grid (default price_bin 1.0)."""
    return _panel("liquidation_map", price_bin=price_bin)


def funding_oi_divergence(bucket_ms: int | None = None) -> dict[str, Any]:
    """A funding/open-interest divergence panel: funding, OI and close price on one time grid
    (default bucket_ms 60000)."""
    return _panel("funding_oi_divergence", bucket_ms=bucket_ms)


def spec_value(
    *,
    symbol: str,
    panels: Sequence[Mapping[str, Any]],
    dataset_ref: str = "",
    from_ts: Any = None,
    to_ts: Any = None,
) -> dict[str, Any]:
    """A spec as a Python dict; `from_ts`/`to_ts` accept integer milliseconds or datetimes."""
    if not isinstance(symbol, str):
        raise TypeError(f"symbol must be a str, got {type(symbol).__name__}")
    if not isinstance(dataset_ref, str):
        raise TypeError(f"dataset_ref must be a str, got {type(dataset_ref).__name__}")
    if isinstance(panels, (str, bytes, Mapping)):
        raise TypeError("panels must be a sequence of panel mappings")
    return {
        "dataset_ref": dataset_ref,
        "symbol": symbol,
        "from_ts": None if from_ts is None else timestamp_ms(from_ts),
        "to_ts": None if to_ts is None else timestamp_ms(to_ts),
        "panels": [dict(p) for p in panels],
    }


def spec_json(
    *,
    symbol: str,
    panels: Sequence[Mapping[str, Any]],
    dataset_ref: str = "",
    from_ts: Any = None,
    to_ts: Any = None,
) -> str:
    """The spec JSON text for the `Vorn` constructor or a "set_spec" command.

    >>> spec_json(symbol="BTCUSDT", panels=[footprint(0.5)])
    '{"dataset_ref":"","symbol":"BTCUSDT","from_ts":null,"to_ts":null,"panels":[{"kind":"footprint","price_bin":0.5}]}'
    """
    return value_text(spec_value(symbol=symbol, panels=panels, dataset_ref=dataset_ref, from_ts=from_ts, to_ts=to_ts))


def spec_text(spec: Any) -> str:
    """JSON text of a spec given as text (checked), a mapping or a positional sequence."""
    if spec is None:
        return ""
    if isinstance(spec, str):
        return check_single_value(spec, "spec") if spec.strip() else ""
    if isinstance(spec, (Mapping, list, tuple)):
        return value_text(spec)
    raise TypeError(f"spec must be JSON text, a mapping or None, got {type(spec).__name__}")


def version_command() -> str:
    return '{"cmd":"version"}'


def reset_command() -> str:
    return '{"cmd":"reset"}'


def bounds_command() -> str:
    return '{"cmd":"bounds"}'


def frame_command() -> str:
    return '{"cmd":"frame"}'


def frame_at_command(ts: Any) -> str:
    """A "frame_at" command; `ts` is integer milliseconds (or a datetime)."""
    return '{"cmd":"frame_at","ts":' + str(timestamp_ms(ts)) + "}"


def set_spec_command(spec: Any) -> str:
    """A "set_spec" command for a spec given as JSON text, a mapping or a sequence."""
    if spec is None or (isinstance(spec, str) and not spec.strip()):
        raise ValueError("set_spec needs a spec")
    return '{"cmd":"set_spec","spec":' + spec_text(spec) + "}"


def load_command(dataset: Any) -> str:
    """A "load" command for a dataset given as JSON text or as a mapping of lists
    (see `korvel_vorn.dataset` for the accepted record shapes)."""
    if isinstance(dataset, str):
        text = check_single_value(dataset, "dataset")
    elif isinstance(dataset, Mapping):
        text = dataset_json_from_mapping(dataset)
    else:
        raise TypeError(f"dataset must be JSON text or a mapping of lists, got {type(dataset).__name__}")
    return '{"cmd":"load","dataset":' + text + "}"


__all__ = [
    "PANEL_KINDS", "book_heatmap", "bounds_command", "footprint", "frame_at_command", "frame_command",
    "funding_oi_divergence", "liquidation_map", "load_command", "reset_command",
    "set_spec_command", "spec_json", "spec_mapping", "spec_text", "spec_value", "version_command",
]


_SPEC_FIELDS = ("dataset_ref", "symbol", "from_ts", "to_ts", "panels")


def spec_mapping(spec: Any) -> dict[str, Any]:
    """A decoded spec in its object form (the positional forms spelled out), for reading its
    fields; it is not validated here."""
    if isinstance(spec, list):
        spec = dict(zip(_SPEC_FIELDS, spec))
    if not isinstance(spec, Mapping):
        return {}
    out = dict(spec)
    panels = []
    for panel in spec.get("panels") or []:
        if isinstance(panel, list) and panel and isinstance(panel[0], str):
            panel = {"kind": panel[0], **dict(zip(PANEL_PARAMS.get(panel[0], ()), panel[1:]))}
        panels.append(dict(panel) if isinstance(panel, Mapping) else {})
    out["panels"] = panels
    return out
