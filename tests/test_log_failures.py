"""A log whose writes fail or whose file goes: forked children write
nothing, a failed append changes nothing, a full disk leaves the lists to the
followers, an interrupted batch logs the chunks it stored, and a log whose
file was removed takes no change."""
import os
import resource
import signal
import subprocess
import sys

import numpy as np
import pytest

from log_format import HEADER, LINKS, RECORD_HEADER, records
from log_helpers import IDS, VectorStorage, child_status, content, forking, reopened
from test_follow_refused import shim  # noqa: F401 (a fixture)


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
@pytest.mark.parametrize("end", ["close_log", "killed"])
def test_a_forked_child_leaves_the_log_to_the_next_writer(tmp_path, end):
    """A child forked after open_log (a pool worker) shares the descriptors of
    the log and of the snapshot the log continues, and with them their locks.
    Once the writer closed its log, or died, the next writer recovers, appends
    and checkpoints while that child lives on; so does a save of another store."""
    snapshot, log = tmp_path / "store.snap", tmp_path / "store.log"
    hold, release = os.pipe()
    writer = os.fork()
    if writer == 0:
        try:
            store = VectorStorage()
            store.upsert(1, [1.0, 2.0], None)
            store.save(str(snapshot))
            store.open_log(str(log))
            store.upsert(2, [2.0, 1.0], {"k": "v"})
            if os.fork() == 0:
                os.read(hold, 1)  # lingers until the test is done
                os._exit(0)
            if end == "close_log":
                store.close_log()
                os._exit(0)
            os.kill(os.getpid(), signal.SIGKILL)
        except BaseException:
            os._exit(2)
    try:
        assert child_status(writer) == (0 if end == "close_log" else -signal.SIGKILL)
        again = reopened(log, snapshot)
        assert sorted(i for i in IDS if i in again) == [1, 2]
        again.upsert(3, [3.0, 3.0], None)
        again.save(str(snapshot))
        again.close_log()
        other = VectorStorage()
        other.upsert(4, [4.0, 4.0], None)
        other.save(str(log))
        other.save(str(snapshot))
        assert len(reopened(tmp_path / "fresh.log", snapshot)) == 1
    finally:
        os.write(release, b"x")


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


# Closes a log whose fdatasync fails (the shim of test_follow_refused, told to
# fail at once): what close_log reports, and what the file holds after.
CLOSE_WITH_FAILING_SYNC = """
import pathlib, sys, tarnwick
log, control, sync = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3]
store = tarnwick.VectorStorage()
store.open_log(str(log), sync=sync)
store.upsert(1, [1.0, 2.0], None)
store.ef_search = 33
(control / "fail").touch()
(control / "release").touch()
try:
    store.close_log()
    print("closed", store.log_path)
except OSError as error:
    print("raised", store.log_path, error)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the shim is preloaded the Linux way")
@pytest.mark.parametrize("sync, closing", [("none", "raised None Failed to sync log file: Input/output error (os error 5)"),
                                           ("always", "closed None")])
def test_close_log_syncs_what_was_not_synced(tmp_path, shim, sync, closing):
    """sync="none" leaves every record to the system's write-back: close_log
    syncs them, and a failed sync raises OSError (the log closed all the same).
    With "always" each change was synced as it was made."""
    log, control = tmp_path / "store.log", tmp_path / "control"
    control.mkdir()
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    done = subprocess.run([sys.executable, "-c", CLOSE_WITH_FAILING_SYNC, str(log), str(control), sync],
                          env=dict(os.environ, LD_PRELOAD=preload, TARNWICK_SYNC_CONTROL=str(control)),
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, closing)
    again = reopened(log)
    assert content(again)[1] == 33 and 1 in again
