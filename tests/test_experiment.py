"""The experiment file: what it accepts, and one-line errors naming the key or file for what it does not."""

from __future__ import annotations

from pathlib import Path

import pytest

from dicpipe.experiment import DIC_MODES, ExperimentError, dic_options, load_experiment, natural_key


def _touch(folder: Path, *names: str) -> None:
    for n in names:
        p = folder / n
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(b"x")


def _write(folder: Path, text: str) -> Path:
    p = folder / "experiment.toml"
    p.write_text(text)
    return p


GOOD = """
[images]
cameras = ["left/*.tif", "right/*.tif"]
[calibration]
file = "cal/calibration.json"
[roi]
rectangle = [10, 20, 110, 90]
seed = [48, 54]
[dic]
subset_radius = 15
subset_spacing = 3
cutoff_corrcoef = 0.7
subset_truncation = true
cutoff_diffnorm = 1e-5
[stereo]
min_corrcoef = 0.85
max_epipolar_px = 2
[reconstruction]
max_reprojection_error_px = 0.5
[output]
dir = "out/here"
figures = false
"""


@pytest.fixture
def folder(tmp_path):
    _touch(tmp_path, "left/img_10.tif", "left/img_2.tif", "left/img_1.tif")
    _touch(tmp_path, "right/img_1.tif", "right/img_2.tif", "right/img_10.tif", "cal/calibration.json", "roi.png")
    return tmp_path


def test_complete_file_is_read_with_paths_relative_to_it(folder, monkeypatch):
    monkeypatch.chdir("/")  # relative paths must not depend on the working folder
    exp = load_experiment(_write(folder, GOOD))
    assert exp.cameras == 2 and exp.frames == 3 and exp.is_stereo
    # Digit runs sort as numbers: 1, 2, 10 (plain text order would put 10 before 2).
    assert [p.name for p in exp.images[0]] == ["img_1.tif", "img_2.tif", "img_10.tif"]
    assert all(p.is_absolute() and p.parent == folder / "right" for p in exp.images[1])
    assert exp.calibration == folder / "cal" / "calibration.json"
    assert exp.roi.kind == "rectangle" and exp.roi.rectangle == (10, 20, 110, 90) and exp.roi.seed == (48, 54)
    assert exp.dic == {
        "subset_radius": 15,
        "subset_spacing": 3,
        "cutoff_corrcoef": 0.7,
        "subset_truncation": True,
        "cutoff_diffnorm": 1e-5,
    }
    assert isinstance(exp.stereo.max_epipolar_px, float) and exp.stereo.max_epipolar_px == 2.0
    assert exp.stereo.as_kwargs() == {"min_corrcoef": 0.85, "max_epipolar_px": 2.0}
    assert exp.reconstruction.max_reprojection_error_px == 0.5 and exp.reconstruction.min_corrcoef == 0.6
    assert exp.output.dir == folder / "out" / "here" and not exp.output.figures and exp.output.vtu


def test_minimal_one_camera_file_and_defaults(folder):
    exp = load_experiment(_write(folder, '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n'))
    assert exp.cameras == 1 and not exp.is_stereo and exp.calibration is None
    assert exp.roi.kind == "mask" and exp.roi.mask == folder / "roi.png" and exp.roi.seed is None
    assert exp.dic == {} and exp.stereo.as_kwargs() == {}
    assert exp.output.dir == folder / "results" and exp.output.figures and exp.output.vtu


def test_polygon_and_absolute_glob(folder):
    text = f'[images]\ncameras = ["{folder}/left/img_*.tif"]\n[roi]\npolygon = [[0, 0], [50.5, 0], [20, 40]]\n'
    exp = load_experiment(_write(folder, text))
    assert exp.roi.polygon == ((0.0, 0.0), (50.5, 0.0), (20.0, 40.0))
    assert len(exp.images[0]) == 3


def test_natural_order_is_total():
    names = ["a10", "a2", "a01", "a1", "b", "a"]
    assert sorted(names, key=natural_key) == ["a", "a01", "a1", "a2", "a10", "b"]


