"""Followers in other processes: a writer changes a store with its log open,
followers (each a process of its own) load its snapshot and follow its log.
Whenever a follower is asked, its whole content must be one of the states the
writer passed through, never an earlier one than it showed before, and in the
end the writer's last state; through checkpoints, kills of the writer, a
follower stopped across checkpoints, and logs removed, replaced or damaged.

TARNWICK_FOLLOW_KILLS sets the number of writer kills (default 20)."""
import itertools
import os
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tarnwick
from log_format import HEADER, LINKS, LINKS_FOLLOW, crc32c, first_header, masked, records
from snapshot_format import read_snapshot
from test_log_kill import CHECKPOINT, READY, TORN_TAILS, apply, messages, operations, recover, run_child, state_of

VectorStorage = tarnwick.VectorStorage
IDS = 160
DIM = 8
KILLS = int(os.environ.get("TARNWICK_FOLLOW_KILLS", "20"))
ANSWER_SECONDS = 60  # bounds a hung follower; answers come in milliseconds

# The follower: loads the snapshot, follows the log, and answers one command a line.
FOLLOWER = """
import sys, tarnwick
directory, poll = sys.argv[1], sys.argv[2]
store = tarnwick.VectorStorage()
store.load(directory + "/snapshot")
store.follow_log(directory + "/log", poll=None if poll == "none" else float(poll))
print("ready", flush=True)
for line in sys.stdin:
    command, _, argument = line.strip().partition(" ")
    try:
        if command == "save":
            store.save(argument)
            print("ok", flush=True)
        elif command == "catch_up":
            print("ok", store.catch_up(), flush=True)
        elif command == "upsert":
            store.upsert(1, [1.0] * 8, None)
            print("ok", flush=True)
    except Exception as error:
        print("error", type(error).__name__, str(error).replace("\\n", " "), flush=True)
"""


