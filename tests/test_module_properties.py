"""Property tests of native_vostrel under arbitrary arguments: random shapes,
dtypes and memory layouts, both lens models, out-of-range camera and vertex
indices, NaN and huge values, empty inputs. Every call either returns the stated dictionary
(keys, dtypes, shapes, fresh C-contiguous arrays) or raises TypeError or
ValueError; well-formed calls never raise, and their results do not depend
on the memory layout of the arguments."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import native_vostrel as nv

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
NAN, INF = math.nan, math.inf

# Fixed, derandomised runs that also fit the sanitizer build's time budget.
FAST = settings(
    max_examples=120,
    derandomize=True,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

PAIR_KEYS = [
    ("point_indices", np.int64, 1),
    ("uv_ref_a", np.float64, 2),
    ("uv_ref_b", np.float64, 2),
    ("uv_def_a", np.float64, 2),
    ("uv_def_b", np.float64, 2),
    ("points_ref_sfm", np.float64, 3),
    ("points_def_sfm", np.float64, 3),
    ("points_ref_world", np.float64, 3),
    ("points_def_world", np.float64, 3),
    ("displacement_sfm", np.float64, 3),
    ("displacement_world", np.float64, 3),
    ("displacement_norm_world", np.float64, 1),
    ("corr_a", np.float64, 1),
    ("corr_b", np.float64, 1),
    ("corr_comb", np.float64, 1),
    ("reprojection_error_ref", np.float64, 1),
    ("reprojection_error_def", np.float64, 1),
    ("valid_points", np.bool_, 1),
]
TRACK_KEYS = [
    ("point_indices", np.int64, 1),
    ("points_ref_sfm", np.float64, 3),
    ("points_def_sfm", np.float64, 3),
    ("displacement_sfm", np.float64, 3),
    ("points_ref_world", np.float64, 3),
    ("points_def_world", np.float64, 3),
    ("displacement_world", np.float64, 3),
    ("num_views", np.int32, 1),
    ("mean_corrcoef", np.float64, 1),
    ("reprojection_error_ref", np.float64, 1),
    ("reprojection_error_def", np.float64, 1),
    ("valid", np.bool_, 1),
]
STRAIN_KEYS = (
    [("Fmat", 9), ("Cmat", 9), ("J", 1), ("Emat", 9), ("emat", 9)]
    + [(k, 1) for k in ["Emgn", "emgn", "Epc1", "Epc2", "epc1", "epc2", "EShearMax", "eShearMax", "Eeq", "eeq", "Area"]]
    + [("d3", 3), ("Lambda1", 1), ("Lambda2", 1), ("valid_strain_faces", 0)]
)

# ---------------------------------------------------------------------------
# Value and layout strategies

HOSTILE_FLOATS = [NAN, -NAN, INF, -INF, 1e300, -1e300, 5e-324, -0.0, 0.0, 1e-300]
finite_floats = st.floats(-100.0, 100.0, allow_nan=False, width=64)
any_floats = st.one_of(finite_floats, finite_floats, finite_floats, st.sampled_from(HOSTILE_FLOATS))
small_ints = st.integers(-3, 8)
hostile_ints = st.one_of(small_ints, small_ints, small_ints, st.sampled_from([INT32_MIN, -1, INT32_MAX]))

SAME_VALUE_LAYOUTS = ["c", "f", "neg", "step"]
ALL_LAYOUTS = SAME_VALUE_LAYOUTS + ["list", "cast"]


def relayout(a: np.ndarray, layout: str):
    """The same values in another memory layout (or as another object kind)."""
    if layout == "c":
        return np.ascontiguousarray(a)
    if layout == "f":
        return np.asfortranarray(a)
    if layout == "neg":  # negative strides on every axis, same values
        return np.flip(np.ascontiguousarray(np.flip(a)))
    if layout == "step":  # every other element of a larger buffer
        big = np.zeros(tuple(2 * n + 1 for n in a.shape), dtype=a.dtype)
        view = big[tuple(slice(1, None, 2) for _ in a.shape)]
        view[...] = a
        return view
    if layout == "list":
        return a.tolist()
    if layout == "cast":  # a dtype that must be converted, with NumPy's unsafe casting
        other = {np.float64: np.float32, np.int64: np.float64, np.int32: np.int64, np.bool_: np.uint8}
        with np.errstate(all="ignore"):
            return a.astype(other[a.dtype.type])
    raise AssertionError(layout)


@st.composite
def arrays(draw, dtype, shape, elements):
    size = int(np.prod(shape)) if shape else 1
    values = draw(st.lists(elements, min_size=size, max_size=size))
    return np.array(values, dtype=dtype).reshape(shape)


def check_result(result, keys, n_rows: int | None, inputs) -> int:
    """Keys in order, dtypes, shapes, fresh contiguous writeable arrays;
    returns the row count."""
    assert isinstance(result, dict)
    assert [k for k, *_ in keys] == list(result)
    n = len(result[keys[0][0]]) if n_rows is None else n_rows
    for key, dtype, width in keys:
        arr = result[key]
        assert isinstance(arr, np.ndarray) and arr.dtype == dtype, key
        assert arr.shape == ((n,) if width == 1 else (n, width)), (key, arr.shape)
        assert arr.flags.c_contiguous and arr.flags.writeable, key
        for x in inputs:
            if isinstance(x, np.ndarray):
                assert not np.shares_memory(arr, x), key
    return n


def same_results(a: dict, b: dict) -> None:
    assert list(a) == list(b)
    for key in a:
        assert a[key].shape == b[key].shape, key
        if a[key].dtype.kind == "f":
            assert np.array_equal(a[key], b[key], equal_nan=True), key
        else:
            assert np.array_equal(a[key], b[key]), key


def ndim_message(actual: int, expected: int) -> str:
    return f"array has incorrect number of dimensions: {actual}; expected {expected}"


# ---------------------------------------------------------------------------
# Reconstruction


def hostile(draw, one_in: int = 10) -> bool:
    """One knob of a call turned hostile, so that most calls stay well formed."""
    return draw(st.integers(0, one_in - 1)) == 0


@st.composite
def reconstruction_call(draw):
    n_cam = draw(st.integers(2, 3)) if not hostile(draw, 4) else draw(st.integers(0, 1))
    n_obs = draw(st.integers(0, 10))
    # Plausible cameras: pinhole, looking down +z at the plane z = 0 from
    # distinct centres; each knob may be replaced by garbage.
    K = np.zeros((n_cam, 3, 3))
    R = np.zeros((n_cam, 3, 3))
    t = np.zeros((n_cam, 3))
    for c in range(n_cam):
        K[c] = [[100.0 + 10 * c, 0, 20], [0, 100.0, 15], [0, 0, 1]]
        a = 0.2 * (c - 1)
        R[c] = [[math.cos(a), 0, math.sin(a)], [0, 1, 0], [-math.sin(a), 0, math.cos(a)]]
        t[c] = [c - 1.0, 0.1 * c, 10.0]
    # The lens model: two radial coefficients, or OpenCV's five and a skew.
    model = draw(st.sampled_from(["radial2", "radial2", "opencv"]))
    if model == "radial2":
        dist = np.zeros((n_cam, draw(st.integers(0, 3))))
        if dist.shape[1] and draw(st.booleans()):
            dist[:, 0] = draw(st.floats(-0.3, 0.3))
    else:
        dist = np.zeros((n_cam, draw(st.integers(5, 6)) if not hostile(draw, 8) else draw(st.integers(0, 4))))
        if dist.shape[1] >= 5 and draw(st.booleans()):
            dist[:, :5] = [draw(st.floats(-lim, lim)) for lim in (0.6, 0.2, 0.01, 0.01, 0.05)]
            K[:, 0, 1] = draw(st.floats(-2.0, 2.0))
    if hostile(draw):
        K = draw(
            arrays(
                np.float64,
                draw(st.sampled_from([(n_cam, 3, 3), (n_cam, 2, 3), (n_cam, 3, 2), (n_cam + 1, 4, 4)])),
                any_floats,
            )
        )
    if hostile(draw):
        dist = draw(
            arrays(
                np.float64,
                (draw(st.sampled_from([n_cam, n_cam + 1, max(0, n_cam - 1)])), draw(st.integers(0, 3))),
                any_floats,
            )
        )
    if hostile(draw):
        R = draw(arrays(np.float64, draw(st.sampled_from([(n_cam, 3, 3), (n_cam, 3, 1)])), any_floats))
    if hostile(draw):
        t = draw(arrays(np.float64, (n_cam, draw(st.sampled_from([3, 2, 4]))), any_floats))

    ids = draw(arrays(np.int64, (n_obs,), st.integers(0, 3)))
    if hostile(draw, 4):
        ids = draw(arrays(np.int64, (n_obs,), st.integers(-(2**63), 2**63 - 1)))
    cams = draw(arrays(np.int32, (n_obs,), st.integers(0, max(0, n_cam - 1))))
    if hostile(draw):
        cams = draw(
            arrays(np.int32, (n_obs,), st.one_of(st.integers(-2, n_cam + 1), st.sampled_from([INT32_MIN, INT32_MAX])))
        )
    if hostile(draw, 20):
        cams = cams[: max(0, n_obs - 1)]

    spacing = draw(st.integers(0, 9))
    hd, wd = draw(st.integers(1, 6)), draw(st.integers(1, 6))
    extent = (wd - 1 if not hostile(draw, 4) else wd + 1) * (spacing + 1)
    uv_values = st.floats(-0.4, float(extent), allow_nan=False)
    if hostile(draw):
        uv_values = st.one_of(uv_values, st.sampled_from(HOSTILE_FLOATS), st.floats(-1e12, 1e12))
    uv = draw(arrays(np.float64, (n_obs, 2), uv_values))
    if hostile(draw, 20):
        uv = draw(
            arrays(
                np.float64,
                (draw(st.sampled_from([n_obs, max(0, n_obs - 1)])), draw(st.sampled_from([1, 2, 3]))),
                any_floats,
            )
        )

    n_dic = n_cam
    if hostile(draw):
        n_dic = draw(st.sampled_from([n_cam + 1, max(0, n_cam - 1)]))
        hd, wd = draw(st.integers(0, 5)), draw(st.integers(0, 5))
    field = st.floats(-3, 3) if not hostile(draw) else any_floats
    dic_u = draw(arrays(np.float64, (n_dic, hd, wd), field))
    dic_v = draw(arrays(np.float64, (n_dic, hd, wd), field))
    dic_c = draw(
        arrays(
            np.float64,
            (n_dic, hd, wd),
            st.floats(0.3, 1.0) if not hostile(draw) else st.one_of(st.floats(-1, 1), st.sampled_from([NAN, INF])),
        )
    )
    dic_ok = draw(arrays(np.bool_, (n_dic, hd, wd), st.sampled_from([True, True, True, False])))
    rh, rw = hd, wd
    if hostile(draw, 5):
        rh, rw = draw(st.integers(0, hd)), draw(st.integers(0, wd))
    if hostile(draw):
        rh = draw(hostile_ints)
    if hostile(draw):
        rw = draw(hostile_ints)
    if hostile(draw):
        spacing = draw(hostile_ints)
    args = dict(
        K=K,
        dist=dist,
        R=R,
        t=t,
        point_indices=ids,
        cam_indices=cams,
        uv=uv,
        dic_u=dic_u,
        dic_v=dic_v,
        dic_corrcoef=dic_c,
        dic_valid=dic_ok,
        reduced_height=rh,
        reduced_width=rw,
        subset_spacing=spacing,
    )
    # Occasionally one argument with the wrong number of dimensions.
    ndim_break = None
    if hostile(draw, 8):
        ndim_break = draw(
            st.sampled_from(["K", "dist", "R", "t", "point_indices", "cam_indices", "uv", "dic_u", "dic_valid"])
        )
        args[ndim_break] = args[ndim_break].reshape(args[ndim_break].shape + (1,))
    layout = {
        k: draw(st.sampled_from(ALL_LAYOUTS)) if hostile(draw, 6) else "c"
        for k in args
        if isinstance(args[k], np.ndarray)
    }
    return args, layout, ndim_break, n_cam, model


EXPECTED_NDIM = dict(
    K=3, dist=2, R=3, t=2, point_indices=1, cam_indices=1, uv=2, dic_u=3, dic_v=3, dic_corrcoef=3, dic_valid=3
)
VIEW_ORDER = ["K", "dist", "R", "t", "point_indices", "cam_indices", "uv"]


def well_formed(args: dict, n_cam: int, cameras_used, model: str) -> bool:
    """The callers' guarantees of the reconstruction functions."""
    n_obs = len(args["point_indices"])
    K, dist, R, t, uv = args["K"], args["dist"], args["R"], args["t"], args["uv"]
    dic = [args[k] for k in ("dic_u", "dic_v", "dic_corrcoef", "dic_valid")]
    return (
        all(args[k].ndim == EXPECTED_NDIM[k] for k in EXPECTED_NDIM)
        and K.shape[1] >= 3
        and K.shape[2] >= 3
        and R.shape[1] >= 3
        and R.shape[2] >= 3
        and t.shape[1] >= 3
        and (model != "opencv" or dist.shape[1] >= 5)
        and uv.shape[1] >= 2
        and len(args["cam_indices"]) >= n_obs
        and uv.shape[0] >= n_obs
        and all(0 <= c < min(a.shape[0] for a in [K, dist, R, t] + dic) for c in cameras_used)
        and args["reduced_height"] >= 0
        and args["reduced_width"] >= 0
        and all(a.shape[1] >= args["reduced_height"] and a.shape[2] >= args["reduced_width"] for a in dic)
    )


