"""What every end-to-end group shares: the checks and how they print, where
Windows programs run (HOST: under Wine here, natively on Windows), the
workspace of a group, the one helper that starts the launcher through the
harness (run_launcher) and the readers of what a started program reports."""
import contextlib
import getpass
import os
import shutil
import subprocess
import sys
import time


ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SKIP = 77                    # the status CTest reports as a skip
GRACE_SECONDS = 2.0          # how long a target that was started has to report
REPORT_WAIT_SECONDS = 15.0   # how long a started target may take to report

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


CLASS_KEY = "Software\\Classes\\exefile"


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


ADMINISTRATORS = "S-1-5-32-544"


LIMITED = b"/limited "
# The privileges a standard user's token has, which /limited keeps.
STANDARD_USER_PRIVILEGES = {"SeChangeNotifyPrivilege", "SeShutdownPrivilege", "SeUndockPrivilege",
                            "SeIncreaseWorkingSetPrivilege", "SeTimeZonePrivilege"}
MEDIUM_INTEGRITY = "S-1-16-8192"


def harness_report(ws, name, env_extra):
    """What token_report.exe says when the harness starts it directly, with
    the harness's environment (and so its token's default DACL)."""
    _, _, report_path, _ = run_launcher(ws, name, b"token_report.exe", env_extra=env_extra,
                                        image=ws.target)
    return read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None


def level_of(report):
    """The integrity level's RID, or None."""
    level = first(report, "integrity") or ""
    return int(level.split(" ")[0].split("-")[-1]) if level.startswith("S-1-16-") else None
