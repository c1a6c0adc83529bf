"""Runs the integration guide's Python examples with the host's python3, for guide_test.

Usage: guide_example_driver.py EXAMPLES CASES RESULTS

EXAMPLES holds the guide's Python blocks as guide_test read them out of docs/integration.md.
CASES has one tab-separated case a line; RESULTS gets one line per case, in the same order:

  start  APP_EXE STAGE LOG PID -> start  COMMAND_LINE
      start_updater_and_exit run as the bundled application at APP_EXE would run it, with
      Windows' path rules and a Popen that records instead of starting: the command line it
      would have started, for the updater's own parser to read.
  report FOLDER                -> report KIND REASON LOG REMOVED
      take_failure_report on a failure report the real updater left in FOLDER.
  manifest FOLDER              -> manifest
      write_package_manifest on FOLDER, for the updater to check.
  lock   FOLDER SERIAL INDEX   -> lock   NAME
      update_lock_name for an install folder whose GetFileInformationByHandle gives that
      volume serial and file index (decimal): the name guide_test then finds the real updater
      holding.
  ready  APP_EXE STAGE LOG PID -> ready  COMMAND_LINE EVENT_NAME
      start_updater_when_ready as the application at APP_EXE, told that the event is set: it
      must end the process; the command line and the event it created, for guide_test to run
      the real updater with.
  ended  FOLDER                -> ended  KIND REASON LOG
      start_updater_when_ready as the application in FOLDER, told that the updater ended
      first: it must keep running and tell the user what the report the real updater left in
      FOLDER says.

The application's start-up rules (request, a failed start, resume, an update in progress, a
stale marker after a reinstall, a failed recovery, a stale lock, telling the user how the last
update ended) are checked here on a scratch folder, with kernel32 stood in for. A failed check
ends with exit code 1 and its reason on stderr.
"""
import contextlib
import ctypes
import json
import logging
import ntpath
import os
import posixpath
import itertools
import subprocess
import sys
import tempfile
import types

# Windows' values (WinBase.h); subprocess has these names only on Windows.
for name, value in {"DETACHED_PROCESS": 0x8, "CREATE_NEW_PROCESS_GROUP": 0x200,
                    "CREATE_BREAKAWAY_FROM_JOB": 0x1000000}.items():
    if not hasattr(subprocess, name):
        setattr(subprocess, name, value)


class Exited(Exception):
    pass


class Starts:
    """Stands in for subprocess.Popen and os._exit, and records what would have started."""

    def __init__(self, job_allows_breakaway=True, updater_missing=False):
        self.calls = []
        self.job_allows_breakaway = job_allows_breakaway
        self.updater_missing = updater_missing

    def popen(self, args, **kwargs):
        if self.updater_missing:
            raise FileNotFoundError(2, "The system cannot find the file specified")
        if (kwargs.get("creationflags", 0) & subprocess.CREATE_BREAKAWAY_FROM_JOB
                and not self.job_allows_breakaway):
            raise PermissionError(13, "Access is denied")  # CreateProcess's error 5 in Python
        self.calls.append((subprocess.list2cmdline(args), kwargs))
        return types.SimpleNamespace(pid=7000 + len(self.calls))

    def exit(self, code):
        raise Exited(code)

    def lines(self):
        return [line for line, _ in self.calls]


