"""Where the tasks of a series run: in this process, in local worker processes, or on a Dask cluster.

Every runner offers the same small interface to `dicpipe.measure.run_series`:
``submit(key, fn, *args)`` returns a future (``submit_or_run`` runs the
task in this process instead when no worker would start it now),
``wait(futures)`` returns the done ones (at least one), ``outcome(future)`` its value (or raises its
exception), ``add_plan``/``plan`` hold each camera's plan where the tasks
find it, ``capacity`` says how many tasks run at once and ``idle()``
whether a worker would start a task submitted now (work this process can
do itself otherwise). A task is a function of its arguments alone, so the
results do not depend on the runner or on who ran it.

This module imports nothing heavy: the command starts the local workers'
server (`start_server`) before it loads NumPy and the rest, so that the
workers' imports run while this process checks the input.
"""

from __future__ import annotations

import os
import uuid
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .tracking import CameraPlan

__all__ = ["SchedulerError", "default_jobs", "open_runner", "start_server"]


class SchedulerError(RuntimeError):
    """The Dask scheduler cannot be reached or has no workers."""


class _Serial:
    """Runs every task at once in this process; its futures are done when returned."""

    capacity = 1

    def __init__(self):
        self.plans: dict[int, Any] = {}

    def add_plan(self, camera: int, plan: CameraPlan) -> None:
        self.plans[camera] = plan

    def plan(self, camera: int):
        return self.plans[camera]

    def submit(self, key: str, fn: Callable, *args):
        from concurrent.futures import Future

        fut: Future = Future()
        try:
            fut.set_result(fn(*args))
        except Exception as exc:
            fut.set_exception(exc)
        return fut

    def wait(self, futures):
        return set(futures)

    def idle(self) -> bool:
        """Whether a worker would start a task submitted now (never: this process is the worker)."""
        return False

    def submit_or_run(self, key: str, fn: Callable, *args):
        """Submit a task when a worker would start it now, else run it in this process at once.

        For work this process would otherwise wait through (the workers still
        starting, or busy); the future is then done when returned.
        """
        if self.idle():
            return self.submit(key, fn, *args)
        return _Serial.submit(self, key, fn, *args)

    def warm_up(self) -> None:
        """Have every worker import what the tasks need (nothing to do in this process)."""

    @staticmethod
    def outcome(fut):
        return fut.result()

    def close(self) -> None:
        pass


#: Libraries the local workers need, imported once by the server process they are forked from.
_WORKER_LIBRARIES = [
    "numpy",
    "cv2",
    "meshio",
    "native_vostrel",
    "tifffile",
    "PIL.Image",
    "matplotlib.backends.backend_agg",
    "matplotlib.figure",
    "scipy.ndimage",
    "scipy.spatial",
]
#: dicpipe's own modules the tasks run, imported by the server from the folder this process imported dicpipe from.
_WORKER_MODULES = [
    "dicpipe.measure",
    "dicpipe.camera",
    "dicpipe.stereo",
    "dicpipe.figures",
    "dicpipe.export",
    "dicpipe.tracking",
    "dicpipe.strain",
    "dicpipe.quality",
    "dicpipe.mesh",
]


class _Pool(_Serial):
    """Local worker processes, forked from a fresh server process that has imported the libraries.

    Nothing of this process's state is inherited (the server starts from
    scratch) and the imports are paid for once rather than by every worker.
    The server does not run under this process's sys.path; it is started
    with the folder this process imported dicpipe from first on its path, so
    that it and the workers run the same dicpipe as this process (not, say,
    an installed copy).
    """

    def __init__(self, jobs: int):
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor

        super().__init__()
        self.capacity = jobs
        start_server()
        self.pool = ProcessPoolExecutor(max_workers=jobs, mp_context=multiprocessing.get_context("forkserver"))
        self.starter = None
        self.started: list = []  # the warm-up tasks: the workers are up when they are done
        self.running: set = set()

    def submit(self, key: str, fn: Callable, *args):
        fut = self.pool.submit(fn, *args)
        self.running.add(fut)
        return fut

    def idle(self) -> bool:
        if self.starter is not None and self.starter.is_alive():
            return False
        if not all(f.done() for f in self.started):
            return False
        self.running = {f for f in self.running if not f.done()}
        return len(self.running) < self.capacity

    def warm_up(self) -> None:
        """Start the workers in the background: the first waits for the server's imports, which run meanwhile."""
        import threading

        def start() -> None:
            try:
                for _ in range(self.capacity):
                    self.started.append(self.pool.submit(_warm_up))
            except Exception:  # pragma: no cover - the next submit meets the same fault and reports it
                pass

        self.starter = threading.Thread(target=start, name="dicpipe-workers", daemon=True)
        self.starter.start()

    def wait(self, futures):
        from concurrent.futures import FIRST_COMPLETED, wait

        done, _ = wait(futures, return_when=FIRST_COMPLETED)
        return done

    def close(self) -> None:
        if self.starter is not None:
            self.starter.join()
        self.pool.shutdown(wait=True, cancel_futures=True)


