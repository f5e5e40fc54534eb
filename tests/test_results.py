"""Building blocks of the results: grid meshes, the mean strain tensor, seeds, deterministic atomic files."""

from __future__ import annotations

import os
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import meshio
import numpy as np
import pytest
from conftest import REPO_ROOT, assert_close

from dicpipe import export
from dicpipe.figures import nodes_from_faces, robust_limit
from dicpipe.grid import choose_seed, estimate_shift, grid_shape, seed_search_radius
from dicpipe.measure import mean_strain
from dicpipe.mesh import face_normals, grid_faces

# --------------------------------------------------------------------------
# Grid meshes
# --------------------------------------------------------------------------


def _signed_areas(faces, rows, cols):
    r, c = np.divmod(faces, cols)
    a, b, d = (np.stack([c[:, k], r[:, k]], axis=1).astype(float) for k in range(3))
    return 0.5 * ((b[:, 0] - a[:, 0]) * (d[:, 1] - a[:, 1]) - (b[:, 1] - a[:, 1]) * (d[:, 0] - a[:, 0]))


def test_grid_faces_cover_the_valid_squares_once_with_one_orientation():
    rng = np.random.default_rng(5)
    valid = rng.random((9, 12)) < 0.8
    faces = grid_faces(valid)
    rows, cols = valid.shape
    assert faces.dtype == np.int64 and faces.shape[1] == 3
    assert valid.ravel()[faces].all(), "a face uses an invalid node"
    areas = _signed_areas(faces, rows, cols)
    # Every face is half a grid square, seen clockwise in the image (y down): normal towards the camera.
    assert np.all(areas == -0.5)
    # Count per square: 2 when its four corners are valid, 1 with three, 0 otherwise.
    corners = valid[:-1, :-1].astype(int) + valid[:-1, 1:] + valid[1:, :-1] + valid[1:, 1:]
    expected = np.where(corners == 4, 2, np.where(corners == 3, 1, 0)).sum()
    assert len(faces) == expected
    # The faces of a full grid tile its bounding rectangle without overlap.
    full = grid_faces(np.ones((4, 5), bool))
    assert len(full) == 2 * 3 * 4 and np.isclose(-_signed_areas(full, 4, 5).sum(), 3 * 4)
    assert len({tuple(sorted(f)) for f in full.tolist()}) == len(full)


def test_grid_faces_alternate_diagonals_and_handle_degenerate_grids():
    faces = grid_faces(np.ones((3, 3), bool))
    # Square (0, 0) is cut from top-left to bottom-right (nodes 0 and 4), square (0, 1) the other way (2 and 4).
    diagonals = [set(map(int, f)) for f in faces.tolist()]
    assert {0, 4} <= diagonals[0] and {0, 4} <= diagonals[1]
    assert {2, 4} <= diagonals[2] and {2, 4} <= diagonals[3]
    assert grid_faces(np.ones((1, 7), bool)).shape == (0, 3)
    assert grid_faces(np.zeros((4, 4), bool)).shape == (0, 3)
    with pytest.raises(ValueError, match="2-D"):
        grid_faces(np.ones(5, bool))


# --------------------------------------------------------------------------
# Mean strain tensor
# --------------------------------------------------------------------------


def test_mean_strain_averages_tensors_not_principal_values():
    # Two equal faces with opposite shears: each has principal values -a and +a,
    # but the mean tensor is zero, and so are its principal values.
    a = 0.003
    emat = np.array([[[a, 0, 0], [0, -a, 0], [0, 0, 0]], [[-a, 0, 0], [0, a, 0], [0, 0, 0]]])
    normals = np.array([[0, 0, 1.0], [0, 0, 1.0]])
    ms = mean_strain(emat, np.array([1.0, 1.0]), np.array([True, True]), normals)
    assert_close(ms.tensor, np.zeros((3, 3)), abs_=1e-18)
    assert abs(ms.minor) < 1e-18 and abs(ms.major) < 1e-18 and ms.area == 2.0


