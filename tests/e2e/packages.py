"""The install group: each package installed with msiexec, used through
its Explorer entry, upgraded and removed; PATH; the refusals; 1.3.0's
uninstall.cmd. Its links cases are in links.py."""
import os
import re
import shutil
import subprocess
import sys

from common import (ROOT, REPORT_WAIT_SECONDS, check, record, this_runs, wait_for, HOST, read_report, first,
    CLASS_KEY, run_launcher, caller_report, groups_of, privileges_of, registry_tree, ADMINISTRATORS,
    STANDARD_USER_PRIVILEGES)
import links

VERB_KEY = "HKCU\\" + CLASS_KEY + "\\shell\\Tolvane"
OTHER_VERB_KEY = "HKCU\\" + CLASS_KEY + "\\shell\\SomeoneElse"
# The types of file the verb is on: programs, batch files, command scripts.
FILE_TYPES = ["exefile", "batfile", "cmdfile"]
# Arguments as Explorer hands on a shortcut's, after the file: the command
# takes them as %*, and they must reach the program byte for byte.
SHORTCUT_ARGUMENTS = '--profile-directory=Work "a b"  c:\\x\\ ;,='
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
ENVIRONMENT_KEYS = {"user": "HKCU\\Environment",
                    "machine": "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"}
WINE_SHELL = ("Wine's shell ignores per-user verbs (its HKEY_CLASSES_ROOT lacks HKEY_CURRENT_USER's classes), "
              "hands a verb no parameters, and leaves a removed PATH entry's ';'")
X86_REFUSAL = "Installed OR NOT VersionNT64 OR (NOT Msix64 AND TOLVANE_WINDOWS_BUILD < 22000)"
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
    ("per machine, x64, REMOVE=ExplorerEntry: all but the Explorer entry", "x64", "machine", "no-entry", None),
    ("per user, x64: an upgrade of an install without the Explorer entry stays without it", "x64", "user",
     "upgrade-no-entry", "Wine's MigrateFeatureStates brings back a feature the older version left out"),
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
    ("per machine, x64, ADDLOCAL=ALL: a browser's entries follow it as the package runs again", "x64", "machine",
     "following", None),
    ("per user, x64: a browser whose own command is unguarded not offered; links start the targets not "
     "elevated", "x64", "user", "links", "Wine's AppSearch cuts a registry string at its second quote, so "
     "no target's own command can be read there; and Wine counts every token as elevated"),
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
        if what in ("links", "following"):
            (links.test_links if what == "links" else links.test_following)(package, name, windows_only is not None)
            continue
        reason = HOST.cannot_run("i686") if arch == "x86" else None
        if arch == "x86" and HOST.native:
            reason = "the hosted runners are 64-bit x64 Windows, which the x86 package refuses"
        if reason is not None:
            print("skip: %s: %s, and the package installs the i686 image" % (name, reason))
            continue
        package.test(name, what, windows_only is not None)


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

    def test(self, case, what, windows_only):
        """Installs the package (`what`: "use", or a choice of features:
        "program-only" with ADDLOCAL=Tolvane, "no-entry" with
        REMOVE=ExplorerEntry, "upgrade-no-entry" over an older version so
        installed), checks what it put where, uses it, removes it."""
        program_only = what == "program-only"
        entry = what == "use"
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
        if self.user and entry:
            self.install_cmd_was_here()
        if os.path.exists(self.old_package) and what in ("use", "upgrade-no-entry"):
            check(self.msiexec("/i", HOST.path(self.old_package), "/qn", *(["REMOVE=ExplorerEntry"] if not entry
                                                                           else [])) == 0,
                  case + ": an older version installs silently", self.old_package)
            versions = sorted(v.get("DisplayVersion") for v in self.entries().values())
            check(versions == [OLD_VERSION], case + ": the older version is in Apps & features", versions)
        status = self.msiexec("/i", HOST.path(self.package), "/qn", *{"program-only": ["ADDLOCAL=Tolvane"],
                                                                     "no-entry": ["REMOVE=ExplorerEntry"]}.get(what, []))
        check(status == 0, case + ": msiexec /i ... /qn", status)
        if HOST.native and entry:
            # The whole check as the runner's token (elevated, or not in the
            # unelevated run) reads it on Windows: printed first.
            seen = links.run_check(HOST.local(self.folder + "\\tolvane-check.exe"))
            record(case + ": tolvane-check", seen)
            check(seen[0] in (0, 1) and not links.failures(seen[1], "The launch"),
                  case + ": tolvane-check: the launch as promised", links.failures(seen[1]))
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
            expected = (None, None, None) if not entry else (
                "Run without administrator rights", verb_command(self.image), ["(Default)"])
            if what == "upgrade-no-entry":
                record(case + ": the %s verb after the upgrade" % file_type, (label, command))
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

        if os.path.exists(self.old_package) and entry:
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
