"""A writer's checkpoint racing a reader that loads the snapshot it replaces,
and logs named by relative paths after the process changes its working
directory."""
import subprocess
import threading
import sys
import warnings

import numpy as np
import pytest

import tarnwick

# The writer: a store of POINTS points with a log; each line it reads is a
# delay, after which it makes one acknowledged change and checkpoints.
CHECKPOINTING_WRITER = r"""
import sys, time, numpy as np, tarnwick
directory, points = sys.argv[1], int(sys.argv[2])
w = tarnwick.VectorStorage()
w.batch_upsert(np.arange(points, dtype=np.uint64),
               np.random.default_rng(0).normal(size=(points, 16)).astype(np.float32))
w.save(f"{directory}/s.snap")
w.open_log(f"{directory}/s.log", sync="always")
print("ready", flush=True)
for round, line in enumerate(sys.stdin):
    time.sleep(float(line))
    w.upsert(10**9 + round, [1.0] * 16, None)
    w.save(f"{directory}/s.snap")
    print("saved", flush=True)
"""


@pytest.mark.slow
def test_a_reader_loading_while_the_writer_checkpoints_still_follows_every_change(tmp_path):
    # A snapshot replaced while it is being loaded: the fresh log continues the
    # new snapshot, not the content read, so following it from that content
    # would skip the changes between the two.
    points = 60_000
    writer = subprocess.Popen([sys.executable, "-c", CHECKPOINTING_WRITER, str(tmp_path), str(points)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline() == "ready\n"
        delays = np.random.default_rng(1).uniform(0.0, 0.06, size=6)
        for round, delay in enumerate(delays):
            writer.stdin.write(f"{delay}\n")
            writer.stdin.flush()
            reader = tarnwick.VectorStorage()
            reader.load(str(tmp_path / "s.snap"))
            reader.follow_log(str(tmp_path / "s.log"), poll=None)
            assert writer.stdout.readline() == "saved\n"
            reader.catch_up()
            missing = [r for r in range(round + 1) if 10**9 + r not in reader]
            assert (missing, len(reader)) == ([], points + round + 1), f"round {round}, delay {delay:.3f}"
            reader.stop_following()
    finally:
        writer.stdin.close()
        writer.wait(timeout=60)


def test_a_log_stays_where_it_was_opened_after_the_working_directory_changes(tmp_path, monkeypatch):
    data, elsewhere = tmp_path / "data", tmp_path / "elsewhere"
    data.mkdir()
    elsewhere.mkdir()
    monkeypatch.chdir(data)
    writer = tarnwick.VectorStorage()
    writer.upsert(1, [1.0, 0.0], None)
    writer.save("s.snap")
    writer.open_log("s.log", sync="always")
    follower = tarnwick.VectorStorage()
    follower.load("s.snap")
    follower.follow_log("s.log", poll=None)
    writer.upsert(2, [0.0, 1.0], None)
    monkeypatch.chdir(elsewhere)
    writer.save(str(data / "s.snap"))  # the checkpoint starts the log afresh where it was
    writer.upsert(3, [1.0, 1.0], None)
    follower.catch_up()
    assert (writer.log_path, follower.followed_log) == ("s.log", "s.log")
    assert [i in follower for i in (1, 2, 3)] == [True] * 3
    assert not (elsewhere / "s.log").exists()
    writer.close_log()
    monkeypatch.chdir(data)
    recovered = tarnwick.VectorStorage()
    recovered.load("s.snap")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        recovered.open_log("s.log")
    assert sorted(i for i in (1, 2, 3) if i in recovered) == [1, 2, 3]


@pytest.mark.parametrize("method", ["open_log", "follow_log"])
def test_a_load_racing_a_log_taken_up_on_another_thread_gives_one_order(tmp_path, method):
    # A thread opens (replays) or follows a log while the main thread loads
    # another snapshot. Either the load comes first (the log then applies over
    # it, or following refuses a log of another snapshot) or second (the
    # loaded file alone, the open log started afresh, or the load refused):
    # never the log's records over the content the load replaced, nor the
    # loaded content put back under a replayed copy of the old one.
    rng = np.random.default_rng(3)
    other, snap, log = (str(tmp_path / name) for name in ("other.snap", "w.snap", "w.log"))
    loaded = tarnwick.VectorStorage()
    loaded.batch_upsert(np.arange(20_000), rng.normal(size=(20_000, 32)).astype(np.float32))
    loaded.save(other)
    writer = tarnwick.VectorStorage()
    writer.upsert(10**9, [1.0] * 32, None)
    writer.save(snap)
    writer.open_log(log, sync="none")
    writer.batch_upsert(np.arange(10**6, 10**6 + 8_000), rng.normal(size=(8_000, 64)).astype(np.float32))
    writer.close_log()
    template = open(log, "rb").read()
    for trial in range(6):
        open(log, "wb").write(template)
        store = tarnwick.VectorStorage()
        if method == "follow_log":
            store.load(snap)
        started, failures = threading.Event(), []

        def take_up_log():
            started.set()
            try:
                getattr(store, method)(log, **({"poll": None} if method == "follow_log" else {}))
            except (OSError, ValueError) as error:
                failures.append(error)

        taker = threading.Thread(target=take_up_log)
        taker.start()
        started.wait()
        try:
            store.load(other)
            load_took = True
        except ValueError:
            load_took = False
        taker.join(120)
        with_log = 10**6 in store and len(store) == (20_000 if load_took else 1) + 8_000
        if method == "open_log":
            store.close_log()
            replayed = tarnwick.VectorStorage()
            replayed.open_log(log)
            log_left = len(replayed)
            replayed.close_log()
            assert (len(store), log_left) in [(20_000, 0), (28_000, 8_000)] and (log_left == 0) != with_log, trial
        elif load_took:
            assert (len(store), failures != []) == (20_000, True), trial
        else:
            assert with_log and store.followed_log is not None, trial
