"""Region boundaries and response-matrix resampling, checked bit for bit
against a straightforward evaluation written here: linear scans, Python
floats for the per-point arithmetic, NumPy for the per-row set-up."""

import math
import os
import traceback
import types

import numpy as np
import pytest
import scipy.sparse

from tarvix.utils.numerics.cython import respgrid
from tarvix.utils.numerics.cython.respgrid import calculate_regions, respgrid_cy

NAN = math.nan
NAMES = ["response_matrix", "ref_indices", "ref_E_axis", "requested_indices", "requested_E_axis"]


def regions(E_p, max_value, escape):
    backscatter = E_p / ((2 * E_p) / 511 + 1)
    result = [0, backscatter, E_p - backscatter, E_p - 10, E_p + 10]
    result += [E_p - 511, E_p - 1022, max_value] if escape else [max_value]
    return sorted(result) if escape else result


def scan(E, array):
    i = 0
    while i < len(array) and E > array[i]:
        i += 1
    return -1 if i == len(array) else i


def lerp(x, x1, x2, y1, y2):
    return ((y2 - y1) * (x - x1)) / (x2 - x1) + y1


def on_axis(x, xs, ys):
    i = scan(x, xs)
    return NAN if i <= 0 else lerp(x, xs[i - 1], xs[i], ys[i - 1], ys[i])


def expected(matrix, ref_indices, ref_axis, requested, axis, escape=lambda low, high: low > 1022):
    offsets, indices, values = [0], [], []
    refs, xs = ref_indices.tolist(), ref_axis.tolist()
    for E in requested.tolist():
        h = max(scan(E, refs), 1)
        low_E, high_E = refs[h - 1], refs[h]
        low_row = (matrix[h - 1] / np.sum(matrix[h - 1])).tolist()
        high_row = (matrix[h] / np.sum(matrix[h])).tolist()
        top, peaks = float(np.max(axis)), escape(low_E, high_E)
        low = np.asarray(regions(low_E, top, peaks), dtype=np.float64)
        high = np.asarray(regions(high_E, top, peaks), dtype=np.float64)
        t = (E - low_E) / (high_E - low_E)
        mid, low, high = (t * (high - low) + low).tolist(), low.tolist(), high.tolist()
        row = np.empty(len(axis))
        for j, x in enumerate(axis.tolist()):
            k = scan(x, mid)
            if k <= 0:
                row[j] = NAN
                continue
            f = (x - mid[k - 1]) / (mid[k] - mid[k - 1])
            y_high = on_axis(high[k - 1] + f * (high[k] - high[k - 1]), xs, high_row)
            y_low = on_axis(low[k - 1] + f * (low[k] - low[k - 1]), xs, low_row)
            row[j] = lerp(E, low_E, high_E, y_low, y_high)
        row /= np.nansum(row)
        for j, v in enumerate(row.tolist()):
            if v > 1e-12:
                indices.append(j)
                values.append(v)
        offsets.append(len(values))
    return (np.asarray(offsets, dtype=np.int64), np.asarray(indices, dtype=np.int32),
            np.asarray(values, dtype=np.float64))


def assert_same(result, wanted):
    assert [a.dtype for a in result] == [np.int64, np.int32, np.float64]
    for got, want in zip(result, wanted):
        assert got.shape == want.shape and got.tobytes() == want.tobytes()


def case(seed, sort_axes=True, rows=5, ref_columns=40, columns=50, extra_columns=0):
    rng = np.random.default_rng(seed)
    refs = np.sort(rng.uniform(50, 2500, rows))
    ref_axis = rng.uniform(0, 3000, ref_columns)
    axis = rng.uniform(-20, 2900, columns)
    if sort_axes:
        ref_axis.sort()
        axis.sort()
    matrix = rng.uniform(0.1, 1.0, (rows, ref_columns + extra_columns))
    requested = np.concatenate([refs[[0, -1]], rng.uniform(refs[0], refs[-1], 4)])
    return matrix, refs, ref_axis, requested, axis


# -- calculate_regions --------------------------------------------------------

