"""16 variants of the demo's momentum strategy on 500 assets x 2,500 days: a serial loop in this
process against kovalt.sweep.run on a local cluster of 2 worker processes, in the same run.

    python bench/bench_sweep.py [--workers 2] [--assets 500] [--days 2500] [--rounds 2]

The serial loop runs exactly the workers' task (weights, back-test, summary) one variant after
the other, with the same imports done beforehand. Printed per round:

- speed-up: serial time / sweep time on an already running cluster (the sweep's own work:
  warm-up call, scatter of the tables, tasks, gathering), and once per run the sweep with
  scheduler=None, which also starts and stops its LocalCluster;
- per-variant scheduler overhead: the worker time a variant costs beyond its computation,
  (workers x sweep time - sum of the tasks' compute times, from Dask's task stream) / variants,
  also as a share of a variant's mean serial time; it includes the fixed start of the sweep
  (warm-up call, scatter: the time until the first task starts, printed too) and the idle
  tail when the last variants leave a worker without work;
- peak memory (resident set) per worker process, and of this process.

The machine may be shared: the load average is printed before and after.
"""

from __future__ import annotations

import argparse
import os
import resource
import time


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # kilobytes on Linux


def load() -> str:
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def serial(close, grid, options):
    from kovalt import demo
    from kovalt.sweep.grid import expand_grid
    from kovalt.sweep.task import run_variant

    times = []
    for params in expand_grid(grid):
        started = time.perf_counter()
        outcome = run_variant(close, demo.momentum_weights, params, options)
        times.append(time.perf_counter() - started)
        assert outcome["error"] is None, outcome["error"]
    return times


def swept(client, close, grid, options):
    from distributed import get_task_stream

    from kovalt import demo, sweep

    with get_task_stream(client) as stream:
        clock = time.time()  # the task stream's clock (the workers run on this machine)
        started = time.perf_counter()
        result = sweep.run(close, demo.momentum_weights, grid, scheduler=client,
                           progress=False, **options)
        wall = time.perf_counter() - started
    assert result.table["error"].isna().all(), result.table["error"].dropna().tolist()
    parts = [part for task in stream.data for part in task["startstops"]
             if part["action"] == "compute" and task["key"].startswith("_run_shared")]
    compute = [part["stop"] - part["start"] for part in parts]
    first_start = min(part["start"] for part in parts) - clock
    return wall, compute, first_start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--assets", type=int, default=500)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()

    import warnings

    from distributed import Client, LocalCluster

    from kovalt import demo, sweep
    from kovalt.sweep.task import warm_up

    warnings.simplefilter("ignore", FutureWarning)
    print(f"start: {load()}, {os.cpu_count()} cores")
    close, high, low, benchmark = demo.synthetic_market(assets=args.assets,
                                                        years=args.days / 252)
    grid = {"lookback": [20, 60, 120, 250], "top": [5, 10, 20, 40]}
    options = dict(resample="M", benchmark=benchmark, high=high, low=low)
    variants = len(sweep.expand_grid(grid))
    print(f"{variants} variants, {close.shape[1]} assets x {close.shape[0]} days, "
          f"{args.workers} workers")
    warm_up()

    started = time.perf_counter()
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           dashboard_address=":0")
    client = Client(cluster)
    startup = time.perf_counter() - started
    try:
        for round_ in range(1, args.rounds + 1):
            times = serial(close, grid, options)
            wall, compute, first_start = swept(client, close, grid, options)
            overhead = (args.workers * wall - sum(compute)) / variants
            mean_variant = sum(times) / variants
            print(f"round {round_}: serial {sum(times):.2f} s ({mean_variant * 1e3:.0f} ms a "
                  f"variant), sweep {wall:.2f} s -> speed-up {sum(times) / wall:.2f}x; "
                  f"worker compute {sum(compute) / len(compute) * 1e3:.0f} ms a variant; "
                  f"overhead {overhead * 1e3:.1f} ms a variant = "
                  f"{overhead / mean_variant:.1%} of a variant (first task started after "
                  f"{first_start:.2f} s: warm-up call and scatter); {load()}")
        peaks = client.run(peak_rss_mib)
    finally:
        client.close()
        cluster.close()

    started = time.perf_counter()
    sweep.run(close, demo.momentum_weights, grid, workers=args.workers, progress=False,
              **options)
    own = time.perf_counter() - started
    print(f"sweep with its own LocalCluster (start and stop included): {own:.2f} s -> speed-up "
          f"{sum(times) / own:.2f}x against the last serial loop; a cluster start alone took "
          f"{startup:.2f} s")
    print("peak memory per worker: " + ", ".join(f"{mib:.0f} MiB" for mib in peaks.values())
          + f"; this process {peak_rss_mib():.0f} MiB")
    print(f"end: {load()}")


if __name__ == "__main__":
    main()