BAD = [
    # (what the file holds, words the message must contain)
    ('[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dicc]\n', ["unknown table [dicc]", "[dic]"]),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\nsubset_radus = 3\n',
        ['"subset_radus"', "subset_radius"],
    ),
    ('[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\nnum_threads = 2\n', ['"num_threads"', "[dic]"]),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\nsubset_radius = "20"\n',
        ["[dic] subset_radius", "integer", "string"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\nsubset_radius = 20.0\n',
        ["[dic] subset_radius", "integer"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\nsubset_radius = true\n',
        ["[dic] subset_radius", "integer", "boolean"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\nsubset_radius = 9\n',
        ["[dic] subset_radius", "at least 10", "9"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\ncutoff_diffnorm = 0.0\n',
        ["[dic] cutoff_diffnorm"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\nsubset_truncation = 1\n',
        ["[dic] subset_truncation", "true or false"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\ncutoff_corrcoef = nan\n',
        ["[dic] cutoff_corrcoef", "finite"],
    ),
    ('[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[output]\nfigures = "no"\n', ["[output] figures"]),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[reconstruction]\nmax_reprojection_error_px = 0\n',
        ["[reconstruction] max_reprojection_error_px", "positive"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[stereo]\nmin_corrcoef = 1.5\n',
        ["[stereo] min_corrcoef"],
    ),
    ('dir = "x"\n[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n', ['"dir"', "outside any table"]),
    ('[roi]\nmask = "roi.png"\n', ["missing table [images]"]),
    ('[images]\n[roi]\nmask = "roi.png"\n', ["[images] cameras"]),
    ('[images]\ncameras = []\n[roi]\nmask = "roi.png"\n', ["[images] cameras", "non-empty"]),
    ('[images]\ncameras = "left/*"\n[roi]\nmask = "roi.png"\n', ["[images] cameras", "array"]),
    ('[images]\ncameras = ["left/*", 3]\n[roi]\nmask = "roi.png"\n', ["[images] cameras[1]", "string"]),
    (
        '[images]\ncameras = ["nothing/*.tif"]\n[roi]\nmask = "roi.png"\n',
        ['cameras[0] = "nothing/*.tif"', "matches no file"],
    ),
    ('[images]\ncameras = ["left/img_1.tif"]\n[roi]\nmask = "roi.png"\n', ["cameras[0]", "one file"]),
    (
        '[images]\ncameras = ["left/*", "right/img_1*"]\n[calibration]\nfile = "cal/calibration.json"\n'
        '[roi]\nmask = "roi.png"\n',
        ["cameras[1]", "2 images", "3"],
    ),
    ('[images]\ncameras = ["left/*", "right/*"]\n[roi]\nmask = "roi.png"\n', ["2 cameras", "[calibration] file"]),
    (
        '[images]\ncameras = ["left/*", "right/*"]\n[calibration]\nfile = "missing.yml"\n[roi]\nmask = "roi.png"\n',
        ["[calibration] file", "missing.yml", "not found"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[calibration]\nfile = "left"\n[roi]\nmask = "roi.png"\n',
        ["[calibration] file", "not a file"],
    ),
    ('[images]\ncameras = ["left/*"]\n[roi]\nmask = "nomask.png"\n', ["[roi] mask", "nomask.png", "not found"]),
    ('[images]\ncameras = ["left/*"]\n', ["missing table [roi]"]),
    ('[images]\ncameras = ["left/*"]\n[roi]\n', ["[roi]", "exactly one", "none"]),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\nrectangle = [0, 0, 5, 5]\n',
        ["[roi]", "mask and rectangle"],
    ),
    ('[images]\ncameras = ["left/*"]\n[roi]\nrectangle = [0, 0, 5]\n', ["[roi] rectangle", "[x0, y0, x1, y1]"]),
    ('[images]\ncameras = ["left/*"]\n[roi]\nrectangle = [10, 0, 10, 5]\n', ["[roi] rectangle", "empty"]),
    ('[images]\ncameras = ["left/*"]\n[roi]\nrectangle = [-1, 0, 10, 5]\n', ["[roi] rectangle[0]", "at least 0"]),
    ('[images]\ncameras = ["left/*"]\n[roi]\npolygon = [[0, 0], [1, 1]]\n', ["[roi] polygon", "at least 3"]),
    ('[images]\ncameras = ["left/*"]\n[roi]\npolygon = [[0, 0], [1, 1], [2]]\n', ["[roi] polygon[2]"]),
    ('[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\nseed = [1.5, 2]\n', ["[roi] seed x", "integer"]),
    ('[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\nseed = 4\n', ["[roi] seed", "[x, y]"]),
    ("[images\ncameras = 1\n", ["not valid TOML", "line 1"]),
    ('[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\nmode = "fast"\n', ["[dic] mode", '"precision"']),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\ncriterion = "ncc"\n',
        ["[dic] criterion", '"ssd", "znssd"'],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\ninterpolation = 3\n',
        ["[dic] interpolation", "an integer"],
    ),
    ('[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\nsmoothing_sigma = 11\n', ["smoothing_sigma"]),
    ('[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[strain]\nwindow = 4\n', ["[strain] window", "odd"]),
    ('[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[strain]\nwindow = 1\n', ["[strain] window", "3"]),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[strain]\ntensor = "true"\n',
        ["[strain] tensor", '"green-lagrange"', '"hencky"'],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[reference]\nstrategy = "moving"\n',
        ["[reference] strategy", '"incremental"', '"auto"'],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[reference]\nmin_valid_fraction = 1.5\n',
        ["[reference] min_valid_fraction", "between 0 and 1"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[quality]\nmin_corr = 0.9\n',
        ['"min_corr"', "min_corrcoef"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[quality]\nmax_predicted_std_px = 0\n',
        ["[quality] max_predicted_std_px", "positive"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[quality]\nmedian_test = 1\n',
        ["[quality] median_test"],
    ),
    (
        '[images]\ncameras = ["left/*", "right/*"]\n[calibration]\nfile = "cal/calibration.json"\nscale = 0.1\n'
        '[roi]\nmask = "roi.png"\n',
        ["[calibration] scale", "one camera"],
    ),
    (
        '[images]\ncameras = ["left/*"]\n[calibration]\nfile = "cal/calibration.json"\nscale = 0.1\n'
        '[roi]\nmask = "roi.png"\n',
        ["[calibration]", "file or scale"],
    ),
    ('[images]\ncameras = ["left/*"]\n[calibration]\nunits = "mm"\n[roi]\nmask = "roi.png"\n', ["units", "scale"]),
    (
        '[images]\ncameras = ["left/*"]\n[calibration]\nscale = 0.1\nunits = "mm/px"\n[roi]\nmask = "roi.png"\n',
        ["[calibration] units", "letters"],
    ),
    ('[images]\ncameras = ["left/*"]\n[calibration]\nscale = -1\n[roi]\nmask = "roi.png"\n', ["[calibration] scale"]),
]


def test_quality_strain_reference_and_scale_keys(folder):
    exp = load_experiment(_write(folder, '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n'))
    assert exp.quality.min_corrcoef == 0.9 and exp.quality.max_predicted_std_px == 0.03
    assert exp.strain.window == 5 and exp.strain.tensor == "green-lagrange"
    assert exp.reference.strategy == "fixed" and exp.scale is None
    text = (
        '[images]\ncameras = ["left/*"]\n[calibration]\nscale = 0.05\nunits = "um"\n[roi]\nmask = "roi.png"\n'
        "[quality]\nmin_corrcoef = 0.95\nnoise = 1.5\nmedian_test = false\nmin_region_nodes = 4\n"
        '[strain]\nwindow = 7\ntensor = "hencky"\n[reference]\nstrategy = "auto"\nmin_mean_corrcoef = 0.8\n'
    )
    exp = load_experiment(_write(folder, text))
    assert (exp.scale, exp.units, exp.calibration) == (0.05, "um", None)
    assert exp.quality.min_corrcoef == 0.95 and exp.quality.noise == 1.5 and not exp.quality.median_test
    assert exp.quality.min_region_nodes == 4
    assert (exp.strain.window, exp.strain.tensor) == (7, "hencky")
    assert exp.reference.strategy == "auto" and exp.reference.min_mean_corrcoef == 0.8


@pytest.mark.parametrize("text, words", BAD, ids=[f"bad{i}" for i in range(len(BAD))])
def test_errors_are_one_line_naming_file_and_key(folder, text, words):
    path = _write(folder, text)
    with pytest.raises(ExperimentError) as info:
        load_experiment(path)
    message = str(info.value)
    assert "\n" not in message
    assert message.startswith(f"{path}: ")
    for w in words:
        assert w in message, message


def test_missing_or_unreadable_experiment_file(tmp_path):
    with pytest.raises(ExperimentError, match="experiment file not found"):
        load_experiment(tmp_path / "none.toml")
    with pytest.raises(ExperimentError, match="not a file"):
        load_experiment(tmp_path)
    bad = tmp_path / "latin1.toml"
    bad.write_bytes(b'[images]\ncameras = ["\xe9"]\n')
    with pytest.raises(ExperimentError, match="latin1.toml"):
        load_experiment(bad)


def test_folders_matched_by_a_glob_are_not_images(folder):
    (folder / "left" / "sub.tif").mkdir()
    exp = load_experiment(_write(folder, '[images]\ncameras = ["left/*.tif"]\n[roi]\nmask = "roi.png"\n'))
    assert [p.name for p in exp.images[0]] == ["img_1.tif", "img_2.tif", "img_10.tif"]


def test_special_characters_in_the_folder_are_not_glob_syntax(tmp_path):
    base = tmp_path / "run [2]"
    _touch(base, "cam/a_1.png", "cam/a_2.png", "roi.png")
    exp = load_experiment(_write(base, '[images]\ncameras = ["cam/a_*.png"]\n[roi]\nmask = "roi.png"\n'))
    assert [p.name for p in exp.images[0]] == ["a_1.png", "a_2.png"]


def test_refinement_mode_defaults_to_precision_and_keys_override_it(folder):
    base = '[images]\ncameras = ["left/*"]\n[roi]\nmask = "roi.png"\n[dic]\nsubset_radius = 15\n'
    exp = load_experiment(_write(folder, base))
    assert exp.dic == {"subset_radius": 15}  # what the file says
    assert dic_options(exp.dic) == {"subset_radius": 15, **DIC_MODES["precision"]}
    assert DIC_MODES["precision"] == {"criterion": "znssd", "interpolation": "bspline3", "smoothing_sigma": 0.6}
    # "standard" is the engine's own refinement: no option beyond the file's.
    exp = load_experiment(_write(folder, base + 'mode = "standard"\n'))
    assert dic_options(exp.dic) == {"subset_radius": 15}
    # A key of the file wins over its mode's value.
    exp = load_experiment(_write(folder, base + 'smoothing_sigma = 0.0\ninterpolation = "bilinear"\n'))
    assert dic_options(exp.dic) == {
        "subset_radius": 15,
        "criterion": "znssd",
        "interpolation": "bilinear",
        "smoothing_sigma": 0.0,
    }
