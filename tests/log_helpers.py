"""What the tests of the write-ahead log share: a store's content as a replay
must give it back, a store reopened over its files, and forked children."""
import os
import signal
import time

import numpy as np
import pytest

import tarnwick

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