def test_mean_strain_weights_by_area_skips_invalid_faces_and_drops_the_normal_direction():
    e1 = np.diag([0.01, 0.002, 0.0])
    e2 = np.diag([0.004, 0.0, 0.0])
    nan = np.full((3, 3), np.nan)
    emat = np.stack([e1, e2, nan])
    area = np.array([1.0, 3.0, 5.0])
    valid = np.array([True, True, False])
    ms = mean_strain(emat, area, valid, np.array([[0, 0, -1.0]] * 3))
    mean = (1.0 * e1 + 3.0 * e2) / 4.0
    assert_close(ms.tensor, mean)
    assert np.isclose(ms.minor, mean[1, 1]) and np.isclose(ms.major, mean[0, 0])
    # A surface in the x = const plane: the zero eigenvalue along x is removed, not the smallest one.
    tilted = np.diag([0.0, -0.002, 0.005])
    ms2 = mean_strain(tilted[None], np.array([2.0]), np.array([True]), np.array([[1.0, 0, 0]]))
    assert np.isclose(ms2.minor, -0.002) and np.isclose(ms2.major, 0.005)
    none = mean_strain(emat, area, np.zeros(3, bool), np.zeros((3, 3)))
    assert np.isnan(none.minor) and np.isnan(none.major) and none.area == 0.0


def test_face_normals_of_grid_faces_point_towards_the_camera():
    valid = np.ones((3, 4), bool)
    faces = grid_faces(valid)
    y, x = np.mgrid[0:3, 0:4]
    pts = np.stack([x.ravel(), y.ravel(), np.zeros(12)], axis=1).astype(float)
    assert_close(face_normals(pts, faces), np.tile([0.0, 0.0, -1.0], (len(faces), 1)))


# --------------------------------------------------------------------------
# Seeds and their search window
# --------------------------------------------------------------------------


def _random_masks(rng):
    from scipy import ndimage

    for t in range(60):
        h, w = (int(v) for v in rng.integers(1, 50, 2))
        m = rng.random((h, w)) < rng.uniform(0.3, 0.9)
        yield ndimage.binary_opening(m) if t % 2 else m
    yy, xx = np.mgrid[0:300, 0:420]
    disc = (xx - 200) ** 2 + (yy - 150) ** 2 < 130**2  # boundary distances hit whole radii exactly
    disc[::37, ::41] = False
    yield disc
    yield np.zeros((5, 7), bool)
    yield np.ones((4, 6), bool)


def test_regions_and_inner_distances_are_those_of_the_exact_transforms():
    # The seed and the region numbering of a plan depend on these; they must number the regions and
    # compare distances exactly as the labelling and Euclidean distance transform of SciPy do.
    from scipy import ndimage

    from dicpipe.grid import farther_than, label_regions

    for m in _random_masks(np.random.default_rng(11)):
        expected, count = ndimage.label(m)
        labels, n = label_regions(m)
        assert n == count and labels.dtype == expected.dtype and np.array_equal(labels, expected)
        distance = ndimage.distance_transform_edt(np.pad(m, 1))[1:-1, 1:-1]
        for r in (0, 1, 2, 2.5, 5, 13, 40):
            assert np.array_equal(farther_than(m, r), distance > r), r


def test_seed_lies_in_the_largest_region_with_its_subset_inside():
    mask = np.zeros((120, 200), bool)
    mask[10:40, 10:40] = True  # small region, nearer to the image's corner
    mask[30:110, 80:190] = True  # the largest region
    x, y = choose_seed(mask, 6, 20)
    assert x % 6 == 0 and y % 6 == 0
    assert 80 + 20 < x < 190 - 20 and 30 + 20 < y < 110 - 20
    # A thin region: no node has its whole subset inside, the nearest node inside is taken.
    thin = np.zeros((100, 100), bool)
    thin[48:53, 10:90] = True
    x, y = choose_seed(thin, 6, 20)
    assert thin[y, x]


def test_estimate_shift_finds_large_motions():
    rng = np.random.default_rng(11)
    ref = rng.random((160, 220))
    ref = (ref + np.roll(ref, 1, 0) + np.roll(ref, 1, 1)) / 3
    dx, dy = -57, 23
    dfm = np.roll(np.roll(ref, dy, axis=0), dx, axis=1)
    sx, sy, score = estimate_shift(ref, dfm, (110, 70), 30)
    assert (sx, sy) == (dx, dy) and score > 0.99
    assert seed_search_radius((sx, sy), 10) == 67
    # No texture: no estimate.
    assert estimate_shift(np.ones((50, 50)), np.ones((50, 50)), (25, 25), 10)[2] == -1.0


def test_grid_shape_counts_the_multiples_of_the_step():
    assert grid_shape(100, 80, 5) == (16, 20)
    assert grid_shape(101, 80, 5) == (16, 21)


