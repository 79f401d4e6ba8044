"""len(), indexing, slicing and iteration of an "Acquisition" object."""

import pytest

import vuzevuz
from acqtools import make_acquisition, write_chunk
from formats import ysk16_block, ysk16_event


def ev(value):
    return ysk16_event([ysk16_block(0, 0, [value])])


@pytest.fixture
def acq(tmp_path):
    root = make_acquisition(tmp_path / "acq", chunks=[[ev(0), ev(1), ev(2)], [ev(3), ev(4), ev(5)]],
                            channels=1, windows=1, samples=1)
    return vuzevuz.Acquisition(root)


def values(events):
    return [int(e["data"][0][0]) for e in events]


def test_len_and_int_index(acq):
    assert len(acq) == 6
    assert values([acq[0], acq[5]]) == [0, 5]
    assert acq[True] == acq[1]
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq[6]
    with pytest.raises(IndexError, match="^index out of bounds$"):
        acq[-1]


@pytest.mark.parametrize("key,expected", [
    (slice(None), [0, 1, 2, 3, 4, 5]),
    (slice(-3, None), [3, 4, 5]),
    (slice(5, 2), []),
    (slice(6, None), []),
    (slice(None, None, 2), [0, 2, 4]),
    (slice(1, 100, 4), [1, 5]),
    (slice(-100, 2), [0, 1]),
])
def test_slices(acq, key, expected):
    assert values(acq[key]) == expected


def test_slice_errors(acq):
    with pytest.raises(IndexError, match="^index out of bounds$"):
        acq[::-1]
    with pytest.raises(ValueError):
        acq[::0]
    with pytest.raises(TypeError):
        acq["a":]


@pytest.mark.parametrize("key", [1.0, "0", 2**63, None, (0,)])
def test_bad_index_types(acq, key):
    with pytest.raises(TypeError, match="^index must be an int or a slice$"):
        acq[key]


def test_index_counts_first(tmp_path):
    root = make_acquisition(tmp_path / "acq", chunks=[[ev(0)]], channels=1, windows=1, samples=1)
    import os
    os.mkdir(os.path.join(root, "1.bin"))
    os.mkdir(os.path.join(root, "1.idx"))
    acq = vuzevuz.Acquisition(root)
    with pytest.raises(FileNotFoundError, match="^Invalid path$"):
        acq[0]
    with pytest.raises(FileNotFoundError):
        acq["not even an index"]
    assert [e for e in acq] == []  # list() would ask len() first


def test_iteration(acq):
    it = iter(acq)
    assert it is not acq and iter(it) is it
    assert type(it).__name__ == "IterEvents"
    assert type(it).__doc__ == "Iterator over events in an acquisition"
    assert values(it) == [0, 1, 2, 3, 4, 5]
    assert values(acq) == [0, 1, 2, 3, 4, 5]


def test_iterator_class_constructor(acq):
    it = iter(acq)
    next(it)
    cls = type(it)
    assert values(cls(acq)) == [0, 1, 2, 3, 4, 5]
    assert values(cls(acq=acq)) == [0, 1, 2, 3, 4, 5]
    with pytest.raises(TypeError, match="argument 'acq'"):
        cls(5)


def test_unparsable_event(tmp_path):
    root = make_acquisition(tmp_path / "acq", chunks=[[ev(0), ev(1), b"bad", ev(3)]], channels=1, windows=1,
                            samples=1)
    acq = vuzevuz.Acquisition(root)
    with pytest.raises(Exception) as e:
        acq[0:4]
    assert type(e.value).__name__ == "ParsingError"
    assert values(list(acq)) == [0, 1]
    assert values(acq[:2]) == [0, 1]


def test_exhausted_iterator_sees_new_events(tmp_path):
    root = make_acquisition(tmp_path / "acq", chunks=[[ev(0)]], channels=1, windows=1, samples=1)
    it = iter(vuzevuz.Acquisition(root))
    assert values(it) == [0]
    with pytest.raises(StopIteration):
        next(it)
    write_chunk(root, 1, [ev(7)])
    assert values([next(it)]) == [7]


def test_empty_acquisition(tmp_path):
    acq = vuzevuz.Acquisition(make_acquisition(tmp_path / "acq"))
    assert len(acq) == 0 and not acq
    assert acq[:] == []
    assert list(acq) == []
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq[0]
