#!/usr/bin/python3
"""End-to-end tests of the real tolvane.exe, under Wine here and natively on
Windows.

usage: e2e_test.py <group> i686|x86_64 <build tree of that image> [<i686 build tree>]
       [--windows-only]

The install group builds the release package, which holds both images, so it
is also given the i686 tree.

Groups: token, object, install, startup, cmdline, detached, usage, dbcs. Each runs a table of cases;
one helper, run_launcher, starts the launcher through the Windows-side
harness with an exact command line and reads back what the started target
(token_report.exe) wrote about itself. "Nothing started" means the launcher
has ended and, after a grace period, the target's report is still absent.
Every check prints what it saw; the last line counts passes and failures.
Each image's tree holds its own launcher, target, harness and watcher, all
of that architecture.

Some cases only Windows can show (Wine differs from it there); they are run
with --windows-only. Under Wine that run says why for each and ends with 77,
which CTest reports as a skip; on Windows it runs them. The one place that
knows how a Windows program is run and how a path is named, under Wine or
natively, is HOST (the classes Wine and NativeWindows).
"""
import contextlib
import getpass
import os
import re
import shutil
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SKIP = 77                    # the status CTest reports as a skip
GRACE_SECONDS = 2.0          # how long a target that was started has to report
REPORT_WAIT_SECONDS = 15.0   # how long a started target may take to report

USAGE_TEXT = (b"Specify a program to execute without admin privileges\n\n"
              b"usage: tolvane.exe <executable>")
# What the help box must say: where it begins, every option on a line of
# its own, the exit codes a script meets most, where the reference is.
HELP_PARTS = ["Starts a program without administrator rights.\n\n", "\n/limited ", "\n/wait ",
              "\n/errorbox ", "\n/? ", " 0 ", " 2 ", " 5 ", " 87 ", " 740 ", " 1113 ", " 1459 ",
              "README.txt"]

results = {"passed": 0, "failed": 0}


def check(ok, what, saw):
    results["passed" if ok else "failed"] += 1
    print(("ok   " if ok else "FAIL ") + what + ": saw " + repr(saw))
    return ok


def record(what, saw):
    """What a case saw where nobody has yet seen Windows' answer: printed,
    neither passed nor failed, to be made a check from the first native
    run's log."""
    print("seen " + what + ": " + repr(saw))


WINDOWS_ONLY = "--windows-only" in sys.argv


class SkipGroup(Exception):
    pass


def this_runs(*tables):
    """The rows of each table that this run takes (one list, or a list for
    each of several tables). A row whose last field is a reason is a case
    only Windows can show: a --windows-only run takes those rows, on
    Windows; under Wine it names each with its reason and the group ends as
    a skip. Every other run takes the rows whose last field is None."""
    chosen = [[case for case in cases if (case[-1] is not None) == WINDOWS_ONLY] for cases in tables]
    if WINDOWS_ONLY and not HOST.native:
        for case in sum(chosen, []):
            print("skip: %s: only Windows shows it: %s" % (case[0], case[-1]))
        raise SkipGroup()
    return chosen[0] if len(chosen) == 1 else chosen


