"""Links, web pages and mail opened by other programs: the rows scripts/dist
adds to each package so that the browsers and the mail program found on the
machine each get a registered application of Tolvane's own,
"<Target> without administrator rights", which the person picks in
Settings > Default apps (or an administrator in a default associations file).

For each target found, as it registers itself (App Paths for its program,
in HKCU and then HKLM per user, in HKLM per machine; its own ProgID's
command where that has a fixed name), the package writes, in the package's
root (HKCU or HKLM), under a feature of the target's name:

  Software\\Classes\\Tolvane.<Id>             the ProgID: its name, DefaultIcon,
                                            Application (name, icon) and
                                            shell\\open\\command, Tolvane with
                                            /limited /errorbox /single, the
                                            target's program and the target's
                                            own guarded tail
  Software\\Clients\\StartMenuInternet\\Tolvane.<Id>
  (Software\\Clients\\Mail\\Tolvane.<Id> for mail)
                                            as the browsers and the mail
                                            program register themselves: its
                                            name, DefaultIcon, shell\\open\\
                                            command (Tolvane with /limited
                                            /errorbox /single, the target's
                                            program, the target's own start
                                            arguments), and Capabilities:
                                            ApplicationName, -Description,
                                            -Icon, URLAssociations and
                                            FileAssociations to the ProgID,
                                            StartMenu
  Software\\RegisteredApplications            "<Target> without administrator
                                            rights" = that Capabilities key
  Software\\Classes\\.htm, .html (and .pdf)   the ProgID in OpenWithProgids
  the Start menu                            a shortcut of the same name

A target is offered only where a crafted link stays one argument: its
program is a version that has the guard (its file version, read by
Windows Installer's AppSearch), its own command, where the package can read
it by name, has that guarded form, and per machine its program lies under
a Program Files folder. Otherwise a property named TOLVANE_NOT_OFFERED_<ID>
says in the install log which and why, and nothing of it is written: its
feature is installed as any other (an administrator may leave it out), but
each of its components has the condition that the target be offered, and
is transitive, so that running the package again (which reinstalls it, see
scripts/dist) adds the entries of a target found since and takes away
those of a target gone.
Nothing here writes the targets' own keys or UserChoice.

A feature of its own, BrowserPolicies, turns off what would start a target
offered without Tolvane, or point links back at it, where the vendor
documents a policy for it (POLICIES): in Software\\Policies of the package's
root, and per user Windows' restart at sign-in of the apps that were open.
A value that was there before Tolvane is left as it is; each one Tolvane
writes is noted under Software\\Tolvane\\Policies, so that an upgrade keeps
it and removal takes away that one alone. Per user the feature needs an
install that may write Software\\Policies (elevated); otherwise it is left
out and TOLVANE_POLICIES_LEFT_OUT says why in the log.
"""

# id, name, program, the ProgID read by name (None: its name carries a
# per-install suffix), the condition its command must meet, the tail of
# Tolvane's command, the first version with that guard, URL schemes, file
# types, and whether .pdf may be asked for (TOLVANE_PDF=1).
TARGETS = [
    ("Edge", "Microsoft Edge", "msedge.exe", "MSEdgeHTM", '~>> " --single-argument %1"',
     "--single-argument %1", "100.0", ("http", "https"), (".htm", ".html"), True),
    ("Chrome", "Google Chrome", "chrome.exe", "ChromeHTML", '~>> " --single-argument %1"',
     "--single-argument %1", "100.0", ("http", "https"), (".htm", ".html"), True),
    ("Firefox", "Mozilla Firefox", "firefox.exe", None, None,
     '-osint -url "%1"', "102.0", ("http", "https"), (".htm", ".html"), True),
    ("Thunderbird", "Mozilla Thunderbird", "thunderbird.exe", "Thunderbird.Url.mailto",
     '~>< " -osint -compose "', '-osint -compose "%1"', "102.0", ("mailto",), (), False),
]

