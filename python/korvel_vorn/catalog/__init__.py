"""A catalog of market days: Hive-partitioned Parquet per list, exchange, symbol and UTC day.

`layout` says where each day lives and the Arrow form of each list; `read` reads spans of days
into the columns of `Session.load_columns`; `write` splits lists at midnight into partitions with
their manifest entries (`manifest`); `book` replays the order book as columns. pyarrow is needed
(the `convert` extra).
"""

from __future__ import annotations

from .layout import CATALOG_LISTS, LIST_SCHEMAS, CatalogError, partition_path, write_partition
from .read import days, read_span

__all__ = ["CATALOG_LISTS", "LIST_SCHEMAS", "CatalogError", "days", "partition_path", "read_span",
           "write_partition"]
