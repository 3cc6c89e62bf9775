"""The heatmap's colour scale of a playback, taken from the frames it shows.

Each frame's white point (a high quantile of its resting sizes, on a bounded sample of its cells)
is compared with the scale in use: the scale holds while the frame's value stays within a factor of
1.25 of it (colours stay comparable from frame to frame) and moves to the frame's value when the
market leaves that band. No frame is computed for the scale alone, so the first picture after a
change of window or bucket costs one frame.
"""

from __future__ import annotations

import math
import threading

import numpy as np
import numpy.typing as npt

from ..charts import HeatmapScale, white_point_fraction

SAMPLE_CELLS = 65_536  # cells of a frame the quantile is taken over (evenly spaced)
HOLD = 1.25  # the scale holds while a frame's white point is within this factor of it


def frame_white_point(sizes: npt.NDArray[np.float64], white_point: str) -> tuple[float, float] | None:
    """(white point, smallest size) of a frame's positive cell sizes, or None without any."""
    if sizes.size == 0:
        return None
    step = max(1, sizes.size // SAMPLE_CELLS)
    sample = sizes[::step]
    fraction = white_point_fraction(white_point)
    if fraction is None:
        top = float(sizes.max())
    else:
        k = min(sample.size - 1, max(0, round(fraction / 100.0 * (sample.size - 1))))
        top = float(np.partition(sample, k)[k])
    return top, float(sample.min())


class RunningScale:
    """The scale of one set of heatmap settings, updated by every frame computed with them."""

    def __init__(self, transform: str, white_point: str) -> None:
        self.transform = transform
        self.white_point = white_point
        self.vmax = 0.0
        self.vmin = math.inf
        self._lock = threading.Lock()

    def update(self, sizes: npt.NDArray[np.float64]) -> HeatmapScale:
        """The scale for a frame whose positive cell sizes are `sizes` (moved first if the frame
        lies outside the band the scale holds in)."""
        found = frame_white_point(sizes, self.white_point)
        with self._lock:
            if found is not None:
                top, bottom = found
                if top > 0 and not (self.vmax / HOLD <= top <= self.vmax * HOLD):
                    self.vmax = top
                self.vmin = min(self.vmin, bottom)
            return self.scale()

    def scale(self) -> HeatmapScale:
        vmax = self.vmax if self.vmax > 0 else 1.0
        vmin = self.vmin if math.isfinite(self.vmin) and self.vmin < vmax else vmax / 1000.0
        return HeatmapScale(self.transform, max(vmin, vmax * 1e-4), vmax, self.white_point)


__all__ = ["HOLD", "SAMPLE_CELLS", "RunningScale", "frame_white_point"]
