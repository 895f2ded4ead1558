"""Followers in other processes: a writer changes a store with its log open,
followers (each a process of its own) load its snapshot and follow its log.
Whenever a follower is asked, its whole content must be one of the states the
writer passed through, never an earlier one than it showed before, and in the
end the writer's last state; through checkpoints, logs with and without the
writer's lists, a follower stopped across checkpoints, and logs removed,
replaced or damaged. Kills of the writer: test_follow_kills.py; a change the
writer refused: test_follow_refused.py; a follower in this process, its thread
and forks: test_follow_threads.py."""
import os
import select
import shutil
import signal

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from follow_helpers import DIM, IDS, Follower, VectorStorage, graph_of, start, without_lists, writer_graph
from test_log_kill import state_of


payloads = st.one_of(st.none(), st.fixed_dictionaries(
    {"n": st.integers(-2**40, 2**40)}, optional={"t": st.text(max_size=8)}))
ids = st.integers(0, 15)
vectors = st.lists(st.floats(-4, 4, width=32), min_size=DIM, max_size=DIM)
changes = st.one_of(
    st.tuples(st.just("upsert"), ids, vectors, payloads),
    st.tuples(st.just("batch_upsert"), st.lists(ids, min_size=1, max_size=20), st.booleans(), st.integers(0, 99)),
    st.tuples(st.just("again"), st.lists(ids, min_size=1, max_size=6), payloads),
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
            if kind == "again":
                # Points stored again with the vectors they have, a payload
                # changed: their nodes stand, and the followers are told so.
                held = [(i, writer.get(i)[0]) for i in dict.fromkeys(op[1]) if i in writer]
                if len(held) == 1:
                    writer.upsert(held[0][0], held[0][1], op[2])
                elif held:
                    writer.batch_upsert([i for i, _ in held], [v for _, v in held], [op[2]] * len(held))
            elif kind == "upsert":
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


@pytest.mark.parametrize("before_the_log", ["changed since its snapshot", "never saved"])
def test_a_log_begun_on_content_in_no_file_is_not_followed(tmp_path, before_the_log):
    """A log opened on content that no snapshot file holds names no snapshot;
    its records apply to that content alone. A follower of whatever snapshot
    is at the path refuses it, and follows from the writer's next checkpoint."""
    snapshot, log = tmp_path / "snapshot", tmp_path / "log"
    writer, other = VectorStorage(), VectorStorage()
    writer.upsert(1, [1.0] * DIM, None)
    if before_the_log == "changed since its snapshot":
        writer.save(str(snapshot))
        writer.upsert(2, [2.0] * DIM, {"n": 2})  # in no file
    else:
        other.upsert(7, [7.0] * DIM, None)
        other.save(str(snapshot))  # another store's
    writer.open_log(str(log))
    writer.delete(1)
    follower = VectorStorage()
    follower.load(str(snapshot))
    with pytest.raises(OSError, match="names no snapshot"):
        follower.follow_log(str(log), poll=None)
    loaded = VectorStorage()
    loaded.load(str(snapshot))
    assert follower.followed_log is None and state_of(follower, IDS) == state_of(loaded, IDS)
    writer.save(str(snapshot))
    writer.upsert(3, [3.0] * DIM, None)
    follower.load(str(snapshot))
    follower.follow_log(str(log), poll=None)
    assert state_of(follower, IDS) == state_of(writer, IDS)
    follower.stop_following()


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