def call_or_reject(fn, args: dict, layout: dict, must_succeed: bool, ndim_break, model: str):
    laid = {k: relayout(v, layout[k]) if k in layout else v for k, v in args.items()}
    try:
        return fn(**laid, distortion_model=model), laid
    except (TypeError, ValueError) as exc:
        if ndim_break in VIEW_ORDER and all(layout.get(k) != "list" for k in VIEW_ORDER):
            # The first view with a wrong dimension count names it exactly.
            first = next(k for k in VIEW_ORDER if np.asarray(args[k]).ndim != EXPECTED_NDIM[k])
            assert isinstance(exc, ValueError)
            assert str(exc) == ndim_message(args[first].ndim, EXPECTED_NDIM[first])
        assert not must_succeed, f"well-formed call rejected: {exc!r}"
        return None, laid


@FAST
@given(call=reconstruction_call(), extra=st.data())
def test_reconstruct_pair_hostile(call, extra):
    args, layout, ndim_break, n_cam, model = call
    cam_a = extra.draw(st.one_of(st.integers(-1, n_cam), st.sampled_from([INT32_MIN, INT32_MAX])))
    cam_b = extra.draw(st.one_of(st.integers(-1, n_cam), st.sampled_from([INT32_MIN, INT32_MAX])))
    args.update(
        cam_a=cam_a,
        cam_b=cam_b,
        min_corrcoef=extra.draw(any_floats),
        max_reprojection_error_px=extra.draw(st.one_of(st.just(1e9), any_floats)),
        scale=extra.draw(any_floats),
    )
    n_obs = len(args["point_indices"])
    cams = args["cam_indices"][:n_obs] if args["cam_indices"].ndim == 1 else []
    cls_ok = ndim_break is None and all(v in SAME_VALUE_LAYOUTS for v in layout.values())
    must = cls_ok and well_formed(args, n_cam, list(cams) + [cam_a, cam_b], model)
    result, laid = call_or_reject(nv.reconstruct_pair_surface_points, args, layout, must, ndim_break, model)
    if result is None:
        return
    n = check_result(result, PAIR_KEYS, None, list(laid.values()))
    ids = result["point_indices"]
    assert np.all(np.diff(ids) > 0)
    assert set(ids.tolist()) <= set(np.asarray(args["point_indices"]).tolist())
    with np.errstate(all="ignore"):
        scale = args["scale"]
        assert np.array_equal(result["points_ref_world"], result["points_ref_sfm"] * scale, equal_nan=True)
        assert np.array_equal(
            result["displacement_sfm"], result["points_def_sfm"] - result["points_ref_sfm"], equal_nan=True
        )
    if n and must and all(v == "c" for v in layout.values()):
        other = {k: "neg" if i % 2 else "f" for i, k in enumerate(layout)}
        same_results(result, call_or_reject(nv.reconstruct_pair_surface_points, args, other, True, None, model)[0])


