"""Kills during the add-ons' saves: a process killed at every step of
TarnwickVectorStore.save_local (each call or return made by the add-on's own
code) and at random moments leaves a folder that loads to the state before the
save or after it, every document whole, and a later add overwrites nothing."""
import os
import random
import shutil
import signal
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("langchain_core", reason="the langchain extra is not installed "
                    "(scripts/setup.sh langchain)")

from langchain_core.embeddings import Embeddings  # noqa: E402

import langchain_tarnwick  # noqa: E402
import tarnwick_files  # noqa: E402
from langchain_tarnwick import TarnwickVectorStore  # noqa: E402
from langchain_tarnwick import folders  # noqa: E402

forking = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
# The add-on's own code and the file writing it shares with the other add-on.
ADDON_CODE = (str(Path(langchain_tarnwick.__file__).parent), str(Path(tarnwick_files.__file__).parent))


class AxisEmbeddings(Embeddings):
    """"a,b,..." embeds to exactly those coordinates."""

    def embed_documents(self, texts):
        return [self.embed_query(t) for t in texts]

    def embed_query(self, text):
        return [float(x) for x in text.split(",")]


EMBED = AxisEmbeddings()
FILLER = {f"f{i}": f"{i % 17},{i % 5},1" for i in range(400)}


def kill_hook(at, counter):
    """A profile function that counts the calls and returns the add-on's own code
    makes and SIGKILLs this process at the at-th of them (never when at < 0)."""
    def hook(frame, event, arg):
        caller = frame if event.startswith("c_") else frame.f_back
        if caller is not None and caller.f_code.co_filename.startswith(ADDON_CODE):
            counter[0] += 1
            if counter[0] == at:
                os.kill(os.getpid(), signal.SIGKILL)
    return hook


def in_child(body):
    """Runs body in a forked child; returns its pid. The child exits 0 when body
    returns, 3 when it raised."""
    pid = os.fork()
    if pid == 0:
        code = 3
        try:
            body()
            code = 0
        finally:
            os._exit(code)
    return pid


def finished(pid, limit=120):
    """The exit code of a child, or -signal; killed after a generous limit."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.002)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("a saving child hung")


# Scenarios: the folder saved before, the changes made after loading it, and the
# states a load may give (document id -> text, and the metric).
def changes(store):
    store.delete(["A"])
    store.add_texts(["1,1,1"], ids=["C"])
    return store


def replacement(store):
    return TarnwickVectorStore.from_texts(["0,0,2", "0,2,0"], EMBED, ids=["X", "Y"], metric="l2")


BASE = {"A": "1,0,0", "B": "0,1,0", **FILLER}
AFTER = {"B": "0,1,0", "C": "1,1,1", **FILLER}
SCENARIOS = {
    # without a log, the changes are only in memory until the save
    "changes": (False, changes, [(BASE, "cosine"), (AFTER, "cosine")]),
    # with a log, they are acknowledged before the save starts
    "changes with log": (True, changes, [(AFTER, "cosine")]),
    # another store (another metric) saved over the folder
    "another store": (False, replacement, [(BASE, "cosine"),
                                           ({"X": "0,0,2", "Y": "0,2,0"}, "euclidean")]),
}


@pytest.fixture(scope="module")
def bases(tmp_path_factory):
    """Each scenario's folder as saved before the change."""
    root = tmp_path_factory.mktemp("bases")
    for name, (log, _, _) in SCENARIOS.items():
        store = TarnwickVectorStore.from_texts(list(BASE.values()), EMBED, ids=list(BASE))
        store.save_local(root / name, log=log)
        store.storage.close_log()
    return root


def save_in_child(base, work, scenario, at=-1, ready=None):
    """Copies base to work, then in a child loads it, changes it as the scenario
    does and saves it, killed at the at-th step (never when at < 0); returns the
    child's pid. The child writes a byte to ready (a pipe's write end) before the
    save and its step count to work/../steps after it."""
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(base, work)
    _, change, _ = SCENARIOS[scenario]

    def body():
        store = change(TarnwickVectorStore.load_local(work, EMBED))
        counter = [0]
        if ready is not None:
            os.write(ready, b"x")
        sys.setprofile(kill_hook(at, counter))
        store.save_local(work)
        sys.setprofile(None)
        (work.parent / "steps").write_text(str(counter[0]))

    return in_child(body)


def check_folder(work, scenario):
    """The folder loads to one of the scenario's states, every document whole
    (text under its own id), and a later add stores a new document beside them."""
    loaded = TarnwickVectorStore.load_local(work, EMBED)
    try:
        docs = {d.id: d.page_content for d in loaded.get_by_ids(list(BASE) + ["C", "X", "Y"])}
        assert len(loaded.storage) == len(docs)
        assert (docs, loaded.metric) in SCENARIOS[scenario][2]
        loaded.add_texts(["2,2,2"], ids=["D"])
        after_add = {d.id: d.page_content for d in loaded.get_by_ids(list(docs) + ["D"])}
        assert after_add == {**docs, "D": "2,2,2"} and len(loaded.storage) == len(docs) + 1
        return docs
    finally:
        loaded.storage.close_log()


@forking
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_a_kill_at_every_step_of_save_local(bases, tmp_path, scenario):
    work = tmp_path / "work"
    assert finished(save_in_child(bases / scenario, work, scenario)) == 0
    steps = int((tmp_path / "steps").read_text())
    assert steps > 10
    seen = []
    for at in range(1, steps + 1):
        assert finished(save_in_child(bases / scenario, work, scenario, at)) == -signal.SIGKILL
        seen.append(check_folder(work, scenario))
    # The kills found both states where there are two.
    assert len({tuple(sorted(d)) for d in seen}) == len({tuple(sorted(s)) for s, _ in
                                                          SCENARIOS[scenario][2]})


@forking
def test_sigkill_at_random_moments_of_save_local(bases, tmp_path):
    work = tmp_path / "work"
    rng = random.Random(25)
    start = time.monotonic()
    assert finished(save_in_child(bases / "changes", work, "changes")) == 0
    span = time.monotonic() - start
    for round_ in range(50):
        scenario = list(SCENARIOS)[round_ % len(SCENARIOS)]
        read_end, write_end = os.pipe()
        pid = save_in_child(bases / scenario, work, scenario, ready=write_end)
        os.close(write_end)
        os.read(read_end, 1)  # loaded and changed: the save is next
        os.close(read_end)
        time.sleep(rng.uniform(0, span / 2))
        os.kill(pid, signal.SIGKILL)
        finished(pid)
        check_folder(work, scenario)


def test_a_save_stopped_before_its_id_map_loses_nothing(tmp_path, monkeypatch):
    """A save that wrote its snapshot and stopped before anything else (here an
    error in the file written after it) loads to the saved documents, and an add
    after the load overwrites none of them."""
    store = TarnwickVectorStore.from_texts(["1,0", "0,1"], EMBED, ids=["A", "B"])
    store.save_local(tmp_path)
    store.delete(["A"])
    store.add_texts(["1,1"], ids=["C"])

    def stopped(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(folders, "write_atomically", stopped)
    with pytest.raises(KeyboardInterrupt):
        store.save_local(tmp_path)
    monkeypatch.undo()
    loaded = TarnwickVectorStore.load_local(tmp_path, EMBED)
    loaded.add_texts(["0.5,0.5"], ids=["D"])
    assert sorted(d.id for d in loaded.get_by_ids(["A", "B", "C", "D"])) == ["B", "C", "D"]
    assert loaded.get_by_ids(["C"])[0].page_content == "1,1"
