"""save and load with a log open: load starts the log afresh, and a save
that would destroy a log, or the snapshot another store's log continues, is
refused; stores continuing one snapshot guard it from each other."""
import os
import subprocess
import sys

import pytest

from log_helpers import IDS, VectorStorage, content, reopened


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


# Another store saving over a snapshot without pause, until a file says stop;
# prints how many of its saves went through.
SAVE_OVER = """
import os, sys, tarnwick
snapshot, stop = sys.argv[1], sys.argv[2]
store = tarnwick.VectorStorage()
store.upsert(9, [9.0], None)
print("saving", flush=True)
saved = 0
while not os.path.exists(stop):
    try:
        store.save(snapshot)
        saved += 1
    except OSError:
        pass
print(saved, flush=True)
"""


def others(path):
    """Whether the file at `path` is the other store's snapshot."""
    found = VectorStorage()
    try:
        found.load(str(path))
    except OSError:  # a log
        return False
    return 9 in found


@pytest.mark.parametrize("target", ["snapshot", "log"])
@pytest.mark.parametrize("step", ["save", "load"])
def test_a_checkpoint_leaves_no_moment_for_another_save(tmp_path, target, step):
    """A checkpoint renames its new snapshot over the one its log continued,
    and its fresh log over the old one (a load with the log open starts it
    afresh too): each new file is guarded from the moment its name leads to
    it, and a snapshot's guard is not let go while the store looks at the file
    or takes it up again. Another process saving to either path without pause
    gets through at no moment: the writer's log and the snapshot under it stay
    the writer's, and a recovery at any time finds them."""
    log, snapshot, stop = tmp_path / "l.log", tmp_path / "s.snap", tmp_path / "stop"
    writer = VectorStorage()
    writer.upsert(1, [1.0], None)
    writer.save(str(snapshot))
    writer.open_log(str(log))
    writer.save(str(snapshot))
    path = snapshot if target == "snapshot" else log
    saver = subprocess.Popen([sys.executable, "-c", SAVE_OVER, str(path), str(stop)], text=True,
                             stdout=subprocess.PIPE)
    try:
        assert saver.stdout.readline() == "saving\n"
        overwritten = 0
        for n in range(200):
            writer.upsert(2 + n % 5, [float(n)], None)
            getattr(writer, step)(str(snapshot))
            writer.upsert(1, [float(n)], None)  # raises once the log's file is another's
            overwritten += others(path)
        stop.touch()
        assert (saver.communicate(timeout=60)[0], overwritten) == ("0\n", 0)
    finally:
        stop.touch()
        saver.kill()
        saver.wait()
    writer.close_log()
    assert content(reopened(log, snapshot)) == content(writer)


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