@pytest.mark.parametrize("E_p, escape, approx", [
    (662.0, False, [0, 184.350, 477.650, 652.0, 672.0, 3000.0]),
    (662.0, None, [0, 184.350, 477.650, 652.0, 672.0, 3000.0]),
    (2000.0, True, [0, 226.557, 978.0, 1489.0, 1773.443, 1990.0, 2010.0, 3000.0]),
    (100.0, False, [0, 71.871, 28.129, 90.0, 110.0, 3000.0]),  # not ascending
    (5.0, False, [0, 4.904, 0.096, -5.0, 15.0, 3000.0]),
    (300.0, True, [-722.0, -211.0, 0, 137.984, 162.016, 290.0, 310.0, 3000.0]),
    (1022.0, True, [0, 0.0, 204.4, 511.0, 817.6, 1012.0, 1032.0, 3000.0]),
])
def test_region_lists(E_p, escape, approx):
    result = calculate_regions(E_p, 3000.0, escape)
    assert result == regions(E_p, 3000.0, bool(escape))
    assert result == pytest.approx(approx, abs=1e-3)
    assert [type(v) for v in result] == [int if v == 0 and type(v) is int else float for v in approx]


def test_region_list_edges():
    assert calculate_regions(662.0, 100.0, False)[-1] == 100.0  # no reordering
    assert calculate_regions(E_p=-255.5, max_value=1.0, has_escape_peaks=False)[1] == -math.inf
    nan_list = calculate_regions(NAN, 3000.0, True)
    assert repr(nan_list) == repr(regions(NAN, 3000.0, True))


@pytest.mark.parametrize("flag, name", [(1, "int"), (np.bool_(True), "numpy.bool")])
def test_escape_flag_must_be_bool(flag, name):
    message = f"Argument 'has_escape_peaks' has incorrect type \\(expected bool, got {name}\\)"
    with pytest.raises(TypeError, match=message):
        calculate_regions(662.0, 3000.0, flag)


# -- respgrid_cy: results ----------------------------------------------------

@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("sort_axes", [True, False])
def test_matches_straightforward_evaluation(seed, sort_axes):
    arrays = case(seed, sort_axes, extra_columns=3 * seed)
    result = respgrid_cy(*arrays)
    assert_same(result, expected(*arrays))
    matrix = scipy.sparse.csr_array(result[::-1], shape=(len(arrays[3]), len(arrays[4])))
    matrix.check_format(full_check=True)
    assert matrix.has_sorted_indices
    # The values of every row sum to 1 (nothing is dropped but NaN).
    np.testing.assert_allclose(matrix.sum(axis=1), 1.0, rtol=1e-12)


@pytest.mark.filterwarnings("ignore:invalid value encountered")
@pytest.mark.parametrize("position, index, value", [
    (2, 20, "tie"), (2, 39, math.inf), (2, 5, NAN), (4, 5, NAN), (4, 49, math.inf), (1, 3, NAN),
])
def test_nan_inf_and_ties_in_axes(position, index, value):
    arrays = case(7)
    target = arrays[position]
    target[index] = target[index - 1] if value == "tie" else value
    assert_same(respgrid_cy(*arrays), expected(*arrays))


@pytest.mark.parametrize("low_E, high_E, escape", [
    (1022.0, 2000.0, lambda low, high: False),   # six boundaries, high_E above 1022 or not
    (1100.0, 2000.0, lambda low, high: True),    # eight for both
])
def test_boundary_count_follows_the_lower_energy(low_E, high_E, escape):
    matrix, _, ref_axis, _, axis = case(3, rows=2)
    arrays = (matrix, np.array([low_E, high_E]), ref_axis, np.array([1500.0]), axis)
    assert_same(respgrid_cy(*arrays), expected(*arrays, escape=escape))
    other = expected(*arrays, escape=lambda low, high: not escape(low, high))
    assert respgrid_cy(*arrays)[2].tobytes() != other[2].tobytes()


@pytest.mark.parametrize("row", [0, 1, 2])
def test_reference_energies_give_the_reference_row(row):
    # E = ref_indices[row] is the reference row itself resampled (t = 0 at
    # the first energy, t = 1 elsewhere); the axes match, so x maps to x.
    rng = np.random.default_rng(row)
    matrix = rng.uniform(0.1, 1.0, (3, 60))
    ref_axis = np.linspace(0.0, 3000.0, 60)
    axis = np.linspace(0.0, 2500.0, 37)
    refs = np.array([300.0, 700.0, 1000.0])
    offsets, indices, values = respgrid_cy(matrix, refs, ref_axis, refs[[row]], axis)
    # An axis starting at 0 keV: only column 0 is NaN, and no error.
    assert indices.tolist() == list(range(1, len(axis)))
    wanted = np.interp(axis, ref_axis, matrix[row])[indices]
    np.testing.assert_allclose(values, wanted / wanted.sum(), rtol=1e-9)


