"""The install group's links cases: stand-ins for the browsers and the mail
program registered as each registers itself, each package's registered
applications found as Settings finds them, and links, web pages and mail
opened through them."""
import os
import re
import shutil
import struct
import subprocess

from common import (record, REPORT_WAIT_SECONDS, check, wait_for, HOST, read_report, first, run_launcher, groups_of,
    privileges_of, registry_tree, ADMINISTRATORS, STANDARD_USER_PRIVILEGES)
from shell import running_copy

APP_PATHS = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\"
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
# What the packages turn off for each target offered, the vendor's key
# under Software\\Policies, the value and its data; per user, Windows'
# restart of apps at sign-in too. One value an administrator set before
# Tolvane: kept, and left on removal.
POLICIES = [("Edge", "Microsoft\\Edge", "StartupBoostEnabled", "0x0"),
            ("Edge", "Microsoft\\Edge", "BackgroundModeEnabled", "0x0"),
            ("Edge", "Microsoft\\Edge", "DefaultBrowserSettingEnabled", "0x0"),
            ("Chrome", "Google\\Chrome", "DefaultBrowserSettingEnabled", "0x0"),
            ("Firefox", "Mozilla\\Firefox", "DontCheckDefaultBrowser", "0x1"),
            ("Firefox", "Mozilla\\Firefox", "DisableDefaultBrowserAgent", "0x1")]
ADMINISTRATORS_OWN = ("Chrome", "Google\\Chrome", "BackgroundModeEnabled", "0x1")
WINLOGON = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"
# What other programs hand the targets: name, the link (an .html file's
# path is put in by the case), the targets it goes to.
LINKS = [
    ("a link with &, # and %20", "https://example.test/a%20b?x=1&y=2#part", ("Edge", "Chrome", "Firefox")),
    ("a crafted link: a quote and a second path", 'https://example.test/" C:\\Windows\\System32\\calc.exe',
     ("Edge", "Chrome", "Firefox")),
    ("an .html file whose path has blanks and &", None, ("Edge", "Chrome", "Firefox")),
    ("a mailto link", "mailto:someone@example.test?subject=a%20b&body=c", ("Thunderbird",)),
]
# Where each of Tolvane's own registrations as a client goes, and what its
# command adds after the program.
CLIENTS = {ident: ("Mail", " -mail") if ident == "Thunderbird" else ("StartMenuInternet", "")
           for ident, *_ in TARGETS}