class Kernel32:
    """Stands in for ctypes.WinDLL("kernel32"): the folders it can open, with the volume serial
    and file index GetFileInformationByHandle gives for each, and the named mutexes that exist
    (True) or exist but may not be opened (False)."""

    INVALID = ctypes.c_void_p(-1).value

    def __init__(self, folders=None, mutexes=None, wait_answer=None):
        self.folders = folders or {}
        self.mutexes = mutexes or {}
        self.opened = {}
        self.last_error = 0
        self.handles = itertools.count(1)
        # The ready handshake: the events created, the waits asked for and what they answer
        # ("event", "process" or "timeout").
        self.events = {}
        self.waits = []
        self.wait_answer = wait_answer
        self.CreateEventW = lambda attributes, manual, initial, name: self.create_event(
            manual, initial, name)
        self.OpenProcess = lambda access, inherit, pid: self.new_handle(("process", pid))
        self.WaitForMultipleObjects = lambda count, handles, all, ms: self.wait(
            [handles[i] for i in range(count)], all, ms)
        # Plain functions, so that the examples can set argtypes and restype on them.
        self.CreateFileW = lambda path, *rest: self.open_folder(path)
        self.GetFileInformationByHandle = lambda handle, info: self.fill(handle, info._obj)
        self.OpenMutexW = lambda access, inherit, name: self.open_mutex(name)
        self.CloseHandle = lambda handle: self.opened.pop(handle) is not None

    def new_handle(self, thing):
        handle = 4 * next(self.handles)
        self.opened[handle] = thing
        return handle

    def open_folder(self, path):
        if path not in self.folders:
            self.last_error = 2
            return self.INVALID
        return self.new_handle(path)

    def create_event(self, manual, initial, name):
        self.events[name] = (bool(manual), bool(initial))
        return self.new_handle(("event", name))

    def wait(self, handles, wait_all, ms):
        self.waits.append(([self.opened[h] for h in handles], bool(wait_all), ms))
        kinds = [self.opened[h][0] for h in handles]
        if self.wait_answer == "timeout":
            return 0x102  # WAIT_TIMEOUT
        return kinds.index(self.wait_answer)  # WAIT_OBJECT_0 + the index of the one signalled

    def fill(self, handle, info):
        serial, index = self.folders[self.opened[handle]]
        info.volume_serial, info.index_high, info.index_low = serial, index >> 32, index & 0xFFFFFFFF
        return 1

    def open_mutex(self, name):
        if not self.mutexes.get(name, False):
            self.last_error = 5 if name in self.mutexes else 2
            return None
        return self.new_handle(name)


@contextlib.contextmanager
def application(executable, pid, starts, path_rules, kernel32=None, version=None):
    """The process as the bundled application at `executable` (of `version`) sees it."""
    kernel32 = kernel32 or Kernel32()
    saved = (sys.executable, os.getpid, os.path, subprocess.Popen, os._exit,
             getattr(ctypes, "WinDLL", None), getattr(ctypes, "get_last_error", None))
    sys.executable, os.path = executable, path_rules
    os.getpid = lambda: pid
    subprocess.Popen, os._exit = starts.popen, starts.exit
    ctypes.WinDLL = lambda name, use_last_error=False: kernel32
    ctypes.get_last_error = lambda: kernel32.last_error
    try:
        yield
    finally:
        (sys.executable, os.getpid, os.path, subprocess.Popen, os._exit, ctypes.WinDLL,
         ctypes.get_last_error) = saved


def run(examples, action, executable, pid, path_rules, *args, job_allows_breakaway=True,
        updater_missing=False, kernel32=None):
    """What `action` would start: it must end the process with 0 when it starts anything, and
    may end it quietly (sys.exit(0)) only without starting anything."""
    starts = Starts(job_allows_breakaway, updater_missing)
    starts.quiet_exit = False
    with application(executable, pid, starts, path_rules, kernel32):
        try:
            examples[action](*args)
        except Exited as exited:
            assert exited.args == (0,), f"{action} exits with {exited.args}"
            assert starts.calls, f"{action} exits without starting the updater"
        except SystemExit as exited:
            assert exited.code == 0 and not starts.calls, f"{action} exits with {exited.code}"
            starts.quiet_exit = True
        else:
            assert not starts.calls, f"{action} starts the updater and goes on running"
    return starts