# --------------------------------------------------------------------------
# Files
# --------------------------------------------------------------------------


def test_npz_bytes_are_deterministic_and_load_back(tmp_path):
    arrays = {"u": np.arange(6.0).reshape(2, 3), "valid": np.array([True, False]), "n": np.int64(4)}
    a = export.npz_bytes(arrays)
    # Same content at another moment gives the same bytes (no clock in the archive).
    b = export.npz_bytes({k: np.copy(v) for k, v in arrays.items()})
    assert a == b
    (tmp_path / "a.npz").write_bytes(a)
    with np.load(tmp_path / "a.npz") as z:
        assert set(z.files) == {"u", "valid", "n"}
        assert np.array_equal(z["u"], arrays["u"]) and z["valid"].dtype == np.bool_ and z["n"] == 4
    with pytest.raises(ValueError):
        export.npz_bytes({"o": np.array([object()])})  # no pickles in result files


def test_write_atomic_leaves_old_content_when_writing_fails(tmp_path, monkeypatch):
    target = tmp_path / "f.bin"
    export.write_atomic(target, b"old")

    def broken_fsync(fd):
        raise OSError("disk full")

    monkeypatch.setattr(os, "fsync", broken_fsync)
    with pytest.raises(OSError, match="disk full"):
        export.write_atomic(target, b"new content")
    assert target.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["f.bin"], "the temporary file must not stay behind"


def test_vtu_and_pvd_open_with_their_data(tmp_path):
    pts = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0.5]])
    faces = np.array([[0, 2, 1], [1, 2, 3]])
    emat = np.arange(18.0).reshape(2, 3, 3)
    data = export.vtu_bytes(
        pts, faces, {"displacement": pts * 2}, {"Emat": emat, "Epc2": np.array([0.1, np.nan]), "ok": [True, False]}
    )
    assert data == export.vtu_bytes(
        pts, faces, {"displacement": pts * 2}, {"Emat": emat, "Epc2": np.array([0.1, np.nan]), "ok": [True, False]}
    )
    (tmp_path / "m.vtu").write_bytes(data)
    m = meshio.read(tmp_path / "m.vtu")
    assert_close(m.points, pts)
    assert np.array_equal(m.cells_dict["triangle"], faces)
    assert_close(m.point_data["displacement"], pts * 2)
    assert_close(m.cell_data["Emat"][0], emat.reshape(2, 9))
    assert np.isnan(m.cell_data["Epc2"][0][1]) and list(m.cell_data["ok"][0]) == [1, 0]
    root = ET.fromstring(export.pvd_bytes([(1, "frames/a&b.vtu"), (12, "frames/c.vtu")]))
    sets = root.findall("./Collection/DataSet")
    assert [(d.get("timestep"), d.get("file")) for d in sets] == [("1", "frames/a&b.vtu"), ("12", "frames/c.vtu")]


def test_csv_and_json_texts():
    text = export.csv_bytes(["a", "b", "c"], [[1, 0.1, "x,y"], [2, float("nan"), ""]]).decode()
    assert text == 'a,b,c\n1,0.1,"x,y"\n2,,\n'
    assert (
        export.json_bytes({"v": np.float64(np.inf), "p": [np.int64(2)]})
        == b'{\n  "v": null,\n  "p": [\n    2\n  ]\n}\n'
    )


def test_robust_limits_and_node_values():
    v = np.concatenate([np.linspace(-1, 1, 1000), [50.0, np.nan]])
    assert 0.9 < robust_limit(v) < 1.1  # the outlier does not set the scale
    assert robust_limit(np.zeros(4)) > 0 and robust_limit(np.array([np.nan])) == 1.0
    faces = grid_faces(np.ones((2, 3), bool))
    nodes = nodes_from_faces(np.array([1.0, 3.0, np.nan, 5.0]), faces, (2, 3))
    # Node 0 belongs to faces 0 and 1; node 2 to faces 2 and 3 (face 2 carries no value).
    assert nodes[0, 0] == 2.0 and nodes[0, 2] == 5.0
    assert np.isnan(nodes_from_faces(np.array([np.nan]), faces[:1], (2, 3))).all()


