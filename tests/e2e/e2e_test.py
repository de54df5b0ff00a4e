#!/usr/bin/python3
"""End-to-end tests of the real tolvane.exe under Wine.

usage: e2e_test.py <group> i686|x86_64 <build tree of that image> [<i686 build tree>]

The install group builds the release package, which holds both images, so it
is also given the i686 tree.

Groups: token, object, install, startup, cmdline, detached, usage, dbcs. Each runs a table of cases;
one helper, run_launcher, starts the launcher through the Windows-side
harness with an exact command line and reads back what the started target
(token_report.exe) wrote about itself. "Nothing started" means the launcher
has ended and, after a grace period, the target's report is still absent.
Every check prints what it saw; the last line counts passes and failures.
Each image's tree holds its own launcher, target, harness and watcher, all
of that architecture; the i686 groups are skipped (status 77) on a host that
cannot execute 32-bit programs.
"""
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
SKIP = 77                    # the status CTest reports as a skip
GRACE_SECONDS = 2.0          # how long a target that was started has to report
REPORT_WAIT_SECONDS = 15.0   # how long a started target may take to report

USAGE_TEXT = (b"Specify a program to execute without admin privileges\n\n"
              b"usage: tolvane.exe <executable>")

results = {"passed": 0, "failed": 0}


def check(ok, what, saw):
    results["passed" if ok else "failed"] += 1
    print(("ok   " if ok else "FAIL ") + what + ": saw " + repr(saw))
    return ok