def start(examples, app_exe, stage, log, pid):
    lines = []
    for allows in (True, False):
        starts = run(examples, "start_updater_and_exit", app_exe, int(pid), ntpath, stage, log,
                     job_allows_breakaway=allows)
        assert len(starts.calls) == 1, starts.calls
        line, options = starts.calls[0]
        flags = options.get("creationflags", 0)
        expected = subprocess.DETACHED_PROCESS | subprocess.CREATE_NEW_PROCESS_GROUP
        if allows:
            expected |= subprocess.CREATE_BREAKAWAY_FROM_JOB
        assert flags == expected, f"creation flags {flags:#x}, job allows breakaway: {allows}"
        assert options.get("close_fds") is True, options
        assert all(options.get(s) == subprocess.DEVNULL for s in ("stdin", "stdout", "stderr"))
        assert options.get("cwd") == ntpath.dirname(app_exe), options.get("cwd")
        assert options.get("env", {}).get("PYINSTALLER_RESET_ENVIRONMENT") == "1"
        lines.append(line)
    assert lines[0] == lines[1], lines
    return ["start", lines[0]]


def report(examples, folder):
    with application(os.path.join(folder, "Tavrio.exe"), 1, Starts(), posixpath):
        taken = examples["take_failure_report"](folder)
    kind, reason, log = taken or ("none", "", "")
    removed = not os.path.exists(os.path.join(folder, "update_failed.txt"))
    return ["report", kind, reason, log, "1" if removed else "0"]


def manifest(examples, folder):
    examples["write_package_manifest"](folder)
    return ["manifest"]


def lock(examples, folder, serial, index):
    kernel32 = Kernel32({folder: (int(serial), int(index))})
    with application(ntpath.join(folder, "Tavrio.exe"), 1, Starts(), ntpath, kernel32):
        name = examples["update_lock_name"](folder)
        assert examples["update_lock_name"](folder + "-missing") is None
    assert not kernel32.opened, "a handle was left open"
    return ["lock", name]


def handshake(examples, app_exe, path_rules, answer, stage="S", log="C:\\logs\\update.log",
              pid=4242, **options):
    """start_updater_when_ready as the application at app_exe, its wait answered by `answer`:
    (exited, what was shown, the starts, the kernel32 stand-in)."""
    kernel32 = Kernel32(wait_answer=answer)
    starts = Starts(**options)
    preparing, shown = [], []
    exited = False
    with application(app_exe, pid, starts, path_rules, kernel32):
        try:
            examples["start_updater_when_ready"](stage, log, lambda: preparing.append(True),
                                                 lambda *seen: shown.append(seen))
        except Exited as ended:
            assert ended.args == (0,), f"exits with {ended.args}"
            exited = True
    if starts.calls:
        assert preparing == [True], "the preparing state is not shown once"
        assert len(kernel32.events) == 1, kernel32.events
        (name, kind), = kernel32.events.items()
        assert kind == (True, False), "not a manual-reset event that starts unset"
        assert name.startswith("Local\\tavrio-ready-") and len(name) > 30, name
        assert kernel32.waits == [([("event", name), ("process", 7001)], False, 30000)], \
            kernel32.waits
    else:
        assert not preparing, "preparing shown without an updater"
    if not exited:
        assert not kernel32.opened, f"handles left open: {kernel32.opened}"
    return exited, shown, starts, kernel32


def ready(examples, app_exe, stage, log, pid):
    exited, _, starts, kernel32 = handshake(examples, app_exe, ntpath, "event", stage, log,
                                            int(pid))
    assert exited, "the application runs on once the updater is ready"
    return ["ready", starts.lines()[0], *kernel32.events]


def ended(examples, folder):
    os.environ["LOCALAPPDATA"] = os.path.join(folder, "local")
    exited, shown, starts, _ = handshake(examples, os.path.join(folder, "Tavrio.exe"),
                                         posixpath, "process")
    assert not exited, "the application closed although the updater ended first"
    assert len(shown) == 1 and len(starts.calls) == 1, (shown, starts.calls)
    assert not os.path.exists(os.path.join(folder, "update_failed.txt")), "report not taken"
    return ["ended", *shown[0]]


