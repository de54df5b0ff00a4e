"""The token and object groups: the started program's token read back
against its caller's, in both forms, its own process and thread, and
objects that only Administrators may open."""
import os
import subprocess

from common import (REPORT_WAIT_SECONDS, check, record, this_runs, wait_for, HOST, read_lines, read_report,
    first, run_launcher, caller_report, groups_of, privileges_of, ADMINISTRATORS, LIMITED,
    STANDARD_USER_PRIVILEGES, MEDIUM_INTEGRITY, harness_report, level_of)

def default_dacl_of(report):
    return [tuple(rest.split(" ")[:3]) for key, rest in report if key == "dacl-entry"]


# The default DACL Windows gives a full administrator's token, which Wine's
# tokens do not have: the harness gives it to its own before it starts.
ADMINISTRATOR_DEFAULT_DACL = {"TOLVANE_HARNESS_DEFAULT_DACL": "D:(A;;GA;;;BA)(A;;GA;;;SY)"}
GENERIC_ALL = "0x10000000"

ADMINISTRATOR_DACL = [("allowed", GENERIC_ALL, ADMINISTRATORS), ("allowed", GENERIC_ALL, "S-1-5-18")]
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


def administrators_equivalent(sid):
    """Whether Windows counts the group as an administrators' equal, by the
    whole shape of its SID."""
    parts = sid.split("-")
    builtin = {544, 547, 548, 549, 550, 551, 553, 554, 556, 569}
    domain = {498, 512, 516, 517, 518, 519, 520, 521}
    return (sid == "S-1-5-114" or
            (len(parts) == 5 and parts[:4] == ["S", "1", "5", "32"] and int(parts[4]) in builtin) or
            (len(parts) == 8 and parts[:4] == ["S", "1", "5", "21"] and int(parts[7]) in domain))


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
    to run code in it (its process for PROCESS_VM_WRITE |
    PROCESS_CREATE_THREAD, its first thread for THREAD_SET_CONTEXT), nor to
    end or stop it (PROCESS_TERMINATE, THREAD_SUSPEND_RESUME)."""
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
    # To end or stop it: refused by no execute up where Windows maps these
    # rights as execute ones, as published tables say.
    seen = (first(prober, "open-process-terminate"), first(prober, "open-thread-suspend"))
    record(case + ": PROCESS_TERMINATE, THREAD_SUSPEND_RESUME", seen)
    check(seen == ("error 5", "error 5"), case + ": ending or stopping it refused (5)", seen)
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
            check(first(child, key) == "S-1-16-%s 0x7" % expected_level,
                  case + ": " + key + " its level, NW | NR | NX", first(child, key))
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
