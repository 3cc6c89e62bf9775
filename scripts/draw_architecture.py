"""Draws docs/architecture.svg, the layers of the system, with matplotlib:

    .venv/bin/python scripts/draw_architecture.py docs/architecture.svg

The output is deterministic (no date, fixed ids), so redrawing an unchanged picture changes no byte.
"""

from __future__ import annotations

import sys

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt
from matplotlib.patches import FancyArrowPatch, FancyBboxPatch

# (x, y, width, height, title, detail, colour): one box per part, in layer rows from the data in
# (top) to what a user sees (bottom).
INPUT, STORE, ENGINE, PYTHON, FRONT = "#dbe9f6", "#e3f1df", "#fbe3c9", "#ece3f3", "#f6dede"
BOXES = {
    "archives": (0.2, 8.6, 2.9, 1.1, "archives  (fetch)", "Binance, Bybit, Tardis\npublic days, verified", INPUT),
    "recorder": (3.5, 8.6, 2.9, 1.1, "recorder  (record)", "live feeds, hourly\ngzip JSON Lines", INPUT),
    "files": (6.8, 8.6, 3.0, 1.1, "recordings", "CSV, JSON, JSON Lines\n.gz, .zip, folders", INPUT),
    "catalog": (0.2, 6.7, 4.6, 1.1, "catalog", "Parquet days per list, exchange,\nsymbol; manifests", STORE),
    "convert": (5.2, 6.7, 4.6, 1.1, "convert", "formats recognised, joined in time\norder → dataset JSON / .npz", STORE),
    "core": (0.2, 4.1, 9.6, 1.8, "engine  core/  (C++20, standard library only)",
             "json · spec · dataset (decode, prepare) · runtime (worker pool, block memory, platform)\n"
             "panels (footprint, book heatmap, liquidation map, divergence, clusters) · frame · output"
             " · command · features", ENGINE),
    "vorn": (0.2, 2.5, 4.6, 1.1, "_korvel_vorn.Vorn  (python/module)", "JSON commands in, JSON replies out",
             ENGINE),
    "engine": (5.2, 2.5, 4.6, 1.1, "_engine.Engine  (python/engine)", "the array path: files and NumPy\ncolumns "
               "in, frames as arrays out", ENGINE),
    "session": (2.6, 0.9, 4.8, 1.0, "Session  (korvel_vorn)", "commands · dataset · replies · columns\n"
                "frame_arrays · studies · composite (venues)", PYTHON),
    "viewer": (0.2, -0.9, 2.2, 1.1, "viewer", "browser page,\nnotebook widget", FRONT),
    "charts": (2.6, -0.9, 2.2, 1.1, "charts, replay", "PNG, GIF", FRONT),
    "batch": (5.0, -0.9, 2.2, 1.1, "batch", "Parquet tables,\nDask", FRONT),
    "cli": (7.4, -0.9, 2.4, 1.1, "cli, live", "korvel-vorn COMMAND;\nframes while recording", FRONT),
}
ARROWS = [
    ("archives", "catalog"), ("recorder", "files"), ("files", "convert"), ("convert", "catalog"),
    ("catalog", "core"), ("convert", "core"), ("core", "vorn"), ("core", "engine"),
    ("vorn", "session"), ("engine", "session"), ("session", "viewer"), ("session", "charts"),
    ("session", "batch"), ("session", "cli"),
]
LAYERS = [(9.15, "data in"), (7.25, "stored"), (5.0, "engine"), (3.05, "native\nmodules"), (1.4, "Python"),
          (-0.35, "what a user\nsees")]


def ends(start: str, end: str) -> tuple[tuple[float, float], tuple[float, float]]:
    """Where an arrow leaves and enters: bottom to top between rows, side to side within one."""
    x0, y0, w0, h0 = BOXES[start][:4]
    x1, y1, w1, h1 = BOXES[end][:4]
    if y0 == y1:
        if x0 < x1:
            return (x0 + w0, y0 + h0 / 2), (x1, y1 + h1 / 2)
        return (x0, y0 + h0 / 2), (x1 + w1, y1 + h1 / 2)
    return (x0 + w0 / 2, y0), (x1 + w1 / 2, y1 + h1)


def draw(path: str) -> None:
    plt.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "korvel_vorn", "font.family": "DejaVu Sans"})
    figure, axes = plt.subplots(figsize=(10.5, 11))
    axes.set_xlim(-1.6, 10.0)
    axes.set_ylim(-1.1, 9.9)
    axes.axis("off")
    for x, y, width, height, title, detail, colour in BOXES.values():
        axes.add_patch(FancyBboxPatch((x, y), width, height, boxstyle="round,pad=0.04,rounding_size=0.12",
                                      facecolor=colour, edgecolor="#555555", linewidth=1.0))
        axes.text(x + width / 2, y + height - 0.22, title, ha="center", va="center", fontsize=10.5,
                  fontweight="bold")
        axes.text(x + width / 2, y + (height - 0.3) / 2, detail, ha="center", va="center", fontsize=8.5,
                  color="#333333", linespacing=1.3)
    for start, end in ARROWS:
        axes.add_patch(FancyArrowPatch(*ends(start, end), arrowstyle="-|>",
                                       mutation_scale=12, color="#666666", linewidth=1.0,
                                       shrinkA=2, shrinkB=2))
    for y, label in LAYERS:
        axes.text(-1.5, y, label, ha="left", va="center", fontsize=9, color="#777777", style="italic",
                  linespacing=1.2)
    figure.tight_layout()
    figure.savefig(path, metadata={"Date": None, "Creator": None})


if __name__ == "__main__":
    draw(sys.argv[1] if len(sys.argv) > 1 else "docs/architecture.svg")