def check_ready_handshake(examples):
    """The handshake's other ways out, on a scratch folder."""
    with tempfile.TemporaryDirectory() as root:
        os.environ["LOCALAPPDATA"] = os.path.join(root, "local")
        exe = os.path.join(root, "Tavrio.exe")
        exited, shown, starts, _ = handshake(examples, exe, posixpath, "timeout")
        assert exited and not shown, "30 s without an answer: the application closes all the same"
        exited, shown, starts, _ = handshake(examples, exe, posixpath, "process")
        assert not exited and shown == [("other", "the update did not start", "C:\\logs\\update.log")], \
            shown
        exited, shown, starts, _ = handshake(examples, exe, posixpath, "event",
                                             updater_missing=True)
        assert not exited and not shown and not starts.calls, "a start that fails"


def write(path, text=""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def listing(folder):
    return sorted(os.path.relpath(os.path.join(d, n), folder).replace(os.sep, "\\")
                  for d, dirs, files in os.walk(folder) for n in dirs + files)


class Scene:
    """A scratch installation and local data folder, and the application's start-up on them."""

    def __init__(self, examples, root):
        self.examples = examples
        self.install = os.path.join(root, "Tavrio 安装")
        os.makedirs(os.path.join(self.install, "_internal"))
        write(os.path.join(self.install, "Tavrio.exe"))
        self.exe = os.path.join(self.install, "Tavrio.exe")
        self.stage = os.path.join(self.install, "update")
        self.data = os.path.join(root, "本地", "Tavrio")
        os.environ["LOCALAPPDATA"] = os.path.dirname(self.data)
        self.log = os.path.join(self.data, "logs", "update.log")
        self.pending = os.path.join(self.install, "update_pending.json")
        self.lock = os.path.join(self.install, "update.lock")
        self.lock_name = "Local\\tavrio-update-1234ABCD-0000000500000042"
        self.shown = []
        self.command = [subprocess.list2cmdline(
            examples["updater_command"](self.exe, self.stage, self.log, 4242))]

    def attempt(self, action, *args, version="1.0.0", updater_running=False, **options):
        self.examples["APP_VERSION"] = version
        kernel32 = Kernel32({self.install: (0x1234ABCD, 0x500000042)},
                            {self.lock_name: True} if updater_running else {})
        starts = run(self.examples, action, self.exe, 4242, posixpath, *args, kernel32=kernel32,
                     **options)
        return "quiet exit" if starts.quiet_exit else starts.lines()

    def start(self, **options):
        return self.attempt("on_start", lambda *shown: self.shown.append(shown), **options)

    def request(self, version, **options):
        return self.attempt("request_update", version, self.log, **options)


def check_start_up_rules(examples):
    with tempfile.TemporaryDirectory() as root:
        s = Scene(examples, os.path.join(root, "request"))
        assert s.request("2.0.0") == s.command, "request"
        with open(s.pending, encoding="utf-8") as f:
            assert json.load(f) == {"stage": s.stage, "log": s.log, "version": "2.0.0"}
        assert os.path.exists(s.lock) and os.path.isdir(os.path.dirname(s.log))
        assert s.request("2.0.0") == [], "a second request while the first is pending"
        # A second instance started while the updater is at work goes quietly, marker kept.
        assert s.start(updater_running=True) == "quiet exit", "an update in progress"
        assert os.path.exists(s.pending) and s.shown == []
        assert s.start() == s.command, "resume with the same arguments"
        # The restarted application: the updater removed the marker, and may still hold its
        # lock while it deletes the old runtime.
        os.remove(s.pending)
        assert s.start(version="2.0.0", updater_running=True) == [], "restarted"
        assert s.shown == [("updated", "2.0.0", "")], s.shown
        assert not os.path.exists(s.lock)

        # The updater cannot be started: the request is dropped and the application goes on.
        s = Scene(examples, os.path.join(root, "failed start"))
        logged = []
        handler = logging.Handler()
        handler.emit = logged.append
        logging.getLogger().addHandler(handler)
        try:
            assert s.request("2.0.0", updater_missing=True) == [], "a start that fails"
        finally:
            logging.getLogger().removeHandler(handler)
        assert len(logged) == 1 and logged[0].exc_info, "the failed start is not logged"
        assert not any(map(os.path.exists, (s.pending, s.lock))), listing(s.install)
        assert not os.path.exists(os.path.join(s.data, "update_expected.json"))
        assert s.start() == [] and s.shown == [], "a start after the failed one"

        # A stale marker after a reinstall: 3.0 installed over an update to 2.0 that was cut
        # off. Nothing is resumed; the leftovers go, the application's own files stay.
        s = Scene(examples, os.path.join(root, "reinstalled"))
        assert s.request("2.0.0") == s.command
        leftovers = ["update.journal", "update.journal.tmp", "Tavrio.exe.new",
                     "update\\Tavrio.exe", "update\\_internal\\python312.dll",
                     "_internal_old\\python312.dll", "_internal_old.12.345.trash\\x.pyd",
                     "update.6.78.trash\\y.pyd"]
        kept = ["_internal\\python312.dll", "settings.ini", "update.txt", "_internal_old.x.trash"]
        for name in leftovers + kept:
            write(os.path.join(s.install, *name.split("\\")))
        assert s.start(version="3.0.0") == [], "a stale marker is resumed"
        assert s.shown == [], s.shown
        assert listing(s.install) == sorted(["Tavrio.exe", "_internal"] + kept), listing(s.install)

        # An update that ended without installing its version and without a report.
        s = Scene(examples, os.path.join(root, "not installed"))
        assert s.request("2.0.0") == s.command
        os.remove(s.pending)
        assert s.start() == [] and s.shown == [("other", "2.0.0 was not installed", "")]

        # After a failed recovery the request is dropped: a new attempt would fail the same way.
        s = Scene(examples, os.path.join(root, "recovery"))
        assert s.request("2.0.0") == s.command
        reason = "恢复上次中断的更新失败：Access is denied. (os error 5)"
        write(os.path.join(s.install, "update_failed.txt"),
              f"更新失败，已保留原版本。\n时间：10:15:03\n原因：{reason}\n详细日志：{s.log}")
        assert s.start() == [], "resume after recovery"
        assert s.shown == [("recovery", reason, s.log)], s.shown
        assert listing(s.install) == ["Tavrio.exe", "_internal"], listing(s.install)

        open(s.lock, "x").close()
        assert s.start() == [], "a stale lock"
        assert not os.path.exists(s.lock) and len(s.shown) == 1

        # The lock test itself: a lock that exists but may not be opened is held all the same.
        with application(s.exe, 1, Starts(), posixpath,
                         Kernel32({s.install: (0x1234ABCD, 0x500000042)}, {s.lock_name: False})):
            assert examples["update_in_progress"](s.install)
        with application(s.exe, 1, Starts(), posixpath, Kernel32()):
            assert not examples["update_in_progress"](s.install)


def main(examples_path, cases_path, results_path):
    examples = {"__name__": "guide_examples"}
    with open(examples_path, encoding="utf-8") as f:
        exec(compile(f.read(), examples_path, "exec"), examples)
    check_start_up_rules(examples)
    check_ready_handshake(examples)
    actions = {"start": start, "report": report, "manifest": manifest, "lock": lock,
               "ready": ready, "ended": ended}
    results = []
    with open(cases_path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            kind, *fields = line.split("\t")
            results.append(actions[kind](examples, *fields))
    with open(results_path, "w", encoding="utf-8", newline="\n") as f:
        f.writelines("\t".join(row) + "\n" for row in results)


if __name__ == "__main__":
    main(*sys.argv[1:])
