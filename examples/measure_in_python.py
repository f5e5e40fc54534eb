"""Measuring an experiment from Python and reading its results.

    .venv/bin/python examples/measure_in_python.py [EXPERIMENT.toml]

Without an argument the synthetic two-camera example is written to
out/python_example first. The library calls are the ones the `dicpipe run`
command makes: `load_experiment` checks the file, `prepare_series` checks it
against the images and the calibration (nothing is written until then), and
`run_series` measures every frame and writes the result files. Its local
worker processes import this script again, so the work happens under
`if __name__ == "__main__"`, as with every use of Python's multiprocessing.
"""

import sys
from pathlib import Path

import numpy as np

from dicpipe import load_experiment, prepare_series, run_series


def main() -> None:
    if len(sys.argv) > 1:
        experiment_file = Path(sys.argv[1])
    else:
        from dicpipe.synthetic import write_example

        experiment_file = write_example("out/python_example", overwrite=True)

    series = prepare_series(load_experiment(experiment_file))
    print(f"{len(series.cameras)} camera(s), {series.frames} images each; camera 0's seed at {series.cameras[0].seed}")

    result = run_series(series, jobs=2, progress=True)
    for rec in result.records:
        if not rec.ok:
            print(f"frame {rec.frame}: failed: {rec.reason}")
            continue
        disp = ", ".join(f"{v:+.4f}" for v in rec.mean_displacement)
        print(
            f"frame {rec.frame}: {rec.points_valid} points, mean displacement ({disp}) {rec.units}, "
            f"strain of the mean tensor: major {rec.strain_major * 1e6:.0f} µε, minor {rec.strain_minor * 1e6:.0f} µε"
        )

    # Every frame's arrays are in frames/frame_NNNN.npz: here the last frame's.
    last = result.records[-1]
    with np.load(result.directory / "frames" / f"frame_{last.frame:04d}.npz") as z:
        if "displacement" in z.files:  # stereo: 3D points and per-face strains
            ok = z["valid"]
            largest = np.linalg.norm(z["displacement"][ok], axis=1).max()
            print(f"{ok.sum()} valid points; largest displacement {largest:.4f}")
            faces = z["valid_strain_faces"]
            print(f"median major strain over {faces.sum()} faces: {np.median(z['Epc2'][faces]):.5f}")
        else:  # one camera: the grid field in pixels
            print(f"u from {np.nanmin(z['u']):.3f} to {np.nanmax(z['u']):.3f} px over {z['valid'].sum()} grid points")


if __name__ == "__main__":
    main()
