"""Work on a small pool of threads with results in input order: pyarrow's and NumPy's kernels run
without the interpreter lock, so preparing the next batch overlaps with storing the last."""

from __future__ import annotations

from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TypeVar

Item = TypeVar("Item")
Result = TypeVar("Result")

WORKERS = 2
AHEAD = 3  # batches in flight: bounds the memory they hold


def ordered_map(work: Callable[[Item], Result], items: Iterable[Item]) -> Iterator[Result]:
    """`work` applied to every item, up to `AHEAD` at a time, yielded in the order of `items`."""
    with ThreadPoolExecutor(WORKERS) as pool:
        pending: deque[Future[Result]] = deque()
        try:
            for item in items:
                pending.append(pool.submit(work, item))
                if len(pending) >= AHEAD:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
        finally:
            for future in pending:
                future.cancel()
