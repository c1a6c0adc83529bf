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

The application's start-up rules (request, resume, a failed recovery, a stale lock) are checked
here on a scratch folder. A failed check ends with exit code 1 and its reason on stderr.
"""
import contextlib
import json
import ntpath
import os
import posixpath
import subprocess
import sys
import tempfile

# Windows' values (WinBase.h); subprocess has these names only on Windows.
for name, value in {"DETACHED_PROCESS": 0x8, "CREATE_NEW_PROCESS_GROUP": 0x200,
                    "CREATE_BREAKAWAY_FROM_JOB": 0x1000000}.items():
    if not hasattr(subprocess, name):
        setattr(subprocess, name, value)


class Exited(Exception):
    pass


class Starts:
    """Stands in for subprocess.Popen and os._exit, and records what would have started."""

    def __init__(self, job_allows_breakaway=True):
        self.calls = []
        self.job_allows_breakaway = job_allows_breakaway

    def popen(self, args, **kwargs):
        if (kwargs.get("creationflags", 0) & subprocess.CREATE_BREAKAWAY_FROM_JOB
                and not self.job_allows_breakaway):
            raise PermissionError(13, "Access is denied")  # CreateProcess's error 5 in Python
        self.calls.append((subprocess.list2cmdline(args), kwargs))

    def exit(self, code):
        raise Exited(code)

    def lines(self):
        return [line for line, _ in self.calls]


@contextlib.contextmanager
def application(executable, pid, starts, path_rules):
    """The process as the bundled application at `executable` sees it."""
    saved = (sys.executable, os.getpid, os.path, subprocess.Popen, os._exit)
    sys.executable, os.path = executable, path_rules
    os.getpid = lambda: pid
    subprocess.Popen, os._exit = starts.popen, starts.exit
    try:
        yield
    finally:
        sys.executable, os.getpid, os.path, subprocess.Popen, os._exit = saved


def run(examples, action, executable, pid, path_rules, *args, job_allows_breakaway=True):
    """What `action` would start; it must end the process with 0 when it starts anything."""
    starts = Starts(job_allows_breakaway)
    with application(executable, pid, starts, path_rules):
        try:
            examples[action](*args)
        except Exited as exited:
            assert exited.args == (0,), f"{action} exits with {exited.args}"
            assert starts.calls, f"{action} exits without starting the updater"
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


def check_start_up_rules(examples):
    with tempfile.TemporaryDirectory() as root:
        install = os.path.join(root, "Tavrio 安装")
        os.mkdir(install)
        exe = os.path.join(install, "Tavrio.exe")
        stage = os.path.join(install, "update")
        log = os.path.join(root, "本地", "logs", "update.log")
        pending = os.path.join(install, "update_pending.json")
        lock = os.path.join(install, "update.lock")
        shown = []

        def attempt(action, *args):
            return run(examples, action, exe, 4242, posixpath, *args).lines()

        command = [subprocess.list2cmdline(examples["updater_command"](exe, stage, log, 4242))]
        assert attempt("request_update", stage, log) == command, "request"
        with open(pending, encoding="utf-8") as f:
            assert json.load(f) == {"stage": stage, "log": log}
        assert os.path.exists(lock) and os.path.isdir(os.path.dirname(log))
        assert attempt("request_update", stage, log) == [], "a second request while locked"
        assert attempt("on_start", lambda *r: shown.append(r)) == command, "resume with the same arguments"

        reason = "恢复上次中断的更新失败：Access is denied. (os error 5)"
        with open(os.path.join(install, "update_failed.txt"), "w", encoding="utf-8") as f:
            f.write(f"更新失败，已保留原版本。\n时间：10:15:03\n原因：{reason}\n详细日志：{log}")
        assert attempt("on_start", lambda *r: shown.append(r)) == [], "resume after recovery"
        assert shown == [("recovery", reason, log)], shown
        assert sorted(os.listdir(install)) == [], os.listdir(install)

        open(lock, "x").close()
        assert attempt("on_start", lambda *r: shown.append(r)) == [], "a stale lock"
        assert not os.path.exists(lock) and len(shown) == 1


def main(examples_path, cases_path, results_path):
    examples = {"__name__": "guide_examples"}
    with open(examples_path, encoding="utf-8") as f:
        exec(compile(f.read(), examples_path, "exec"), examples)
    check_start_up_rules(examples)
    actions = {"start": start, "report": report, "manifest": manifest}
    results = []
    with open(cases_path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            kind, *fields = line.split("\t")
            results.append(actions[kind](examples, *fields))
    with open(results_path, "w", encoding="utf-8", newline="\n") as f:
        f.writelines("\t".join(row) + "\n" for row in results)


if __name__ == "__main__":
    main(*sys.argv[1:])