def test_constant_rows_give_one_value_and_mapped_energies_off_the_axis_give_nothing():
    matrix = np.array([[3.0] * 30, [7.0] * 30])
    ref_axis = np.linspace(200.0, 600.0, 30)
    axis = np.linspace(0.0, 1000.0, 101)
    offsets, indices, values = respgrid_cy(matrix, np.array([500.0, 800.0]), ref_axis,
                                           np.array([600.0]), axis)
    kept = axis[indices]
    assert kept.min() > 150 and kept.max() < 700 and len(kept) < 50
    np.testing.assert_allclose(values, 1.0 / len(values), rtol=1e-12)


def test_row_with_nothing_kept_repeats_its_offset():
    matrix, refs, ref_axis, _, axis = case(4)
    matrix[2] = 0.0  # normalised to NaN: nothing of the rows it brackets is kept
    requested = np.array([refs[0] + 1, (refs[1] + refs[2]) / 2, refs[0] + 1])
    with pytest.warns(RuntimeWarning, match="invalid value encountered in divide"):
        offsets, indices, values = respgrid_cy(matrix, refs, ref_axis, requested, axis)
    assert offsets[1] == offsets[2] > 0 and offsets[3] == 2 * offsets[1]


def test_empty_request_reads_nothing_else():
    frozen = np.ones(0)
    frozen.flags.writeable = False
    result = respgrid_cy(np.ones((0, 0)), frozen, frozen, frozen, frozen)
    assert_same(result, (np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0)))


@pytest.mark.parametrize("frozen, refused", [(0, False), (3, False), (1, True), (2, True), (4, True)])
def test_read_only_arguments(frozen, refused):
    arrays = list(case(5))
    arrays[frozen].flags.writeable = False
    if refused:
        with pytest.raises(ValueError, match="read-only"):
            respgrid_cy(*arrays)
    else:
        assert_same(respgrid_cy(*arrays), expected(*arrays))


# -- respgrid_cy: refusals ---------------------------------------------------

@pytest.mark.parametrize("requested, message", [
    ([500.0, 49.0],
     r"requested_indices\[1\] = 49.0 is outside the range of ref_indices \[50.0, 2500.0\]"),
    ([2500.5], r"requested_indices\[0\] = 2500.5 is outside"),
    ([NAN], r"requested_indices\[0\] = nan is outside"),
])
def test_requested_energy_outside_reference_range(requested, message):
    matrix, _, ref_axis, _, axis = case(0, rows=3)
    with pytest.raises(ValueError, match=message):
        respgrid_cy(matrix, np.array([50.0, 800.0, 2500.0]), ref_axis, np.array(requested), axis)


@pytest.mark.parametrize("rows, columns, message", [
    (1, 40, r"ref_indices needs at least 2 entries \(to bracket the requested energies\), got 1"),
    (0, 40, "ref_indices needs at least 2 entries"),
    (3, 39, r"response_matrix needs at least 40 columns \(one per entry of ref_E_axis\), got 39"),
])
def test_too_few_references_or_columns(rows, columns, message):
    ref_axis = np.linspace(0, 3000, 40)
    refs = np.linspace(100, 2000, rows)
    with pytest.raises(ValueError, match=message):
        respgrid_cy(np.ones((max(rows, 3), columns)), refs, ref_axis, np.array([100.0]), ref_axis)