@FAST
@given(call=reconstruction_call(), extra=st.data())
def test_reconstruct_tracks_hostile(call, extra):
    args, layout, ndim_break, n_cam, model = call
    args.update(
        min_views=extra.draw(hostile_ints),
        min_corrcoef=extra.draw(any_floats),
        max_reprojection_error_px=extra.draw(st.one_of(st.just(1e9), any_floats)),
        scale=extra.draw(any_floats),
    )
    n_obs = len(args["point_indices"])
    cams = args["cam_indices"][:n_obs] if args["cam_indices"].ndim == 1 else []
    cls_ok = ndim_break is None and all(v in SAME_VALUE_LAYOUTS for v in layout.values())
    must = cls_ok and well_formed(args, n_cam, list(cams), model)
    result, laid = call_or_reject(nv.reconstruct_tracks, args, layout, must, ndim_break, model)
    if result is None:
        return
    n = check_result(result, TRACK_KEYS, None, list(laid.values()))
    ids = np.asarray(args["point_indices"]).ravel()
    assert result["point_indices"].tolist() == sorted(set(ids.tolist()))
    counts = {i: int(np.sum(ids == i)) for i in set(ids.tolist())}
    for row in range(n):
        views = int(result["num_views"][row])
        assert 0 <= views <= counts[int(result["point_indices"][row])]
        if views == 0:
            assert result["mean_corrcoef"][row] == 0.0
        if result["valid"][row]:
            assert views >= max(2, args["min_views"])
        else:
            assert not result["points_ref_sfm"][row].any() and not result["displacement_sfm"][row].any()
    if n and must and all(v == "c" for v in layout.values()):
        other = {k: "step" if i % 2 else "neg" for i, k in enumerate(layout)}
        same_results(result, call_or_reject(nv.reconstruct_tracks, args, other, True, None, model)[0])