def wait_for(path, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        time.sleep(0.05)
    return os.path.exists(path)


# --- where Windows programs run ----------------------------------------

class Wine:
    """Windows programs under Wine, in the project's prefix (scripts/wine-run
    picks the loader and skips a 32-bit program on a host that cannot run
    one); Unix paths named through Wine's Z: drive."""
    native = False
    runner = os.path.join(ROOT, "scripts", "wine-run")

    def path(self, path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def command(self, args):
        return [self.runner] + args

    def cannot_run(self, arch):
        """Why this host cannot run the image's programs, or None."""
        if arch == "i686" and subprocess.run([os.path.join(ROOT, "scripts", "wine-host"), "i386"],
                                             stdin=subprocess.DEVNULL).returncode != 0:
            return "this host cannot execute 32-bit x86 programs"
        return None

    def system_program(self, name):
        """The path of a program of Windows' own, as Windows programs name it."""
        return "C:\\windows\\system32\\" + name

    def program_files(self, arch):
        """Where a package of `arch` (x64, x86) installs, as Windows names it."""
        return "C:\\Program Files" if arch == "x64" else "C:\\Program Files (x86)"

    def local(self, path):
        """A path on drive C: as a path here: in the prefix's drive_c."""
        prefix = os.environ.get("TOLVANE_WINEPREFIX", os.path.join(ROOT, "build", "wineprefix"))
        return os.path.join(prefix, "drive_c", *path[3:].split("\\"))

    def user_programs(self):
        """The user's programs folder, %LOCALAPPDATA%\\Programs, as Windows
        programs name it."""
        return "C:\\users\\%s\\AppData\\Local\\Programs" % getpass.getuser()

    def start_menus(self):
        """The Start menu's folders, the user's and everyone's, as paths here."""
        return [self.local("C:\\users\\%s\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"
                           % getpass.getuser()),
                self.local("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs")]

    def japanese_locale(self):
        """The environment that gives programs ANSI code page 932, or None."""
        if "ja_jp.utf8" not in subprocess.run(["locale", "-a"], capture_output=True,
                                              text=True).stdout.lower():
            return None
        return {"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.UTF-8"}

    @contextlib.contextmanager
    def desktop(self, ws):
        """A display for windows: Xvfb, with Wine's services started anew on
        it. Yields the environment that puts a program on it."""
        number = next(n for n in range(90, 200) if not os.path.exists("/tmp/.X%d-lock" % n)
                      and not os.path.exists("/tmp/.X11-unix/X%d" % n))
        env = {"TOLVANE_DISPLAY": ":%d" % number}
        log = open(os.path.join(ws.dir, "xvfb.log"), "wb")
        xvfb = subprocess.Popen(["Xvfb", env["TOLVANE_DISPLAY"], "-screen", "0", "800x600x24",
                                 "-nolisten", "tcp"], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        try:
            if not wait_for("/tmp/.X11-unix/X%d" % number, 10):
                yield None
                return
            # Wine's services started without a display would keep this run
            # from reaching it; and with no window manager on the display,
            # Wine draws the frame and caption itself, as Windows would.
            self.stop_services()
            self.run(["reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated", "/d",
                      "N", "/f"], os.path.join(ws.dir, "reg.log"), env)
            yield env
        finally:
            self.stop_services()
            xvfb.terminate()
            xvfb.wait(10)
            log.close()

    def screenshot(self, env, png, scratch):
        """Takes a picture of the display; says whether one was written."""
        xwd = os.path.join(scratch, "screen.xwd")
        quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        subprocess.run(["xwd", "-root", "-silent", "-display", env["TOLVANE_DISPLAY"], "-out", xwd], **quiet)
        subprocess.run(["convert", "xwd:" + xwd, "-trim", "+repage", png], **quiet)
        return os.path.exists(png) and os.path.getsize(png) > 0

    def stop_services(self):
        subprocess.run([os.path.join(ROOT, "scripts", "wine-prefix"), "stop"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, args, log, env_extra=None, timeout=120):
        with open(log, "ab") as out:
            return subprocess.run(self.command(args), stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                  env=dict(os.environ, **(env_extra or {})), timeout=timeout).returncode

    def output(self, args):
        """What a program printed, as text."""
        done = subprocess.run(self.command(args), stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=120)
        return (done.stdout + done.stderr).decode("latin-1")

    def start(self, args, log, env_extra=None):
        return subprocess.Popen(self.command(args), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                env=dict(os.environ, **(env_extra or {})))


class NativeWindows(Wine):
    """The same on Windows itself: programs run directly, paths are its own,
    the desktop is the real one."""
    native = True

    def path(self, path):
        return os.path.abspath(path)

    def command(self, args):
        return list(args)

    def cannot_run(self, arch):
        return None   # the i686 image runs under WoW64

    def system_program(self, name):
        return os.path.join(os.environ.get("SystemRoot", "C:\\Windows"), "System32", name)

    def program_files(self, arch):
        return os.environ["ProgramW6432" if arch == "x64" else "ProgramFiles(x86)"]

    def local(self, path):
        return path

    def user_programs(self):
        return os.path.join(os.environ["LOCALAPPDATA"], "Programs")

    def start_menus(self):
        return [os.path.join(os.environ[folder], "Microsoft", "Windows", "Start Menu", "Programs")
                for folder in ("APPDATA", "ProgramData")]

    def user_sid(self):
        """The SID of the account the suite runs as."""
        output = subprocess.run(["whoami", "/user", "/fo", "csv", "/nh"], capture_output=True,
                                text=True).stdout
        return output.strip().split(",")[-1].strip('"')

    def japanese_locale(self):
        return None   # Windows sets the ANSI code page for the whole machine

    @contextlib.contextmanager
    def desktop(self, ws):
        yield {}

    def screenshot(self, env, png, scratch):
        return True   # the box is read from the real desktop; no picture needed

    def stop_services(self):
        pass

    def run_line(self, command_line, env_extra=None):
        """Runs an exact command line, with empty standard input, and
        returns what it printed."""
        done = subprocess.run(command_line, stdin=subprocess.DEVNULL, capture_output=True,
                              env=dict(os.environ, **(env_extra or {})), timeout=120)
        return (done.stdout + done.stderr).decode("mbcs", "replace")


HOST = NativeWindows() if os.name == "nt" else Wine()


class Workspace:
    def __init__(self, build, group):
        self.build = build
        self.dir = os.path.join(build, "e2e", group)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.bin = os.path.join(self.dir, "bin")
        os.makedirs(self.bin)
        self.launcher = os.path.join(build, "tolvane.exe")
        self.harness = os.path.join(build, "tests", "e2e_harness.exe")
        self.watcher = os.path.join(build, "tests", "usage_watcher.exe")
        # Targets: the report program under several names, and things that
        # are not programs.
        self.target = self.copy_target("target.exe")
        self.spaced_target = self.copy_target(os.path.join("dir with space", "target app.exe"))
        # Names no single ANSI code page holds, and one with U+FF02, a
        # fullwidth quotation mark that a Western code page's best fit turns
        # into a plain quote.
        self.unicode_target = self.copy_target(os.path.join("Ελληνικά 中文 😀", "target.exe"))
        self.fullwidth_quote_target = self.copy_target(os.path.join("a\uff02 b", "target.exe"))
        # A name Western code pages hold, and a batch file that starts the
        # report program.
        self.latin_target = self.copy_target(os.path.join("café", "target.exe"))
        self.batch = os.path.join(self.bin, "run target.cmd")
        with open(self.batch, "w", newline="\r\n") as f:
            f.write('@"%s"\n' % HOST.path(self.target))
        # A program at a path longer than Windows starts programs from
        # (MAX_PATH, 260 characters with the terminator); None where the
        # file system here will not hold one.
        try:
            self.long_target = self.copy_target(os.path.join(*(c * 60 for c in "abcd"), "target.exe"))
        except OSError as error:
            print("note: no program at a path over 259 characters here: %s" % error)
            self.long_target = None
        self.not_program = os.path.join(self.bin, "notes.txt")
        with open(self.not_program, "w") as f:
            f.write("just text, not a program\n")
        self.text_as_program = os.path.join(self.bin, "notes.exe")
        shutil.copy(self.not_program, self.text_as_program)
        self.folder = os.path.join(self.bin, "folder")
        os.makedirs(self.folder)
        self.missing = os.path.join(self.bin, "missing.exe")
        self.count = 0

    def copy_target(self, relative):
        path = os.path.join(self.bin, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shutil.copy(os.path.join(self.build, "token_report.exe"), path)
        return path

    def case_dir(self, name):
        self.count += 1
        path = os.path.join(self.dir, "case%02d" % self.count)
        os.makedirs(path)
        with open(os.path.join(path, "name"), "w") as f:
            f.write(name + "\n")
        return path


def read_lines(path):
    with open(path, "rb") as f:
        return [line.rstrip(b"\r\n").decode("latin-1") for line in f]


def read_report(path):
    """The target's report as (key, rest) pairs, in order."""
    pairs = []
    for line in read_lines(path):
        key, _, rest = line.partition(" ")
        pairs.append((key, rest))
    return pairs


def first(report, key):
    return next((rest for k, rest in report if k == key), None)


# Wine's own process creation fails now and then: the launch ends with
# ERROR_INTERNAL_ERROR, or the harness never gets to write its result. Each
# was seen once in about ten runs of the whole suite, for a case that passed
# in every other run, so such a case is run once more (and says so) before it
# counts as failed.
WINE_INTERNAL_ERROR = 1359


def run_launcher(ws, name, command_line=None, directory=None, env_extra=None, delay_ms=None,
                 verb=None, image=None, class_key=None, verb_file=None, link=None, retried=False):
    """Starts the launcher (or `image`; "-" for the one the command line's
    first word names) through the harness with `command_line` (bytes) exactly; or, given `verb`, has the shell start the
    target (or `link`, as it stands) through that verb of the class key, as
    Explorer's menu or a click in another program does, which runs the
    launcher a package registered there. Returns
    (status or None, elapsed ms, report path, case dir)."""
    case = ws.case_dir(name)
    report = os.path.join(case, "report.txt")
    result = os.path.join(case, "result.txt")
    if verb is None:
        cmdline_file = os.path.join(case, "cmdline.bin")
        with open(cmdline_file, "wb") as f:
            f.write(command_line)
        # "-": the image the command line's first word names.
        start = ["-" if image == "-" else HOST.path(image or ws.launcher), HOST.path(directory or case),
                 HOST.path(cmdline_file)]
    else:
        start = ["--verb", verb, class_key or CLASS_KEY, link or HOST.path(verb_file or ws.target)]
    env = {"TOLVANE_REPORT": HOST.path(report)}
    if delay_ms is not None:
        env["TOLVANE_REPORT_DELAY_MS"] = str(delay_ms)
    env.update(env_extra or {})
    harness_status = HOST.run([ws.harness] + start + [HOST.path(result)], os.path.join(case, "wine.log"),
                          env)
    status = elapsed = None
    if not os.path.exists(result):
        print("harness: %s: wrote no result; wine-run ended with %d" % (name, harness_status))
    else:
        for line in read_lines(result):
            key, _, value = line.partition(" ")
            if key == "status":
                status = int(value)
            elif key == "elapsed-ms":
                elapsed = int(value)
            elif key == "error":
                print("harness: " + value)
    if (status == WINE_INTERNAL_ERROR or not os.path.exists(result)) and not retried:
        print("note: %s: Wine failed to create a process (status %s); running it again"
              % (name, status))
        return run_launcher(ws, name + " (again)", command_line, directory, env_extra, delay_ms,
                            verb, image, class_key, verb_file, link, retried=True)
    return status, elapsed, report, case


def caller_report(ws, env_extra=None):
    """What token_report.exe says when run directly, without the launcher."""
    path = os.path.join(ws.dir, "caller.txt")
    HOST.run([ws.target], os.path.join(ws.dir, "caller.log"),
         dict(env_extra or {}, TOLVANE_REPORT=HOST.path(path)))
    return read_report(path) if os.path.exists(path) else None


def groups_of(report):
    """The token's groups but its integrity label (S-1-16-*), which Windows
    lists among them: the level is checked on its own."""
    groups = {}
    for key, rest in report:
        if key == "group":
            sid, _, attributes = rest.partition(" ")
            if not sid.startswith("S-1-16-"):
                groups[sid] = attributes.rsplit(" ", 1)[-1].split(",")
    return groups


def privileges_of(report):
    return {rest.split(" ")[0]: rest.split(" ")[1]
            for key, rest in report if key == "privilege"}


# --- token ---------------------------------------------------------------

ADMINISTRATORS = "S-1-5-32-544"


def default_dacl_of(report):
    return [tuple(rest.split(" ")[:3]) for key, rest in report if key == "dacl-entry"]


def harness_report(ws, name, env_extra):
    """What token_report.exe says when the harness starts it directly, with
    the harness's environment (and so its token's default DACL)."""
    _, _, report_path, _ = run_launcher(ws, name, b"token_report.exe", env_extra=env_extra,
                                        image=ws.target)
    return read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None


# The default DACL Windows gives a full administrator's token, which Wine's
# tokens do not have: the harness gives it to its own before it starts.
ADMINISTRATOR_DEFAULT_DACL = {"TOLVANE_HARNESS_DEFAULT_DACL": "D:(A;;GA;;;BA)(A;;GA;;;SY)"}
GENERIC_ALL = "0x10000000"

ADMINISTRATOR_DACL = [("allowed", GENERIC_ALL, ADMINISTRATORS), ("allowed", GENERIC_ALL, "S-1-5-18")]
LIMITED = b"/limited "
WINE_OWN_OBJECTS = ("Wine gives every new process the same DACL and checks no access to a process or "
                    "thread, and lets a program reopen its own objects whatever its default DACL")
WINE_LEVELS = "Wine ignores integrity levels and counts every token as elevated"

# name, the options before the path, what the harness is given, the default
# DACL the caller must have (None: whatever the platform gives), and why
# only Windows shows the case
TOKEN_CASES = [
    ("the caller's own default DACL", b"", {}, None, None),
    ("a full administrator's default DACL", b"", ADMINISTRATOR_DEFAULT_DACL, ADMINISTRATOR_DACL, None),
    ("a full administrator's default DACL: the program opens itself and what it makes", b"",
     dict(ADMINISTRATOR_DEFAULT_DACL, TOLVANE_OWN_OBJECTS="1"), ADMINISTRATOR_DACL, WINE_OWN_OBJECTS),
    ("the default form: the caller's level, counted as elevated", b"", {}, None, WINE_LEVELS),
    ("/limited, the caller's own default DACL", LIMITED, {}, None, None),
    ("/limited, a full administrator's default DACL", LIMITED, ADMINISTRATOR_DEFAULT_DACL,
     ADMINISTRATOR_DACL, None),
    ("/limited, a full administrator's default DACL: the program opens itself and what it makes",
     LIMITED, dict(ADMINISTRATOR_DEFAULT_DACL, TOLVANE_OWN_OBJECTS="1"), ADMINISTRATOR_DACL,
     WINE_OWN_OBJECTS),
    ("/limited: Medium integrity, not elevated", LIMITED, {}, None, WINE_LEVELS),
]

# The privileges a standard user's token has, which /limited keeps.
STANDARD_USER_PRIVILEGES = {"SeChangeNotifyPrivilege", "SeShutdownPrivilege", "SeUndockPrivilege",
                            "SeIncreaseWorkingSetPrivilege", "SeTimeZonePrivilege"}
MEDIUM_INTEGRITY = "S-1-16-8192"


def administrators_equivalent(sid):
    """Whether Windows counts the group as an administrators' equal, by the
    whole shape of its SID."""
    parts = sid.split("-")
    builtin = {544, 547, 548, 549, 550, 551, 553, 554, 556, 569}
    domain = {498, 512, 516, 517, 518, 519, 520, 521}
    return (sid == "S-1-5-114" or
            (len(parts) == 5 and parts[:4] == ["S", "1", "5", "32"] and int(parts[4]) in builtin) or
            (len(parts) == 8 and parts[:4] == ["S", "1", "5", "21"] and int(parts[7]) in domain))


def level_of(report):
    """The integrity level's RID, or None."""
    level = first(report, "integrity") or ""
    return int(level.split(" ")[0].split("-")[-1]) if level.startswith("S-1-16-") else None


# What the program opens of its own under TOLVANE_OWN_OBJECTS, and for what.
OWN_OBJECTS = [
    ("own-object", "reopens an event it made"),
    ("own-child", "opens its own child process by id"),
    ("own-process", "opens itself by id for PROCESS_DUP_HANDLE | PROCESS_VM_OPERATION | "
                    "PROCESS_VM_WRITE"),
    ("own-process-memory", "opens itself by id for PROCESS_VM_READ | PROCESS_VM_WRITE"),
    ("own-thread", "opens its first thread for THREAD_GET_CONTEXT | THREAD_SET_CONTEXT"),
    ("own-token", "opens its own token for TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY"),
]


WINE_LABELS = "Wine keeps no mandatory label of a process or thread and checks no access to either"
# name, and why only Windows shows the case
PROBE_CASES = [
    ("the default form: Tolvane's descriptor beside Windows' own for the same token", WINE_LABELS),
    ("the default form's program, from a Medium program of the same user", WINE_LABELS),
]


def test_token(ws):
    cases, probes = this_runs(TOKEN_CASES, PROBE_CASES)
    for name, options, env, caller_dacl, windows_only in cases:
        token_case(ws, name, options, env, caller_dacl, windows_only is not None)
    for name, _ in probes:
        (descriptors_side_by_side if "beside" in name else medium_cannot_run_code_in)(ws, name)


def descriptors_side_by_side(ws, case):
    """The program's process and thread as Tolvane's default form makes
    them, and as Windows makes them for the same token given no security
    attributes (the harness starts the program so): owner, DACL and label
    of each, printed side by side. Which of Windows' readings holds, the
    log then says."""
    target = b'"%s"' % HOST.path(ws.target).encode()
    reports = []
    for how, env, image in (("Tolvane", {}, None),
                            ("Windows' own", {"TOLVANE_HARNESS_RESTRICTED": "1"}, ws.target)):
        status, _, path, _ = run_launcher(ws, case + ": " + how, b"tolvane.exe " + target if image is None
                                          else target, env_extra=env, image=image)
        report = read_report(path) if wait_for(path, REPORT_WAIT_SECONDS) else None
        check(status == 0 and report is not None, case + ": " + how + ": started and reported",
              (status, path))
        reports.append(report or [])
    for key in ("security-process", "security-thread", "label-process", "label-thread"):
        record(case + ": " + key, {"Tolvane": first(reports[0], key), "Windows' own": first(reports[1], key)})


def medium_cannot_run_code_in(ws, case):
    """A Medium program of the same user (one Tolvane starts with /limited
    from the elevated caller) may not open the default form's High program
    to run code in it: its process for PROCESS_VM_WRITE |
    PROCESS_CREATE_THREAD, its first thread for THREAD_SET_CONTEXT."""
    caller = caller_report(ws)
    if caller is not None and first(caller, "elevation") == "no":
        print("skip: %s: the caller is not elevated, so the default form's program is at Medium too" % case)
        return
    early = os.path.join(ws.dir, "early-%d.txt" % ws.count)
    status, _, target_path, _ = run_launcher(
        ws, case + ": the default form's program", b'tolvane.exe "%s"' % HOST.path(ws.target).encode(),
        env_extra={"TOLVANE_EARLY_REPORT": HOST.path(early), "TOLVANE_REPORT_DELAY_MS": "15000"})
    if not check(status == 0 and wait_for(early, REPORT_WAIT_SECONDS), case + ": the program started",
                 (status, early)):
        return
    ids = dict(line.split(" ", 1) for line in read_lines(early))
    status, _, prober_path, _ = run_launcher(
        ws, case + ": the Medium program", b'tolvane.exe /limited "%s"' % HOST.path(ws.target).encode(),
        env_extra={"TOLVANE_OPEN_PROCESS": ids["pid"], "TOLVANE_OPEN_THREAD": ids["tid"]})
    prober = read_report(prober_path) if wait_for(prober_path, REPORT_WAIT_SECONDS) else None
    if not check(prober is not None and level_of(prober) == 8192, case + ": the prober runs at Medium "
                 "(precondition)", prober and first(prober, "integrity")):
        return
    seen = (first(prober, "open-process"), first(prober, "open-thread"))
    check(seen == ("error 5", "error 5"), case + ": its process and thread refused (5)", seen)
    target = read_report(target_path) if wait_for(target_path, REPORT_WAIT_SECONDS + 15) else None
    check(target is not None and first(prober, "user") == first(target, "user"),
          case + ": the same user (precondition)", (first(prober, "user"), target and first(target, "user")))
    record(case + ": the program's label", target and first(target, "label-process"))


def token_case(ws, case, options, env, caller_dacl, windows_only):
    """The started program's token against its caller's: the default form
    makes Administrators deny-only and changes nothing else; /limited makes
    every administrators' equal deny-only and keeps a standard user's
    privileges only. Either way the user joins the default DACL. Only
    Windows shows the level and the elevation."""
    caller = harness_report(ws, case + ": caller", env)
    if not check(caller is not None and first(caller, "user") is not None,
                 case + ": caller's own report written", caller and first(caller, "user")):
        return
    if caller_dacl is not None:
        check(default_dacl_of(caller) == caller_dacl, case + ": caller's default DACL (precondition)",
              default_dacl_of(caller))
    status, _, report_path, _ = run_launcher(
        ws, case, b"tolvane.exe " + options + b'"%s"' % HOST.path(ws.target).encode(), env_extra=env)
    check(status == 0, case + ": launcher status", status)
    if not check(wait_for(report_path, REPORT_WAIT_SECONDS), case + ": child's report written",
                 report_path):
        return
    child = read_report(report_path)
    limited = options == LIMITED
    # From a token Windows does not count as elevated (a filtered
    # administrator's, where UAC is on), the program gets its caller's
    # groups, privileges and level as they are.
    elevated_caller = first(caller, "elevation") != "no"
    if windows_only:
        expected_level = level_of(caller)
        if limited and expected_level is not None:
            expected_level = min(expected_level, 8192)
        check(level_of(child) == expected_level, case + (": Medium integrity, or the caller's lower one"
                                                         if limited else ": the caller's integrity level"),
              (first(caller, "integrity"), first(child, "integrity")))
        # Its own process and first thread are labelled with its level, no
        # write up and no read up (the descriptor Tolvane gives them).
        for key in ("label-process", "label-thread"):
            check(first(child, key) == "S-1-16-%s 0x3" % expected_level,
                  case + ": " + key + " its level, NW | NR", first(child, key))
    if windows_only and limited:
        check(first(child, "elevation") == "no", case + ": Windows counts the token as not elevated",
              first(child, "elevation"))
        # Not Windows' own unelevated token: what it reads for the elevation
        # type and virtualization nobody has seen yet.
        record(case + ": elevation type", (first(caller, "elevation-type"), first(child, "elevation-type")))
        record(case + ": virtualization", (first(caller, "virtualization"), first(child, "virtualization")))
        # Its token is Medium, or has no label, which Windows reads as Medium.
        check((first(child, "label-token") or "").split(" ")[0] in (MEDIUM_INTEGRITY, "none"),
              case + ": label-token Medium", first(child, "label-token"))
    elif windows_only:
        check(first(child, "elevation") == first(caller, "elevation"),
              case + ": counted as elevated as the caller is", (first(caller, "elevation"),
                                                              first(child, "elevation")))
    check(first(child, "error") is None, case + ": child could open its own token", first(child, "error"))
    if "TOLVANE_OWN_OBJECTS" in env:
        for key, what in OWN_OBJECTS:
            check(first(child, key) == "opened", case + ": " + what, first(child, key))

    user = first(caller, "user")
    check(first(child, "user") == user, case + ": same user", (user, first(child, "user")))
    # A default owner that the copy makes deny-only (an elevated
    # administrator's is Administrators) can own nothing: Windows makes the
    # user the owner instead.
    caller_owner = first(caller, "owner") or ""
    denied_owner = caller_owner.split(" ")[0] == ADMINISTRATORS or (
        options == LIMITED and administrators_equivalent(caller_owner.split(" ")[0]))
    check(first(child, "owner") == (user if denied_owner else caller_owner),
          case + (": the user owns what it makes" if denied_owner else ": same owner"),
          (caller_owner, first(child, "owner")))
    expected_dacl = default_dacl_of(caller) + [("allowed", GENERIC_ALL, user.split(" ")[0])]
    check(default_dacl_of(child) == expected_dacl,
          case + ": default DACL is the caller's and the user's GENERIC_ALL", default_dacl_of(child))

    caller_groups, child_groups = groups_of(caller), groups_of(child)
    admin = child_groups.get(ADMINISTRATORS)
    check(ADMINISTRATORS in caller_groups and
          ("enabled" if elevated_caller else "deny-only") in caller_groups[ADMINISTRATORS],
          case + ": caller has Administrators %s (precondition)" % ("enabled" if elevated_caller else
                                                                   "deny-only, filtered"),
          caller_groups.get(ADMINISTRATORS))
    check(admin is not None and "deny-only" in admin, case + ": child has Administrators deny-only", admin)
    check(admin is not None and "enabled" not in admin, case + ": child's Administrators not enabled",
          admin)
    check(sorted(child_groups) == sorted(caller_groups), case + ": same group SIDs",
          sorted(set(child_groups) ^ set(caller_groups)))
    made_deny_only = {sid for sid in caller_groups
                      if sid == ADMINISTRATORS or (limited and administrators_equivalent(sid))}
    not_denied = {sid: child_groups[sid] for sid in made_deny_only & set(child_groups)
                  if "deny-only" not in child_groups[sid] or "enabled" in child_groups[sid]}
    check(not not_denied, case + ": every administrators' equal the caller has is deny-only"
          if limited else case + ": only Administrators made deny-only", not_denied)
    others = {sid: attrs for sid, attrs in child_groups.items() if sid not in made_deny_only}
    changed = {sid: (caller_groups.get(sid), attrs) for sid, attrs in others.items()
               if caller_groups.get(sid) != attrs}
    check(not changed, case + ": every other group's attributes unchanged", changed)

    caller_privileges, child_privileges = privileges_of(caller), privileges_of(child)
    check(len(caller_privileges) > 0, case + ": caller has privileges (precondition)",
          len(caller_privileges))
    kept = {p: a for p, a in caller_privileges.items() if not limited or p in STANDARD_USER_PRIVILEGES}
    check(not limited or not elevated_caller or set(caller_privileges) - set(kept),
          case + ": caller has privileges a standard user has not (precondition)",
          sorted(set(caller_privileges) - set(kept)))
    check(child_privileges == kept, case + (": exactly the standard user's privileges the caller had, "
                                            "as they were" if limited else
                                            ": every privilege and its state unchanged"),
          {p: (kept.get(p), child_privileges.get(p))
           for p in set(kept) | set(child_privileges) if kept.get(p) != child_privileges.get(p)})
    check([r for k, r in child if k == "restricting"] == [], case + ": no restricting SIDs",
          [r for k, r in child if k == "restricting"])
    check(first(child, "restricted") == "no", case + ": token not restricted", first(child, "restricted"))
    check(first(child, "type") == "primary", case + ": primary token", first(child, "type"))


# --- Administrators-only object ------------------------------------------

# name, the event's security descriptor, what the target gets run directly
# and through the launcher, the options before the path, and why only
# Windows shows the case
OBJECT_CASES = [
    ("an event only Administrators may open", "O:BAD:P(A;;GA;;;BA)", "opened", "error 5", b"", None),
    ("an event only Administrators may open, /limited", "O:BAD:P(A;;GA;;;BA)", "opened", "error 5",
     LIMITED, None),
    ("an event that denies Administrators and allows Everyone", "O:BAD:P(D;;GA;;;BA)(A;;GA;;;WD)",
     "error 5", "error 5", b"", "Wine 8 does not match a deny entry against a deny-only group"),
]


def test_object(ws):
    """Events that Administrators may or may not open: what the target gets
    when run directly and when started through the launcher."""
    for case in this_runs(OBJECT_CASES):
        object_case(ws, *case[:5])


def object_case(ws, case, descriptor, direct, launched, options):
    name = "TolvaneObject-%d-%d" % (os.getpid(), ws.count)
    ready = os.path.join(ws.dir, name + "-ready.txt")
    stop = os.path.join(ws.dir, name + "-stop")
    log = open(os.path.join(ws.dir, name + ".log"), "wb")
    # Like any case, the holder's start is tried once more when Wine fails
    # to start it at all (seen once: no ready file, nothing in the log).
    for attempt in range(2):
        holder = HOST.start([os.path.join(ws.build, "admin_object.exe"), name + "-%d" % attempt,
                             HOST.path(ready), HOST.path(stop), descriptor], log)
        if wait_for(ready, REPORT_WAIT_SECONDS):
            break
        print("note: admin_object.exe wrote nothing (status %s); running it again" % holder.poll())
        holder.kill()
    name += "-%d" % attempt
    try:
        made = read_lines(ready)[0] if os.path.exists(ready) else None
        if not check(made == "created", case + ": made", made):
            return
        env = {"TOLVANE_ADMIN_OBJECT": name}
        caller = caller_report(ws, env)
        # A caller Windows does not count as elevated has Administrators
        # deny-only already.
        if caller is not None and first(caller, "elevation") == "no":
            direct = launched
        check(caller is not None and first(caller, "object") == direct,
              case + ": run directly: " + direct, caller and first(caller, "object"))
        status, _, report_path, _ = run_launcher(
            ws, case, b"tolvane.exe " + options + b'"%s"' % HOST.path(ws.target).encode(), env_extra=env)
        check(status == 0, case + ": launcher status", status)
        child = read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None
        check(child is not None and first(child, "object") == launched,
              case + ": started by the launcher: " + launched, child and first(child, "object"))
        check(holder.poll() is None, case + ": the event still existed throughout", holder.poll())
    finally:
        open(stop, "w").close()
        try:
            holder.wait(30)
        except subprocess.TimeoutExpired:
            holder.kill()
        log.close()


# --- the packages, the Explorer entry, PATH; 1.3.0's uninstall.cmd ---------

CLASS_KEY = "Software\\Classes\\exefile"
VERB_KEY = "HKCU\\" + CLASS_KEY + "\\shell\\Tolvane"
OTHER_VERB_KEY = "HKCU\\" + CLASS_KEY + "\\shell\\SomeoneElse"
# The types of file the verb is on: programs, batch files, command scripts.
FILE_TYPES = ["exefile", "batfile", "cmdfile"]
# Arguments as Explorer hands on a shortcut's, after the file: the command
# takes them as %*, and they must reach the program byte for byte.
SHORTCUT_ARGUMENTS = '--profile-directory=Work "a b"  c:\\x\\ ;,='
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
APP_PATHS = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\"
ENVIRONMENT_KEYS = {"user": "HKCU\\Environment",
                    "machine": "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"}
WINE_SHELL = ("Wine's shell ignores per-user verbs (its HKEY_CLASSES_ROOT lacks HKEY_CURRENT_USER's classes), "
              "hands a verb no parameters, and leaves a removed PATH entry's ';'")
X86_REFUSAL = "Installed OR NOT Msix64"
OLD_VERSION = "0.9.0"


def verb_command(image):
    return '"%s" /limited /errorbox "%%1" %%*' % image


def classes_left(root):
    """The file types under `root`\\Software\\Classes that still have a key."""
    return [t for t in FILE_TYPES if HOST.run(["reg", "query", root + "\\Software\\Classes\\" + t],
                                               os.devnull) == 0]


# name, the package's architecture and scope, what the case does, and why
# only Windows shows it. "use": installed over what an earlier version left
# (per user, 1.3.0's install.cmd too), used through its verb, a downgrade
# refused, uninstalled. The x86 package refuses 64-bit x64 Windows, as the
# Wine prefix and the hosted runners are; its other steps run with that
# refusal taken out of a copy (under Wine only: msibuild makes the copy).
PACKAGE_CASES = [
    ("per user, x64: over 1.3.0's install.cmd, without elevation, into the profile, the Explorer entry "
     "and the user's PATH", "x64", "user", "use", None),
    ("per machine, x64: the Explorer entry and the system's PATH", "x64", "machine", "use", None),
    ("per machine, x64, ADDLOCAL=Tolvane: the program alone", "x64", "machine", "program-only", None),
    ("per user, x64, ADDLOCAL=Tolvane: the program alone", "x64", "user", "program-only", None),
    ("per machine, x86: refused on 64-bit Windows, naming the x64 package", "x86", "machine", "refused", None),
    ("per user, x86: refused on 64-bit Windows, naming the x64 package", "x86", "user", "refused", None),
    ("per user, x64, ALLUSERS=1: refused, naming the per-machine package", "x64", "user", "refused", None),
    ("per machine, x86, its refusal of x64 taken out", "x86", "machine", "use", None),
    ("1.3.0's uninstall.cmd removes what its install.cmd added, and nothing else", "x64", "user",
     "old-uninstall", None),
    ("per machine, x64: a program started with /limited cannot change what it installed", "x64", "machine",
     "use", "Wine checks no file's or registry key's DACL"),
    ("per user, x64: the Explorer entry through HKEY_CLASSES_ROOT, found by the shell; PATH as it was",
     "x64", "user", "use", WINE_SHELL),
    ("per machine, x64: links, web pages and mail go to each target found, without administrator rights",
     "x64", "machine", "links", None),
    ("per user, x64: links, web pages and mail; a mail program of a version before the guard not offered",
     "x64", "user", "links", None),
    ("per user, x64: a browser whose own command is unguarded not offered; links start the targets not "
     "elevated", "x64", "user", "links", "Wine's AppSearch cuts a registry string at its second quote, so "
     "no target's own command can be read there; and Wine counts every token as elevated"),
]
# How each target registers itself, as its own installer does: its program
# (per user, under the profile), its ProgIDs with their commands' tails, its
# Clients key and its name in RegisteredApplications; the tail Tolvane's
# ProgID hands it. The mail program per user is one from before the guard,
# with an unguarded command.
FIREFOX_HASH = "308046B0AF4A39CB"
TARGETS = [
    ("Edge", "Microsoft\\Edge\\Application\\msedge.exe", {"MSEdgeHTM": "--single-argument %1"},
     "StartMenuInternet\\Microsoft Edge", "Microsoft Edge"),
    ("Chrome", "Google\\Chrome\\Application\\chrome.exe", {"ChromeHTML": "--single-argument %1"},
     "StartMenuInternet\\Google Chrome", "Google Chrome"),
    ("Firefox", "Mozilla Firefox\\firefox.exe", {"FirefoxURL-" + FIREFOX_HASH: '-osint -url "%1"',
                                                "FirefoxHTML-" + FIREFOX_HASH: '-osint -url "%1"'},
     "StartMenuInternet\\Firefox-" + FIREFOX_HASH, "Firefox-" + FIREFOX_HASH),
    ("Thunderbird", "Mozilla Thunderbird\\thunderbird.exe", {"Thunderbird.Url.mailto": '-osint -compose "%1"'},
     "Mail\\Mozilla Thunderbird", "Mozilla Thunderbird"),
]
UNGUARDED = '/m "%1"'
# What other programs hand the targets: name, the link (an .html file's
# path is put in by the case), the targets it goes to.
LINKS = [
    ("a link with &, # and %20", "https://example.test/a%20b?x=1&y=2#part", ("Edge", "Chrome", "Firefox")),
    ("a crafted link: a quote and a second path", 'https://example.test/" C:\\Windows\\System32\\calc.exe',
     ("Edge", "Chrome", "Firefox")),
    ("an .html file whose path has blanks and &", None, ("Edge", "Chrome", "Firefox")),
    ("a mailto link", "mailto:someone@example.test?subject=a%20b&body=c", ("Thunderbird",)),
]


def test_install(ws):
    for name, arch, scope, what, windows_only in this_runs(PACKAGE_CASES):
        # From a token Windows does not count as elevated, only the per-user
        # package can be installed.
        if scope == "machine" and os.environ.get("TOLVANE_UNELEVATED"):
            continue
        package = Package(ws, arch, scope)
        if what == "refused":
            package.refused(name)
            continue
        if what == "old-uninstall":
            package.old_uninstall(name)
            continue
        if what == "links":
            package.links(name, windows_only is not None)
            continue
        reason = HOST.cannot_run("i686") if arch == "x86" else None
        if arch == "x86" and HOST.native:
            reason = "the hosted runners are 64-bit x64 Windows, which the x86 package refuses"
        if reason is not None:
            print("skip: %s: %s, and the package installs the i686 image" % (name, reason))
            continue
        package.test(name, what == "program-only", windows_only is not None)


def release_dir(ws):
    """The release: the zip, the four packages and SHA256SUMS, with packages
    of an older version in old/. Natively, the ones the workflow built on
    Debian (TOLVANE_RELEASE); here, written by scripts/dist."""
    given = os.environ.get("TOLVANE_RELEASE")
    if given:
        return given
    out = os.path.join(ws.dir, "dist")
    if not os.path.exists(os.path.join(out, "SHA256SUMS")):
        dist = [sys.executable, os.path.join(ROOT, "scripts", "dist")]
        quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "check": True}
        subprocess.run(dist + [ws.i686_build, ws.build, out], **quiet)
        for arch, tree in (("x64", ws.build), ("x86", ws.i686_build)):
            for scope, suffix in (("perMachine", ""), ("perUser", "-user")):
                subprocess.run(dist + ["--package", os.path.join(tree, "tolvane.exe"), arch, scope, OLD_VERSION,
                                       os.path.join(out, "old", "tolvane-%s-%s%s.msi" % (OLD_VERSION, arch,
                                                                                         suffix))], **quiet)
    return out


def registry_tree(key, view):
    """Every key under `key` with its values, as reg query /s lists them:
    {key: {value name: data}}, "(Default)" for the default value."""
    output = HOST.output(["reg", "query", key, "/s", "/reg:" + view])
    tree, current = {}, None
    for line in output.splitlines():
        if line.startswith("HKEY_"):
            current = tree.setdefault(line.strip(), {})
        elif current is not None and line.startswith("    ") and line.strip():
            parts = line.strip().split("    ", 2)
            if len(parts) >= 2:
                current[parts[0]] = parts[2] if len(parts) > 2 else ""
    return tree


class Package:
    """A package of the release, per machine or per user, installed with
    msiexec, silently: over what an older version left, used through its
    verb, an older version refused over it, and uninstalled."""

    def __init__(self, ws, arch, scope):
        self.ws = ws
        self.arch = arch
        self.user = scope == "user"
        self.view = "64" if arch == "x64" else "32"
        self.root = "HKCU" if self.user else "HKLM"
        suffix = "-user" if self.user else ""
        self.label = arch + suffix
        release = release_dir(ws)
        with open(os.path.join(ws.build, "VERSION")) as f:
            self.version = f.read().strip()
        self.package = os.path.join(release, "tolvane-%s-%s%s.msi" % (self.version, arch, suffix))
        self.old_package = os.path.join(release, "old", "tolvane-%s-%s%s.msi" % (OLD_VERSION, arch, suffix))
        self.folder = (HOST.user_programs() if self.user else HOST.program_files(arch)) + "\\Tolvane"
        self.image = self.folder + "\\tolvane.exe"
        self.built_image = os.path.join(ws.build if arch == "x64" else ws.i686_build, "tolvane.exe")
        self.name = "Tolvane (%s-bit%s)" % ("64" if arch == "x64" else "32", ", this user" if self.user else "")
        self.environment = ENVIRONMENT_KEYS["user" if self.user else "machine"]
        self.log = os.path.join(ws.dir, "msiexec-%s.log" % self.label)
        self.runs = 0

    def msiexec(self, *args):
        """Runs msiexec with a verbose log of its own beside the case's, so
        that a run that leaves something out can be read afterwards."""
        self.runs += 1
        verbose = os.path.join(self.ws.dir, "msiexec-%s-%d.log" % (self.label, self.runs))
        status = HOST.run(["msiexec"] + list(args) + ["/l*v", HOST.path(verbose)], self.log, timeout=300)
        print("note: msiexec %s: status %s, its log %s" % (" ".join(args[:1]), status, verbose))
        return status

    def entries(self):
        """Apps & features' entries of Tolvane in this scope, of any version
        and architecture: {product code: values}. Windows keeps a per-user
        product's under the Installer's UserData, Wine beside the machine's."""
        if self.user and HOST.native:
            tree = registry_tree("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\"
                                 + HOST.user_sid() + "\\Products", "64")
        else:
            tree = registry_tree("HKLM\\" + UNINSTALL_KEY, self.view)
        found = {}
        for key, values in tree.items():
            name = values.get("DisplayName") or ""
            if name.startswith("Tolvane") and (", this user" in name) == self.user:
                code = re.search(r"\{[0-9A-F-]{36}\}", key + " " + values.get("UninstallString", ""), re.I)
                found[code.group(0) if code else key] = values
        return found

    def verb(self, file_type="exefile"):
        return registry_tree(self.root + "\\Software\\Classes\\%s\\shell\\Tolvane" % file_type, self.view)

    def path_entries(self):
        """The entries of this scope's PATH, as written."""
        values = registry_tree(self.environment, "64").get(self.environment.replace(
            "HKCU", "HKEY_CURRENT_USER").replace("HKLM", "HKEY_LOCAL_MACHINE"), {})
        return next((data for name, data in values.items() if name.lower() == "path"), None)

    def set_path(self, value):
        """Puts PATH back as it was before the case (Wine leaves a ';')."""
        if value is None:
            HOST.run(["reg", "delete", self.environment, "/v", "PATH", "/f"], self.log)
        else:
            HOST.run(["reg", "add", self.environment, "/v", "PATH", "/t", "REG_EXPAND_SZ", "/d", value, "/f"],
                     self.log)

    def remove_earlier(self):
        """What an earlier run that stopped halfway left."""
        for code in self.entries():
            self.msiexec("/x", code, "/qn")

    def refused(self, case):
        """The x86 package on 64-bit x64 Windows, or the per-user x64 one for
        every user: refused by its launch condition, whose message names the
        package to install instead; nothing installed."""
        self.remove_earlier()
        for_all = self.arch == "x64"   # the per-user package asked to install for every user
        status = self.msiexec("/i", HOST.path(self.package), "/qn", *(["ALLUSERS=1"] if for_all else []))
        # Wine's loader hands on only the exit code's low byte.
        check(status in (1603, 1603 & 0xFF), case + ": msiexec /i ... /qn fails with 1603", status)
        check(not self.entries() and not os.path.exists(HOST.local(self.image)),
              case + ": nothing installed", (self.entries(), HOST.local(self.image)))
        message = "install tolvane-%s-x64%s.msi instead" % (self.version, "" if for_all or not self.user
                                                             else "-user")
        if HOST.native:
            # Windows Installer writes a failed launch condition's message
            # into the verbose log.
            with open(os.path.join(self.ws.dir, "msiexec-%s-%d.log" % (self.label, self.runs)), "rb") as f:
                raw = f.read()
            logged = raw.decode("utf-16" if raw[:2] == b"\xff\xfe" else "mbcs", "replace")
            check(message in logged, case + ": the log names the x64 package", logged[-300:])
        else:
            # Wine's msiexec logs no launch condition's message: the package's
            # own condition and message are read instead.
            table = subprocess.run(["msiinfo", "export", self.package, "LaunchCondition"],
                                   capture_output=True, text=True).stdout
            check((for_all or X86_REFUSAL in table) and message in table,
                  case + ": its launch condition and message name the x64 package", table)

    def without_refusal(self, package):
        """A copy of an x86 package without its refusal of x64 Windows."""
        copy = os.path.join(self.ws.dir, "anywhere-" + os.path.basename(package))
        shutil.copy(package, copy)
        subprocess.run(["msibuild", copy, "-q", "DELETE FROM `LaunchCondition` WHERE `Condition` = '%s'"
                        % X86_REFUSAL], check=True, stdin=subprocess.DEVNULL)
        return copy

    def install_cmd_was_here(self):
        """What 1.3.0's install.cmd left in this profile: the image, and the
        verbs with the values it noted on them for its uninstall.cmd."""
        local = HOST.local(self.image)
        os.makedirs(os.path.dirname(local), exist_ok=True)
        shutil.copy(self.built_image, local)
        for file_type in FILE_TYPES:
            key = "HKCU\\Software\\Classes\\%s\\shell\\Tolvane" % file_type
            HOST.run(["reg", "add", key, "/ve", "/d", "Run without administrator rights", "/f"], self.log)
            HOST.run(["reg", "add", key + "\\command", "/ve", "/d", verb_command(self.image), "/f"], self.log)
            for made in ("ClassKey", "ShellKey"):
                HOST.run(["reg", "add", key, "/v", "TolvaneMade" + made, "/d",
                          "HKCU\\Software\\Classes\\" + file_type, "/f"], self.log)
        HOST.run(["reg", "add", VERB_KEY, "/v", "TolvaneMadeFolder", "/d", HOST.user_programs(), "/f"], self.log)

    def old_uninstall(self, case):
        """1.3.0's uninstall.cmd, which this release keeps for installs of
        its install.cmd: removes them, keeps someone else's verb beside."""
        self.remove_earlier()
        self.install_cmd_was_here()
        HOST.run(["reg", "add", OTHER_VERB_KEY + "\\command", "/ve", "/d", "other.exe \"%1\"", "/f"], self.log)
        script = os.path.join(ROOT, "windows", "uninstall.cmd")
        copy = os.path.join(self.ws.dir, "uninstall.cmd")
        with open(script, "rb") as f, open(copy, "wb") as out:
            out.write(f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"))
        statuses = [HOST.run(["cmd.exe", "/c", HOST.path(copy)], self.log) for _ in range(2)]
        check(statuses == [0, 0], case + ": uninstall.cmd, run twice", statuses)
        seen = (os.path.exists(os.path.dirname(HOST.local(self.image))), [t for t in FILE_TYPES if self.verb(t)],
                HOST.run(["reg", "query", OTHER_VERB_KEY], self.log) == 0, classes_left("HKCU"))
        check(seen == (False, [], True, ["exefile"]), case + ": no folder and no verb of ours left; the other "
              "verb and its class key kept", seen)
        HOST.run(["reg", "delete", "HKCU\\" + CLASS_KEY, "/f"], self.log)

    def test(self, case, program_only, windows_only):
        if self.arch == "x86":
            self.package = self.without_refusal(self.package)
            if os.path.exists(self.old_package):
                self.old_package = self.without_refusal(self.old_package)
        self.remove_earlier()
        if not check(os.path.exists(self.package), case + ": the package was built", self.package):
            return
        if not HOST.native:
            # The summary's Word Count: bit 3 says that no elevation is needed.
            summary = subprocess.run(["msiinfo", "suminfo", self.package], capture_output=True, text=True).stdout
            word_count = int((re.search(r"^Source: (\d+)", summary, re.M) or [0, "-1"])[1])
            check(word_count >= 0 and bool(word_count & 8) == self.user,
                  case + ": the package asks for elevation only per machine (Word Count)", word_count)
        path_before = self.path_entries()
        if self.user and not program_only:
            self.install_cmd_was_here()
        if os.path.exists(self.old_package) and not program_only:
            check(self.msiexec("/i", HOST.path(self.old_package), "/qn") == 0,
                  case + ": an older version installs silently", self.old_package)
            versions = sorted(v.get("DisplayVersion") for v in self.entries().values())
            check(versions == [OLD_VERSION], case + ": the older version is in Apps & features", versions)
        status = self.msiexec("/i", HOST.path(self.package), "/qn", *(["ADDLOCAL=Tolvane"] if program_only else []))
        check(status == 0, case + ": msiexec /i ... /qn", status)
        seen = sorted((v.get("DisplayName"), v.get("DisplayVersion"), v.get("Publisher"))
                      for v in self.entries().values())
        check(seen == [(self.name, self.version, "The Tolvane authors")],
              case + ": one entry in Apps & features: the release's, its name, version and publisher", seen)

        local = HOST.local(self.image)
        with open(self.built_image, "rb") as built:
            installed = open(local, "rb").read() if os.path.exists(local) else None
            guide = os.path.join(os.path.dirname(local), "README.txt")
            check(installed == built.read() and os.path.exists(guide),
                  case + ": the image and README.txt installed in " + self.folder, local)
        command = None
        for file_type in FILE_TYPES:
            key = (self.root + "\\Software\\Classes\\%s\\shell\\Tolvane" % file_type).replace(
                "HKLM", "HKEY_LOCAL_MACHINE").replace("HKCU", "HKEY_CURRENT_USER")
            verb = self.verb(file_type)
            label = verb.get(key, {}).get("(Default)")
            command = verb.get(key + "\\command", {}).get("(Default)")
            expected = (None, None, None) if program_only else (
                "Run without administrator rights", verb_command(self.image), ["(Default)"])
            check((label, command, sorted(verb[key]) if key in verb else None) == expected,
                  case + ": the %s verb, its command, and no value install.cmd noted" % file_type,
                  (label, command))
        path = self.path_entries() or ""
        check((self.folder + "\\" in path.split(";")) != program_only,
              case + (": nothing on PATH" if program_only else ": Tolvane's folder on PATH"), path)
        other = os.path.join(HOST.local(HOST.program_files(self.arch)), "Tolvane") if self.user else \
            os.path.dirname(HOST.local(HOST.user_programs() + "\\Tolvane\\"))
        check(not os.path.exists(other), case + ": nothing in the other scope's folder", other)

        # The programs' verb's command with the program's path put in for %1
        # and a shortcut's arguments for %*, as the shell does, run by the
        # installed image; on Windows, also the shell itself through
        # HKEY_CLASSES_ROOT.
        if command is not None:
            self.use(case, command, windows_only)

        if os.path.exists(self.old_package) and not program_only:
            status = self.msiexec("/i", HOST.path(self.old_package), "/qn")
            versions = sorted(v.get("DisplayVersion") for v in self.entries().values())
            check(status != 0 and versions == [self.version],
                  case + ": the older version is refused over the newer", (status, versions))

        status = self.msiexec("/x", HOST.path(self.package), "/qn")
        check(status == 0, case + ": msiexec /x ... /qn", status)
        left = [what for what, there in (
            ("the image", os.path.exists(local)), ("the folder", os.path.exists(os.path.dirname(local))),
            ("a verb", any(self.verb(t) for t in FILE_TYPES)), ("the entry", bool(self.entries()))) if there]
        check(not left, case + ": uninstalled: no file, folder, key or entry left", left)
        # Wine leaves the ';' of the entry it removes; Windows, nothing.
        path = self.path_entries()
        check(path == path_before or (not HOST.native and (path or "").rstrip(";") == (path_before or "").rstrip(";")),
              case + ": PATH as it was" + ("" if HOST.native else " (under Wine, but for a ';')"),
              (path_before, path))
        if not HOST.native:
            self.set_path(path_before)
        if self.user:
            (record if HOST.native else lambda what, saw: check(saw == [], what, saw))(
                case + ": class keys left in HKCU", classes_left("HKCU"))

    def register_targets(self, windows_only):
        """Registers the targets as they register themselves: per machine all
        of them in HKLM; per user the others in HKCU and, under Wine, Edge in
        HKLM, the mail program one from before the guard (or, on Windows,
        Chrome of a guarded version with an unguarded command). Returns
        {id: (program, its tail)} of those that must be offered, and the
        registration file that takes it all away again."""
        lines, undo, offered = ["REGEDIT4", ""], ["REGEDIT4", ""], {}
        for ident, path, progids, clients, registered in TARGETS:
            user = self.user and (ident != "Edge" or HOST.native)
            old = user and ident == ("Chrome" if windows_only else "Thunderbird")
            program = (HOST.user_programs() if user else HOST.program_files(
                "x86" if ident == "Edge" else "x64")) + "\\" + path
            local = HOST.local(program)
            os.makedirs(os.path.dirname(local), exist_ok=True)
            shutil.copy(os.path.join(self.ws.build, "tests", "old_target.exe" if old and not windows_only
                                     else "fake_target.exe"), local)
            root = "HKEY_CURRENT_USER" if user else "HKEY_LOCAL_MACHINE"
            quoted = program.replace("\\", "\\\\")
            keys = [(root + "\\" + APP_PATHS + os.path.basename(local), ['@="%s"' % quoted])]
            keys += [(root + "\\Software\\Classes\\%s\\shell\\open\\command" % progid,
                      ['@="\\"%s\\" %s"' % (quoted, (UNGUARDED if old else tail).replace('"', '\\"'))])
                     for progid, tail in progids.items()]
            keys.append((root + "\\Software\\Clients\\" + clients + "\\Capabilities",
                         ['"ApplicationName"="%s"' % registered]))
            for key, values in keys:
                lines += ["[%s]" % key] + values + [""]
                undo += ["[-%s]" % key.split("\\shell\\")[0], ""]
            lines += ["[%s\\Software\\RegisteredApplications]" % root, '"%s"="Software\\\\Clients\\\\%s'
                      '\\\\Capabilities"' % (registered, clients.replace("\\", "\\\\")), ""]
            undo += ["[%s\\Software\\RegisteredApplications]" % root, '"%s"=-' % registered, ""]
            if not old:
                offered[ident] = (program, next(iter(progids.values())))
        files = []
        for name, text in (("targets", lines), ("no-targets", undo)):
            files.append(os.path.join(self.ws.dir, "%s-%s.reg" % (name, self.label)))
            with open(files[-1], "w", newline="\r\n") as f:
                f.write("\n".join(text) + "\n")
        HOST.run(["reg", "import", HOST.path(files[0]), "/reg:64"], self.log)
        return offered, files[1]

    def links(self, case, windows_only):
        """The registered applications for links, web pages and mail: one
        for each target offered, found as Settings finds them, through
        RegisteredApplications; the shell, as a click in another program,
        opens links and files through each one's ProgID, and the target
        gets exactly the command line its own registration would give it,
        under the limited token; uninstall leaves the targets' own
        registration and nothing of Tolvane's."""
        ws = self.ws
        if HOST.native and not self.user:
            print("skip: %s: natively only per user, in HKCU: the runner's own browsers are registered in HKLM"
                  % case)
            return
        self.remove_earlier()
        offered, undo = self.register_targets(windows_only)
        status = self.msiexec("/i", HOST.path(self.package), "/qn")
        check(status == 0, case + ": msiexec /i ... /qn", status)
        with open(os.path.join(ws.dir, "msiexec-%s-%d.log" % (self.label, self.runs)), "rb") as f:
            raw = f.read()
        logged = raw.decode("utf-16" if raw[:2] == b"\xff\xfe" else "latin-1", "replace")
        for ident, *_ in TARGETS:
            if ident not in offered:
                why = re.search(r"TOLVANE_NOT_OFFERED_%s[^\r\n]*" % ident.upper(), logged)
                check(why is not None and ("guarded form" if windows_only else "version") in why.group(0),
                      case + ": %s not offered, and the log says why" % ident, why and why.group(0))
        root = self.root.replace("HKLM", "HKEY_LOCAL_MACHINE").replace("HKCU", "HKEY_CURRENT_USER")

        def values(key):
            return registry_tree(self.root + "\\" + key, "64").get(root + "\\" + key, {})

        registered = {name: data for name, data in values("Software\\RegisteredApplications").items()
                      if data.startswith("Software\\Tolvane\\")}
        check(len(registered) == len(offered), case + ": one registered application for each target offered",
              sorted(registered))
        # A Start menu entry for each (Wine writes a machine's in the user's
        # folder too).
        def shortcuts():
            return sorted(f for folder in HOST.start_menus() if os.path.isdir(folder) for f in os.listdir(folder)
                          if f.endswith(" without administrator rights.lnk"))

        check(len(shortcuts()) == len(offered), case + ": a Start menu entry for each", shortcuts())
        html = os.path.join(ws.dir, "R&D pages", "a b & c.html")
        os.makedirs(os.path.dirname(html), exist_ok=True)
        with open(html, "w") as f:
            f.write("<p>a page</p>\n")
        for ident, (program, tail) in offered.items():
            capabilities = next((data for name, data in registered.items() if values(data).get(
                "ApplicationIcon", "").startswith(program)), "")
            progids = set(values(capabilities + "\\URLAssociations").values())
            progid = progids.pop() if len(progids) == 1 else None
            command = values("Software\\Classes\\%s\\shell\\open\\command" % progid).get("(Default)")
            check(command == '"%s\\tolvane.exe" /limited /errorbox "%s" %s' % (self.folder, program, tail),
                  case + ": %s: registered, one ProgID of Tolvane's, its command" % ident, (capabilities, command))
            # Each file type it claims offers it in Open with. Windows reads
            # only the value's name; the package writes it with no data.
            openwith = {kind: values("Software\\Classes\\%s\\OpenWithProgids" % kind).get(progid)
                        for kind in values(capabilities + "\\FileAssociations")}
            check(None not in openwith.values(), case + ": %s: in Open with for the file types it claims" % ident,
                  openwith)
            for what, link, targets in LINKS:
                if ident not in targets or progid is None:
                    continue
                link = link or HOST.path(html)
                # A per-user ProgID by its key (Wine's HKEY_CLASSES_ROOT has
                # the machine's alone), a machine's by its name.
                status, _, report_path, _ = run_launcher(
                    ws, "%s: %s: %s" % (case, ident, what), verb="open", link=link,
                    class_key="Software\\Classes\\" + progid if self.user else "name:" + progid)
                child = read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None
                admin = groups_of(child).get(ADMINISTRATORS) if child else None
                seen = child and (first(child, "commandline"), "deny-only" in (admin or []),
                                  windows_only and first(child, "elevation"))
                check(status == 0 and seen == ('"%s" %s' % (program, tail.replace("%1", link)), True,
                                               windows_only and "no"),
                      "%s: %s: %s: the target's own command line, the limited token" % (case, ident, what),
                      (status, seen))
        status = self.msiexec("/x", HOST.path(self.package), "/qn")
        left = [progid for progid in ("Tolvane." + ident for ident, *_ in TARGETS)
                if registry_tree(self.root + "\\Software\\Classes\\" + progid, "64")]
        left += [kind for kind in (".htm", ".html", ".pdf")
                 if any(v.startswith("Tolvane.") for v in values("Software\\Classes\\%s\\OpenWithProgids" % kind))]
        left += [name for name in values("Software\\RegisteredApplications") if name.endswith(" rights")]
        left += shortcuts()
        check(status == 0 and not left, case + ": uninstalled: no ProgID, registration or Open with entry of "
              "Tolvane's left", (status, left))
        kept = [ident for ident, (program, _) in offered.items() if registry_tree(
            ("HKCU" if program.startswith(HOST.user_programs()) else "HKLM") + "\\" + APP_PATHS +
            program.rsplit("\\", 1)[1], "64")]
        check(sorted(kept) == sorted(offered), case + ": the targets' own registration kept", kept)
        HOST.run(["reg", "import", HOST.path(undo), "/reg:64"], self.log)

    def use(self, case, command, windows_only):
        ws = self.ws
        line = command.replace("%1", HOST.path(ws.target)).replace("%*", SHORTCUT_ARGUMENTS)
        env = {}
        if windows_only and not self.user:
            env = {"TOLVANE_WRITE_FILE": self.image,
                   "TOLVANE_WRITE_KEY": "Software\\Classes\\exefile\\shell\\Tolvane"}
            caller = caller_report(ws, env)
            check(caller is not None and (first(caller, "write-file"), first(caller, "write-key")) ==
                  ("opened", "opened"), case + ": the administrator may change both (precondition)",
                  caller and (first(caller, "write-file"), first(caller, "write-key")))
        runs = [(case + ": the verb", dict(image=HOST.local(self.image), command_line=line.encode(
            "mbcs" if HOST.native else "latin-1"), env_extra=env), ws.target, SHORTCUT_ARGUMENTS)]
        if windows_only and self.user:
            # The shell finds the verb by the file's type, as Explorer does.
            runs += [(case + ": the shell, a program with a shortcut's arguments",
                      dict(verb="Tolvane", verb_file=ws.target, class_key="-",
                           env_extra={"TOLVANE_HARNESS_PARAMETERS": SHORTCUT_ARGUMENTS}), ws.target,
                      SHORTCUT_ARGUMENTS),
                     (case + ": the shell, a command script", dict(verb="Tolvane", verb_file=ws.batch,
                                                                     class_key="-"), ws.target, None)]
        for name, how, program, arguments in runs:
            status, _, report_path, _ = run_launcher(ws, name, **how)
            check(status == 0, name + ": the launcher's status", status)
            child = read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None
            privileges = set(privileges_of(child)) if child else None
            admin = groups_of(child).get(ADMINISTRATORS) if child else None
            check(admin is not None and "deny-only" in admin and privileges is not None and
                  privileges <= STANDARD_USER_PRIVILEGES,
                  name + ": the program has the limited token", (admin, sorted(privileges or [])))
            if arguments is not None:
                expected = '"%s" %s' % (HOST.path(program), arguments)
                check(child is not None and first(child, "commandline") == expected,
                      name + ": the shortcut's arguments reach the program byte for byte",
                      child and first(child, "commandline"))
            if env:
                seen = child and (first(child, "write-file"), first(child, "write-key"))
                check(seen == ("error 5", "error 5"), name + ": the program may change neither the "
                      "installed image nor the verb's key", seen)


# --- startup -------------------------------------------------------------

def test_startup(ws):
    directory = os.path.join(ws.dir, "start in here")
    os.makedirs(directory)
    probe = "value with blanks & %percent% \"quotes\""
    # The harness makes a file handle inheritable and starts with handle
    # inheritance on, and has a console of its own: run directly, the
    # program holds both (the precondition); through the launcher, neither.
    offered = {"TOLVANE_HARNESS_INHERIT": HOST.path(os.path.join(ws.dir, "inherited.txt")),
               "TOLVANE_HARNESS_CONSOLE": "1"}
    direct = harness_report(ws, "startup: run directly", offered)
    check(direct is not None and (first(direct, "inherited-handle") or "").lower().endswith(
        "\\inherited.txt"), "run directly, the program holds the caller's inheritable handle "
          "(precondition)", direct and first(direct, "inherited-handle"))
    check(direct is not None and first(direct, "console-with-caller") == "yes",
          "run directly, the program shares the caller's console (precondition)",
          direct and first(direct, "console-with-caller"))
    status, _, report_path, _ = run_launcher(
        ws, "startup", b'tolvane.exe "%s"' % HOST.path(ws.target).encode(),
        directory=directory, env_extra=dict(offered, TOLVANE_PROBE=probe))
    check(status == 0, "launcher status", status)
    if not check(wait_for(report_path, REPORT_WAIT_SECONDS), "child's report written", report_path):
        return
    child = read_report(report_path)
    check(first(child, "desktop") == "winsta0\\Default", "the starter's desktop, Default",
          first(child, "desktop"))
    # No title was given: the program's is its own path, as Windows sets it,
    # not Tolvane's.
    check(first(child, "title") == HOST.path(ws.target), "the program's own path as its title",
          first(child, "title"))
    check(first(child, "show") == "none", "no show state, as none was given", first(child, "show"))
    check(first(child, "directory") == HOST.path(directory), "launcher's current directory",
          first(child, "directory"))
    check(first(child, "env") == "TOLVANE_PROBE=" + probe, "launcher's environment",
          first(child, "env"))
    check(first(child, "commandline") == '"%s"' % HOST.path(ws.target),
          "command line is the program's own name alone", first(child, "commandline"))
    check(first(child, "inherited-handle") == "none", "no handle the caller made inheritable",
          first(child, "inherited-handle"))
    # A console program started by a program without a console, as the
    # launcher is, gets a console of its own: not detached, not the caller's.
    check(first(child, "console") in ("own", "shared"), "a console, not detached from one",
          first(child, "console"))
    check(first(child, "console-with-caller") == "no", "not the caller's console",
          first(child, "console-with-caller"))

    # What its starter told Tolvane reaches the program, in both forms: a
    # show state (a shortcut's "Run: Minimized", start /min), a shortcut's
    # path as its title, and the desktop the starter is on.
    for name, options, env, expected in startup_cases(ws):
        status, _, report_path, _ = run_launcher(
            ws, "startup: " + name, b"tolvane.exe " + options + b'"%s"' % HOST.path(ws.target).encode(),
            env_extra=env)
        child = read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None
        seen = (status, child and {key: first(child, key) for key in expected})
        check(seen == (0, expected), "%s, %s: the program gets it" % (name, options.decode() or "default form"),
              seen)


def startup_cases(ws):
    """name, the options, what the harness is given, what the program must
    report."""
    link = "C:\\Users\\Public\\Desktop\\Target %d.lnk" % os.getpid()
    desktop = "Tolvane-e2e-desktop-%d" % os.getpid()
    rows = []
    for options in (b"", LIMITED):
        rows += [
            ("show state %s" % (options and "3" or "7"), options, {"TOLVANE_HARNESS_SHOW": options and "3" or "7"},
             {"show": options and "3" or "7"}),
            ("a shortcut's path as the title, STARTF_TITLEISLINKNAME", options,
             {"TOLVANE_HARNESS_TITLE": link, "TOLVANE_HARNESS_FLAGS": "0x800"},
             {"title": link, "startup-flags": "0x800"}),
            ("a desktop of the starter's own", options, {"TOLVANE_HARNESS_DESKTOP": desktop},
             {"desktop": "winsta0\\" + desktop, "thread-desktop": desktop}),
        ]
    return rows


# --- command lines -------------------------------------------------------

def cmdline_cases(ws):
    t = HOST.path(ws.target).encode()
    spaced = HOST.path(ws.spaced_target).encode()
    nonzero = "nonzero"
    many = b" ".join(b"--argument-%04d" % i for i in range(500))   # 7,999 bytes
    # name, command line, the program that must start (None: nothing), status,
    # and the command line it must get when that is not its quoted name alone.
    # A command line given as text goes to the launcher as Unicode, as
    # Explorer starts it; the target's own is then compared as Unicode too.
    wide, quote = HOST.path(ws.unicode_target), HOST.path(ws.fullwidth_quote_target)
    return [
        ("a folder named in Greek, Chinese and an emoji", 'tolvane.exe "%s"' % wide,
         ws.unicode_target, {0}),
        ("a name holding a fullwidth quotation mark, with arguments",
         'tolvane.exe "%s" -x "y z"' % quote, ws.fullwidth_quote_target, {0},
         '"%s" -x "y z"' % quote),
        ("a path", b"tolvane.exe " + t, ws.target, {0}),
        ("a quoted path", b'tolvane.exe "' + t + b'"', ws.target, {0}),
        ("a quoted path with spaces", b'tolvane.exe "' + spaced + b'"', ws.spaced_target, {0}),
        ("an unquoted path with spaces, taken whole", b"tolvane.exe " + spaced,
         ws.spaced_target, {0}),
        ("a tab and several blanks before the path", b"tolvane.exe\t  \t  " + t, ws.target, {0}),
        ("the launcher's own name quoted, with blanks", b'"C:\\My Tools\\tolvane.exe" ' + t,
         ws.target, {0}),
        ("the launcher's own name with bytes above 0x7f", b"tolv\xe9\xe8ne.exe " + t,
         ws.target, {0}),
        ("an unclosed quote starts the whole path", b'tolvane.exe "' + t, ws.target, {0}),
        ("blanks alone after the closing quote", b'tolvane.exe "' + t + b'" \t ', ws.target, {0}),
        ("a quoted path followed by arguments", b'tolvane.exe "' + t + b'" --flag', ws.target, {0},
         b'"' + t + b'" --flag'),
        ("a quoted path with spaces and arguments", b'tolvane.exe "' + spaced + b'" -P work',
         ws.spaced_target, {0}, b'"' + spaced + b'" -P work'),
        ("a tab before the arguments", b'tolvane.exe "' + t + b'"\t-x', ws.target, {0},
         b'"' + t + b'"\t-x'),
        ("several blanks, a quoted argument with blanks, an empty one",
         b'tolvane.exe "' + t + b'"   "a b" ""', ws.target, {0}, b'"' + t + b'"   "a b" ""'),
        ("arguments above 0x7f and blanks after them", b'tolvane.exe "' + t + b'" caf\xe9  ',
         ws.target, {0}, b'"' + t + b'" caf\xe9  '),
        ("7,999 bytes of arguments", b'tolvane.exe "' + t + b'" ' + many, ws.target, {0},
         b'"' + t + b'" ' + many),
        ("/limited before a quoted path with arguments", b'tolvane.exe /limited "' + t + b'" --flag',
         ws.target, {0}, b'"' + t + b'" --flag'),
        ("/wait and /limited in either order, in any case, tabs and blanks",
         b'tolvane.exe /WAIT\t/Limited  "' + t + b'" -x "a b"', ws.target, {0}, b'"' + t + b'" -x "a b"'),
        ("/limited and /wait", b'tolvane.exe /limited /wait "' + t + b'"', ws.target, {0}),
        ("/limited before an unquoted path", b"tolvane.exe /limited " + t, ws.target, {0}),
        ("/limited /wait before an unquoted path with spaces, taken whole",
         b"tolvane.exe /limited /wait " + spaced, ws.spaced_target, {0}),
        ("/errorbox before a quoted path with arguments, nothing to show",
         b'tolvane.exe /errorbox "' + t + b'" -x', ws.target, {0}, b'"' + t + b'" -x'),
        ("/limited with a letter glued to it", b'tolvane.exe /limitedx "' + t + b'"', None, {87}),
        ("a mistyped option", b'tolvane.exe /limted "' + t + b'"', None, {87}),
        ("/limited alone", b"tolvane.exe /limited", None, {87}),
        ("/limited twice", b'tolvane.exe /limited /limited "' + t + b'"', None, {87}),
        ("an unknown option", b'tolvane.exe /x "' + t + b'"', None, {87}),
        ("a word of an option's form that is none, alone", b"tolvane.exe /frob", None, {87}),
        ("a mistyped option alone", b"tolvane.exe /limted", None, {87}),
        ("an option with a value", b'tolvane.exe /limited:yes "' + t + b'"', None, {87}),
        ("a path that begins with a slash and a letter", b"tolvane.exe /tools/app.exe", None, {2, 3, 123}),
        ("a byte glued to the closing quote", b'tolvane.exe "' + t + b'"x', None, nonzero),
        ("a path that names no file", b'tolvane.exe "' + HOST.path(ws.missing).encode() + b'"',
         None, {2, 3}),
        ("a path that names no file, with arguments",
         b'tolvane.exe "' + HOST.path(ws.missing).encode() + b'" -x', None, {2, 3}),
        ("a folder that names no file", b'tolvane.exe "' + HOST.path(ws.bin).encode() +
         b'\\nowhere\\missing.exe"', None, {2, 3}),
        ("a directory", b'tolvane.exe "' + HOST.path(ws.folder).encode() + b'"', None, nonzero),
        ("a file that is not a program", b'tolvane.exe "' + HOST.path(ws.not_program).encode() + b'"',
         None, {193}),
        ("a batch file, which Windows runs with cmd.exe", b'tolvane.exe "' + HOST.path(ws.batch).encode()
         + b'"', ws.target, {0}),
    ] + ([] if ws.long_target is None else [
        ("a path over 259 characters", b'tolvane.exe "' + HOST.path(ws.long_target).encode() + b'"',
         None, nonzero),
    ])


def legacy_code_page_cases(ws, legacy, greek):
    """Command lines for a launcher whose manifest names a locale for its
    code page, so that, as on Windows before 10 1903 (which ignore the
    entry) and on Windows that take a locale there, its ANSI code page is a
    Western one, 1252, and not UTF-8: the image started (`legacy`, or "-",
    the one the command line names: `greek`, a copy in a folder named in
    Greek, which that code page cannot carry), name, command line, the
    program that must start (None: nothing), status, the command line it
    must get."""
    t, latin = HOST.path(ws.target), HOST.path(ws.latin_target)
    wide, quote = HOST.path(ws.unicode_target), HOST.path(ws.fullwidth_quote_target)
    own = HOST.path(greek)
    return [
        (legacy, "code page 1252: a name and an argument it holds", 'tolvane.exe "%s" café' % latin,
         ws.latin_target, {0}, '"%s" café' % latin),
        (legacy, "code page 1252: a Greek name", 'tolvane.exe "%s"' % wide, None, {1113}),
        (legacy, "code page 1252: a Greek argument", 'tolvane.exe "%s" Ελληνικά' % t, None, {1113}),
        (legacy, "code page 1252: a fullwidth quotation mark in the name", 'tolvane.exe "%s" -x' % quote,
         None, {1113}),
        ("-", "code page 1252: its own path in Greek, an ASCII target", '"%s" "%s" -x' % (own, t),
         ws.target, {0}, '"%s" -x' % t),
        ("-", "code page 1252: its own path in Greek, a Greek argument", '"%s" "%s" Ελληνικά' % (own, t),
         None, {1113}),
    ]


def legacy_code_page_launchers(ws):
    """Two copies of the launcher whose manifest's code page is a locale's,
    en-US, at the same length as UTF-8: one in a folder named in ASCII, one
    in a folder named in Greek."""
    with open(ws.launcher, "rb") as f:
        image = f.read()
    known = b">UTF-8</activeCodePage>"
    check(image.count(known) == 1, "the launcher's manifest names UTF-8 once (precondition)",
          image.count(known))
    paths = [os.path.join(ws.bin, folder, "tolvane.exe") for folder in ("legacy", "Ελληνικά")]
    for path in paths:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(image.replace(known, b">en-US</activeCodePage>"))
    return paths


def legacy_code_page(ws, legacy):
    """The ANSI code page of a program the copy starts: the system's, which
    the copy's rows need to be 1252. None when nothing was started."""
    _, _, report_path, _ = run_launcher(ws, "code page 1252: the system's code page (precondition)",
                                        b'tolvane.exe "%s"' % HOST.path(ws.target).encode(), image=legacy)
    return first(read_report(report_path), "codepage") if wait_for(report_path, REPORT_WAIT_SECONDS) else None


def window_station_cases(ws):
    """Command lines for a launcher started in a window station of its own,
    not the interactive one: name, command line. Each ends with 1459 and
    starts nothing; with nothing after the name no usage box comes up
    either, which natively would wait where nobody sees it."""
    t = HOST.path(ws.target).encode()
    return [
        ("in a window station of its own: a program to start", b'tolvane.exe "' + t + b'"'),
        ("in a window station of its own: /limited /wait and a program", b'tolvane.exe /limited /wait "'
         + t + b'" -x'),
        ("in a window station of its own: nothing after the name", b"tolvane.exe"),
    ]


# name, the options before the path, and why only Windows shows the case
WINE_UAC = "Wine has no UAC and no elevation, and so neither its refusal (740) nor its absence to show"
ELEVATION_CASES = [
    ("a program whose manifest requires administrator rights", b"", WINE_UAC),
    ("a program whose manifest requires administrator rights, /limited", LIMITED, WINE_UAC),
]


def elevation_case(ws, case, options):
    """Where UAC is on, Windows refuses to start a program whose manifest
    requires administrator rights (740) under a token it counts as not
    elevated; a token it counts as elevated (one that keeps a sensitive
    privilege or an administrators' group that is not deny-only) starts it,
    as every token does where UAC is off: then under the launcher's token.
    Which one the launcher's token is, Windows says: the report program,
    started through the launcher the same way, reads its TokenElevation."""
    import winreg   # only ever on Windows
    try:
        with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE,
                            r"SOFTWARE\Microsoft\Windows\CurrentVersion\Policies\System") as key:
            uac = winreg.QueryValueEx(key, "EnableLUA")[0] != 0
    except OSError:
        uac = True
    _, _, probe_path, _ = run_launcher(ws, case + ": the token's elevation",
                                       b"tolvane.exe " + options + b'"%s"' % HOST.path(ws.target).encode())
    probe = read_report(probe_path) if wait_for(probe_path, REPORT_WAIT_SECONDS) else None
    elevated = probe and first(probe, "elevation")
    if not check(elevated in ("yes", "no"), case + ": Windows says whether the token is elevated "
                 "(precondition)", elevated):
        return
    branch = "UAC %s, a token Windows counts as %s" % ("on" if uac else "off",
                                                      "elevated" if elevated == "yes" else "not elevated")
    target = os.path.join(ws.bin, "elevated.exe")
    shutil.copy(os.path.join(ws.build, "tests", "elevated_report.exe"), target)
    status, _, report_path, _ = run_launcher(ws, case, b"tolvane.exe " + options + b'"%s"'
                                             % HOST.path(target).encode())
    if uac and elevated == "no":
        check(status == 740, case + ", " + branch + ": status", status)
        time.sleep(GRACE_SECONDS)
        check(not os.path.exists(report_path), case + ", " + branch + ": nothing started",
              os.path.exists(report_path))
        return
    check(status == 0, case + ", " + branch + ": status", status)
    child = read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None
    admin = groups_of(child).get(ADMINISTRATORS) if child else None
    check(admin is not None and "deny-only" in admin,
          case + ", " + branch + ": started, with Administrators deny-only", admin)


def test_cmdline(ws):
    for case, options, _ in this_runs(ELEVATION_CASES):
        elevation_case(ws, case, options)
    if WINDOWS_ONLY:
        return
    for name, command_line, program, statuses, *given in cmdline_cases(ws):
        cmdline_case(ws, name, command_line, program, statuses, given)
    for name, command_line in window_station_cases(ws):
        station = {"TOLVANE_HARNESS_WINDOW_STATION": "Tolvane-e2e-%d-%d" % (os.getpid(), ws.count)}
        cmdline_case(ws, name, command_line, None, {1459}, [], env=station)
    legacy, greek = legacy_code_page_launchers(ws)
    code_page = legacy_code_page(ws, legacy)
    rows = legacy_code_page_cases(ws, legacy, greek)
    if not check(code_page is not None, "the copy with a locale's code page starts a program", code_page):
        return
    if code_page != "1252":
        for _, name, *_ in rows:
            print("skip: %s: the programs it starts report code page %s, not 1252: this system's code "
                  "page is not a Western one" % (name, code_page))
        return
    for image, name, command_line, program, statuses, *given in rows:
        cmdline_case(ws, name, command_line, program, statuses, given, image)


def cmdline_case(ws, name, command_line, program, statuses, given, image=None, env=None):
    """Runs one row of a command-line table; returns the started program's
    report, if one was expected and written."""
    unicode = isinstance(command_line, str)
    if unicode:
        command_line = command_line.encode("utf-8")
    status, _, report_path, _ = run_launcher(
        ws, name, command_line, env_extra=dict(env or {}, **({"TOLVANE_HARNESS_UTF8": "1"} if unicode else {})),
        image=image)
    if statuses == "nonzero":
        check(status is not None and status != 0, name + ": nonzero status", status)
    else:
        check(status in statuses, name + ": status in %s" % sorted(statuses), status)
    if program is None:
        time.sleep(GRACE_SECONDS)
        check(not os.path.exists(report_path), name + ": nothing started",
              "report present" if os.path.exists(report_path) else "no report")
        return None
    started = wait_for(report_path, REPORT_WAIT_SECONDS)
    if unicode:
        seen = first(read_report(report_path), "commandline-utf8") if started else None
        seen = seen and seen.encode("latin-1").decode("utf-8", "replace")
        expected = given[0] if given else '"%s"' % HOST.path(program)
    else:
        seen = first(read_report(report_path), "commandline") if started else None
        expected = given[0].decode("latin-1") if given else '"%s"' % HOST.path(program)
    check(seen == expected, name + ": started " + os.path.basename(program) + " with "
          + ("its arguments" if given else "its name alone"),
          seen if seen is None or len(seen) < 200 else seen[:100] + "..." + seen[-40:])
    return read_report(report_path) if started else None


# --- detached ------------------------------------------------------------

# name, the options and the program's arguments, how long the program takes
# (ms), whether the launcher waits for it, and the status it must end with
def detached_cases(ws):
    cmd = HOST.system_program("cmd.exe").encode()
    t = HOST.path(ws.target).encode()
    return [
        ("without /wait the launcher does not wait", b'"' + t + b'"', 3000, False, 0),
        ("/wait: the launcher ends after the program", b'/wait "' + t + b'"', 3000, True, 0),
        ("/wait with cmd.exe /c exit 7 ends with 7", b'/wait "' + cmd + b'" /c exit 7', None, True, 7),
        ("/limited /wait with cmd.exe /c exit 7 ends with 7", b'/limited /wait "' + cmd + b'" /c exit 7',
         None, True, 7),
    ]


def test_detached(ws):
    for name, tail, delay_ms, waits, expected in detached_cases(ws):
        status, elapsed, report_path, _ = run_launcher(ws, name, b"tolvane.exe " + tail, delay_ms=delay_ms)
        present_at_end = os.path.exists(report_path)
        check(status == expected, name + ": status", status)
        if delay_ms is None:
            continue
        if waits:
            check(elapsed is not None and elapsed >= delay_ms, name + ": the launcher took the program's "
                  "time at least (ms)", elapsed)
            check(present_at_end, name + ": the program had finished its work when the launcher ended",
                  "report there" if present_at_end else "no report yet")
            continue
        check(elapsed is not None and elapsed < delay_ms, name + ": launcher ended before the target's "
              "work (ms)", elapsed)
        check(not present_at_end, name + ": target still working when the launcher had ended",
              "no report yet" if not present_at_end else "report already there")
        check(wait_for(report_path, REPORT_WAIT_SECONDS + delay_ms / 1000),
              name + ": target finished its work afterwards", os.path.exists(report_path))


# --- usage box on a display ----------------------------------------------

# name, the command line, the picture the suite keeps of the box (in the
# build tree, copied to docs/ by hand), the status after OK, and what the
# box must say: the usage text, or, for the help and error boxes, the parts
# its text must hold. Each leaves the launcher
# something to show: natively it waits on the desktop until the watcher
# presses OK.
def usage_cases(ws):
    missing, text = HOST.path(ws.missing), HOST.path(ws.text_as_program)
    return [
        ("nothing after the launcher's name", b"tolvane.exe", "usage-box.png", "nonzero", USAGE_TEXT),
        ("the launcher's own name with an unclosed quote",
         b'"tolvane.exe ' + HOST.path(ws.target).encode(), None, "nonzero", USAGE_TEXT),
        ("/? alone: the help box", b"tolvane.exe /?", "help-box.png", 0, HELP_PARTS),
        ("/? among the options: the help box", b'tolvane.exe /limited /? "%s"' % missing.encode(), None, 0,
         HELP_PARTS),
        ("/errorbox, a program that is not there", b'tolvane.exe /limited /errorbox "%s" -x'
         % missing.encode(), "error-box.png", {2, 3}, [missing + "\n\n", ": "]),
        ("/errorbox, a mistyped option", b'tolvane.exe /errorbox /limted "%s"' % missing.encode(),
         None, 87, ['/limted "%s"' % missing, "\n\n87: "]),
        ("/errorbox, an option with a value", b'tolvane.exe /errorbox /limited:yes "%s"' % missing.encode(),
         None, 87, ['/limited:yes "%s"' % missing, "\n\n87: "]),
        # Windows' message names the file in its "%1": Tolvane fills it in.
        ("/errorbox, a text file named .exe", b'tolvane.exe /errorbox "%s"' % text.encode(), None, 193,
         [text + "\n\n193: ", (text, 2)]),
    ]


def test_usage(ws):
    with HOST.desktop(ws) as env:
        if check(env is not None, "a desktop to show the box on", env):
            for name, command_line, picture, status, text in usage_cases(ws):
                usage_on_desktop(ws, env, name, command_line, picture, status, text)


def usage_on_desktop(ws, env, name, command_line, picture, expected_status, text):
    case = ws.case_dir(name + ": the box")
    box_report = os.path.join(case, "box.txt")
    go = os.path.join(case, "go")
    watcher_log = open(os.path.join(case, "watcher.log"), "wb")
    watcher = HOST.start([ws.watcher, HOST.path(box_report), HOST.path(go)], watcher_log, env)
    try:
        # The harness and the launcher run in the foreground until the
        # watcher presses OK; meanwhile a helper thread takes the screenshot
        # once the watcher has seen the box, then lets the watcher go on.
        screenshot = {}

        def screenshot_then_go():
            if wait_for(box_report, 60) and picture:
                screenshot["taken"] = HOST.screenshot(env, os.path.join(ws.build, picture),
                                                      case)
            open(go, "w").close()

        helper = threading.Thread(target=screenshot_then_go)
        helper.start()
        status, _, report_path, _ = run_launcher(ws, name, command_line, env_extra=env)
        helper.join(90)
    finally:
        try:
            watcher.wait(60)
        except subprocess.TimeoutExpired:
            watcher.kill()
        watcher_log.close()

    if not check(os.path.exists(box_report), name + ": watcher report written", box_report):
        return
    box = dict(line.partition(" ")[::2] for line in read_lines(box_report))
    shown = bytes.fromhex(box.get("text-hex", ""))
    check(box.get("found") == "yes", name + ": a top-level window captioned Tolvane", box.get("found"))
    check(box.get("class") == "#32770", name + ": it is a dialog box", box.get("class"))
    if text == USAGE_TEXT:
        check(shown == USAGE_TEXT, name + ": usage text byte for byte", shown)
        check(box.get("icon") == "none", name + ": no icon", box.get("icon"))
    else:
        # What Tolvane tried to start, then the code and Windows' message,
        # with no insert left unfilled; (part, n): the part n times at least.
        shown_text = shown.decode("utf-8", "replace")
        check(all(shown_text.count(part[0]) >= part[1] if isinstance(part, tuple) else part in shown_text
                  for part in text) and "%1" not in shown_text,
              name + ": the text holds %r and no %%1" % text, shown_text)
        # Which icon, the watcher cannot tell from another process's handle:
        # that it is MB_ICONERROR the unit tests check. The help box has none.
        help_box = text == HELP_PARTS
        check(box.get("icon") == ("none" if help_box else "visible"), name + (": no icon" if help_box else
                                                                          ": an icon"), box.get("icon"))
    check(box.get("buttons") == "1", name + ": exactly one button", box.get("buttons"))
    check(box.get("button") == "1 OK", name + ": the button is OK, IDOK", box.get("button"))
    check(box.get("owner") == "none", name + ": no owner", box.get("owner"))
    check(box.get("launcher") == "running", name + ": launcher still running while the box is up",
          box.get("launcher"))
    check(box.get("pressed") == "yes", name + ": watcher pressed OK", box.get("pressed"))
    if picture:
        check(screenshot.get("taken") is True, name + ": screenshot taken", screenshot.get("taken"))
    if expected_status == "nonzero":
        check(status is not None and status != 0, name + ": launcher ended after OK with a nonzero status",
              status)
    else:
        expected = expected_status if isinstance(expected_status, set) else {expected_status}
        check(status in expected, name + ": launcher ended after OK with %s" % sorted(expected), status)
    time.sleep(GRACE_SECONDS)
    check(not os.path.exists(report_path), name + ": nothing started",
          "report present" if os.path.exists(report_path) else "no report")


# --- double-byte code page ------------------------------------------------

def test_dbcs(ws):
    japanese = HOST.japanese_locale()
    if japanese is None:
        print("skip: no way to give programs ANSI code page 932 here (no ja_JP.UTF-8 locale for "
              "Wine; on Windows the code page is the whole machine's)")
        return SKIP
    # Names whose double-byte characters have 0x5c, a backslash, as their
    # second byte in code page 932: 表 is 95 5c, ソ is 83 5c.
    launcher = os.path.join(ws.bin, "ツール表", "tolvane.exe")
    os.makedirs(os.path.dirname(launcher))
    shutil.copy(ws.launcher, launcher)
    target = ws.copy_target(os.path.join("表示ソフト", "目標.exe"))
    ws.launcher = launcher

    # name, the command line's shape, the arguments the target must get
    cases = [
        ("the launcher's own name quoted", b'"%s" "%s"', ""),
        ("the launcher's own name unquoted", b'%s "%s"', ""),
        ("the target unquoted", b'"%s" %s', ""),
        ("double-byte arguments", '"%s" "%s" 表示 "ソフト 目標"'.encode("cp932"),
         ' 表示 "ソフト 目標"'),
    ]
    for name, shape, arguments in cases:
        command_line = shape % (HOST.path(launcher).encode("cp932"), HOST.path(target).encode("cp932"))
        status, _, report_path, _ = run_launcher(ws, name, command_line, env_extra=japanese)
        check(status == 0, name + ": launcher status", status)
        started = wait_for(report_path, REPORT_WAIT_SECONDS)
        if not check(started, name + ": target started", started):
            continue
        report = read_report(report_path)
        check(first(report, "codepage") == "932", name + ": ANSI code page", first(report, "codepage"))
        seen = first(report, "commandline").encode("latin-1").decode("cp932", "replace")
        check(seen == '"%s"%s' % (HOST.path(target), arguments),
              name + ": target sees its own name" + (" and its arguments" if arguments else ""), seen)


GROUPS = {
    "token": test_token,
    "object": test_object,
    "install": test_install,
    "startup": test_startup,
    "cmdline": test_cmdline,
    "detached": test_detached,
    "usage": test_usage,
    "dbcs": test_dbcs,
}


def main():
    arguments = [a for a in sys.argv[1:] if a != "--windows-only"]
    group, arch, build = arguments[0], arguments[1], os.path.abspath(arguments[2])
    reason = HOST.cannot_run(arch)
    if reason is not None:
        print("skip: " + reason)
        return SKIP
    ws = Workspace(build, group + ("-windows" if WINDOWS_ONLY else ""))
    ws.i686_build = os.path.abspath(arguments[3]) if len(arguments) > 3 else None
    try:
        if GROUPS[group](ws) == SKIP:
            return SKIP
    except SkipGroup:
        return SKIP
    print("%s (%s): %d passed, %d failed" % (group, arch, results["passed"], results["failed"]))
    return 1 if results["failed"] or not results["passed"] else 0


if __name__ == "__main__":
    sys.exit(main())