@pytest.mark.parametrize("changes, error, message", [
    *[({position: None}, TypeError,
       f"Argument '{name}' has incorrect type \\(expected numpy.ndarray, got NoneType\\)")
      for position, name in enumerate(NAMES)],
    # None is refused only after the type and buffer checks of all five.
    ({0: None, 4: np.ones(3, np.float32)}, ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
    ({2: [1.0], 4: None}, TypeError,
     r"Argument 'ref_E_axis' has incorrect type \(expected numpy.ndarray, got list\)"),
])
def test_argument_refusals(changes, error, message):
    arrays = list(case(1))
    for position, value in changes.items():
        arrays[position] = value
    with pytest.raises(error, match=message):
        respgrid_cy(*arrays)


def test_row_set_up_failure_names_the_inner_routine():
    matrix, refs, ref_axis, requested, _ = case(2)
    with pytest.raises(ValueError, match="zero-size array") as caught:
        respgrid_cy(matrix, refs, ref_axis, requested, np.empty(0))
    names = [entry.name for entry in traceback.extract_tb(caught.value.__traceback__)]
    prefix = "tarvix.utils.numerics.cython.respgrid."
    assert names.index(prefix + "respgrid_cy") + 1 == names.index(prefix + "interpolate_response_row")


@pytest.mark.parametrize("missing, error", [
    ("np", "name 'np' is not defined"),
    ("asarray", "no attribute 'asarray'"),  # looked up for the result arrays too
    ("int32", "no attribute 'int32'"),
])
def test_np_is_looked_up_at_use(monkeypatch, missing, error):
    kept = ["empty", "float64", "asarray", "int64", "int32"]
    stub = types.SimpleNamespace(**{name: getattr(np, name) for name in kept if name != missing})
    if missing == "np":
        monkeypatch.delattr(respgrid, "np")
    else:
        monkeypatch.setattr(respgrid, "np", stub)
    matrix, refs, ref_axis, _, axis = case(2)
    with pytest.raises((NameError, AttributeError), match=error):
        respgrid_cy(matrix, refs, ref_axis, np.empty(0), axis)


class RecordingAsarray:
    """np.asarray that records what it is called with and what it returns;
    dtype must come as a keyword."""

    def __init__(self):
        self.calls = []

    def __call__(self, values, *, dtype):
        result = np.asarray(values, dtype=dtype)
        self.calls.append((values, dtype, result))
        return result


@pytest.mark.filterwarnings("ignore:invalid value encountered")
@pytest.mark.parametrize("level", [1.0, 0.0], ids=["kept", "all dropped"])
def test_result_conversions_call_what_np_holds(monkeypatch, level):
    # An asarray of np's other than NumPy's own: the three result arrays are
    # what it returns, called on lists of the values with dtype as keyword.
    arrays = case(6)
    arrays[0][:] *= level  # zero rows normalise to NaN: nothing kept
    wanted = respgrid_cy(*arrays)
    record = RecordingAsarray()
    stub = types.SimpleNamespace(**vars(np))
    stub.asarray = record
    monkeypatch.setattr(respgrid, "np", stub)
    result = respgrid_cy(*arrays)
    # Two region lists per requested row, then the three results.
    assert len(record.calls) == 2 * len(arrays[3]) + 3
    final = record.calls[-3:]
    assert [dtype for _, dtype, _ in final] == [np.int64, np.int32, np.float64]
    for got, want, (values, _, returned) in zip(result, wanted, final):
        assert got is returned
        assert type(values) is list and values == want.tolist()
    assert [type(v) for v in final[0][0] + final[1][0]] == [int] * (len(wanted[0]) + len(wanted[1]))
    assert_same(result, wanted)


@pytest.mark.parametrize("name, replacement", [("int64", np.int32), ("int32", np.int16)])
def test_result_dtype_is_what_np_holds(monkeypatch, name, replacement):
    arrays = case(3)
    wanted = respgrid_cy(*arrays)
    stub = types.SimpleNamespace(**vars(np))
    setattr(stub, name, replacement)
    monkeypatch.setattr(respgrid, "np", stub)
    result = respgrid_cy(*arrays)
    replaced = ["int64", "int32"].index(name)
    assert result[replaced].dtype == replacement
    assert result[replaced].tolist() == wanted[replaced].tolist()
    for got, want in list(zip(result, wanted))[replaced + 1:]:
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes()


class RecordingNamespace(types.SimpleNamespace):
    """numpy's names, recording each look-up."""

    def __getattribute__(self, name):
        if name != "looked_up" and not name.startswith("__"):
            object.__getattribute__(self, "looked_up").append(name)
        return object.__getattribute__(self, name)


def test_result_look_ups_in_expression_order(monkeypatch):
    # np.asarray(offsets, dtype=np.int64), np.asarray(indices, dtype=np.int32),
    # np.asarray(values, dtype=np.float64): each function before its dtype.
    stub = RecordingNamespace(**vars(np), looked_up=[])
    monkeypatch.setattr(respgrid, "np", stub)
    respgrid_cy(*case(4))
    tail = stub.looked_up[-7:]
    assert tail[1:] == ["asarray", "int64", "asarray", "int32", "asarray", "float64"]
    assert tail[0] != "asarray"


@pytest.mark.skipif(os.environ.get("TARVIX_SANITIZED") == "1",
                    reason="AddressSanitizer aborts where operator new would throw bad_alloc")
def test_request_too_large_for_memory_fails_at_once():
    # 2**40 requested rows would need terabytes of offsets: refused before
    # any energy is looked at, instead of after checking 10**12 of them.
    huge = np.broadcast_to(np.float64(1.5), (2**40,))
    with pytest.raises(MemoryError):
        respgrid_cy(np.ones((2, 3)), np.array([1.0, 2.0]), np.ones(3), huge, np.ones(3))
