"""Upload throughput of `kovalt serve`: 50 uploads from 10 threads against 50 one after another.

Run from the repository root: python bench/server_uploads.py [--uploads 50] [--threads 10]
The service runs on a loopback port over a temporary SQLite file; the documents are the
simulated back-tests of the tests (about 40 kB of JSON each, as the client sends them).
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import requests

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from strategy_payloads import build_payload, upload_form  # noqa: E402


def start_service(db: Path) -> tuple[subprocess.Popen, str, str]:
    kovalt = [sys.executable, "-m", "kovalt", "serve"]
    created = subprocess.run(
        [*kovalt, "add-user", "bench", "--db", str(db)], capture_output=True, text=True, check=True
    )
    process = subprocess.Popen(
        [*kovalt, "--port", "0", "--db", str(db)], stdout=subprocess.PIPE, text=True
    )
    for line in process.stdout:
        found = re.search(r"listening on (http://\S+?)/?$", line.strip())
        if found:
            return process, found.group(1) + "/write_database", created.stdout.strip()
    raise RuntimeError("kovalt serve did not start")


def timed_uploads(url: str, forms: list[dict], threads: int) -> tuple[float, int]:
    def send(form):
        return requests.post(url, data=form).json().get("status") == "success"

    started = time.perf_counter()
    with ThreadPoolExecutor(max_workers=threads) as pool:
        ok = sum(pool.map(send, forms))
    return time.perf_counter() - started, len(forms) - ok


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--uploads", type=int, default=50)
    parser.add_argument("--threads", type=int, default=10)
    args = parser.parse_args()
    payloads = [build_payload(seed=seed) for seed in range(5)]
    with tempfile.TemporaryDirectory() as folder:
        process, url, token = start_service(Path(folder) / "bench.sqlite3")
        try:

            def forms(tag):
                return [
                    upload_form(payloads[i % 5], token, f"{tag}-{i % 10}")
                    for i in range(args.uploads)
                ]

            serial, serial_failures = timed_uploads(url, forms("serial"), 1)
            parallel, parallel_failures = timed_uploads(url, forms("parallel"), args.threads)
        finally:
            process.terminate()
            process.wait()
    print(f"one thread : {args.uploads / serial:7.1f} uploads/s, failures: {serial_failures}")
    print(
        f"{args.threads} threads: {args.uploads / parallel:7.1f} uploads/s, "
        f"failures: {parallel_failures}"
    )
    print(f"ratio {args.threads} threads / one thread: {serial / parallel:.2f}")


if __name__ == "__main__":
    main()