class Follower:
    def __init__(self, directory, poll="0.002"):
        self.directory = Path(directory)
        self.process = subprocess.Popen([sys.executable, "-c", FOLLOWER, str(directory), poll],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.seen = 0  # the earliest writer state its last answer can be

    def line(self, timeout=ANSWER_SECONDS):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        assert ready, "the follower did not answer"
        return self.process.stdout.readline().strip()

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self.line()

    def state(self, universe=IDS):
        """The follower's whole content, saved by it at one moment and read back."""
        path = self.directory / f"follower-{self.process.pid}.snapshot"
        assert self.ask(f"save {path}") == "ok"
        store = VectorStorage()
        store.load(str(path))
        return state_of(store, universe)

    def graph(self):
        path = self.directory / f"follower-{self.process.pid}.graph"
        assert self.ask(f"save {path}") == "ok"
        return graph_of(path)

    def check(self, states, universe=IDS):
        """Its content is one of the writer's states, none before the one it showed last."""
        got = self.state(universe)
        later = [i for i in range(self.seen, len(states)) if states[i] == got]
        assert later, f"a state the writer never had (or an earlier one than {self.seen})"
        self.seen = later[0]
        return got

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.kill()
        self.process.wait(timeout=ANSWER_SECONDS)
        self.process.stdin.close()
        self.process.stdout.close()


def graph_of(path):
    """The graph a snapshot file holds, by key: entry point, top level, and
    each node's lists as sets. Every node is reached from the entry point."""
    content = read_snapshot(Path(path).read_bytes())
    nodes = {key: tuple(frozenset(layer) for layer in lists) for key, (_, lists) in content["nodes"].items()}
    reached, todo = set(), [content["entry_point"]] if nodes else []
    while todo:
        key = todo.pop()
        if key not in reached:
            reached.add(key)
            todo.extend(nodes[key][0])
    assert reached == set(nodes), f"{len(set(nodes) - reached)} nodes unreachable"
    return content["entry_point"], content["max_level"], nodes


def without_lists(path):
    """Rewrites a log as a writer that logs no lists would have written it."""
    data = path.read_bytes()
    header = bytearray(data[:HEADER])
    header[12] &= ~LINKS_FOLLOW & 0xFF
    header[36:40] = masked(crc32c(bytes(header[:36]))).to_bytes(4, "little")
    kept, start_at = [bytes(header)], HEADER
    for end, kind in records(data):
        if kind != LINKS:
            kept.append(data[start_at:end])
        start_at = end
    path.write_bytes(b"".join(kept))


def writer_graph(writer, directory):
    """The writer's graph (its log closed first: a save would checkpoint it)."""
    writer.close_log()
    writer.save(str(directory / "writer.graph"))
    return graph_of(directory / "writer.graph")


def start(directory, sync="always"):
    """A writer with a snapshot and a fresh log in `directory`."""
    writer = VectorStorage()
    writer.save(str(directory / "snapshot"))
    writer.open_log(str(directory / "log"), sync=sync)
    return writer


payloads = st.one_of(st.none(), st.fixed_dictionaries(
    {"n": st.integers(-2**40, 2**40)}, optional={"t": st.text(max_size=8)}))
ids = st.integers(0, 15)
vectors = st.lists(st.floats(-4, 4, width=32), min_size=DIM, max_size=DIM)
changes = st.one_of(
    st.tuples(st.just("upsert"), ids, vectors, payloads),
    st.tuples(st.just("batch_upsert"), st.lists(ids, min_size=1, max_size=20), st.booleans(), st.integers(0, 99)),
    st.tuples(st.just("delete"), ids),
    st.tuples(st.just("batch_delete"), st.lists(ids, max_size=6)),
    st.tuples(st.just("ef_search"), st.integers(1, 300)),
    st.just(("save",)),
    st.just(("check",)),
)


@settings(max_examples=12, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(changes, min_size=1, max_size=40), st.sampled_from(["always", "batch", "none"]))
def test_followers_show_only_states_the_writer_had(tmp_path_factory, ops, sync):
    directory = tmp_path_factory.mktemp("follow")
    writer = start(directory, sync)
    states = [state_of(writer, IDS)]
    # One follower's polling thread applies in small steps; the other has no
    # thread, and each catch_up applies what accumulated, runs of upserts of
    # many records together.
    followers = [Follower(directory), Follower(directory, poll="none")]
    try:
        for follower in followers:
            assert follower.line() == "ready"
        for op in ops:
            kind = op[0]
            if kind == "check":
                assert followers[1].ask("catch_up").startswith("ok")
                for follower in followers:
                    follower.check(states)
                continue
            if kind == "batch_upsert":
                # A large batch is stored (and logged) in chunks; each chunk's
                # end is a state of the writer, as its progress shows.
                count = 5000 if op[2] else len(op[1])
                rng = np.random.default_rng(op[3])
                chosen = [op[1][i % len(op[1])] for i in range(count)]
                writer.batch_upsert(chosen, rng.uniform(-4, 4, (count, DIM)).astype(np.float32),
                                    [None if i % 3 else {"i": i} for i in range(count)],
                                    progress=lambda done, total: states.append(state_of(writer, IDS)))
                continue
            if kind == "upsert":
                writer.upsert(op[1], op[2], op[3])
            elif kind == "delete":
                writer.delete(op[1])
            elif kind == "batch_delete":
                writer.batch_delete(op[1])
            elif kind == "ef_search":
                writer.ef_search = op[1]
            else:
                writer.save(str(directory / "snapshot"))
            states.append(state_of(writer, IDS))
        for follower in followers:
            assert follower.ask("catch_up").startswith("ok")
            assert follower.check(states) == states[-1]
        # Given the writer's lists, each follower holds the writer's graph.
        graph = writer_graph(writer, directory)
        for follower in followers:
            assert follower.graph() == graph
    finally:
        for follower in followers:
            follower.close()
        writer.close_log()


@pytest.mark.parametrize("lists", [True, False], ids=["with lists", "without lists"])
def test_logs_with_and_without_lists_follow_and_replay(tmp_path, lists):
    """A follower and a writer replaying the log over the snapshot end with the
    writer's content and a graph that reaches every node: given the writer's
    lists, the writer's own graph; from a log written without them, as
    stores wrote before, a graph they linked themselves."""
    universe = 3000
    writer = start(tmp_path, "none")
    rng = np.random.default_rng(5)
    writer.batch_upsert(range(1500), rng.standard_normal((1500, DIM), dtype=np.float32))
    for i in range(30):
        writer.upsert(2000 + i, rng.standard_normal(DIM).tolist(), {"i": i})
    writer.batch_delete(list(range(0, 1500, 7)) + [2001])
    writer.delete(3)
    writer.ef_search = 50
    writer.batch_upsert(range(1400, 1700), rng.standard_normal((300, DIM), dtype=np.float32))
    if not lists:
        without_lists(tmp_path / "log")
    shutil.copy(tmp_path / "log", tmp_path / "replay.log")
    follower = Follower(tmp_path, poll="none")
    try:
        assert follower.line() == "ready"
        replayed = VectorStorage()
        replayed.load(str(tmp_path / "snapshot"))
        replayed.open_log(str(tmp_path / "replay.log"))
        replayed.close_log()
        replayed.save(str(tmp_path / "replayed.graph"))
        state = state_of(writer, universe)
        assert follower.state(universe) == state_of(replayed, universe) == state
        graphs = [writer_graph(writer, tmp_path), follower.graph(), graph_of(tmp_path / "replayed.graph")]
        assert (graphs[0] == graphs[1] == graphs[2]) == lists
    finally:
        follower.close()


def test_a_stopped_follower_reloads_after_missed_checkpoints(tmp_path):
    writer = start(tmp_path)
    follower = Follower(tmp_path)
    try:
        assert follower.line() == "ready"
        writer.upsert(1, [1.0] * DIM, {"n": 1})
        follower.ask("catch_up")
        follower.process.send_signal(signal.SIGSTOP)
        for round_ in range(3):
            writer.batch_upsert([10 + round_, 2], [[float(round_)] * DIM] * 2)
            writer.delete(1)
            writer.save(str(tmp_path / "snapshot"))
        writer.upsert(3, [3.0] * DIM, None)
        follower.process.send_signal(signal.SIGCONT)
        assert follower.ask("catch_up").startswith("ok")
        assert follower.state() == state_of(writer, IDS)
        assert follower.ask("upsert").startswith("error ValueError this store follows the log")
    finally:
        follower.close()


def test_a_follower_started_between_snapshot_and_fresh_log_waits_for_the_log(tmp_path):
    """A follower loads the snapshot of a checkpoint while the log at the path is
    still the one before it: it waits until the fresh log is in place."""
    writer = start(tmp_path)
    writer.upsert(1, [1.0] * DIM, None)
    old_log = (tmp_path / "log").read_bytes()
    writer.upsert(2, [2.0] * DIM, None)
    writer.save(str(tmp_path / "snapshot"))
    writer.upsert(3, [3.0] * DIM, None)
    os.rename(tmp_path / "log", tmp_path / "log.fresh")
    (tmp_path / "log").write_bytes(old_log)  # the log of the snapshot before
    follower = Follower(tmp_path)
    try:
        waiting, _, _ = select.select([follower.process.stdout], [], [], 0.3)
        assert not waiting, "the follower took a log that does not continue its snapshot"
        os.rename(tmp_path / "log.fresh", tmp_path / "log")
        assert follower.line() == "ready"
        assert follower.state() == state_of(writer, IDS)
    finally:
        follower.close()


def test_lost_replaced_and_damaged_logs_keep_the_last_state(tmp_path):
    writer = start(tmp_path)
    follower = Follower(tmp_path, poll="none")
    log, aside = tmp_path / "log", tmp_path / "log.aside"
    try:
        assert follower.line() == "ready"
        writer.upsert(1, [1.0] * DIM, {"k": "v"})
        assert follower.ask("catch_up") == "ok 1"
        os.rename(log, aside)
        # Appended to the file the follower holds, which it reads to its end.
        writer.upsert(2, [2.0] * DIM, None)
        assert follower.ask("catch_up").startswith("error OSError Failed to follow log file: the log is gone")
        kept = state_of(writer, IDS)
        assert follower.state() == kept
        log.write_bytes(b"some other file\n")
        assert "no log to go on with: not a log file" in follower.ask("catch_up")
        assert follower.state() == kept
        os.replace(aside, log)
        writer.upsert(4, [4.0] * DIM, None)
        assert follower.ask("catch_up") == "ok 1"
        assert follower.state() == state_of(writer, IDS)
        kept = state_of(writer, IDS)
        # A damaged record with whole ones after it is named by its offset.
        start_at = log.stat().st_size
        for i in range(3):
            writer.upsert(10 + i, [float(i)] * DIM, None)
        data = bytearray(log.read_bytes())
        data[start_at + 20] ^= 0x40
        with open(log, "r+b") as file:  # in place: the writer's file
            file.seek(start_at + 20)
            file.write(bytes([data[start_at + 20]]))
        answer = follower.ask("catch_up")
        assert answer.startswith("error OSError") and f"at offset {start_at}," in answer
        assert follower.state() == kept
        with open(log, "r+b") as file:
            file.seek(start_at + 20)
            file.write(bytes([data[start_at + 20] ^ 0x40]))
        assert follower.ask("catch_up") == "ok 3"
        assert follower.state() == state_of(writer, IDS)
    finally:
        follower.close()


@pytest.mark.slow
def test_followers_of_a_killed_writer_end_where_it_recovers(tmp_path):
    """The writer is killed at random moments and started again (it recovers the
    snapshot and the log, cutting a torn tail, and writes on): followers show
    only states of the acknowledged changes (the one in flight at most), never
    a torn record, and end where the recovered writer is. Some changes are
    whole batch_upsert chunks of megabytes; in most rounds the kill comes once
    the log has grown by a random part of the first one's record (the writer
    is then in the middle of writing it, which leaves a torn tail), else at a
    random moment."""
    rng = np.random.default_rng(28)
    writer = start(tmp_path)
    writer.close_log()
    followers = [Follower(tmp_path, poll=poll) for poll in ("0.001", "0.01")]
    states = [state_of(writer, IDS)]
    acknowledged, in_flight, aimed = [], 0, 0
    TORN_TAILS.clear()
    try:
        for follower in followers:
            assert follower.line() == "ready"
        for round_ in range(KILLS):
            seed = 4000 + round_
            child, pipe = run_child(tmp_path, seed, chunks=True)
            try:
                seen = messages(pipe, lambda m: m == READY)
                assert seen[-1:] == [READY], "the writer failed to start"
                chunk = first_chunk(seed)
                if chunk is not None and rng.random() < 0.8:
                    if chunk > 0:  # the change before it acknowledged
                        seen += messages(pipe, lambda m: m == chunk)
                    aimed += wait_for_growth(tmp_path / "log", rng.uniform(0, CHUNK_RECORD_BYTES / 2))
                else:
                    time.sleep(rng.uniform(0, 0.08))
                child.send_signal(signal.SIGKILL)
                child.wait(timeout=ANSWER_SECONDS)
                seen += messages(pipe, lambda m: False)
            finally:
                if child.poll() is None:
                    child.kill()
                pipe.close()
            acked = max([m for m in seen if m < CHECKPOINT], default=0)
            # The acknowledged changes, then the one in flight (whole in the
            # log, or torn and dropped).
            reached = candidate_states(states[-1], seed, acked + 1, tmp_path)
            torn_before = len(TORN_TAILS)
            followers[round_ % 2].check(states + reached)
            recovered = state_of(recover(tmp_path), IDS)
            assert recovered in ([states[-1]] + reached)[acked:]
            # A torn tail is a change in flight the recovery dropped.
            assert len(TORN_TAILS) == torn_before or recovered != reached[acked]
            states += reached[:acked] + ([recovered] if recovered == reached[acked] else [])
            acknowledged.append(acked)
            in_flight += recovered == reached[acked]
            followers[(round_ + 1) % 2].check(states)
        for follower in followers:
            assert follower.ask("catch_up").startswith("ok")
            assert follower.check(states) == state_of(recover(tmp_path), IDS)
        print(f"\n{KILLS} kills of the writer; changes acknowledged per round: median "
              f"{int(np.median(acknowledged))}, max {max(acknowledged)}; recovered state equal to the one after the change in flight in "
              f"{in_flight} rounds; kills aimed at a chunk's record being written: {aimed}; "
              f"torn tails cut by the recovering writer: {len(TORN_TAILS)}; "
              f"followers ended equal to the recovered writer")
        assert sum(acknowledged) >= KILLS  # the kills came after real work
    finally:
        for follower in followers:
            follower.close()


CHUNK_RECORD_BYTES = 8_000_000  # about, for 4096 points with payloads of 2,000 characters


def wait_for_growth(path, grown, limit=2.0):
    """Waits until the file at `path` has grown by `grown` bytes; whether it did within `limit` seconds."""
    base = path.stat().st_size
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if path.stat().st_size >= base + grown:
            return True
    return False


def first_chunk(seed, within=30):
    """The index of the first chunk-sized change of a seed, if it comes early."""
    for index, op in enumerate(itertools.islice(operations(seed, chunks=True), within)):
        if op[0] == "batch_upsert" and len(op[1]) == 4096:
            return index
    return None


def candidate_states(model, seed, count, directory):
    """The states after each of the first `count` changes of a seed, from `model`."""
    states, ops = [], operations(seed, chunks=True)
    model = dict(model)
    for _ in range(count):
        apply(model, next(ops), directory)
        states.append(dict(model))
    return states


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
