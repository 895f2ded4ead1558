"""The write-ahead log: what a store replays is what it acknowledged, in
order, over any snapshot a checkpoint left; torn tails are dropped with a
warning naming their size and damage before the tail is refused with its
offset, leaving the store as it was; files are opened with care; threads log
what they applied. Failed writes and removed files: test_log_failures.py;
save and load with a log open: test_log_checkpoints.py."""
import os
import stat
import struct
import threading
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import run_cpp_test
from log_format import (CONTINUES_PREVIOUS, HEADER, LINKS, LINKS_FOLLOW, RECORD_HEADER, crc32c, first_header,
                        parse_header, records)
from log_helpers import IDS, VectorStorage, content, reopened


vectors = st.lists(st.floats(width=32, allow_nan=False), min_size=3, max_size=3)
payloads = st.none() | st.dictionaries(st.sampled_from(["tenant_id", "n", "note"]),
                                       st.integers(-5, 5) | st.text(max_size=70) | st.floats(allow_nan=False),
                                       max_size=3)
ids = st.sampled_from(IDS)
operations = st.lists(st.one_of(
    st.tuples(st.just("upsert"), ids, vectors, payloads),
    st.tuples(st.just("batch_upsert"), st.lists(st.tuples(ids, vectors, payloads), max_size=5)),
    st.tuples(st.just("delete"), ids),
    st.tuples(st.just("batch_delete"), st.lists(ids, max_size=4)),
    st.tuples(st.just("ef_search"), st.integers(1, 4096)),
    st.tuples(st.just("save")),
), max_size=25)


def apply(store, operation, snapshot):
    kind, *args = operation
    if kind == "upsert":
        store.upsert(*args)
    elif kind == "batch_upsert":
        rows = args[0]
        store.batch_upsert([r[0] for r in rows], [r[1] for r in rows], [r[2] for r in rows])
    elif kind == "delete":
        store.delete(args[0])
    elif kind == "batch_delete":
        store.batch_delete(args[0])
    elif kind == "ef_search":
        store.ef_search = args[0]
    else:
        store.save(str(snapshot))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(operations, st.sampled_from(["always", "batch", "none"]))
def test_replay_gives_the_acknowledged_state(tmp_path_factory, operations, sync):
    """load(last snapshot) + open_log equals the live store; and a checkpoint cut
    between the snapshot and the log's restart (the old log over the new
    snapshot) replays to the state at the save."""
    directory = tmp_path_factory.mktemp("replay")
    log, snapshot = directory / "store.log", directory / "store.snap"
    live = VectorStorage()
    live.open_log(str(log), sync=sync)
    interrupted = None
    for operation in operations:
        if operation[0] == "save":
            old_log = log.read_bytes()
            apply(live, operation, snapshot)
            interrupted = (old_log, content(live))
            assert log.stat().st_size == HEADER
        else:
            apply(live, operation, snapshot)
    live.close_log()
    assert content(reopened(log, snapshot if interrupted else None)) == content(live)
    if interrupted:
        (directory / "old.log").write_bytes(interrupted[0])
        assert content(reopened(directory / "old.log", snapshot)) == interrupted[1]


def write_sample(log):
    """A log of every kind of record; returns the file size after each record
    and the state after each, the first for the empty log."""
    store = VectorStorage()
    store.open_log(str(log), sync="none")
    steps = [
        lambda: store.upsert(1, [1.0, 2.0, 3.0], {"tenant_id": "a", "n": 1}),
        lambda: store.batch_upsert([2, 3, 1], [[0.0, 1.0, 0.0], [1.0, 1.0, 1.0], [3.0, 2.0, 1.0]],
                                   [None, {"x": 0.5}, None]),
        lambda: store.delete(2),
        lambda: store.batch_delete([3, 9]),
        lambda: setattr(store, "ef_search", 77),
        lambda: store.upsert(4, [4.0, 4.0, 4.0], {"note": "y" * 100}),
    ]
    sizes, states = [log.stat().st_size], [content(store)]
    for step in steps:
        step()
        sizes.append(log.stat().st_size)
        states.append(content(store))
    store.close_log()
    return sizes, states


