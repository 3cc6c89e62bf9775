"""Order-flow features over many days and symbols: per symbol and UTC day of a catalog, the tables
``bars``, ``footprint`` and ``book`` as Hive-partitioned Parquet, computed by jobs that run on a
thread pool, a Dask LocalCluster or any Dask cluster (see docs/batch.md).

    jobs = batch.plan("catalog", "binance-um", ["BTCUSDT"], "2024-03-01", "2024-03-31")
    report = batch.run(jobs, "features")            # or executor="local", or a dask Client
    bars = batch.read("features", "bars")           # a pandas DataFrame
"""

from .job import run_job
from .params import DEFAULT_DEPTHS, TABLES, BatchError, TableParams
from .reading import read
from .runner import Job, RunReport, connect, local_cluster, plan, run

__all__ = ["DEFAULT_DEPTHS", "TABLES", "BatchError", "Job", "RunReport", "TableParams", "connect", "local_cluster",
           "plan", "read", "run", "run_job"]
