# A private Wine prefix for a test script (sourced): 64-bit Wine with a
# prefix of its own in a temporary folder ($work/prefix), removed with
# everything in $work when the script exits, so that no real file or
# registry is touched. start_wine creates and boots the prefix.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
work=$(mktemp -d "${TMPDIR:-/tmp}/vornhall-wine.XXXXXX")
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no installer dialogs for .NET and Gecko

cleanup() {
    "$wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# The Windows path of a file in the work folder.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

start_wine() {
    mkdir -p "$WINEPREFIX"
    "$wineserver" -p
    "$wine" wineboot -i >/dev/null 2>&1
}
