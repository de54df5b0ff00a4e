# Sourced by the scripts: the Windows name Wine gives a Unix path (its Z:
# drive is the Unix root), without starting Wine to ask.
winpath() {
    case "$1" in
        /*) printf 'Z:%s' "$1" | tr / '\\' ;;
        *) printf 'Z:%s/%s' "$(pwd)" "$1" | tr / '\\' ;;
    esac
}
