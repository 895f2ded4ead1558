"""A follower in this process: the changes it refuses until it stops, its
polling thread (stopping it under a catch-up, searches alongside it, its
priority), a forked child of the process, and change_count."""
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from follow_helpers import ANSWER_SECONDS, DIM, IDS, VectorStorage, start
from log_format import first_header
from test_log_kill import state_of


@pytest.mark.parametrize("change", [
    lambda s, d: s.upsert(1, [1.0] * DIM, None),
    lambda s, d: s.batch_upsert([1], [[1.0] * DIM]),
    lambda s, d: s.delete(1),
    lambda s, d: s.batch_delete([1]),
    lambda s, d: setattr(s, "ef_search", 5),
    lambda s, d: s.load(str(d / "snapshot")),
    lambda s, d: s.open_log(str(d / "other.log")),
])
def test_a_follower_refuses_changes_until_it_stops(tmp_path, change):
    writer = start(tmp_path)
    writer.upsert(1, [2.0] * DIM, None)
    follower = VectorStorage()
    with pytest.raises(ValueError, match="load it before following"):
        follower.follow_log(str(tmp_path / "log"))
    follower.load(str(tmp_path / "snapshot"))
    with pytest.raises(ValueError, match="poll must be"):
        follower.follow_log(str(tmp_path / "log"), poll=0)
    follower.follow_log(str(tmp_path / "log"), poll=None)
    assert follower.followed_log == str(tmp_path / "log") and follower.get(1) is not None
    before = state_of(follower, IDS)
    with pytest.raises(ValueError, match=f"^this store follows the log {tmp_path / 'log'}: .* refused until stop_following"):
        change(follower, tmp_path)
    assert state_of(follower, IDS) == before and follower.log_path is None
    with pytest.raises(ValueError, match="follows the log .* already"):
        follower.follow_log(str(tmp_path / "log"))
    follower.stop_following()
    assert follower.followed_log is None
    change(follower, tmp_path)  # taken now
    with pytest.raises(ValueError, match="follows no log"):
        follower.catch_up()
    with pytest.raises(ValueError, match="writes a log of its own"):
        writer.follow_log(str(tmp_path / "log"))


@pytest.mark.parametrize("poll", [None, 0.001])
def test_stop_following_waits_for_a_catch_up_on_another_thread(tmp_path, poll):
    # Once stop_following returns the store takes changes, though a catch-up
    # (or the polling thread) was applying a long stretch of log meanwhile.
    writer = start(tmp_path, sync="none")
    follower = VectorStorage()
    follower.load(str(tmp_path / "snapshot"))
    follower.follow_log(str(tmp_path / "log"), poll=poll)
    writer.batch_upsert(np.arange(40_000), np.random.default_rng(0).normal(size=(40_000, 32)).astype(np.float32))
    started = threading.Event()
    catching_up = threading.Thread(target=lambda: (started.set(), follower.catch_up()))
    catching_up.start()
    started.wait()
    time.sleep(0.05)  # lets the thread into its catch-up
    follower.stop_following()
    follower.upsert(10**6, [1.0] * DIM, None)
    follower.follow_log(str(tmp_path / "log"), poll=None)  # follows anew: the snapshot and the whole log
    catching_up.join(120)
    assert follower.followed_log is not None and len(follower) == 40_000 and 10**6 not in follower
    follower.stop_following()
    writer.close_log()


@pytest.mark.parametrize("priority", ["low", "normal"])
def test_searches_run_while_the_followers_thread_applies(tmp_path, priority):
    """Threads search a follower while its own thread applies the writer's
    records and checkpoints; every answer holds only stored points, and the
    follower ends equal to the writer."""
    import threading

    writer = start(tmp_path, sync="none")
    follower = VectorStorage()
    follower.load(str(tmp_path / "snapshot"))
    follower.follow_log(str(tmp_path / "log"), poll=0.0005, priority=priority)
    rng = np.random.default_rng(5)
    done, failures = threading.Event(), []

    def search():
        query = rng.standard_normal(DIM).astype(np.float32)
        while not done.is_set():
            for point, _ in follower.query(query, 10, where={"n": {"$gte": 0}}) + follower.search(query, 10, "l2"):
                if not 0 <= point < 400:
                    failures.append(point)

    threads = [threading.Thread(target=search) for _ in range(2)]
    for thread in threads:
        thread.start()
    try:
        for step in range(30):
            ids = rng.integers(0, 400, 64)
            writer.batch_upsert(ids, rng.standard_normal((64, DIM)).astype(np.float32), [{"n": int(i)} for i in ids])
            writer.batch_delete(rng.integers(0, 400, 8))
            if step % 10 == 9:
                writer.save(str(tmp_path / "snapshot"))
    finally:
        done.set()
        for thread in threads:
            thread.join()
    follower.catch_up()
    assert not failures and state_of(follower, 400) == state_of(writer, 400)
    follower.stop_following()


