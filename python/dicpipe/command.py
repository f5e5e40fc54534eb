"""The ``dicpipe`` command.

    dicpipe run EXPERIMENT.toml [--out DIR] [--jobs N | --scheduler ADDRESS] [--force] [--quiet]
    dicpipe example DIR [--cameras 2|3] [--frames N] [--curved] [--overwrite]

Exit status: 0 when every frame was measured, 1 when a frame failed (its
reason is in summary.csv; the other frames are written), 2 for bad input (one
line on stderr naming the file or key; nothing is written), 130 when
interrupted.
"""

from __future__ import annotations

import argparse
import signal
import sys
from collections.abc import Sequence

from . import __version__

__all__ = ["main"]

_DESCRIPTION = (
    "Surface displacement and strain from camera images over a load series: "
    "one camera gives a 2D measurement in pixels, two or more a 3D one in the calibration's units."
)

_RUN_EPILOG = """\
outputs (in DIR):
  frames/frame_NNNN.npz   arrays of every deformed frame (NumPy: numpy.load)
  frames/frame_NNNN.vtu   the frame's mesh with displacement and strains (ParaView)
  series.pvd              the whole series as a ParaView time series
  summary.csv             one row per frame: points, mean displacement, strain of the mean tensor
  figures/                a map per frame and summary.png
  run.json                software version, experiment, parameters, timings

exit status: 0 all frames measured, 1 a frame failed (see summary.csv), 2 bad input (nothing written)
"""


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="dicpipe", description=_DESCRIPTION)
    ap.add_argument("--version", action="version", version=f"dicpipe {__version__}")
    sub = ap.add_subparsers(dest="command", metavar="COMMAND", required=True)

    run = sub.add_parser(
        "run",
        help="measure the experiment described by a TOML file",
        description="Measure every frame of an experiment: correlate each camera's reference image with its\n"
        "later images, then compute displacements and strains. Frames whose results are complete\n"
        "(made with the same settings) are kept; --force recomputes them.",
        epilog=_RUN_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    run.add_argument("experiment", metavar="EXPERIMENT.toml", help="the experiment file")
    run.add_argument("--out", metavar="DIR", help="output folder (default: [output] dir of the experiment file)")
    where = run.add_mutually_exclusive_group()
    where.add_argument(
        "--jobs", type=_positive_int, metavar="N", help="local worker processes (default: this machine's cores)"
    )
    where.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run the tasks on a Dask distributed cluster, e.g. tcp://host:8786 (workers need dicpipe, dic2d_cli "
        "and the images at the same paths)",
    )
    run.add_argument("--force", action="store_true", help="recompute frames whose outputs are already complete")
    run.add_argument("--quiet", action="store_true", help="no progress bar and no closing message")

    ex = sub.add_parser(
        "example",
        help="write a synthetic stereo experiment with its known answer",
        description="Write a complete rendered experiment into DIR: images of a speckled plate filmed by calibrated\n"
        "cameras over a load series (uniaxial stretch up to 1 % with a rigid motion), the calibration,\n"
        "the ROI, the experiment file and the truth. Measure it with `dicpipe run DIR/experiment.toml`;\n"
        "`python -m dicpipe.synthetic.check DIR` compares the results with the truth.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    ex.add_argument("directory", metavar="DIR", help="a new or empty folder")
    ex.add_argument("--cameras", type=int, choices=(2, 3), default=2, help="number of cameras (default 2)")
    ex.add_argument("--frames", type=_frames, default=4, metavar="N", help="images per camera, reference included")
    ex.add_argument("--curved", action="store_true", help="a cylindrical shell instead of a flat plate")
    ex.add_argument("--overwrite", action="store_true", help="replace an earlier example in DIR")
    return ap


def _frames(text: str) -> int:
    value = _positive_int(text)
    if value < 2:
        raise argparse.ArgumentTypeError(f"a series needs at least 2 images, got {value}")
    return value


def _error(message: str) -> int:
    print(f"dicpipe: error: {' '.join(str(message).split())}", file=sys.stderr)
    return 2


def _bad_input(exc: BaseException) -> bool:
    """Whether `exc` reports bad input (a one-line message, exit status 2) rather than a fault."""
    from .camera import CalibrationError
    from .dic2d import Dic2dError
    from .experiment import ExperimentError
    from .images import ImageError
    from .measure import OutputError, SchedulerError

    known: tuple[type[BaseException], ...] = (
        ExperimentError,
        ImageError,
        CalibrationError,
        SchedulerError,
        OutputError,
        Dic2dError,
    )
    stereo = sys.modules.get(f"{__package__}.stereo")  # loaded by whatever raised its error
    if stereo is not None:
        known += (stereo.StereoError,)
    return isinstance(exc, known)


def _run(args: argparse.Namespace) -> int:
    from ._runners import default_jobs, start_server

    if not args.scheduler and (args.jobs or default_jobs()) > 1:
        start_server()  # the local workers' libraries load while this process reads the input
    from .dic2d import find_cli
    from .experiment import load_experiment
    from .measure import run_series

    try:
        experiment = load_experiment(args.experiment)
        cli = None if args.scheduler else find_cli()
        result = run_series(
            experiment,
            args.out,
            jobs=args.jobs,
            scheduler=args.scheduler,
            force=args.force,
            progress=not args.quiet,
            cli=cli,
        )
    except OSError as exc:  # writing the results failed midway (disk full, folder removed): complete frames stay
        _error(f"cannot write the results: {exc}")
        return 1
    except Exception as exc:
        if not _bad_input(exc):
            raise
        return _error(str(exc))
    failed = result.failed
    total = len(result.records)
    if failed:
        print(
            f"dicpipe: {len(failed)} of {total} frame(s) failed (reasons in {result.directory / 'summary.csv'}); "
            f"first: frame {failed[0].frame}: {failed[0].reason}",
            file=sys.stderr,
        )
        return 1
    if not args.quiet:
        reused = f" ({result.reused} kept from an earlier run)" if result.reused else ""
        print(f"{total} frame(s) measured{reused} in {result.seconds:.1f} s; results in {result.directory}")
    return 0


def _example(args: argparse.Namespace) -> int:
    from .synthetic import write_example

    try:
        path = write_example(
            args.directory, cameras=args.cameras, frames=args.frames, curved=args.curved, overwrite=args.overwrite
        )
    except (FileExistsError, ValueError, OSError) as exc:
        return _error(str(exc))
    print(f"wrote a {args.cameras}-camera example of {args.frames} frames; measure it with:")
    print(f"  dicpipe run {path}")
    return 0


def _terminate(signum, frame):  # pragma: no cover - exercised through a subprocess
    raise SystemExit(128 + signum)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``dicpipe`` command with `argv` (default: the process arguments); returns the exit status."""
    args = _parser().parse_args(argv)
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        if args.command == "run":
            return _run(args)
        if args.command == "example":
            return _example(args)
        raise AssertionError(args.command)  # argparse only lets known commands through
    except KeyboardInterrupt:
        print("dicpipe: interrupted; complete frames are kept, a rerun continues", file=sys.stderr)
        return 130
    finally:
        signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
