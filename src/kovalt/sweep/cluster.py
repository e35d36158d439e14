"""Where a sweep runs: a local cluster started for it, or an existing Dask cluster."""

from __future__ import annotations

import contextlib
import os

__all__ = ["connect"]


@contextlib.contextmanager
def connect(scheduler=None, workers: int | None = None):
    """A ``distributed.Client`` for the duration of the block.

    ``scheduler=None`` starts a ``LocalCluster`` of ``workers`` processes (default: the number
    of cores) with one thread each and closes it afterwards. An address ("tcp://host:8786")
    connects to that scheduler, and a ``Client`` is used as it is; the cluster itself is never
    changed, and a Client given by the caller stays open.
    """
    from distributed import Client, LocalCluster

    if isinstance(scheduler, Client):
        _no_workers_for_existing(workers)
        yield scheduler
        return
    if scheduler is not None:
        if not isinstance(scheduler, str):
            raise TypeError(f"scheduler must be None, an address such as 'tcp://host:8786' or a "
                            f"distributed.Client, not {type(scheduler).__name__}")
        _no_workers_for_existing(workers)
        with Client(scheduler) as client:
            yield client
        return
    count = _worker_count(workers)
    # Any free port for the scheduler's web server: several sweeps may run on one machine.
    with LocalCluster(n_workers=count, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        yield client


def _worker_count(workers) -> int:
    if workers is None:
        return os.cpu_count() or 1
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a whole number >= 1, got {workers!r}")
    return workers


def _no_workers_for_existing(workers) -> None:
    if workers is not None:
        raise ValueError("workers sizes the local cluster a sweep starts; an existing cluster "
                         "is used as it is")