NICENESS = """
import os, sys, time, numpy as np, tarnwick
directory, priority = sys.argv[1], sys.argv[2]
def niceness():  # of each thread of this process, by name
    found = []
    for task in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{task}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        with open(f"/proc/self/task/{task}/comm") as comm:
            found.append((comm.read().strip(), int(fields[16])))
    return sorted(found)
store = tarnwick.VectorStorage()
store.load(directory + "/snapshot")
store.follow_log(directory + "/log", poll=0.001, priority=priority)
print("ready", flush=True)
while len(store) != 2900:
    time.sleep(0.01)
store.batch_query(np.ones((64, 8), dtype=np.float32), 3)  # on the pool's workers
following = niceness()
print(following)
store.stop_following()
# A joined thread can stay listed for a moment while the kernel ends it.
deadline = time.monotonic() + 10
while len(stopped := niceness()) >= len(following) and time.monotonic() < deadline:
    time.sleep(0.01)
print(stopped)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="a thread's own niceness is Linux's")
@pytest.mark.parametrize("lists", [True, False], ids=["with lists", "first-version log"])
@pytest.mark.parametrize("priority", ["low", "normal"])
def test_only_a_low_polling_thread_runs_at_low_priority(tmp_path, priority, lists):
    """A polling thread of priority "low" lowers its own priority once it links
    a change itself (a log of the first version names no snapshot, so the
    writer's lists may not fit the follower's graph), not to install the
    writer's lists; the worker pool, which the follower's searches share, keeps
    the process's (a pool started by the polling thread, to delete, would
    inherit its priority)."""
    writer = start(tmp_path)
    if not lists:
        writer.close_log()
        (tmp_path / "log").write_bytes(first_header())
        writer.open_log(str(tmp_path / "log"))
    with pytest.raises(ValueError, match="priority must be 'low' or 'normal'"):
        VectorStorage().follow_log(str(tmp_path / "log"), priority="high")
    process = subprocess.Popen([sys.executable, "-c", NICENESS, str(tmp_path), priority], stdout=subprocess.PIPE,
                               text=True)
    assert process.stdout.readline().strip() == "ready"
    writer.batch_upsert(np.arange(3000), np.random.default_rng(3).standard_normal((3000, DIM)).astype(np.float32))
    writer.batch_delete(np.arange(100))  # deletes of many points use the pool
    following, stopped = (eval(line) for line in process.communicate(timeout=ANSWER_SECONDS)[0].splitlines())
    base = os.nice(0)  # the suite may itself run below normal priority
    low = [name for name, nice in following if nice == 19 != base]
    workers = [nice for name, nice in following if name == "tarnwick-worker"]
    assert len(low) == (priority == "low" and not lists and base != 19) and workers and set(workers) == {base}
    assert len(following) == len(stopped) + 1
    assert all(nice == base for _, nice in stopped)


# A follower whose address space leaves no room for the record the writer
# appends: its polling thread and catch_up both fail to read it.
SHORT_OF_MEMORY = """
import resource, sys, time, tarnwick
directory = sys.argv[1]
store = tarnwick.VectorStorage()
store.load(directory + "/snapshot")
store.follow_log(directory + "/log", poll=0.01, priority=sys.argv[2])
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + 40 * 2**20, resource.RLIM_INFINITY))
print("limited", flush=True)
sys.stdin.readline()
time.sleep(1)  # a hundred rounds of the polling thread
try:
    store.catch_up()
except MemoryError:
    print("short", len(store), flush=True)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
