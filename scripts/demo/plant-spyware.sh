#!/usr/bin/env bash
# Plants the demo's "spyware" in DIR, afresh each time (so a cleaned demo comes back): harmless
# text files whose names, contents, directories, cookie, hosts line and autostart entry are the
# ones scripts/demo/spyware-pattern.txt names, with clean files beside them that the scan must
# leave alone. One file has a name that is not UTF-8, as file names may be. The registry value of
# the pattern's registry signature is the caller's to set (it lives in the server's registry).
#
# DIR is removed first only when it holds the README this script writes, so a mistyped path is
# never emptied.
#
# Usage: scripts/demo/plant-spyware.sh DIR
set -euo pipefail
dir=${1:?directory}
marker="Harmless files planted by the Norvel console demo."
if [[ -e "$dir" ]]; then
    if [[ ! -f "$dir/README.txt" ]] || [[ "$(head -n 1 "$dir/README.txt")" != "$marker" ]]; then
        echo "plant-spyware: $dir exists and is not the demo's; not touched" >&2
        exit 1
    fi
    rm -rf -- "$dir"
fi
mkdir -p "$dir"/{Downloads,"Program Files/DemoToolbar/skins","Program Files/Editor",Browser} \
         "$dir/Profile/.config/autostart" "$dir/etc"
cat >"$dir/README.txt" <<TEXT
$marker
The demo's spyware pattern (tarskptn.da5 in the server's home) names some of them; the console's
Spyware page scans, backs up, cleans and restores them. Each demo start plants them again.
TEXT
harmless="A harmless demo file; the demo spyware pattern names it."
payload="KEYDEMO-LOGGER-PAYLOAD"

# Scanner 10: a file by its name, two by their content (one with a name that is not UTF-8).
printf '%s\n' "$harmless" >"$dir/Downloads/free-screensaver.exe"
printf 'Report viewer.\n%s\n%s\n' "$harmless" "$payload" >"$dir/Downloads/report-viewer.bin"
printf 'R\xe9sum\xe9 viewer.\n%s\n' "$payload" >"$dir/Downloads/r"$'\xe9'"sum"$'\xe9'"-viewer.scr"
printf 'Shopping list: milk, bread.\n' >"$dir/Downloads/notes.txt"
# Scanner 14: a directory by its name, with a tree inside.
printf '[Toolbar]\nHome=https://demo-network.example/\n' >"$dir/Program Files/DemoToolbar/toolbar.ini"
printf 'blue\n' >"$dir/Program Files/DemoToolbar/skins/blue.txt"
printf 'An editor that is not spyware.\n' >"$dir/Program Files/Editor/editor.txt"
# Scanner 12: one line of a cookie jar.
printf '# Netscape HTTP Cookie File\n.example.org\tTRUE\t/\tFALSE\t0\tsession\tharmless\n.tracker.example\tTRUE\t/\tFALSE\t0\tuid\tdemo-1234\n' \
    >"$dir/Browser/cookies.txt"
# Scanner 13: an autostart entry by its command.
printf '[Desktop Entry]\nType=Application\nName=Demo Updater\nExec=/opt/demo/bin/demo-updater --silent\n' \
    >"$dir/Profile/.config/autostart/demo-updater.desktop"
printf '[Desktop Entry]\nType=Application\nName=Clock\nExec=/usr/bin/clock\n' \
    >"$dir/Profile/.config/autostart/clock.desktop"
# Scanner 18: one line of a hosts file.
printf '127.0.0.1\tlocalhost\n0.0.0.0\tads.demo-network.example\n' >"$dir/etc/hosts"
