"""How Tolvane is started and what it hands on: the start-up settings, the
command lines, waiting and not, the usage, help and error boxes on a
display, and a double-byte code page (the startup, cmdline, detached, usage
and dbcs groups)."""
import contextlib
import os
import shutil
import subprocess
import threading
import time

from common import (SKIP, GRACE_SECONDS, REPORT_WAIT_SECONDS, check, record, WINDOWS_ONLY, this_runs, wait_for, HOST,
    read_lines, read_report, first, run_launcher, groups_of, ADMINISTRATORS, LIMITED, harness_report)

USAGE_TEXT = (b"Specify a program to execute without admin privileges\n\n"
              b"usage: tolvane.exe <executable>")
# What the help box must say: where it begins, every option on a line of
# its own, the exit codes a script meets most, where the reference is.
HELP_PARTS = ["Starts a program without administrator rights.\n\n", "\n/limited ", "\n/wait ",
              "\n/errorbox ", "\n/single ", "\n/? ", " 0 ", " 2 ", " 5 ", " 87 ", " 740 ", " 1113 ", " 1152 ",
              " 1459 ", "README.txt"]


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
        ("an option written with a dash", b'tolvane.exe -limited "' + t + b'"', None, {87}),
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


# name, the options, the copy of the program already running (started
# "directly" with the caller's token, through "tolvane" in the default form,
# or "elsewhere": a program of the same name in another folder, directly),
# the status, and why only Windows shows the case
WINE_BOTH_ALIKE = "Wine reads every token's level and elevation alike, so only Administrators can differ"
SINGLE_CASES = [
    ("/single, a copy started directly with the caller's token", b"/single ", "directly", 1152, None),
    ("/single, a copy Tolvane started", b"/single ", "tolvane", 0, None),
    ("/single, a program of the same name in another folder", b"/single ", "elsewhere", 0, None),
    ("a copy started directly, without /single", b"", "directly", 0, None),
    ("/limited /single, a copy of the default form", b"/limited /single ", "tolvane", 1152, WINE_BOTH_ALIKE),
]


@contextlib.contextmanager
def running_copy(ws, how, env_extra=None, program=None):
    """The report program (or `program`, a copy of it) running, on until the
    case ends, started as `how` says; yields its process id, or None where it
    did not start."""
    early = os.path.join(ws.dir, "copy-%d.txt" % ws.count)
    program = program or (ws.latin_target if how == "elsewhere" else ws.target)
    env = dict(env_extra or {}, TOLVANE_EARLY_REPORT=HOST.path(early), TOLVANE_REPORT_DELAY_MS="60000",
               TOLVANE_REPORT=HOST.path(early + ".report"))
    log = open(os.path.join(ws.dir, "copy-%d.log" % ws.count), "wb")
    if how == "tolvane":
        run_launcher(ws, "the copy, through Tolvane", b'tolvane.exe "%s"' % HOST.path(program).encode(),
                     env_extra=env)
    else:
        HOST.start([program], log, env)
    pid = dict(line.split(" ", 1) for line in read_lines(early)).get("pid") if wait_for(early, 15) else None
    try:
        yield pid
    finally:
        if pid is not None:
            HOST.run(["taskkill", "/f", "/pid", pid], os.path.join(ws.dir, "taskkill.log"))
        log.close()


def single_case(ws, name, options, how, expected):
    """With /single, a copy of the same file with more rights than the new
    token refuses the launch (1152) and nothing starts; a copy without them,
    or another file of the same name, does not."""
    with running_copy(ws, how) as pid:
        if not check(pid is not None, name + ": the copy runs (precondition)", pid):
            return
        status, _, report_path, _ = run_launcher(
            ws, name, b"tolvane.exe " + options + b'"%s"' % HOST.path(ws.target).encode())
        if WINDOWS_ONLY:
            record(name + ": status", status)   # what Windows reads of both tokens
        check(status == expected, name + ": status %d" % expected, status)
        started = wait_for(report_path, REPORT_WAIT_SECONDS if expected == 0 else GRACE_SECONDS)
        check(started == (expected == 0), name + (": started" if expected == 0 else ": nothing started"),
              started)


def test_cmdline(ws):
    elevation, single = this_runs(ELEVATION_CASES, SINGLE_CASES)
    for case, options, _ in elevation:
        elevation_case(ws, case, options)
    for case in single:
        single_case(ws, *case[:4])
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
        # The box names the word it could not read.
        ("/errorbox, a mistyped option", b'tolvane.exe /errorbox /limted "%s"' % missing.encode(),
         None, 87, ["/limted\n\n87: "]),
        ("/errorbox, an option with a value", b'tolvane.exe /errorbox /limited:yes "%s"' % missing.encode(),
         None, 87, ["/limited:yes\n\n87: "]),
        # Windows' message names the file in its "%1": Tolvane fills it in.
        ("/errorbox, a text file named .exe", b'tolvane.exe /errorbox "%s"' % text.encode(), None, 193,
         [text + "\n\n193: ", (text, 2)]),
        # A copy with administrator rights runs: the box names its id.
        ("/errorbox /single, a copy started directly", b'tolvane.exe /errorbox /single "%s"'
         % HOST.path(ws.target).encode(), "single-box.png", 1152,
         [HOST.path(ws.target) + "\n\n1152: ", "\n\nIt runs as process {pid} with administrator rights."],
         "directly"),
    ]


def test_usage(ws):
    with HOST.desktop(ws) as env:
        if check(env is not None, "a desktop to show the box on", env):
            for name, command_line, picture, status, text, *copy in usage_cases(ws):
                with running_copy(ws, copy[0], env) if copy else contextlib.nullcontext() as pid:
                    usage_on_desktop(ws, env, name, command_line, picture, status,
                                     [part.replace("{pid}", str(pid)) for part in text] if copy else text)


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