store.catch_up()
print("caught up", len(store), flush=True)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the address space's size from /proc")
@pytest.mark.parametrize("priority", ["low", "normal"])
def test_a_polling_thread_short_of_memory_keeps_the_follower(tmp_path, priority):
    """The polling thread that cannot allocate for a record keeps the state
    of the last record applied and tries again, as a failed catch_up does;
    the process goes on, and catches up once memory is there."""
    writer = start(tmp_path)
    writer.upsert(1, [1.0] * 2048, None)
    writer.save(str(tmp_path / "snapshot"))
    child = subprocess.Popen([sys.executable, "-c", SHORT_OF_MEMORY, str(tmp_path), priority],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "limited"
        writer.batch_upsert(np.arange(2, 4098, dtype=np.uint64), np.ones((4096, 2048), np.float32))
        out, _ = child.communicate("go\n", timeout=ANSWER_SECONDS)
        assert (child.returncode, out.split("\n")) == (0, ["short 1", "caught up 4097", ""])
    finally:
        child.kill()
        child.wait()


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_does_not_follow(tmp_path):
    writer = start(tmp_path)
    writer.upsert(1, [1.0] * DIM, None)
    follower = VectorStorage()
    follower.load(str(tmp_path / "snapshot"))
    follower.follow_log(str(tmp_path / "log"), poll=0.0005)
    # Forks at moments spread over the polling thread's rounds: a child
    # forked while that thread held the follower's lock must not wait for it
    # (stop_following waited forever, 19 forks in 150 under ASan).
    for round in range(20):
        time.sleep(0.0001 * (round % 7))
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                try:
                    follower.catch_up()
                except ValueError as error:
                    follower.stop_following()  # the parent's thread is not waited for
                    follower.upsert(2, [2.0] * DIM, None)
                    code = 0 if "forked" in str(error) and len(follower) == 2 else 1
            finally:
                os._exit(code)
        deadline = time.monotonic() + ANSWER_SECONDS / 4
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.001)
        if done[0] == 0:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        assert done[0] == pid and os.waitstatus_to_exitcode(done[1]) == 0, round
    writer.upsert(3, [3.0] * DIM, None)
    follower.catch_up()
    assert state_of(follower, IDS) == state_of(writer, IDS)
    follower.stop_following()


def test_change_count_moves_with_every_change_and_only_then(tmp_path):
    """change_count moves at each change a store takes (its own, refused ones
    included, and each record a followed log applies) and stays put across reads
    and saves, so that a reader's own index of the content can tell it is current."""
    store, snapshot, log = VectorStorage(), str(tmp_path / "s"), str(tmp_path / "log")
    steps = [
        ("upsert", lambda: store.upsert(1, [1.0, 0.0], None), True),
        ("batch_upsert", lambda: store.batch_upsert([2, 3], [[0.0, 1.0], [1.0, 1.0]]), True),
        ("delete", lambda: store.delete(2), True),
        ("absent delete", lambda: store.delete(99), True),
        ("batch_delete", lambda: store.batch_delete([3]), True),
        ("reads", lambda: (store.search([1.0, 0.0], 3, "cosine"), store.get(1), len(store)), False),
        ("save", lambda: store.save(snapshot), False),
        ("load", lambda: store.load(snapshot), True),
        ("open_log", lambda: store.open_log(log), False),  # a fresh log: nothing replayed
        ("logged upsert", lambda: store.upsert(4, [0.5, 0.5], {"k": 1}), True),
    ]
    for name, step, moves in steps:
        before = store.change_count
        step()
        assert (store.change_count > before) == moves, name
    reader = VectorStorage()
    store.save(snapshot)
    reader.load(snapshot)
    reader.follow_log(log, poll=None)
    before = reader.change_count
    with pytest.raises(ValueError):
        reader.upsert(9, [1.0, 1.0], None)
    assert reader.change_count == before and reader.catch_up() == 0 and reader.change_count == before
    store.batch_upsert([5, 6], [[1.0, 2.0], [2.0, 1.0]])
    store.delete(5)
    assert reader.catch_up() == 2 and reader.change_count >= before + 2
    assert sorted(p for p in range(10) if p in reader) == [1, 4, 6]
    reader.stop_following()
    store.close_log()
    again = VectorStorage()
    again.load(snapshot)
    before = again.change_count
    again.open_log(log)  # replays the batch and the delete
    assert again.change_count > before and sorted(p for p in range(10) if p in again) == [1, 4, 6]
    again.close_log()
