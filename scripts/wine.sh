# Sourced, with $root set, by the scripts that run natchat.exe: one Wine prefix in build-win/ and
# one wineserver for the whole run. Left to itself the server ends a few seconds after its last
# client, and a program started just then fails to connect to it. Wine's own services start with
# the first client and live as long as the server; started here, they hold no caller's output
# open. The caller ends the server (`wineserver -k`) when it is done.
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$root/build-win/wineprefix}
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null
wineboot --init >/dev/null 2>&1 </dev/null