# What BrowserPolicies turns off for each target offered: the target, its
# vendor's key under Software\\Policies, the value's name and what it is set
# to. Thunderbird's check for being the default mail program is a
# preference, with no policy of its own.
POLICIES = [
    ("Edge", "Microsoft\\Edge", "StartupBoostEnabled", 0),
    ("Edge", "Microsoft\\Edge", "BackgroundModeEnabled", 0),
    ("Edge", "Microsoft\\Edge", "DefaultBrowserSettingEnabled", 0),
    ("Chrome", "Google\\Chrome", "BackgroundModeEnabled", 0),
    ("Chrome", "Google\\Chrome", "DefaultBrowserSettingEnabled", 0),
    ("Firefox", "Mozilla\\Firefox", "DontCheckDefaultBrowser", 1),
    ("Firefox", "Mozilla\\Firefox", "DisableDefaultBrowserAgent", 1),
]
# Per user, for any target offered: "Automatically save my restartable apps
# and restart them when I sign back in", off.
RESTART_APPS = ("Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "RestartApps", 0)
POLICY_NOTES = "Software\\Tolvane\\Policies"
# Where each target registers as a client of its kind, and what starts it
# from there: browsers under StartMenuInternet, the mail program under Mail.
CLIENTS = {"Thunderbird": ("Mail", "-mail")}
BROWSER = ("StartMenuInternet", "")

# Whose page of Default apps opens after an install a person started: the
# first found.
SETTINGS_ORDER = ("Chrome", "Firefox", "Edge", "Thunderbird")
APP_PATHS = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\"
# The export header of each table these rows go to that wixl may leave out.
SCHEMAS = {}
# RegLocator types: a file whose version the Signature checks, and a raw
# value; both in the 64-bit view where there is one.
FILE, RAW = 1 | 16, 2 | 16


def display_name(name):
    return name + " without administrator rights"


def settings_link(name, scope):
    """Settings > Default apps, on the registered application's page where
    Windows has one for it (Windows 11, 2023 and later)."""
    return "ms-settings:defaultapps?registered%s=%s" % ("AppUser" if scope == "perUser" else "AppMachine",
                                                        display_name(name).replace(" ", "%20"))


def rows(scope, arch, code):
    """{table: [row, ...]} for a package of `scope` (perMachine or perUser)
    and `arch`; `code(name)` derives a component's GUID. A row is a tuple,
    None for a null field."""
    user = scope == "perUser"
    root = 1 if user else 2
    # A registry key path; transitive, so that a reinstall evaluates its
    # condition again; 64-bit.
    component_bits = 4 | 64 | (256 if arch == "x64" else 0)
    out = {table: [] for table in ("Signature", "RegLocator", "AppSearch", "CustomAction", "InstallExecuteSequence",
                                   "InstallUISequence", "Feature", "Component", "FeatureComponents", "Registry",
                                   "Shortcut", "Directory")}
    out["Directory"].append(("ProgramMenuFolder", "TARGETDIR", "."))
    for sequence in ("InstallExecuteSequence", "InstallUISequence"):
        out[sequence] += [("AppSearch", None, 50)]
    out["InstallExecuteSequence"] += [("RemoveShortcuts", None, 3200), ("CreateShortcuts", None, 4500)]
    step = 51
    hives = (("M", 2), ("U", 1)) if user else (("M", 2),)

    def action(name, target, value, condition):
        """A property set when `condition` holds, in both sequences, in order,
        between AppSearch (50) and LaunchConditions (100)."""
        nonlocal step
        assert step < 100, "too many actions before LaunchConditions"
        out["CustomAction"].append((name, 51, target, value, None))
        for sequence in ("InstallExecuteSequence", "InstallUISequence"):
            out[sequence].append((name, condition, step))
        step += 1

    for ident, name, program, progid, command_rule, tail, version, schemes, types, pdf in TARGETS:
        big = ident.upper()
        # What AppSearch finds: the program (of a version that has the guard),
        # any program of that name, and the target's own command; per user
        # HKCU's after HKLM's, so that the user's own wins.
        for hive, hive_root in hives:
            out["Signature"].append((ident + "Exe" + hive, program, version, None, None, None, None, None, None))
            found = [("EXE", APP_PATHS + program, FILE, "Exe"), ("PATH", APP_PATHS + program, RAW, "Path")]
            if progid:
                found.append(("CMD", "Software\\Classes\\%s\\shell\\open\\command" % progid, RAW, "Cmd"))
            for what, key, kind, suffix in found:
                out["RegLocator"].append((ident + suffix + hive, hive_root, key, None, kind))
                out["AppSearch"].append(("%s_%s_%s" % (big, what, hive), ident + suffix + hive))
        for what in ("EXE", "PATH", "CMD") if progid else ("EXE", "PATH"):
            for hive, _ in hives:
                prop = "%s_%s_%s" % (big, what, hive)
                action("Take%s%s%s" % (ident, what.title(), hive), "%s_%s" % (big, what), "[%s]" % prop, prop)

        # Offered where the program has the guard and, per machine, lies in
        # a Program Files folder; where its own command can be read, that
        # has the same form. Wine's AppSearch cuts a raw string at its second
        # quote, which leaves of any command a quote and the program alone:
        # that is taken for a command it could not read.
        exe, cmd = big + "_EXE", big + "_CMD"
        action("Quote" + ident, big + "_QUOTED", '"[%s]' % exe, exe)
        place = None if user else ("((ProgramFiles64Folder AND %s ~<< ProgramFiles64Folder) OR "
                                   "(ProgramFilesFolder AND %s ~<< ProgramFilesFolder))" % (exe, exe))
        own = progid and "(NOT %s OR %s %s OR %s = %s_QUOTED)" % (cmd, cmd, command_rule, cmd, big)
        action("Offer" + ident, big + "_OFFERED", "1", " AND ".join(filter(None, (exe, place, own))))
        why = "TOLVANE_NOT_OFFERED_" + big
        action("Older" + ident, why, "%s: [%s_PATH] is no %s of version %s or later, which the guard needs"
               % (name, big, program, version), "%s_PATH AND NOT %s" % (big, exe))
        if progid:
            action("Unguarded" + ident, why, "%s: its own command [%s] is not of the guarded form %s"
                   % (name, cmd, tail), "%s AND NOT %s" % (exe, own))
        if not user:
            action("Outside" + ident, why, "%s: [%s] lies outside both Program Files folders" % (name, exe),
                   "%s AND NOT %s" % (exe, place))

        # Its feature; its components only where it is offered.
        title = display_name(name)
        out["Feature"].append((ident, None, title, "Links and files opened by other programs go to %s, "
                               "without administrator rights" % name, 20 + 2 * len(out["Feature"]), 1,
                               "INSTALLFOLDER", 0))
        progid_key = "Software\\Classes\\Tolvane." + ident
        icon = "[%s],0" % exe
        kind, start = CLIENTS.get(ident, BROWSER)
        client = "Software\\Clients\\%s\\Tolvane.%s" % (kind, ident)
        capabilities = client + "\\Capabilities"
        starts = '"[INSTALLFOLDER]tolvane.exe" /limited /errorbox /single "[%s]"' % exe
        registry = [
            ("ProgId", progid_key, None, title),
            ("ProgIdIcon", progid_key + "\\DefaultIcon", None, icon),
            ("ProgIdAppName", progid_key + "\\Application", "ApplicationName", title),
            ("ProgIdAppIcon", progid_key + "\\Application", "ApplicationIcon", icon),
            ("ProgIdCommand", progid_key + "\\shell\\open\\command", None,
             '"[INSTALLFOLDER]tolvane.exe" /limited /errorbox /single "[%s]" %s' % (exe, tail)),
            ("ProgIdRemove", progid_key, "-", None),
            ("Client", client, None, title),
            ("ClientIcon", client + "\\DefaultIcon", None, icon),
            ("ClientCommand", client + "\\shell\\open\\command", None, (starts + " " + start).rstrip()),
            ("ClientRemove", client, "-", None),
            ("CapName", capabilities, "ApplicationName", title),
            ("CapDescription", capabilities, "ApplicationDescription",
             "Opens what other programs hand %s in it, without administrator rights." % name),
            ("CapIcon", capabilities, "ApplicationIcon", icon),
            ("CapStartMenu", capabilities + "\\StartMenu", kind, "Tolvane." + ident),
            ("Registered", "Software\\RegisteredApplications", title, capabilities),
        ]
        registry += [("Url" + scheme, capabilities + "\\URLAssociations", scheme, "Tolvane." + ident)
                     for scheme in schemes]
        registry += [("File" + extension, capabilities + "\\FileAssociations", extension, "Tolvane." + ident)
                     for extension in types]
        registry += [("OpenWith" + extension, "Software\\Classes\\%s\\OpenWithProgids" % extension,
                      "Tolvane." + ident, None) for extension in types]
        component = ident + "Links"
        out["Component"].append((component, code("component links %s" % ident), "INSTALLFOLDER", component_bits,
                                 big + "_OFFERED", ident + "ProgId"))
        out["FeatureComponents"].append((ident, component))
        out["Registry"] += [(ident + row, root, key, value_name, value, component)
                            for row, key, value_name, value in registry]
        out["Shortcut"].append((ident + "Shortcut", "ProgramMenuFolder", "TV%s|%s" % (ident[:6].upper(), title),
                                component, "[INSTALLFOLDER]tolvane.exe", starts.split(" ", 1)[1],
                                "Starts %s without administrator rights" % name, None, None, None, None, None,
                                None, None, None, None))
        if pdf:
            # .pdf only where asked for, with TOLVANE_PDF=1.
            pdf_component = ident + "Pdf"
            out["Component"].append((pdf_component, code("component pdf %s" % ident), "INSTALLFOLDER",
                                     component_bits, "%s_OFFERED AND TOLVANE_PDF" % big, ident + "FilePdf"))
            out["FeatureComponents"].append((ident, pdf_component))
            out["Registry"] += [
                (ident + "FilePdf", root, capabilities + "\\FileAssociations", ".pdf", "Tolvane." + ident,
                 pdf_component),
                (ident + "OpenWithPdf", root, "Software\\Classes\\.pdf\\OpenWithProgids", "Tolvane." + ident, None,
                 pdf_component)]

    # The policies: each value a component of its own, its note the key
    # path, installed where its target is offered and the value is not
    # there, or was written by Tolvane.
    offered = "(%s)" % " OR ".join("%s_OFFERED" % target[0].upper() for target in TARGETS)
    out["Feature"].append(("BrowserPolicies", None, "Browsers started only through Tolvane",
                           "Turns off what starts the browsers found without Tolvane: Startup Boost, running in the "
                           "background, their offers to become the default" + (", and Windows' restart of apps "
                           "at sign-in" if user else ""), 40, 1, "INSTALLFOLDER", 0))
    if user:
        action("PoliciesLeftOut", "TOLVANE_POLICIES_LEFT_OUT", "BrowserPolicies left out: this install is not "
               "elevated, and only an administrator may write HKCU\\Software\\Policies", "NOT Privileged")
    values = [(ident, "Software\\Policies\\" + key, name, data) for ident, key, name, data in POLICIES]
    if user:
        values.append((None,) + RESTART_APPS)
    for ident, key, name, data in values:
        part = "%s%s" % (ident or "", name)
        note = "%s\\%s" % (key, name)
        for what, locator_key, locator_name in (("POLICY", key, name), ("NOTED", POLICY_NOTES, note)):
            out["RegLocator"].append((what.title() + part, root, locator_key, locator_name, RAW))
            out["AppSearch"].append(("TOLVANE_%s_%s" % (what, part.upper()), what.title() + part))
        component = "Policy" + part
        out["Component"].append((component, code("component policy %s" % part), "INSTALLFOLDER", component_bits,
                                 "%s AND (NOT TOLVANE_POLICY_%s OR TOLVANE_NOTED_%s)%s"
                                 % ("%s_OFFERED" % ident.upper() if ident else offered, part.upper(), part.upper(),
                                    " AND Privileged" if user else ""),
                                 "Note" + part))
        out["FeatureComponents"].append(("BrowserPolicies", component))
        out["Registry"] += [("Value" + part, root, key, name, "#%d" % data, component),
                            ("Note" + part, root, POLICY_NOTES, note, "#%d" % data, component)]

    # After an install a person started (a double click: full UI), they see
    # it done: Settings opens on Default apps, on the page of the first
    # target offered in SETTINGS_ORDER; where there is none, Tolvane's help
    # box comes up. Both run as the person, after the install itself.
    for ident in reversed(SETTINGS_ORDER):
        name = next(target[1] for target in TARGETS if target[0] == ident)
        action("Settings" + ident, "TOLVANE_SETTINGS", settings_link(name, scope), ident.upper() + "_OFFERED")
    out["Directory"].append(("WindowsFolder", "TARGETDIR", "."))
    after_install = "UILevel = 5 AND NOT Installed"
    out["CustomAction"] += [("OpenDefaultApps", 34 | 64 | 128, "WindowsFolder",
                             '"[WindowsFolder]explorer.exe" "[TOLVANE_SETTINGS]"', None),
                            ("ShowHelp", 34 | 64 | 128, "INSTALLFOLDER", '"[INSTALLFOLDER]tolvane.exe" /?', None)]
    out["InstallUISequence"] += [("OpenDefaultApps", after_install + " AND TOLVANE_SETTINGS", 1400),
                                 ("ShowHelp", after_install + " AND NOT TOLVANE_SETTINGS", 1401)]
    return out