@pytest.mark.parametrize("fn", ["reconstruct_pair_surface_points", "reconstruct_tracks"])
def test_no_observation_never_reads_the_fields(fn):
    """With empty point_indices the DIC arrays are never viewed, whatever
    their shape, and the huge grid numbers are never used."""
    bad = np.zeros((2, 2))  # two dimensions where three are expected
    args = dict(
        K=np.zeros((0, 3, 3)),
        dist=np.zeros((0, 0)),
        R=np.zeros((0, 3, 3)),
        t=np.zeros((0, 3)),
        point_indices=np.zeros(0, np.int64),
        cam_indices=np.zeros(0, np.int32),
        uv=np.zeros((0, 2)),
        dic_u=bad,
        dic_v=bad,
        dic_corrcoef=bad,
        dic_valid=bad.astype(bool),
        reduced_height=INT32_MAX,
        reduced_width=INT32_MAX,
        subset_spacing=INT32_MIN,
    )
    extra = dict(cam_a=0, cam_b=1) if fn == "reconstruct_pair_surface_points" else dict(min_views=INT32_MAX)
    result = getattr(nv, fn)(**args, **extra, min_corrcoef=NAN, max_reprojection_error_px=NAN, scale=INF)
    check_result(result, PAIR_KEYS if "pair" in fn else TRACK_KEYS, 0, list(args.values()))