def test_torn_tails_are_dropped_with_their_size(tmp_path):
    """A cut at every byte of the last records: the whole records replay, the
    rest is reported as dropped and cut off, and the log takes records again.
    A cut between a change and the record of its lists keeps the change, and
    replay tells followers to link it themselves (an empty lists record)."""
    sizes, states = write_sample(tmp_path / "whole.log")
    data = (tmp_path / "whole.log").read_bytes()
    ends = [(HEADER, 0)] + records(data)
    for cut in range(sizes[-4], sizes[-1] + 1):
        log = tmp_path / "cut.log"
        log.write_bytes(data[:cut])
        whole, kind = max(end for end in ends if end[0] <= cut)
        changes = sum(1 for end, k in ends[1:] if end <= cut and k != LINKS)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            store = reopened(log)
        dropped = cut - whole
        assert [str(w.message) for w in caught if w.category is RuntimeWarning] == (
            [f"Log file ended in a record cut short: {dropped} bytes after offset {whole} were dropped"]
            if dropped else [])
        assert content(store) == states[changes], cut
        told = 1 <= kind <= 4
        assert log.stat().st_size == whole + (RECORD_HEADER + 1 if told else 0)
        assert records(log.read_bytes())[-1][1] == (LINKS if told or kind == LINKS else kind)
        store.upsert(11, [1.0, 1.0, 1.0], None)
        store.close_log()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert 11 in reopened(log)


def test_a_cut_header_is_a_new_log(tmp_path):
    write_sample(tmp_path / "whole.log")
    data = (tmp_path / "whole.log").read_bytes()
    for cut in range(HEADER):
        log = tmp_path / "header.log"
        log.write_bytes(data[:cut])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            store = reopened(log)
        assert len(caught) == (1 if cut else 0) and len(store) == 0
        assert log.read_bytes() == data[:HEADER]
        store.close_log()


def test_logs_of_the_first_version_replay_and_take_records(tmp_path):
    """A log whose header is the first version's (no generation, no snapshot)
    replays as before, and new records append after its own header."""
    sizes, states = write_sample(tmp_path / "whole.log")
    data = (tmp_path / "whole.log").read_bytes()
    old = tmp_path / "old.log"
    old.write_bytes(first_header() + data[HEADER:])
    store = reopened(old)
    assert content(store) == states[-1]
    store.upsert(11, [1.0, 1.0, 1.0], None)
    store.close_log()
    assert old.read_bytes()[:16] == first_header()
    assert content(reopened(old)) == content(store)
    # A checkpoint starts a log of the current version, one generation on,
    # naming the snapshot it continues.
    store = reopened(old)
    store.save(str(tmp_path / "snap"))
    snapshot = (tmp_path / "snap").read_bytes()
    assert parse_header(old.read_bytes()) == (2, CONTINUES_PREVIOUS | LINKS_FOLLOW, 1, len(snapshot), crc32c(snapshot))
    store.close_log()


def damaged(tmp_path, data, at, value):
    log = tmp_path / "damaged.log"
    log.write_bytes(data[:at] + bytes([value]) + data[at + 1:])
    return log


def test_damage_before_the_tail_is_refused_with_its_offset(tmp_path):
    sizes, _ = write_sample(tmp_path / "whole.log")
    data = (tmp_path / "whole.log").read_bytes()
    store = VectorStorage()
    store.upsert(5, [5.0, 5.0, 5.0], {"k": "v"})
    before = content(store)
    starts = [HEADER] + [end for end, _ in records(data)]
    for at in range(HEADER, sizes[-2]):
        record_start = max(start for start in starts if start <= at)
        log = damaged(tmp_path, data, at, data[at] ^ 0x10)
        with pytest.raises(OSError, match=f"^Failed to replay log file: .* at offset {record_start}\\b"):
            store.open_log(str(log))
        assert content(store) == before and store.log_path is None
        assert log.read_bytes() != data  # left as it was found, damage and all


@pytest.mark.parametrize("make, message", [
    (lambda data: b"not a log at all, just some text\n", "not a log file: .* at offset 0"),
    (lambda data: data[:8] + struct.pack("<I", 3) + data[12:], "log version 3 at offset 8 is not one this build reads"),
    (lambda data: data[:12] + bytes([data[12] ^ 1]) + data[13:], "log header checksum mismatch at offset 36"),
    (lambda data: data[:36] + bytes([data[36] ^ 1]) + data[37:], "log header checksum mismatch at offset 36"),
    (lambda data: first_header()[:12] + bytes(4) + data[HEADER:], "log header checksum mismatch at offset 12"),
])
def test_foreign_and_unknown_files_are_refused(tmp_path, make, message):
    write_sample(tmp_path / "whole.log")
    log = tmp_path / "other.log"
    original = make((tmp_path / "whole.log").read_bytes())
    log.write_bytes(original)
    store = VectorStorage()
    with pytest.raises(OSError, match="^Failed to open log file: " + message):
        store.open_log(str(log))
    assert log.read_bytes() == original and store.log_path is None