def test_import_is_cheap_and_has_no_side_effects():
    code = (
        "import sys, dicpipe; heavy = [m for m in ('numpy', 'matplotlib', 'scipy', 'dask', 'distributed', 'cv2') "
        "if m in sys.modules]; print(heavy, dicpipe.__version__, len(dicpipe.__all__))"
    )
    env = dict(os.environ, PYTHONPATH=str(REPO_ROOT / "python"))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True).stdout
    heavy, version, count = out.split(" ", 1)[0], *out.split()[-2:]
    assert heavy == "[]", out
    assert int(count) > 20
    import dicpipe

    assert version == dicpipe.__version__
    for name in dicpipe.__all__:
        assert getattr(dicpipe, name) is not None
    with pytest.raises(AttributeError):
        dicpipe.no_such_name  # noqa: B018


def test_the_series_module_loads_no_library_the_workers_alone_need():
    # The command imports it before the stereo match and the first tasks: SciPy, matplotlib, meshio and
    # Dask load in the workers (or when a task runs here), not while this process prepares the series.
    code = (
        "import sys, dicpipe.measure, dicpipe.command; print(sorted({m.split('.')[0] for m in sys.modules} & "
        "{'scipy', 'matplotlib', 'meshio', 'dask', 'distributed', 'native_vostrel', 'tqdm'}))"
    )
    env = dict(os.environ, PYTHONPATH=str(REPO_ROOT / "python"))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True).stdout
    assert out.strip() == "[]"


def test_version_matches_the_package_metadata():
    import tomllib

    import dicpipe

    project = tomllib.loads((REPO_ROOT / "pyproject.toml").read_text())["project"]
    assert project["version"] == dicpipe.__version__
    assert project["scripts"]["dicpipe"] == "dicpipe.command:main"


def test_local_workers_import_dicpipe_from_where_this_process_did():
    # The workers are forked from a server process that does not run under this process's sys.path:
    # had it imported dicpipe, the workers would run that copy (an installed one) instead of this one.
    import dicpipe
    from dicpipe._runners import _Pool

    pool = _Pool(1)
    try:
        fut = pool.submit("where", eval, "__import__('dicpipe').__file__")
        pool.wait([fut])
        assert pool.outcome(fut) == dicpipe.__file__
    finally:
        pool.close()


def test_texture_shared_among_idle_workers_is_the_texture_computed_here(tmp_path):
    # The runs handed to the workers and those computed in this process join into one plan's texture.
    import tifffile
    from speckle_series import render

    from dicpipe._runners import _Pool, _Serial
    from dicpipe._tasks import _share_texture, _shared_texture
    from dicpipe.experiment import QualityOptions
    from dicpipe.images import probe_image
    from dicpipe.tracking import plan_noise, point_texture

    img = np.round(render(200, 150, None, seed=4)).clip(0, 255).astype(np.uint8)
    tifffile.imwrite(tmp_path / "ref.tif", img)
    info = probe_image(tmp_path / "ref.tif")
    roi = np.zeros(img.shape, bool)
    roi[5:145, 10:190] = True
    dic, quality = {"subset_radius": 10, "subset_spacing": 4}, QualityOptions()
    image = img.astype(float)
    expected = point_texture(image, roi, dic, plan_noise(image, roi, quality))
    assert _share_texture(_Serial(), "0", image, info, roi, dic, quality) is None  # nothing to share out
    pool = _Pool(2)
    try:
        pool.warm_up()
        pool.starter.join()
        for started in pool.started:  # every worker up
            started.result()
        shared = _share_texture(pool, "0", image, info, roi, dic, quality)
        handed = sum(not isinstance(p, np.ndarray) for p in shared[1])
        noise, values = _shared_texture(pool, shared)
    finally:
        pool.close()
    assert handed > 0 and len(shared[1]) > 1
    assert noise == plan_noise(image, roi, quality) and values.tobytes() == expected.tobytes()


def test_work_runs_here_while_no_worker_would_start_it():
    from dicpipe._runners import _Pool, _Serial

    assert _Serial().outcome(_Serial().submit_or_run("pid", os.getpid)) == os.getpid()
    pool = _Pool(2)
    try:
        blocker = [pool.submit(f"sleep-{i}", time.sleep, 2.0) for i in range(2)]
        assert not pool.idle()
        here = pool.submit_or_run("pid", os.getpid)
        assert here.done() and pool.outcome(here) == os.getpid()
        while blocker:
            blocker = [f for f in blocker if f not in pool.wait(blocker)]
        assert pool.idle()
        there = pool.submit_or_run("pid", os.getpid)
        pool.wait([there])
        assert pool.outcome(there) != os.getpid()
    finally:
        pool.close()
