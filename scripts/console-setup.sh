#!/usr/bin/env bash
# Lays out a demo server for the web console in DEMO_DIR: registry file, server home (nvlscan.ini,
# Web/html templates, TEMP, Log), the console's pages and static files, and lighttpd.conf.
# A second run keeps the configuration and the password, and refreshes pages and files.
#
# Usage: scripts/console-setup.sh DEMO_DIR BUILD_DIR PORT LANGUAGE(en|ja)
# Environment: CONSOLE_PASSWORD   the administrator's password for a new demo (default: random,
#                                 printed once)
#              CONSOLE_EXPIRE     Cookie_Expire_Period in minutes for a new demo (default 30)
set -euo pipefail
demo=${1:?demo directory}
build=${2:?build directory}
port=${3:?port}
lang=${4:-en}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
build=$(cd "$build" && pwd)
case "$lang" in
    en) acp=1252 ;;
    ja) acp=932 ;;
    *) echo "console-setup: language must be en or ja" >&2; exit 2 ;;
esac

mkdir -p "$demo"/{etc,run,logs,home/TEMP,home/Log,home/Web/html,www}
export NVL_REGISTRY="$demo/etc/registry.reg" NVL_RUNTIME_DIR="$demo/run"
reg="$build/tools/nvlreg/nvl-reg"
"$reg" set 'HKLM\SOFTWARE\HaldenLabs\Norvel\service\Information' Local_Path sz "$demo/home/"
"$reg" set 'HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage' ACP sz "$acp"

ini="$demo/home/nvlscan.ini"
new_demo=0
if [[ ! -f "$ini" ]]; then
    new_demo=1
    cat >"$ini" <<INI
[INI_SERVER_SECTION]
Master_URL=/norvel/
Master_DomainPort=$port
Cookie_Expire_Period=${CONSOLE_EXPIRE:-30}
MaxUploadSize=64

[INI_HELP_FILE_SECTION]
help_virtual_path=html/help/
home=home.htm

[INI_CONSOLE_SECTION]
Admin_User=admin
INI
fi

# Pages, static files, the resource library of the chosen language, templates.
rm -rf "$demo/www/norvel"
cp -r "$root/console/htdocs/norvel" "$demo/www/norvel"
cp "$root/console/htdocs/favicon.ico" "$demo/www/favicon.ico"
mkdir -p "$demo/www/norvel/cgi"
cp "$build"/console/cgi/*.cgi "$demo/www/norvel/cgi/"
cp "$build/standins/cgires/$lang/CGIRes.so" "$demo/www/norvel/cgi/CGIRes.so"
if [[ "$lang" == ja ]]; then
    iconv -f UTF-8 -t CP932 "$root/console/templates/ja/timeout.htm" >"$demo/home/Web/html/timeout.htm"
else
    cp "$root/console/templates/en/timeout.htm" "$demo/home/Web/html/timeout.htm"
fi

if ! grep -q '^Admin_Password_Hash=' "$ini"; then
    password=${CONSOLE_PASSWORD:-$(head -c 12 /dev/urandom | base64 | tr -d '/+=' | head -c 12)}
    printf '%s\n' "$password" | "$build/console/nvl-passwd"
    if [[ -z "${CONSOLE_PASSWORD:-}" ]]; then
        echo "Console administrator: user 'admin', password '$password' (shown only this once;"
        echo "remove $demo to start over)."
    fi
fi

sed -e "s|@WWW@|$demo/www|g" -e "s|@PORT@|$port|g" -e "s|@DEMO@|$demo|g" \
    "$root/console/lighttpd.conf.in" >"$demo/lighttpd.conf"
[[ $new_demo -eq 1 ]] && echo "console-setup: new demo server in $demo"
exit 0