@pytest.mark.parametrize("value", [1.5, "3", None, 2**31, -(2**31) - 1])
def test_int_arguments_refuse_non_integers(value):
    args = dict(
        K=np.zeros((1, 3, 3)),
        dist=np.zeros((1, 0)),
        R=np.zeros((1, 3, 3)),
        t=np.zeros((1, 3)),
        point_indices=np.zeros(0, np.int64),
        cam_indices=np.zeros(0, np.int32),
        uv=np.zeros((0, 2)),
        dic_u=np.zeros((1, 1, 1)),
        dic_v=np.zeros((1, 1, 1)),
        dic_corrcoef=np.zeros((1, 1, 1)),
        dic_valid=np.zeros((1, 1, 1), bool),
        reduced_height=1,
        reduced_width=1,
        subset_spacing=value,
        min_views=2,
        min_corrcoef=0.0,
        max_reprojection_error_px=1.0,
        scale=1.0,
    )
    with pytest.raises(TypeError):
        nv.reconstruct_tracks(**args)


# ---------------------------------------------------------------------------
# Surface deformation


@st.composite
def deformation_call(draw):
    m = draw(st.integers(0, 8))
    n = draw(st.integers(3, 7)) if not hostile(draw) else draw(st.integers(0, 3))
    faces = draw(arrays(np.int32, (m, 3), st.integers(0, max(0, n - 1))))
    if hostile(draw):
        faces = draw(
            arrays(
                np.int32,
                (m, draw(st.sampled_from([2, 3, 4]))),
                st.one_of(st.integers(-2, n + 2), st.sampled_from([INT32_MIN, INT32_MAX])),
            )
        )
    coords = finite_floats if not hostile(draw, 4) else st.one_of(finite_floats, st.sampled_from(HOSTILE_FLOATS))
    ref = draw(arrays(np.float64, (n, 3), coords))
    dfm = ref + draw(arrays(np.float64, (n, 3), st.floats(-0.5, 0.5)))
    if hostile(draw):
        dfm = draw(
            arrays(
                np.float64, (draw(st.sampled_from([n, n + 1, max(0, n - 1)])), draw(st.sampled_from([2, 3, 4]))), coords
            )
        )
    if hostile(draw, 20):
        ref = ref[:, :2]
    valid = draw(arrays(np.bool_, (m,), st.sampled_from([True, True, True, False])))
    if hostile(draw):
        valid = draw(arrays(np.bool_, (max(0, m + draw(st.sampled_from([1, -1]))),), st.booleans()))
    args = dict(faces=faces, points_ref=ref, points_def=dfm, valid_faces=valid)
    ndim_break = None
    if hostile(draw, 8):
        ndim_break = draw(st.sampled_from(["faces", "points_ref", "points_def", "valid_faces"]))
        args[ndim_break] = args[ndim_break].reshape(args[ndim_break].shape + (1,))
    layout = {k: draw(st.sampled_from(ALL_LAYOUTS)) if hostile(draw, 5) else "c" for k in args}
    return args, layout, ndim_break


