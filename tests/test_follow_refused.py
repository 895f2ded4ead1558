"""A change the writer refused after writing it: with sync="always" a failed
fdatasync makes the writer cut the record off again and raise OSError. A
follower in another process that read the record in between must not keep the
change: it finds the log shorter than what it applied, or another record in
that one's place, and loads the snapshot and the log afresh, ending with the
writer's content. The writer's fdatasync fails through a shim preloaded into
its process, which holds the failing call until the follower has caught up."""
import os
import shutil
import subprocess
import sys
import time

import pytest

import tarnwick
from follow_helpers import ANSWER_SECONDS, DIM, IDS, Child, Follower, graph_of, start, without_lists
from test_log_kill import state_of

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the shim is preloaded the Linux way")

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int exists(const char* directory, const char* name) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", directory, name);
  return access(path, F_OK) == 0;
}

/* While <TARNWICK_SYNC_CONTROL>/fail exists, fdatasync makes .../held, waits
   (a minute at most) for .../release, and fails with EIO. */
int fdatasync(int fd) {
  const char* control = getenv("TARNWICK_SYNC_CONTROL");
  if (control != NULL && exists(control, "fail")) {
    char path[4096];
    snprintf(path, sizeof path, "%s/held", control);
    FILE* held = fopen(path, "w");
    if (held != NULL) fclose(held);
    for (int i = 0; i < 60000 && !exists(control, "release"); ++i) usleep(1000);
    errno = EIO;
    return -1;
  }
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  return real(fd);
}
"""

# The writer: loads the snapshot and runs one command a line.
WRITER = """
import sys, tarnwick
directory = sys.argv[1]
store = tarnwick.VectorStorage()
store.load(directory + "/snapshot")
print("ready", flush=True)
for line in sys.stdin:
    command, *arguments = line.split()
    try:
        if command == "open":
            store.open_log(directory + "/log", sync="always")
        elif command == "close":
            store.close_log()
        elif command == "upsert":  # id, each coordinate, payload length
            pid, value, length = int(arguments[0]), float(arguments[1]), int(arguments[2])
            store.upsert(pid, [value] * 8, {"t": "x" * length} if length else None)
        elif command == "ef_search":
            store.ef_search = int(arguments[0])
        elif command == "save":
            store.save(directory + "/" + arguments[0])
        print("ok", flush=True)
    except Exception as error:
        print("error", type(error).__name__, str(error).replace("\\n", " "), flush=True)
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the fdatasync shim")
    directory = tmp_path_factory.mktemp("shim")
    (directory / "shim.c").write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(directory / "shim.so"), str(directory / "shim.c"),
                    "-ldl"], check=True, capture_output=True)
    return directory / "shim.so"


def writer_in(directory, shim, control):
    """A writer in a process of its own, whose fdatasync the shim fails on demand."""
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))  # a sanitizer's first
    return Child(WRITER, directory, env=dict(os.environ, LD_PRELOAD=preload, TARNWICK_SYNC_CONTROL=str(control)))


def wait_for(path):
    deadline = time.monotonic() + ANSWER_SECONDS
    while not path.exists():
        assert time.monotonic() < deadline, f"{path.name} never came"
        time.sleep(0.001)


# The change refused, and what the writer does after: another change of the
# same size where the refused one was, a longer one there, nothing (the log is
# then shorter than what the follower applied), or a checkpoint, whose fresh
# log continues the cut one.
REFUSED = {"ef_search": ("ef_search 77", "ef_search 55"), "upsert": ("upsert 5 9.0 0", "upsert 5 7.0 0")}
AFTER = {
    "same size": ["close", "open", "{same}"],
    "longer": ["close", "open", "upsert 6 6.0 40"],
    "nothing": [],
    "checkpoint": ["save snapshot", "upsert 6 6.0 0"],
}


@pytest.mark.parametrize("after", AFTER)
@pytest.mark.parametrize("refused", REFUSED)
@pytest.mark.parametrize("lists", [True, False], ids=["with lists", "without lists"])
def test_a_follower_does_not_keep_a_change_the_writer_refused(tmp_path, shim, lists, refused, after):
    first = start(tmp_path)
    first.upsert(1, [1.0] * DIM, {"k": "v"})
    first.upsert(5, [5.0] * DIM, None)
    first.close_log()
    if not lists:
        without_lists(tmp_path / "log")  # the follower then links upserts itself, at once
    control = tmp_path / "sync"
    control.mkdir()
    writer, follower = writer_in(tmp_path, shim, control), Follower(tmp_path, poll="none")
    try:
        assert writer.line() == "ready" and writer.ask("open") == "ok"
        assert follower.line() == "ready"
        (control / "fail").touch()
        writer.send(REFUSED[refused][0])
        wait_for(control / "held")  # written whole, its sync under way
        # A follower given the writer's lists waits for the upsert's, which never come.
        waits = refused == "upsert" and lists
        assert follower.ask("catch_up") == f"ok {0 if waits else 1}"
        (control / "release").touch()
        assert writer.line().startswith("error OSError Failed to sync log file: ")
        for name in ("fail", "held", "release"):
            (control / name).unlink()
        for command in AFTER[after] + ["catch_up", "close"]:
            if command == "catch_up":
                assert follower.ask("catch_up").startswith("ok")
                continue
            answer = writer.ask(command.format(same=REFUSED[refused][1]))
            # Closing a log whose sync failed reports the failure, and closes it.
            assert answer == "ok" or command == "close" and answer.startswith("error OSError Failed to sync")
        assert writer.ask("save writer.snapshot") == "ok"
        expected = tarnwick.VectorStorage()
        expected.load(str(tmp_path / "writer.snapshot"))
        assert follower.state() == state_of(expected, IDS)
        if lists:  # loaded afresh, or never off: the writer's graph
            assert follower.graph() == graph_of(tmp_path / "writer.snapshot")
    finally:
        writer.close()
        follower.close()