def register_targets(package, windows_only, only=None, folder=None):
    """Registers the targets (those in `only`, or all) as they register
    themselves: per machine all of them in HKLM, in a Program Files folder
    or `folder`; per user the others in HKCU and, under Wine, Edge in HKLM,
    the mail program one from before the guard (or, on Windows, Chrome of a
    guarded version with an unguarded command). Returns {id: (program, its
    tail)} of those that must be offered, and the registration file that
    takes it all away again."""
    lines, undo, offered = ["REGEDIT4", ""], ["REGEDIT4", ""], {}
    for ident, path, progids, clients, registered in TARGETS:
        if only is not None and ident not in only:
            continue
        user = package.user and (ident != "Edge" or HOST.native)
        old = user and ident == ("Chrome" if windows_only else "Thunderbird")
        program = (HOST.user_programs() if user else folder or HOST.program_files(
            "x86" if ident == "Edge" else "x64")) + "\\" + path
        local = HOST.local(program)
        os.makedirs(os.path.dirname(local), exist_ok=True)
        shutil.copy(os.path.join(package.ws.build, "tests", "old_target.exe" if old and not windows_only
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
        if not old and not folder:
            offered[ident] = (program, next(iter(progids.values())))
    files = []
    for name, text in (("targets", lines), ("no-targets", undo)):
        files.append(os.path.join(package.ws.dir, "%s-%s.reg" % (name, package.label)))
        with open(files[-1], "w", newline="\r\n") as f:
            f.write("\n".join(text) + "\n")
    HOST.run(["reg", "import", HOST.path(files[0]), "/reg:64"], package.log)
    return offered, files[1]

def test_links(package, case, windows_only):
    """The registered applications for links, web pages and mail: one
    for each target offered, found as Settings finds them, through
    RegisteredApplications; the shell, as a click in another program,
    opens links and files through each one's ProgID, and the target
    gets exactly the command line its own registration would give it,
    under the limited token; uninstall leaves the targets' own
    registration and nothing of Tolvane's."""
    ws = package.ws
    if HOST.native and not package.user:
        print("skip: %s: natively only per user, in HKCU: the runner's own browsers are registered in HKLM"
              % case)
        return
    package.remove_earlier()
    offered, undo = register_targets(package, windows_only)
    root = package.root.replace("HKLM", "HKEY_LOCAL_MACHINE").replace("HKCU", "HKEY_CURRENT_USER")

    def values(key):
        return registry_tree(package.root + "\\" + key, "64").get(root + "\\" + key, {})

    _, own_key, own_name, own_data = ADMINISTRATORS_OWN
    HOST.run(["reg", "add", package.root + "\\Software\\Policies\\" + own_key, "/v", own_name, "/t", "REG_DWORD",
              "/d", str(int(own_data, 16)), "/f", "/reg:64"], package.log)
    restart_before = values(WINLOGON).get("RestartApps")

    def policies():
        seen = {(key, name): values("Software\\Policies\\" + key).get(name)
                for _, key, name, _ in POLICIES + [ADMINISTRATORS_OWN]}
        return dict(seen, restart=values(WINLOGON).get("RestartApps"))

    status = package.msiexec("/i", HOST.path(package.package), "/qn")
    check(status == 0, case + ": msiexec /i ... /qn", status)
    with open(os.path.join(ws.dir, "msiexec-%s-%d.log" % (package.label, package.runs)), "rb") as f:
        raw = f.read()
    logged = raw.decode("utf-16" if raw[:2] == b"\xff\xfe" else "latin-1", "replace")
    for ident, *_ in TARGETS:
        if ident not in offered:
            why = re.search(r"TOLVANE_NOT_OFFERED_%s[^\r\n]*" % ident.upper(), logged)
            check(why is not None and ("guarded form" if windows_only else "version") in why.group(0),
                  case + ": %s not offered, and the log says why" % ident, why and why.group(0))
    # Per user from a token Windows does not count as elevated, which may
    # not write HKCU\\Software\\Policies, the feature is left out, and the
    # log says so (what Windows Installer makes of it is recorded first).
    privileged = not (package.user and os.environ.get("TOLVANE_UNELEVATED"))
    left_out = re.search(r"TOLVANE_POLICIES_LEFT_OUT[^\r\n]*", logged)
    if not privileged:
        record(case + ": BrowserPolicies, unelevated", (left_out and left_out.group(0), policies()))
    check((left_out is None) == privileged, case + ": BrowserPolicies left out only where it may not be written",
          left_out and left_out.group(0))
    expected = {(key, name): data if ident in offered and privileged else None for ident, key, name, data in POLICIES}
    expected[own_key, own_name] = own_data
    expected["restart"] = restart_before or "0x0" if package.user and offered and privileged else restart_before
    check(policies() == expected, case + ": the policies of each target offered, an administrator's own kept",
          policies())
    registered = {name: data for name, data in values("Software\\RegisteredApplications").items()
                  if name.endswith(" without administrator rights")}
    check(len(registered) == len(offered), case + ": one registered application for each target offered",
          sorted(registered))
    # A Start menu entry for each (Wine writes a machine's in the user's
    # folder too).
    def shortcuts(paths=False):
        return sorted(os.path.join(folder, f) if paths else f for folder in HOST.start_menus()
                      if os.path.isdir(folder) for f in os.listdir(folder)
                      if f.endswith(" without administrator rights.lnk"))

    # A Start menu entry for each, Tolvane with /limited /errorbox /single
    # and the target's program; one of them started.
    arguments = sorted(shortcut_arguments(path) for path in shortcuts(paths=True))
    check(arguments == sorted('/limited /errorbox /single "%s"' % program for program, _ in offered.values()),
          case + ": a Start menu entry for each, its arguments", arguments)
    if arguments:
        status, _, report_path, _ = run_launcher(ws, case + ": a Start menu entry", b"tolvane.exe " +
                                                 arguments[0].encode(), image=HOST.local(package.image))
        child = read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None
        check(status == 0 and "deny-only" in (groups_of(child).get(ADMINISTRATORS) or []) and
              set(privileges_of(child)) <= STANDARD_USER_PRIVILEGES, case + ": a Start menu entry starts its "
              "target with the limited token", (status, child and groups_of(child).get(ADMINISTRATORS)))
    # Under Wine no target's own command can be read (its AppSearch cuts the
    # string): the packages' own condition says that one must be guarded.
    if not HOST.native:
        table = subprocess.run(["msiinfo", "export", package.package, "InstallExecuteSequence"], capture_output=True,
                               text=True).stdout
        conditions = [re.search(r"^Offer%s\t([^\t]*)" % ident, table, re.M) for ident in ("Edge", "Chrome",
                                                                                         "Thunderbird")]
        check(all(found and found.group(1).count("_CMD ~>") == 1 for found in conditions),
              case + ": a target's own command offered only where it is guarded", [found and found.group(1)
                                                                                 for found in conditions])
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
        check(command == '"%s\\tolvane.exe" /limited /errorbox /single "%s" %s' % (package.folder, program, tail),
              case + ": %s: registered, one ProgID of Tolvane's, its command" % ident, (capabilities, command))
        kind, start = CLIENTS[ident]
        client = values("Software\\Clients\\%s\\Tolvane.%s\\shell\\open\\command" % (kind, ident)).get("(Default)")
        check(client == '"%s\\tolvane.exe" /limited /errorbox /single "%s"%s' % (package.folder, program, start),
              case + ": %s: a client under %s, its command" % (ident, kind), client)
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
                class_key="Software\\Classes\\" + progid if package.user else "name:" + progid)
            child = read_report(report_path) if wait_for(report_path, REPORT_WAIT_SECONDS) else None
            admin = groups_of(child).get(ADMINISTRATORS) if child else None
            seen = child and (first(child, "commandline"), "deny-only" in (admin or []),
                              windows_only and first(child, "elevation"))
            check(status == 0 and seen == ('"%s" %s' % (program, tail.replace("%1", link)), True,
                                           windows_only and "no"),
                  "%s: %s: %s: the target's own command line, the limited token" % (case, ident, what),
                  (status, seen))
    check_installed(package, case, offered, windows_only)
    status = package.msiexec("/x", HOST.path(package.package), "/qn")
    left = [progid for progid in ("Tolvane." + ident for ident, *_ in TARGETS)
            if registry_tree(package.root + "\\Software\\Classes\\" + progid, "64")]
    left += [kind for kind in (".htm", ".html", ".pdf")
             if any(v.startswith("Tolvane.") for v in values("Software\\Classes\\%s\\OpenWithProgids" % kind))]
    left += [name for name in values("Software\\RegisteredApplications") if name.endswith(" rights")]
    left += ["Tolvane." + ident for ident in offered if values("Software\\Clients\\%s\\Tolvane.%s" % (CLIENTS[ident][0],
                                                                                               ident))]
    left += shortcuts()
    left += [value for value, data in policies().items() if data is not None and value != (own_key, own_name)
             and (value != "restart" or data != restart_before)] + list(values("Software\\Tolvane\\Policies"))
    check(status == 0 and not left, case + ": uninstalled: no ProgID, registration, Open with entry or policy of "
          "Tolvane's left", (status, left))
    check(policies()[own_key, own_name] == own_data, case + ": the administrator's own policy kept",
          policies()[own_key, own_name])
    HOST.run(["reg", "delete", package.root + "\\Software\\Policies\\" + own_key, "/v", own_name, "/f", "/reg:64"],
             package.log)
    kept = [ident for ident, (program, _) in offered.items() if registry_tree(
        ("HKCU" if program.startswith(HOST.user_programs()) else "HKLM") + "\\" + APP_PATHS +
        program.rsplit("\\", 1)[1], "64")]
    check(sorted(kept) == sorted(offered), case + ": the targets' own registration kept", kept)
    HOST.run(["reg", "import", HOST.path(undo), "/reg:64"], package.log)


def run_check(program, *arguments):
    """tolvane-check (its path here) with its output redirected, as a
    detection script runs it: its status and its text, read as UTF-8."""
    done = subprocess.run(HOST.command([program] + list(arguments)), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=300)
    return done.returncode, done.stdout.decode("utf-8", "replace")


def failures(text, part=""):
    """The FAILED lines of a check's text, of the part that begins with `part`."""
    text = text.split("\n" + part, 1)[-1].split("\nRunning copies")[0] if part else text
    return [line for line in text.splitlines() if line.startswith("FAILED")]


def check_installed(package, case, offered, windows_only):
    """tolvane-check beside the installed image: nothing failed; then a
    target started directly, with the full token, fails naming its process;
    a ProgID's command changed by hand fails naming its key; copied to a
    folder of a non-ASCII name, the launch checks out, and without
    tolvane.exe beside it the check cannot run (2); redirected, all of it is
    UTF-8."""
    program = HOST.local(package.folder + "\\tolvane-check.exe")
    status, text = run_check(program)
    if HOST.native:
        record(case + ": tolvane-check", (status, text))
    check(status == 0 and not failures(text) and "\nsummary: " in text, case + ": tolvane-check: nothing failed",
          (status, failures(text) or text[-300:]))
    if not windows_only:
        status, text = run_check(program, "--require-defaults")
        check(status == 1 and any(line.startswith("FAILED http opens with") for line in failures(text)),
              case + ": tolvane-check --require-defaults: http not opened through Tolvane fails", failures(text))
    ident, (target, _) = next(iter(offered.items()), (None, (None, None)))
    if ident is None:
        return
    with running_copy(package.ws, "directly", program=HOST.local(target)) as pid:
        status, text = run_check(program)
        check(status == 1 and any("process %s " % pid in line and "administrator rights" in line
                                  for line in failures(text)),
              case + ": tolvane-check: %s started directly fails, naming its process" % ident, (pid, status,
                                                                                             failures(text)))
    key = "Software\\Classes\\Tolvane.%s\\shell\\open\\command" % ident
    HOST.run(["reg", "add", package.root + "\\" + key, "/ve", "/d", '"%s" --new-window %%1' % target, "/f",
              "/reg:64"], package.log)
    status, text = run_check(program)
    check(status == 1 and any("changed: %s\\%s" % (package.root, key) in line for line in failures(text)),
          case + ": tolvane-check: a ProgID's command changed by hand fails, naming the key", (status, failures(text)))
    if windows_only:
        return
    folder = os.path.join(package.ws.dir, "Prüfung Ω")
    os.makedirs(folder, exist_ok=True)
    for name in ("tolvane-check.exe", "tolvane.exe"):
        shutil.copy(os.path.join(package.ws.build, name), folder)
    status, text = run_check(os.path.join(folder, "tolvane-check.exe"))
    check(HOST.path(os.path.join(folder, "tolvane.exe")) in text and not failures(text, "The launch"),
          case + ": tolvane-check in a non-ASCII folder: UTF-8, the launch checked out", failures(text) or text[:200])
    os.remove(os.path.join(folder, "tolvane.exe"))
    status, text = run_check(os.path.join(folder, "tolvane-check.exe"))
    check(status == 2 and "could not check: no tolvane.exe at %s" % HOST.path(os.path.join(folder, "tolvane.exe"))
          in text, case + ": tolvane-check without tolvane.exe: 2, and why", (status, text))


def shortcut_arguments(path):
    """The arguments a shell link (.lnk) hands its target: after its header,
    its item list and link information, where present, the fourth of its
    counted strings (name, relative path, working directory, arguments)."""
    with open(path, "rb") as f:
        data = f.read()
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = 0x4C + (2 + struct.unpack_from("<H", data, 0x4C)[0] if flags & 0x1 else 0)
    at += struct.unpack_from("<I", data, at)[0] if flags & 0x2 else 0
    width = 2 if flags & 0x80 else 1
    for bit in (0x4, 0x8, 0x10, 0x20):
        if flags & bit:
            count = struct.unpack_from("<H", data, at)[0]
            text = data[at + 2:at + 2 + count * width].decode("utf-16-le" if width == 2 else "latin-1").rstrip("\0")
            at += 2 + count * width
            if bit == 0x20:
                return text
    return None


def test_following(package, case, windows_only):
    """Installed with ADDLOCAL=ALL, the package writes nothing of a target
    that is not there (Firefox under Wine; natively Thunderbird, which the
    runners lack); run again as it is, it adds the entries of that target
    found since (under Program Files; not where it lies outside, and the log
    says why) and takes them away once the target is gone."""
    ident = "Thunderbird" if HOST.native else "Firefox"
    keys = ["Software\\Classes\\Tolvane." + ident, "Software\\Clients\\%s\\Tolvane.%s" % (CLIENTS[ident][0], ident)]
    keys += ["Software\\Policies\\Mozilla\\Firefox"] if ident == "Firefox" else []
    package.remove_earlier()

    def run(*arguments):
        status = package.msiexec("/i", HOST.path(package.package), "/qn", *arguments)
        with open(os.path.join(package.ws.dir, "msiexec-%s-%d.log" % (package.label, package.runs)), "rb") as f:
            raw = f.read()
        logged = raw.decode("utf-16" if raw[:2] == b"\xff\xfe" else "latin-1", "replace")
        why = re.search(r"TOLVANE_NOT_OFFERED_%s[^\r\n]*" % ident.upper(), logged)
        return (status, [key for key in keys if registry_tree(package.root + "\\" + key, "64")],
                why and why.group(0))

    seen = run("ADDLOCAL=ALL")
    check(seen == (0, [], None), case + ": %s not there: ADDLOCAL=ALL writes nothing of it" % ident, seen)
    _, undo = register_targets(package, windows_only, {ident}, "C:\\Tools")
    seen = run()
    check(seen[:2] == (0, []) and "outside both Program Files folders" in (seen[2] or ""),
          case + ": %s outside Program Files: not offered, and the log says why" % ident, seen)
    HOST.run(["reg", "import", HOST.path(undo), "/reg:64"], package.log)
    _, undo = register_targets(package, windows_only, {ident})
    seen = run()
    check(seen[:2] == (0, keys), case + ": %s found since: the package run again adds its entries" % ident, seen)
    HOST.run(["reg", "import", HOST.path(undo), "/reg:64"], package.log)
    seen = run()
    if HOST.native:
        check(seen[:2] == (0, []), case + ": %s gone: the package run again takes its entries away" % ident, seen)
    else:
        print("skip: %s: %s gone, its entries taken away: only Windows shows it: Wine's msiexec leaves a "
              "component whose condition turned false on a reinstall" % (case, ident))
    status = package.msiexec("/x", HOST.path(package.package), "/qn")
    check(status == 0 and not package.entries(), case + ": uninstalled", (status, package.entries()))