class _Dask(_Serial):
    """Tasks sent to an existing Dask distributed scheduler."""

    def __init__(self, address: str):
        try:
            from distributed import Client
        except ImportError:  # pragma: no cover - a declared dependency
            raise SchedulerError("--scheduler needs the 'distributed' package") from None
        super().__init__()
        try:
            self.client = Client(address, timeout="10s", set_as_default=False)
        except (OSError, TimeoutError, ValueError) as exc:
            raise SchedulerError(f"cannot connect to the Dask scheduler at {address}: {exc}") from None
        threads = sum(self.client.nthreads().values())
        if threads == 0:
            self.client.close()
            raise SchedulerError(f"the Dask scheduler at {address} has no workers")
        self.capacity = threads
        self.token = uuid.uuid4().hex[:12]
        self.running: set = set()

    def add_plan(self, camera: int, plan: CameraPlan) -> None:
        # Sent to the workers once, not with every task.
        self.plans[camera] = self.client.scatter(plan, broadcast=True, hash=False)

    def submit(self, key: str, fn: Callable, *args):
        fut = self.client.submit(fn, *args, key=f"dicpipe-{key}-{self.token}", pure=False)
        self.running.add(fut)
        return fut

    def idle(self) -> bool:
        self.running = {f for f in self.running if not f.done()}
        return len(self.running) < self.capacity

    def submit_or_run(self, key: str, fn: Callable, *args):
        # Dask waits on its own futures only: the task always goes to the cluster.
        return self.submit(key, fn, *args)

    def wait(self, futures):
        from distributed import wait

        with self.client.as_current():
            done, _ = wait(list(futures), return_when="FIRST_COMPLETED")
        return done

    def close(self) -> None:
        self.client.close()


def start_server() -> None:
    """Start the server process the local workers are forked from, if it is not running yet.

    It imports the libraries and dicpipe's modules on its own while the
    caller goes on; the first worker is forked once they are loaded. The
    server serves every pool of this process and ends with it. Its
    environment differs from this process's in two variables: PYTHONPATH
    starts with the folder holding this process's dicpipe, and
    OPENBLAS_NUM_THREADS is 1 unless set (the workers share the cores
    already: one BLAS thread each; the results do not depend on it).
    """
    import multiprocessing
    from multiprocessing import forkserver

    import dicpipe

    multiprocessing.get_context("forkserver").set_forkserver_preload(_WORKER_LIBRARIES + _WORKER_MODULES)
    package_folder = os.path.dirname(os.path.dirname(dicpipe.__file__))
    env = {
        "PYTHONPATH": os.pathsep.join(filter(None, [package_folder, os.environ.get("PYTHONPATH")])),
        "OPENBLAS_NUM_THREADS": os.environ.get("OPENBLAS_NUM_THREADS", "1"),
    }
    saved = {key: os.environ.get(key) for key in env}
    try:
        os.environ.update(env)  # read once, when the server starts
        forkserver.ensure_running()
    finally:
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value


def _warm_up() -> None:
    """Import the modules of the tasks (in a worker, before its first task; the server has loaded them when
    it could)."""
    import importlib

    for name in _WORKER_LIBRARIES + _WORKER_MODULES:
        importlib.import_module(name)


def open_runner(jobs: int, scheduler: str | None, tasks: int):
    """The runner for `jobs` local processes (at most one per task; 1 runs in this process) or a Dask scheduler."""
    if scheduler:
        return _Dask(scheduler)
    jobs = max(1, min(jobs, tasks))
    return _Serial() if jobs == 1 else _Pool(jobs)


def default_jobs() -> int:
    """The cores this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not Linux
        return os.cpu_count() or 1