def winpath(path):
    """The Windows name Wine gives a Unix path: its Z: drive is the root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


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
        self.not_program = os.path.join(self.bin, "notes.txt")
        with open(self.not_program, "w") as f:
            f.write("just text, not a program\n")
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


def wine(args, log, env_extra=None, timeout=120):
    env = dict(os.environ)
    env.update(env_extra or {})
    with open(log, "ab") as out:
        return subprocess.run([WINE_RUN] + args, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=out, env=env, timeout=timeout).returncode


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


def wait_for(path, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        time.sleep(0.05)
    return os.path.exists(path)


# Wine's own process creation fails now and then: the launch ends with
# ERROR_INTERNAL_ERROR, or the harness never gets to write its result. Each
# was seen once in about ten runs of the whole suite, for a case that passed
# in every other run, so such a case is run once more (and says so) before it
# counts as failed.
WINE_INTERNAL_ERROR = 1359


def run_launcher(ws, name, command_line=None, directory=None, env_extra=None, delay_ms=None,
                 verb=None, image=None, retried=False):
    """Starts the launcher (or `image`) through the harness with
    `command_line` (bytes) exactly; or, given `verb`, has the shell start the
    target through that verb of the per-user exefile class, as Explorer's
    menu does, which runs the launcher install.cmd registered there. Returns
    (status or None, elapsed ms, report path, case dir)."""
    case = ws.case_dir(name)
    report = os.path.join(case, "report.txt")
    result = os.path.join(case, "result.txt")
    if verb is None:
        cmdline_file = os.path.join(case, "cmdline.bin")
        with open(cmdline_file, "wb") as f:
            f.write(command_line)
        start = [winpath(image or ws.launcher), winpath(directory or case), winpath(cmdline_file)]
    else:
        start = ["--verb", verb, CLASS_KEY, winpath(ws.target)]
    env = {"TOLVANE_REPORT": winpath(report)}
    if delay_ms is not None:
        env["TOLVANE_REPORT_DELAY_MS"] = str(delay_ms)
    env.update(env_extra or {})
    harness_status = wine([ws.harness] + start + [winpath(result)], os.path.join(case, "wine.log"),
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
                            verb, image, retried=True)
    return status, elapsed, report, case


def caller_report(ws, env_extra=None):
    """What token_report.exe says when run directly, without the launcher."""
    path = os.path.join(ws.dir, "caller.txt")
    wine([ws.target], os.path.join(ws.dir, "caller.log"),
         dict(env_extra or {}, TOLVANE_REPORT=winpath(path)))
    return read_report(path) if os.path.exists(path) else None


def groups_of(report):
    groups = {}
    for key, rest in report:
        if key == "group":
            sid, _, attributes = rest.partition(" ")
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

# name, what the harness is given, the default DACL the caller must have
# (None: whatever Wine gives)
TOKEN_CASES = [
    ("Wine's own default DACL", {}, None),
    ("a full administrator's default DACL", ADMINISTRATOR_DEFAULT_DACL,
     [("allowed", GENERIC_ALL, ADMINISTRATORS), ("allowed", GENERIC_ALL, "S-1-5-18")]),
]


def test_token(ws):
    for name, env, caller_dacl in TOKEN_CASES:
        token_case(ws, name, env, caller_dacl)


def token_case(ws, case, env, caller_dacl):
    caller = harness_report(ws, case + ": caller", env)
    if not check(caller is not None and first(caller, "user") is not None,
                 case + ": caller's own report written", caller and first(caller, "user")):
        return
    if caller_dacl is not None:
        check(default_dacl_of(caller) == caller_dacl, case + ": caller's default DACL (precondition)",
              default_dacl_of(caller))
    status, _, report_path, _ = run_launcher(ws, case, b'tolvane.exe "%s"' % winpath(ws.target).encode(),
                                             env_extra=env)
    check(status == 0, case + ": launcher status", status)
    if not check(wait_for(report_path, REPORT_WAIT_SECONDS), case + ": child's report written",
                 report_path):
        return
    child = read_report(report_path)
    check(first(child, "error") is None, case + ": child could open its own token", first(child, "error"))

    user = first(caller, "user")
    check(first(child, "user") == user, case + ": same user", (user, first(child, "user")))
    check(first(child, "owner") == first(caller, "owner"), case + ": same owner",
          (first(caller, "owner"), first(child, "owner")))
    expected_dacl = default_dacl_of(caller) + [("allowed", GENERIC_ALL, user.split(" ")[0])]
    check(default_dacl_of(child) == expected_dacl,
          case + ": default DACL is the caller's and the user's GENERIC_ALL", default_dacl_of(child))

    caller_groups, child_groups = groups_of(caller), groups_of(child)
    admin = child_groups.get(ADMINISTRATORS)
    check(ADMINISTRATORS in caller_groups and "enabled" in caller_groups[ADMINISTRATORS],
          case + ": caller has Administrators enabled (precondition)", caller_groups.get(ADMINISTRATORS))
    check(admin is not None and "deny-only" in admin, case + ": child has Administrators deny-only", admin)
    check(admin is not None and "enabled" not in admin, case + ": child's Administrators not enabled",
          admin)
    check(sorted(child_groups) == sorted(caller_groups), case + ": same group SIDs",
          sorted(set(child_groups) ^ set(caller_groups)))
    others = {sid: attrs for sid, attrs in child_groups.items() if sid != ADMINISTRATORS}
    changed = {sid: (caller_groups.get(sid), attrs) for sid, attrs in others.items()
               if caller_groups.get(sid) != attrs}
    check(not changed, case + ": every other group's attributes unchanged", changed)

    caller_privileges, child_privileges = privileges_of(caller), privileges_of(child)
    check(len(caller_privileges) > 0, case + ": caller has privileges (precondition)",
          len(caller_privileges))
    check(child_privileges == caller_privileges, case + ": every privilege and its state unchanged",
          {p: (caller_privileges.get(p), child_privileges.get(p))
           for p in set(caller_privileges) | set(child_privileges)
           if caller_privileges.get(p) != child_privileges.get(p)})
    check([r for k, r in child if k == "restricting"] == [], case + ": no restricting SIDs",
          [r for k, r in child if k == "restricting"])
    check(first(child, "restricted") == "no", case + ": token not restricted", first(child, "restricted"))
    check(first(child, "type") == "primary", case + ": primary token", first(child, "type"))


# --- Administrators-only object ------------------------------------------

def test_object(ws):
    """An event only Administrators may open: the target opens it when run
    directly and is refused (5) when started through the launcher."""
    name = "TolvaneAdministratorsOnly-%d" % os.getpid()
    ready = os.path.join(ws.dir, "object-ready.txt")
    stop = os.path.join(ws.dir, "object-stop")
    log = open(os.path.join(ws.dir, "object.log"), "wb")
    # Like any case, the holder's start is tried once more when Wine fails
    # to start it at all (seen once: no ready file, nothing in the log).
    for attempt in range(2):
        holder = subprocess.Popen([WINE_RUN, os.path.join(ws.build, "admin_object.exe"),
                                   name + "-%d" % attempt, winpath(ready), winpath(stop)],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        if wait_for(ready, REPORT_WAIT_SECONDS):
            break
        print("note: admin_object.exe wrote nothing (wine-run %s); running it again" % holder.poll())
        holder.kill()
    name += "-%d" % attempt
    try:
        made = read_lines(ready)[0] if os.path.exists(ready) else None
        if not check(made == "created", "Administrators-only event made", made):
            return
        env = {"TOLVANE_ADMIN_OBJECT": name}
        caller = caller_report(ws, env)
        check(caller is not None and first(caller, "object") == "opened",
              "run directly: the event opens", caller and first(caller, "object"))
        status, _, report_path, _ = run_launcher(
            ws, "object", b'tolvane.exe "%s"' % winpath(ws.target).encode(), env_extra=env)
        check(status == 0, "launcher status", status)
        child = read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None
        check(child is not None and first(child, "object") == "error 5",
              "started by the launcher: access denied", child and first(child, "object"))
        check(holder.poll() is None, "the event still existed throughout", holder.poll())
    finally:
        open(stop, "w").close()
        try:
            holder.wait(30)
        except subprocess.TimeoutExpired:
            holder.kill()
        log.close()


# --- install.cmd, the Explorer verb, uninstall.cmd ---------------------------

CLASS_KEY = "Software\\Classes\\exefile"
VERB_KEY = "HKCU\\" + CLASS_KEY + "\\shell\\Tolvane"
OTHER_VERB_KEY = "HKCU\\" + CLASS_KEY + "\\shell\\SomeoneElse"


# A profile folder with characters a Windows user or profile name may hold
# that mean something to cmd. (% and ! too on Windows; Wine's cmd drops them
# from any value it expands, so they cannot be tried here.)
PROFILE_FOLDER = "R&D (a) ^"


def test_install(ws):
    """Installs from the release package with Wine's cmd into a profile whose
    path is full of cmd's special characters, starts a program through the
    new verb, and uninstalls: twice, the second time with another verb beside
    ours, which must stay; then an install that fails leaves nothing."""
    zip_dir = os.path.join(ws.dir, "dist")
    subprocess.run([os.path.join(ROOT, "scripts", "dist"), ws.i686_build, ws.build, zip_dir],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
    package = os.path.join(ws.dir, "package")
    with zipfile.ZipFile(os.path.join(zip_dir, os.listdir(zip_dir)[0])) as archive:
        archive.extractall(package)
    log = os.path.join(ws.dir, "cmd.log")
    profile = os.path.join(ws.dir, PROFILE_FOLDER, "Local")
    os.makedirs(profile)
    installed = os.path.join(profile, "Programs", "Tolvane", "tolvane.exe")

    def cmd(script):
        # LOCALAPPDATA is set by a wrapper, as Windows sets it for the
        # account: Wine puts its own in place of one it is handed.
        wrapper = os.path.join(ws.dir, "run-" + script)
        with open(wrapper, "w", newline="\r\n") as f:
            f.write('@echo off\nset "LOCALAPPDATA=%s"\ncall "%s"\nexit /b %%errorlevel%%\n'
                    % (winpath(profile).replace("%", "%%"), winpath(os.path.join(package, script))))
        return wine(["cmd.exe", "/c", winpath(wrapper)], log)

    def key_exists(key):
        return wine(["reg", "query", key], log) == 0

    # Leftovers of an earlier run that stopped halfway.
    wine(["reg", "delete", "HKCU\\" + CLASS_KEY, "/f"], log)

    statuses = [cmd("install.cmd"), cmd("install.cmd")]
    check(statuses == [0, 0], "install.cmd, run twice", statuses)
    with open(installed, "rb") as a, open(os.path.join(ws.build, "tolvane.exe"), "rb") as b:
        check(a.read() == b.read(), "installed the x86_64 image on 64-bit Windows", installed)

    status, _, report_path, _ = run_launcher(ws, "verb", verb="Tolvane")
    check(status == 0, "the verb's command ran the launcher: status", status)
    child = read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None
    admin = groups_of(child).get(ADMINISTRATORS) if child else None
    check(admin is not None and "deny-only" in admin, "started with Administrators deny-only", admin)
    check(child is not None and first(child, "commandline") == '"%s"' % winpath(ws.target),
          "started the file the verb was given", child and first(child, "commandline"))

    statuses = [cmd("uninstall.cmd"), cmd("uninstall.cmd")]
    check(statuses == [0, 0], "uninstall.cmd, run twice", statuses)
    check(not key_exists("HKCU\\" + CLASS_KEY), "no trace of the verb's keys", "HKCU\\" + CLASS_KEY)
    check(not os.path.exists(os.path.dirname(installed)), "installed folder removed",
          os.path.dirname(installed))
    status, _, report_path, _ = run_launcher(ws, "verb after uninstall", verb="Tolvane")
    time.sleep(GRACE_SECONDS)
    check(status is None and not os.path.exists(report_path), "the verb starts nothing",
          (status, os.path.exists(report_path)))

    # Someone else's verb, added after install, is not install's to remove.
    statuses = [cmd("install.cmd")]
    wine(["reg", "add", OTHER_VERB_KEY + "\\command", "/ve", "/d", "other.exe \"%1\"", "/f"], log)
    statuses.append(cmd("uninstall.cmd"))
    check(statuses == [0, 0], "install, another verb added, uninstall", statuses)
    seen = (key_exists(VERB_KEY), key_exists(OTHER_VERB_KEY))
    check(seen == (False, True), "ours removed, the other verb kept", seen)
    wine(["reg", "delete", "HKCU\\" + CLASS_KEY, "/f"], log)

    # A folder that cannot be made (a file named Programs in its way) ends
    # the install before anything is written.
    with open(os.path.join(profile, "Programs"), "w") as f:
        f.write("in the way\n")
    status = cmd("install.cmd")
    check(status == 1, "install whose folder cannot be made fails", status)
    check(not key_exists("HKCU\\" + CLASS_KEY), "and leaves no key behind", "HKCU\\" + CLASS_KEY)


# --- startup -------------------------------------------------------------

def test_startup(ws):
    directory = os.path.join(ws.dir, "start in here")
    os.makedirs(directory)
    probe = "value with blanks & %percent% \"quotes\""
    status, _, report_path, _ = run_launcher(
        ws, "startup", b'tolvane.exe "%s"' % winpath(ws.target).encode(),
        directory=directory, env_extra={"TOLVANE_PROBE": probe})
    check(status == 0, "launcher status", status)
    if not check(wait_for(report_path, REPORT_WAIT_SECONDS), "child's report written", report_path):
        return
    child = read_report(report_path)
    check(first(child, "desktop") == "winsta0\\default", "desktop", first(child, "desktop"))
    check(first(child, "directory") == winpath(directory), "launcher's current directory",
          first(child, "directory"))
    check(first(child, "env") == "TOLVANE_PROBE=" + probe, "launcher's environment",
          first(child, "env"))
    check(first(child, "commandline") == '"%s"' % winpath(ws.target),
          "command line is the program's own name alone", first(child, "commandline"))


# --- command lines -------------------------------------------------------

def cmdline_cases(ws):
    t = winpath(ws.target).encode()
    spaced = winpath(ws.spaced_target).encode()
    nonzero = "nonzero"
    many = b" ".join(b"--argument-%04d" % i for i in range(500))   # 7,999 bytes
    # name, command line, the program that must start (None: nothing), status,
    # and the command line it must get when that is not its quoted name alone.
    # A command line given as text goes to the launcher as Unicode, as
    # Explorer starts it; the target's own is then compared as Unicode too.
    wide, quote = winpath(ws.unicode_target), winpath(ws.fullwidth_quote_target)
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
        ("a byte glued to the closing quote", b'tolvane.exe "' + t + b'"x', None, nonzero),
        ("the launcher's own name with an unclosed quote", b'"tolvane.exe ' + t, None, nonzero),
        ("a path that names no file", b'tolvane.exe "' + winpath(ws.missing).encode() + b'"',
         None, {2, 3}),
        ("a path that names no file, with arguments",
         b'tolvane.exe "' + winpath(ws.missing).encode() + b'" -x', None, {2, 3}),
        ("a folder that names no file", b'tolvane.exe "' + winpath(ws.bin).encode() +
         b'\\nowhere\\missing.exe"', None, {2, 3}),
        ("a directory", b'tolvane.exe "' + winpath(ws.folder).encode() + b'"', None, nonzero),
        ("a file that is not a program", b'tolvane.exe "' + winpath(ws.not_program).encode() + b'"',
         None, {193}),
    ]


def test_cmdline(ws):
    for name, command_line, program, statuses, *given in cmdline_cases(ws):
        unicode = isinstance(command_line, str)
        if unicode:
            command_line = command_line.encode("utf-8")
        status, _, report_path, _ = run_launcher(
            ws, name, command_line, env_extra={"TOLVANE_HARNESS_UTF8": "1"} if unicode else None)
        if statuses == "nonzero":
            check(status is not None and status != 0, name + ": nonzero status", status)
        else:
            check(status in statuses, name + ": status in %s" % sorted(statuses), status)
        if program is None:
            time.sleep(GRACE_SECONDS)
            check(not os.path.exists(report_path), name + ": nothing started",
                  "report present" if os.path.exists(report_path) else "no report")
        else:
            started = wait_for(report_path, REPORT_WAIT_SECONDS)
            if unicode:
                seen = first(read_report(report_path), "commandline-utf8") if started else None
                seen = seen and seen.encode("latin-1").decode("utf-8", "replace")
                expected = given[0] if given else '"%s"' % winpath(program)
            else:
                seen = first(read_report(report_path), "commandline") if started else None
                expected = given[0].decode("latin-1") if given else '"%s"' % winpath(program)
            check(seen == expected, name + ": started " + os.path.basename(program) + " with "
                  + ("its arguments" if given else "its name alone"),
                  seen if seen is None or len(seen) < 200 else seen[:100] + "..." + seen[-40:])


# --- detached ------------------------------------------------------------

def test_detached(ws):
    delay_ms = 3000
    status, elapsed, report_path, _ = run_launcher(
        ws, "detached", b'tolvane.exe "%s"' % winpath(ws.target).encode(), delay_ms=delay_ms)
    absent_at_end = not os.path.exists(report_path)
    check(status == 0, "launcher status", status)
    check(elapsed is not None and elapsed < delay_ms, "launcher ended before the target's work (ms)",
          elapsed)
    check(absent_at_end, "target still working when the launcher had ended",
          "no report yet" if absent_at_end else "report already there")
    check(wait_for(report_path, REPORT_WAIT_SECONDS + delay_ms / 1000),
          "target finished its work afterwards", os.path.exists(report_path))


# --- usage box on a display ----------------------------------------------

def free_display():
    for number in range(90, 200):
        if not os.path.exists("/tmp/.X%d-lock" % number) and \
           not os.path.exists("/tmp/.X11-unix/X%d" % number):
            return number
    raise RuntimeError("no free X display number")


def test_usage(ws):
    number = free_display()
    display = ":%d" % number
    xvfb_log = open(os.path.join(ws.dir, "xvfb.log"), "wb")
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                            stdin=subprocess.DEVNULL, stdout=xvfb_log, stderr=xvfb_log)
    try:
        if not check(wait_for("/tmp/.X11-unix/X%d" % number, 10), "Xvfb started", display):
            return
        # Wine's services started without a display would keep this run
        # from reaching it: start them afresh with the display.
        stop_wineserver()
        # No window manager runs on the display: Wine draws the frame and
        # caption itself, so the box looks as on Windows in the screenshot.
        wine(["reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated", "/d", "N",
              "/f"], os.path.join(ws.dir, "reg.log"), {"TOLVANE_DISPLAY": display})
        usage_on_display(ws, display)
    finally:
        stop_wineserver()
        xvfb.terminate()
        xvfb.wait(10)
        xvfb_log.close()


def stop_wineserver():
    subprocess.run([os.path.join(ROOT, "scripts", "wine-prefix"), "stop"],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def usage_on_display(ws, display):
    box_report = os.path.join(ws.dir, "box.txt")
    go = os.path.join(ws.dir, "go")
    env = {"TOLVANE_DISPLAY": display}
    watcher_env = dict(os.environ, **env)
    watcher_log = open(os.path.join(ws.dir, "watcher.log"), "wb")
    watcher = subprocess.Popen([WINE_RUN, ws.watcher, winpath(box_report), winpath(go)],
                               stdin=subprocess.DEVNULL, stdout=watcher_log, stderr=watcher_log,
                               env=watcher_env)
    try:
        # The harness and the launcher run in the foreground until the
        # watcher presses OK; meanwhile a helper thread takes the screenshot
        # once the watcher has seen the box, then lets the watcher go on.
        screenshot = {}

        def screenshot_then_go():
            if wait_for(box_report, 60):
                png = os.path.join(ws.build, "usage-box.png")
                xwd = os.path.join(ws.dir, "screen.xwd")
                subprocess.run(["xwd", "-root", "-silent", "-display", display, "-out", xwd],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                subprocess.run(["convert", "xwd:" + xwd, "-trim", "+repage", png],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                screenshot["taken"] = os.path.exists(png) and os.path.getsize(png) > 0
            open(go, "w").close()

        helper = threading.Thread(target=screenshot_then_go)
        helper.start()
        status, _, report_path, _ = run_launcher(ws, "usage box", b"tolvane.exe", env_extra=env)
        helper.join(90)
    finally:
        try:
            watcher.wait(60)
        except subprocess.TimeoutExpired:
            watcher.kill()
        watcher_log.close()

    if not check(os.path.exists(box_report), "watcher report written", box_report):
        return
    box = dict(line.partition(" ")[::2] for line in read_lines(box_report))
    check(box.get("found") == "yes", "a top-level window captioned Tolvane", box.get("found"))
    check(box.get("class") == "#32770", "it is a dialog box", box.get("class"))
    check(bytes.fromhex(box.get("text-hex", "")) == USAGE_TEXT, "usage text byte for byte",
          bytes.fromhex(box.get("text-hex", "")))
    check(box.get("buttons") == "1", "exactly one button", box.get("buttons"))
    check(box.get("button") == "1 OK", "the button is OK, IDOK", box.get("button"))
    check(box.get("icon") == "none", "no icon", box.get("icon"))
    check(box.get("owner") == "none", "no owner", box.get("owner"))
    check(box.get("launcher") == "running", "launcher still running while the box is up",
          box.get("launcher"))
    check(box.get("pressed") == "yes", "watcher pressed OK", box.get("pressed"))
    check(screenshot.get("taken") is True, "screenshot taken", screenshot.get("taken"))
    check(status is not None and status != 0, "launcher ended after OK with a nonzero status",
          status)
    time.sleep(GRACE_SECONDS)
    check(not os.path.exists(report_path), "nothing started",
          "report present" if os.path.exists(report_path) else "no report")


# --- double-byte code page ------------------------------------------------

JAPANESE = {"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.UTF-8"}


def test_dbcs(ws):
    if "ja_jp.utf8" not in subprocess.run(["locale", "-a"], capture_output=True,
                                          text=True).stdout.lower():
        print("skip: no ja_JP.UTF-8 locale on this machine")
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
        command_line = shape % (winpath(launcher).encode("cp932"), winpath(target).encode("cp932"))
        status, _, report_path, _ = run_launcher(ws, name, command_line, env_extra=JAPANESE)
        check(status == 0, name + ": launcher status", status)
        started = wait_for(report_path, REPORT_WAIT_SECONDS)
        if not check(started, name + ": target started", started):
            continue
        report = read_report(report_path)
        check(first(report, "codepage") == "932", name + ": ANSI code page", first(report, "codepage"))
        seen = first(report, "commandline").encode("latin-1").decode("cp932", "replace")
        check(seen == '"%s"%s' % (winpath(target), arguments),
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
    group, arch, build = sys.argv[1], sys.argv[2], os.path.abspath(sys.argv[3])
    if arch == "i686" and subprocess.run([os.path.join(ROOT, "scripts", "wine-host"), "i386"],
                                         stdin=subprocess.DEVNULL).returncode != 0:
        return SKIP
    ws = Workspace(build, group)
    ws.i686_build = os.path.abspath(sys.argv[4]) if len(sys.argv) > 4 else None
    if GROUPS[group](ws) == SKIP:
        return SKIP
    print("%s (%s): %d passed, %d failed" % (group, arch, results["passed"], results["failed"]))
    return 1 if results["failed"] or not results["passed"] else 0


if __name__ == "__main__":
    sys.exit(main())