STRAIN_NDIM = dict(faces=2, points_ref=2, points_def=2, valid_faces=1)


@FAST
@given(call=deformation_call())
def test_surface_deformation_hostile(call):
    args, layout, ndim_break = call
    faces, ref, dfm, valid = (args[k] for k in ("faces", "points_ref", "points_def", "valid_faces"))
    shapes_ok = ndim_break is None and faces.shape[1] >= 3 and ref.shape[1] >= 3 and dfm.shape[1] >= 3
    m = faces.shape[0]
    in_range = shapes_ok and bool(np.all((faces[:, :3] >= 0) & (faces[:, :3] < min(len(ref), len(dfm)))))
    # Point arrays of different row counts break the caller's guarantee too.
    must = (
        in_range and len(ref) == len(dfm) and len(valid) >= m and all(v in SAME_VALUE_LAYOUTS for v in layout.values())
    )
    laid = {k: relayout(v, layout[k]) for k, v in args.items()}
    try:
        result = nv.compute_surface_deformation(**laid)
    except (TypeError, ValueError) as exc:
        if ndim_break is not None and all(v != "list" for v in layout.values()):
            first = next(k for k in STRAIN_NDIM if args[k].ndim != STRAIN_NDIM[k])
            assert str(exc) == ndim_message(args[first].ndim, STRAIN_NDIM[first])
        assert not must, f"well-formed call rejected: {exc!r}"
        return
    assert list(result) == [k for k, _ in STRAIN_KEYS]
    for key, width in STRAIN_KEYS:
        arr = result[key]
        assert arr.dtype == (np.bool_ if width == 0 else np.float64), key
        assert arr.shape == {0: (m,), 1: (m,), 3: (m, 3), 9: (m, 3, 3)}[width], key
        assert arr.flags.c_contiguous and arr.flags.writeable
        assert not any(np.shares_memory(arr, x) for x in laid.values() if isinstance(x, np.ndarray))
    ok = result["valid_strain_faces"]
    for i in range(m):
        row = [result[k][i] for k, w in STRAIN_KEYS if w]
        if not ok[i]:
            assert all(np.all(np.isnan(v)) for v in row), i
            continue
        assert i < len(valid) and valid[i]
        assert np.all((faces[i, :3] >= 0) & (faces[i, :3] < min(len(ref), len(dfm))))
        used = np.concatenate([ref[faces[i, :3], :3].ravel(), dfm[faces[i, :3], :3].ravel()])
        assert np.all(np.isfinite(used))
        if np.all(np.abs(used) <= 100.0):  # no intermediate can overflow
            assert all(np.all(np.isfinite(v)) for v in row), i
            assert result["J"][i] > 0 and result["Area"][i] > 0
    if must and m and all(v == "c" for v in layout.values()):
        again = nv.compute_surface_deformation(
            faces=relayout(faces, "neg"),
            points_ref=relayout(ref, "f"),
            points_def=relayout(dfm, "step"),
            valid_faces=relayout(valid, "neg"),
        )
        same_results(result, again)
