"""The write-ahead log: what a store replays is what it acknowledged, in
order, over any snapshot a checkpoint left; torn tails are dropped with a
warning naming their size and damage before the tail is refused with its
offset, leaving the store as it was; files are opened with care; forked
children do not write; a failed append changes nothing."""
import os
import resource
import signal
import stat
import struct
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tarnwick
from conftest import run_cpp_test
from log_format import (CONTINUES_PREVIOUS, HEADER, LINKS, LINKS_FOLLOW, RECORD_HEADER, crc32c, first_header,
                        parse_header, records)

VectorStorage = tarnwick.VectorStorage
IDS = range(12)


def content(store):
    """Everything a replay must give back: each point (vector bits, payload) and ef_search."""
    points = {}
    for point_id in IDS:
        got = store.get(point_id)
        if got is not None:
            points[point_id] = (np.float32(got[0]).tobytes(), got[1])
    assert len(store) == len(points)
    return points, store.ef_search


def child_status(pid, limit=120):
    """The exit status of a forked child, which is killed after a generous limit."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"


forking = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")


def reopened(log, snapshot=None, **kwargs):
    store = VectorStorage()
    if snapshot is not None:
        store.load(str(snapshot))
    store.open_log(str(log), **kwargs)
    return store


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


@forking
def test_a_forked_child_writes_nothing(tmp_path):
    log = tmp_path / "fork.log"
    store = VectorStorage()
    store.open_log(str(log), sync="batch")
    store.upsert(1, [1.0, 2.0], None)
    size = log.stat().st_size
    pid = os.fork()
    if pid == 0:
        ok = store.log_path is None
        store.upsert(2, [2.0, 2.0], None)
        store.delete(1)
        store.close_log()
        os._exit(0 if ok and len(store) == 1 else 1)
    assert child_status(pid) == 0
    assert log.stat().st_size == size
    store.upsert(3, [3.0, 3.0], None)
    store.close_log()
    assert sorted(i for i in IDS if i in reopened(log)) == [1, 3]


@forking
def test_a_failed_append_changes_nothing(tmp_path):
    """With the file size limited, an append fails with EFBIG: OSError, the store
    unchanged, no partial record left; later appends work. In a child, whose
    limit the test runner does not share."""
    log = tmp_path / "limited.log"
    pid = os.fork()
    if pid == 0:
        try:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            store = VectorStorage()
            store.open_log(str(log))
            store.upsert(1, [1.0] * 4, None)
            before, size = content(store), log.stat().st_size
            hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
            resource.setrlimit(resource.RLIMIT_FSIZE, (size + 40, hard))
            failures = 0
            for call in (lambda: store.upsert(2, [2.0] * 100, None),
                         lambda: store.batch_upsert([3, 4], [[3.0] * 50] * 2),
                         lambda: store.upsert(1, [7.0] * 100, {"a": "b"})):
                try:
                    call()
                except OSError as error:
                    failures += "Failed to append to log file: File too large" in str(error)
            resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
            ok = failures == 3 and content(store) == before and log.stat().st_size == size
            store.delete(1)
            store.close_log()
            os._exit(0 if ok and len(reopened(log)) == 0 else 1)
        except BaseException:
            os._exit(2)
    assert child_status(pid) == 0


@forking
@pytest.mark.parametrize("sync", ["always", "none"])
def test_a_full_disk_leaves_lists_to_the_followers(tmp_path, sync):
    """Where a change fits but the record of its lists does not (a full disk,
    here a file size limit), the change is kept and followers are told to link
    it themselves; a log that ends in such a change still opens for recovery,
    though the same note does not fit. In a child, whose limit the test runner
    does not share."""
    scratch, log, snapshot = tmp_path / "scratch.log", tmp_path / "store.log", tmp_path / "store.snap"
    first = VectorStorage()
    first.open_log(str(scratch))
    first.upsert(1, [1.0, 2.0], {"a": "b"})
    record = records(scratch.read_bytes())[0][0] - HEADER  # the same change's record, whatever its lists
    pid = os.fork()
    if pid == 0:
        try:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            store = VectorStorage()
            store.upsert(5, [0.5, 1.0], None)
            store.save(str(snapshot))
            store.open_log(str(log), sync=sync)
            follower = VectorStorage()
            follower.load(str(snapshot))
            follower.follow_log(str(log), poll=None)
            hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
            size = log.stat().st_size
            resource.setrlimit(resource.RLIMIT_FSIZE, (size + record + RECORD_HEADER + 1, hard))
            store.upsert(1, [1.0, 2.0], {"a": "b"})
            follower.catch_up()
            told = 1 in follower and records(log.read_bytes())[-1] == (size + record + RECORD_HEADER + 1, LINKS)
            follower.stop_following()
            store.close_log()
            # The log cut after the change: its recovery has no room for the note either.
            os.truncate(log, size + record)
            resource.setrlimit(resource.RLIMIT_FSIZE, (size + record, hard))
            again = reopened(log, snapshot)
            opened = content(again) == content(store) and log.stat().st_size == size + record
            resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
            again.upsert(2, [2.0, 1.0], None)
            again.close_log()
            whole = content(reopened(log, snapshot)) == content(again)
            os._exit(0 if (told, opened, whole) == (True, True, True) else 10 + 4 * told + 2 * opened + whole)
        except BaseException:
            import traceback
            traceback.print_exc()
            os._exit(2)
    assert child_status(pid) == 0


@pytest.mark.parametrize("sync", ["always", "batch", "none"])
def test_interrupted_batch_logs_the_chunks_it_stored(tmp_path, sync, rng):
    log = tmp_path / "batch.log"
    store = VectorStorage()
    store.open_log(str(log), sync=sync)

    def stop(done, total):
        raise KeyboardInterrupt

    vectors = rng.standard_normal((5000, 4), dtype=np.float32)
    with pytest.raises(KeyboardInterrupt):
        store.batch_upsert(np.arange(5000, dtype=np.uint64), vectors, progress=stop)
    assert len(store) == 4096
    store.close_log()
    again = reopened(log)
    assert len(again) == 4096 and 4095 in again and 4096 not in again
    assert again.get(17)[0] == store.get(17)[0]


@pytest.mark.parametrize("sync", ["always", "batch", "none"])
@pytest.mark.parametrize("removal", ["file", "replaced", "directory"])
def test_a_log_whose_file_was_removed_takes_no_change(tmp_path, sync, removal):
    """Changes written to a log file that no name leads to would be lost at the
    next crash: each raises OSError and leaves the store as it was; a checkpoint
    whose directory remains starts the log afresh, and changes are taken again."""
    import shutil
    folder = tmp_path / "data"
    folder.mkdir()
    log, snapshot = folder / "store.log", folder / "store.snap"
    store = VectorStorage()
    store.upsert(1, [1.0, 2.0], None)
    store.save(str(snapshot))
    store.open_log(str(log), sync=sync)
    store.upsert(2, [2.0, 2.0], None)
    if removal == "file":
        log.unlink()
    elif removal == "replaced":
        (folder / "other").write_bytes(b"x")
        os.replace(folder / "other", log)
    else:
        shutil.rmtree(folder)
    before = content(store)
    for change in (lambda: store.upsert(3, [3.0, 1.0], None), lambda: store.delete(1),
                   lambda: store.batch_upsert([4, 5], [[4.0, 1.0]] * 2), lambda: setattr(store, "ef_search", 7)):
        with pytest.raises(OSError, match="removed from its directory"):
            change()
        assert content(store) == before
    if removal == "directory":
        with pytest.raises(OSError):
            store.save(str(snapshot))
        store.close_log()
        return
    log.unlink(missing_ok=True)
    store.save(str(snapshot))
    store.upsert(3, [3.0, 1.0], None)
    store.close_log()
    assert content(reopened(log, snapshot)) == content(store) and 3 in store


def test_load_starts_the_log_afresh(tmp_path):
    log, snapshot = tmp_path / "l.log", tmp_path / "s.snap"
    store = VectorStorage()
    store.open_log(str(log))
    store.upsert(1, [1.0], None)
    store.save(str(snapshot))
    store.upsert(2, [2.0], None)
    store.load(str(snapshot))
    store.upsert(3, [3.0], None)
    assert sorted(i for i in IDS if i in store) == [1, 3]
    store.close_log()
    assert content(reopened(log, snapshot)) == content(store)


# Names of the log's own file: itself, a symbolic link (also a dangling one's
# target), a hard link, a spelling through "..", and the log's name after the
# file was removed (the name the checkpoint would replace).
ALIASES = {
    "same": lambda d: d / "l.log",
    "symlink": lambda d: (d / "alias").symlink_to(d / "l.log") or d / "alias",
    "hard link": lambda d: os.link(d / "l.log", d / "hard") or d / "hard",
    "dotdot": lambda d: (d / "sub").mkdir() or d / "sub" / ".." / "l.log",
    "removed": lambda d: (d / "l.log").unlink() or d / "l.log",
}


@pytest.mark.parametrize("alias", ALIASES)
@pytest.mark.parametrize("opened_through_link", [False, True])
def test_save_onto_the_open_log_is_refused(tmp_path, alias, opened_through_link):
    log = tmp_path / "l.log"
    store = VectorStorage()
    if opened_through_link:
        (tmp_path / "opened").symlink_to("l.log")
    store.open_log(str(tmp_path / "opened" if opened_through_link else log))
    store.upsert(1, [1.0], {"n": 1})
    before = log.read_bytes()
    path = ALIASES[alias](tmp_path)
    names = sorted(os.listdir(tmp_path))
    with pytest.raises(OSError) as refused:
        store.save(str(path))
    assert str(refused.value).startswith(f"Failed to create snapshot file: {path} is the file of "
                                         "this store's open log")
    assert store.log_path is not None
    if alias != "removed":
        assert log.read_bytes() == before and os.path.samefile(path, log)
    assert sorted(os.listdir(tmp_path)) == names  # nothing written, no temporary file left
    if alias == "removed":  # no change goes to a file no name leads to, until a checkpoint
        with pytest.raises(OSError, match="removed from its directory"):
            store.upsert(2, [2.0], None)
        store.save(str(tmp_path / "s.snap"))
    store.upsert(2, [2.0], None)
    store.save(str(tmp_path / "s.snap"))  # elsewhere: a checkpoint as always
    store.upsert(3, [3.0], None)
    store.close_log()
    assert content(reopened(log, tmp_path / "s.snap")) == content(store)
    assert sorted(i for i in IDS if i in store) == [1, 2, 3]


HOLD_LOG = """
import sys, tarnwick
store = tarnwick.VectorStorage()
if sys.argv[2] == "loaded":
    store.load(sys.argv[3])
