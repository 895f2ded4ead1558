"""Followers of a writer killed at random moments and started again: they
show only states of the acknowledged changes (the one in flight at most), never
a torn record, and end where the recovered writer is.

TARNWICK_FOLLOW_KILLS sets the number of writer kills (default 20)."""
import itertools
import os
import signal
import time

import numpy as np
import pytest

from follow_helpers import ANSWER_SECONDS, IDS, Follower, start
from test_log_kill import CHECKPOINT, READY, TORN_TAILS, apply, messages, operations, recover, run_child, state_of

KILLS = int(os.environ.get("TARNWICK_FOLLOW_KILLS", "20"))

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
