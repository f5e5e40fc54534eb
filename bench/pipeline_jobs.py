"""Wall time of `dicpipe run` with one and with two local worker processes on a stereo series.

    .venv/bin/python bench/pipeline_jobs.py [--frames 8] [--repeat 2] [--cameras 2]

Writes the synthetic example (`dicpipe example`: 480 x 384 px, 2 cameras,
--frames images each, the reference included) into a temporary folder, then
runs the command as a user does (`python -m dicpipe run ... --jobs N --quiet
--force`, a new process each time, so start-up and imports count) alternately
with --jobs 1 and --jobs 2, --repeat times each. Prints every wall time with
the processor time the whole machine was busy meanwhile, the best of each
setting and their ratio, and checks that both give the same result files
(timing fields aside). The figures mean something only on an otherwise idle
machine: a busy time well above the run's own work shows other load.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
# The package beside this script, as the tests import it (the installed one may be older).
sys.path.insert(0, str(REPO_ROOT / "python"))

from dicpipe.synthetic import write_example  # noqa: E402


def _busy_seconds() -> float:
    """Processor time the whole machine has spent busy since boot (all processes), from /proc/stat."""
    fields = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    idle = fields[3] + fields[4]  # idle and iowait
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def _wait_for_idle(limit: float, patience: float) -> float:
    """Wait until the machine's other work stays below `limit` of its processors over 3 s.

    Returns the busy fraction last seen (the run goes ahead after `patience` seconds regardless).
    """
    deadline = time.monotonic() + patience
    while True:
        before = _busy_seconds()
        time.sleep(3.0)
        fraction = (_busy_seconds() - before) / (3.0 * (os.cpu_count() or 1))
        if fraction < limit or time.monotonic() > deadline:
            return fraction


def _run(experiment: Path, out: Path, jobs: int) -> tuple[float, float]:
    """Wall time of the run and the machine's busy processor time meanwhile, in seconds.

    The local workers are forked from a server process that the run does not
    wait for, so the run's own accounting misses them; on an otherwise idle
    machine the machine's busy time is the run's processor time.
    """
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(REPO_ROOT / "python"), env.get("PYTHONPATH")]))
    cmd = [sys.executable, "-m", "dicpipe", "run", str(experiment), "--out", str(out), "--jobs", str(jobs)]
    busy = _busy_seconds()
    start = time.perf_counter()
    subprocess.run(cmd + ["--quiet", "--force"], check=True, env=env)
    wall = time.perf_counter() - start
    return wall, _busy_seconds() - busy


def _results(out: Path) -> dict[str, object]:
    """Every result file's content, with the fields that describe the execution removed."""
    files: dict[str, object] = {}
    for p in sorted(out.rglob("*")):
        if not p.is_file():
            continue
        rel = p.relative_to(out).as_posix()
        if rel == "run.json":
            d = json.loads(p.read_text())
            d.pop("run")
            files[rel] = d
        elif rel.startswith("frames/") and rel.endswith(".json"):
            d = json.loads(p.read_text())
            d["record"].pop("seconds")
            files[rel] = d
        elif rel == "summary.csv":
            files[rel] = [row[:-1] for row in csv.reader(p.read_text().splitlines())]
        else:
            files[rel] = p.read_bytes()
    return files


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--frames", type=int, default=8, help="images per camera, reference included (default 8)")
    ap.add_argument("--cameras", type=int, choices=(2, 3), default=2)
    ap.add_argument("--repeat", type=int, default=2, help="runs per setting (default 2)")
    ap.add_argument(
        "--idle",
        type=float,
        default=0.05,
        help="before each run, wait (up to --patience s) until other work uses less than this fraction of the "
        "processors (default 0.05)",
    )
    ap.add_argument("--patience", type=float, default=600.0)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="dicpipe_jobs_") as tmp:
        tmp = Path(tmp)
        t0 = time.perf_counter()
        experiment = write_example(tmp / "example", cameras=args.cameras, frames=args.frames)
        print(
            f"example: {args.cameras} cameras x {args.frames} images of 480 x 384 px "
            f"(written in {time.perf_counter() - t0:.1f} s); {os.cpu_count()} cores, "
            f"load average {os.getloadavg()[0]:.2f} before the runs"
        )
        times: dict[int, list[float]] = {1: [], 2: []}
        for i in range(args.repeat):
            for jobs in (1, 2):
                other = _wait_for_idle(args.idle, args.patience)
                seconds, cpu = _run(experiment, tmp / f"jobs{jobs}", jobs)
                times[jobs].append(seconds)
                print(
                    f"run {i + 1}: --jobs {jobs}: {seconds:6.2f} s wall, machine busy {cpu:6.2f} processor-seconds "
                    f"(other work before: {100 * other:.0f} % of the processors)"
                )
        same = _results(tmp / "jobs1") == _results(tmp / "jobs2")
        best1, best2 = min(times[1]), min(times[2])
        print(f"best --jobs 1: {best1:.2f} s, best --jobs 2: {best2:.2f} s, speed-up {best1 / best2:.2f}x")
        print(f"result files identical: {'yes' if same else 'NO'}; load average now {os.getloadavg()[0]:.2f}")
        return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