store.open_log(sys.argv[1])
store.upsert(1, [1.0], None)
if sys.argv[2] == "saved":
    store.save(sys.argv[3])
print("open", flush=True)
sys.stdin.readline()
store.upsert(2, [2.0], None)
store.close_log()
"""


@pytest.mark.parametrize("holder", ["another store", "another process"])
@pytest.mark.parametrize("target, continued", [("log", None), ("snapshot", "saved"), ("snapshot", "loaded")])
def test_save_onto_what_another_open_log_needs_is_refused(tmp_path, holder, target, continued):
    """Over the log, the writer would go on acknowledging records into a file
    no name reaches; over the snapshot its log continues (saved there by its
    checkpoint, or loaded before the log opened), a later replay would put its
    records onto other content. Once the log is closed, either may be saved over."""
    log, snapshot = tmp_path / "l.log", tmp_path / "s.snap"
    seed = VectorStorage()
    seed.upsert(5, [5.0], None)
    seed.save(str(snapshot))
    saver = VectorStorage()
    saver.upsert(9, [9.0], None)
    if holder == "another store":
        writer = VectorStorage()
        if continued == "loaded":
            writer.load(str(snapshot))
        writer.open_log(str(log))
        writer.upsert(1, [1.0], None)
        if continued == "saved":
            writer.save(str(snapshot))
    else:
        writer = subprocess.Popen([sys.executable, "-c", HOLD_LOG, str(log), str(continued), str(snapshot)],
                                  text=True, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert writer.stdout.readline() == "open\n"
    path = log if target == "log" else snapshot
    before, names = path.read_bytes(), sorted(os.listdir(tmp_path))
    with pytest.raises(OSError, match="is a log that another store has open" if target == "log"
                       else "is the snapshot that another store's open log continues"):
        saver.save(str(path))
    assert path.read_bytes() == before and sorted(os.listdir(tmp_path)) == names
    if holder == "another store":
        writer.upsert(2, [2.0], None)
        writer.close_log()
    else:
        writer.communicate("go\n", timeout=60)
    expected = [1, 2, 5] if continued == "loaded" else [1, 2]
    assert sorted(i for i in IDS if i in reopened(log, None if target == "log" else snapshot)) == expected
    saver.save(str(path))
    assert 9 in (reopened(tmp_path / "other.log", log) if target == "log" else reopened(tmp_path / "o.log", path))


def test_stores_continuing_one_snapshot_guard_it_from_each_other(tmp_path):
    """Two logs over one loaded snapshot: neither store may save over it, its
    own checkpoint included, while the other's log is open."""
    snapshot, elsewhere = tmp_path / "s.snap", tmp_path / "t.snap"
    seed = VectorStorage()
    seed.upsert(5, [5.0], None)
    seed.save(str(snapshot))
    first, second = reopened(tmp_path / "a.log", snapshot), reopened(tmp_path / "b.log", snapshot)
    first.upsert(1, [1.0], None)
    for store in (first, second):
        with pytest.raises(OSError, match="another store's open log continues"):
            store.save(str(snapshot))
    first.save(str(elsewhere))  # a checkpoint elsewhere lets the snapshot go
    first.upsert(2, [2.0], None)
    second.save(str(snapshot))  # no other open log continues it now
    second.upsert(3, [3.0], None)
    first.close_log(), second.close_log()
    assert [sorted(i for i in IDS if i in reopened(tmp_path / log, snap)) for log, snap in
            (("a.log", elsewhere), ("b.log", snapshot))] == [[1, 2, 5], [3, 5]]


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
