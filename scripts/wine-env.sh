# Sourced by the scripts that run Wine (after they set $here to the project
# root): the project's prefix, Wine's two loaders, and what the host can run.
#
# The loaders are called directly, never through Debian's `wine` wrapper:
# the wrapper starts the 32-bit loader whenever wine32 is installed, and that
# loader fails with "Exec format error" on a host that executes 64-bit code
# only. One win64 prefix serves both images: 64-bit programs and Wine's own
# tools go through WINE64, 32-bit programs through WINE32.
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
export WINEPREFIX="${TOLVANE_WINEPREFIX:-$here/build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="

# What the host examination found, kept beside the prefix for the run.
HOST_FILE="$WINEPREFIX.host"

# Finds out whether this host can execute 32-bit x86 programs and writes
# the finding to HOST_FILE: "i386 yes", or "i386 no" and the reason on the
# next line. TOLVANE_ASSUME_NO_I386=1 takes the no path on any host.
examine_host() {
    mkdir -p "$(dirname "$HOST_FILE")"
    if [ "${TOLVANE_ASSUME_NO_I386:-}" = 1 ]; then
        why="TOLVANE_ASSUME_NO_I386=1 treats this host as one that cannot execute 32-bit x86 programs"
    elif [ ! -x "$WINE32" ]; then
        why="this host has no 32-bit Wine loader ($WINE32: wine32:i386 is not installed; as root, scripts/install-deps.sh installs it)"
    elif ! seen=$(loader_version "$WINE32"); then
        why="this host cannot execute 32-bit x86 programs ($WINE32 --version: $seen)"
    else
        printf 'i386 yes\n' >"$HOST_FILE"
        return 0
    fi
    printf 'i386 no\n%s, so the i686 image was built and checked statically and its runs were skipped\n' \
        "$why" >"$HOST_FILE"
}

# Runs a loader's --version and prints its first line, or the system's own
# words when the program cannot be executed at all. Through Python, because
# the shell (and execvp) would hand a file the kernel refuses with "Exec
# format error" to /bin/sh as a script instead of saying so.
loader_version() {
    /usr/bin/python3 -c '
import subprocess, sys
try:
    done = subprocess.run([sys.argv[1], "--version"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, errors="replace", timeout=60)
except (OSError, subprocess.TimeoutExpired) as error:
    print(getattr(error, "strerror", None) or error)
    sys.exit(1)
print(((done.stdout + done.stderr).strip().splitlines() or ["exit status %d" % done.returncode])[0])
sys.exit(done.returncode)' "$1" 2>&1
}

# Succeeds when 32-bit x86 programs run here; otherwise prints why and fails.
host_runs_i386() {
    [ -f "$HOST_FILE" ] || examine_host
    [ "$(head -n 1 "$HOST_FILE")" = "i386 yes" ] && return 0
    sed -n 2p "$HOST_FILE" >&2
    return 1
}

# The machine field of a Windows image's file header, in hex (14c for i386,
# 8664 for x86_64), or nothing when the file is not one.
pe_machine() {
    [ -f "$1" ] && [ "$(head -c 2 "$1")" = MZ ] || return 0
    header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$header" ] || return 0
    od -An -tx2 -j$((header + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}