def test_files_are_opened_with_care(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    store = VectorStorage()
    for path in (fifo, tmp_path, "/dev/null"):
        with pytest.raises(OSError, match="^Failed to open log file: "):
            store.open_log(str(path))
    old_mask = os.umask(0o022)
    try:
        store.open_log(str(tmp_path / "new.log"))
    finally:
        os.umask(old_mask)
    assert stat.S_IMODE((tmp_path / "new.log").stat().st_mode) == 0o600
    assert store.log_path == str(tmp_path / "new.log")
    with pytest.raises(ValueError, match="already open"):
        store.open_log(str(tmp_path / "another.log"))
    with pytest.raises(OSError, match="another store has this log open"):
        VectorStorage().open_log(str(tmp_path / "new.log"))
    with pytest.raises(AttributeError):
        store.log_path = None
    # A checkpoint keeps the log's mode and a symbolic link to it.
    store.close_log()
    os.chmod(tmp_path / "new.log", 0o640)
    (tmp_path / "link.log").symlink_to("new.log")
    store.open_log(str(tmp_path / "link.log"))
    store.upsert(1, [1.0], None)
    store.save(str(tmp_path / "snap"))
    assert (tmp_path / "link.log").is_symlink() and (tmp_path / "new.log").stat().st_size == HEADER
    assert stat.S_IMODE((tmp_path / "new.log").stat().st_mode) == 0o640
    store.close_log()
    assert store.close_log() is None and store.log_path is None


@pytest.mark.parametrize("sync, exc, message", [
    ("sometimes", ValueError, "sync must be 'always', 'batch' or 'none', got 'sometimes'"),
    (None, TypeError, "'None' is not an instance of 'str'"),
])
def test_sync_argument(tmp_path, sync, exc, message):
    with pytest.raises(exc, match=message) as caught:
        VectorStorage().open_log(str(tmp_path / "x.log"), sync=sync)
    assert caught.value.__notes__ == ["while processing 'sync'"]
    assert not (tmp_path / "x.log").exists()


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("given, error", [
    (lambda p: p, None), (lambda p: FsPath(str(p)), None), (str, None),
    (lambda p: bytes(p), "'bytes' object is not an instance of 'str'"),
    (lambda p: FsPath(bytes(p)), "'bytes' object is not an instance of 'str'"),
    (lambda p: 7, "expected str, bytes or os.PathLike object, not int"),
])
def test_open_log_takes_path_like_names(tmp_path, given, error):
    store = VectorStorage()
    if error:
        with pytest.raises(TypeError, match=error) as caught:
            store.open_log(given(tmp_path / "p.log"))
        assert caught.value.__notes__ == ["while processing 'path'"] and store.log_path is None
        return
    store.open_log(given(tmp_path / "p.log"))
    assert store.log_path == str(tmp_path / "p.log")
    store.upsert(1, [1.0], None)
    with pytest.raises(TypeError):  # save and load keep taking str alone
        store.save(tmp_path / "s.snap")
    store.close_log()
    assert content(reopened(tmp_path / "p.log")) == content(store)


def test_threads_log_what_they_applied(tmp_path):
    """Writers sharing ids on several threads, searches beside them and a
    checkpoint: replay gives exactly the live store, so the log holds the
    changes in the order they applied."""
    log, snapshot = tmp_path / "threads.log", tmp_path / "threads.snap"
    store = VectorStorage()
    store.open_log(str(log), sync="batch")

    def write(seed):
        rng = np.random.default_rng(seed)
        for step in range(300):
            point_id = int(rng.integers(len(IDS)))
            if step % 7 == 3:
                store.batch_delete([point_id, (point_id + 1) % len(IDS)])
            elif step % 11 == 5:
                store.batch_upsert([point_id], rng.standard_normal((1, 4), dtype=np.float32), [{"by": seed}])
            else:
                store.upsert(point_id, rng.standard_normal(4, dtype=np.float32), {"by": seed, "step": step})
            if seed == 0 and step == 150:
                store.save(str(snapshot))

    def read():
        for _ in range(300):
            store.search([1.0, 0.0, 0.0, 0.0], 3, "cosine")

    threads = [threading.Thread(target=write, args=(seed,)) for seed in range(3)]
    threads += [threading.Thread(target=read) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    store.close_log()
    assert content(reopened(log, snapshot)) == content(store)


def test_cpp_checks():
    """CRC-32C variants, record coding, every cut and flip, writers beside searches."""
    run_cpp_test("log_test")
