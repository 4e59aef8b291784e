#!/usr/bin/env bash
# Lays out a demo server for the web console in DEMO_DIR: registry file (home directory, code page
# and system locale of the language), server home (nvlscan.ini with component versions, one of
# them with a malformed date, and database table paths; Web/html templates, TEMP, Log), some
# database tables (in DEMO_DIR/db and on the server's drive C, DEMO_DIR/c), patterns, the system
# cleaner and signed tools with the trust roots (DEMO_DIR/etc/trust-roots.pem), the spyware
# engine with its scan command, pattern and planted demo threats, the download packages agents are
# offered with their update manifest (Download/server.ini, made by the library's own hot-fix
# rebuild), newer sample files for the Hot fix page in DEMO_DIR/hotfix, the HTTP loader for the
# Connection test page, the console's pages and static files, and lighttpd.conf.
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
    en) acp=1252 lcid=00000409 ;;
    ja) acp=932 lcid=00000411 ;;
    *) echo "console-setup: language must be en or ja" >&2; exit 2 ;;
esac

mkdir -p "$demo"/{etc,run,logs,home/TEMP,home/Log,home/Web/html,www,db,c/Temp}
export NVL_REGISTRY="$demo/etc/registry.reg" NVL_RUNTIME_DIR="$demo/run"
reg="$build/tools/nvlreg/nvl-reg"
"$reg" set 'HKLM\SOFTWARE\HaldenLabs\Norvel\service\Information' Local_Path sz "$demo/home/"
"$reg" set 'HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage' ACP sz "$acp"
"$reg" set 'HKLM\SYSTEM\CurrentControlSet\Control\Nls\Locale' '' sz "$lcid"

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

[INI_PROGRAM_VERSION_SECTION]
Program_Version=3.1
Program_Last_Update=20061002143000
VdxNT_Version=3.1.1042
VdxNT_Last_Update=20061002143500
EngineNT_Version=8.0
EngineNT_Last_Update=20060831094107
Vdx95_Version=3.1.1042
Vdx95_Last_Update=2006100214350
Engine95_Version=7.510
Engine95_Last_Update=20060715120000
VdxX64_Version=3.1.1042
VdxX64_Last_Update=20070115081500
EngineX64_Version=8.0
EngineX64_Last_Update=20060831094107
CFWEngNT_Version=1.2.1011
CFWEngNT_Last_Update=20061120163010
Pattern_Last_Update=20061211060000

[INI_DBFILE_SECTION]
CIData=$demo/db/dBCIData.dbf

[INI_ROLLBACK_SECTION]
RollBack_Previous_NT_Engine=7.510
RollBack_Previous_WIN95_Engine=7.500

[INI_MAJOR_VIRUS_TYPE_SECTION]
Count=5
Name_001=Virus
1st_Act_001=1
2nd_Act_001=5
Name_002=Worm
1st_Act_002=1
2nd_Act_002=5
Name_003=Trojan
1st_Act_003=5
2nd_Act_003=2
Name_004=Joke
1st_Act_004=4
2nd_Act_004=4
Name_005=Test virus
1st_Act_005=25
2nd_Act_005=25

[Manual Scan Configuration]
DefaultExtList=EXE,.COM,.DLL,.DOC,.XLS,.ZIP

[Real Time Scan Configuration]
DefaultExtList=EXE,.COM,.DLL,.DOC,.XLS,.ZIP

[Prescheduled Scan Configuration]
DefaultExtList=EXE,.COM,.DLL,.DOC,.XLS,.ZIP

[Scan Now Configuration]
DefaultExtList=EXE,.COM,.DLL,.DOC,.XLS,.ZIP
INI
fi
# Some of the database tables: the client table and the one derived beside it, and tables at
# their default places on the server's drive C.
for table in db/dBCIData.dbf db/dBCXData.dbf c/Temp/dBMSCfg.dbf c/Temp/dBMSLog.dbf \
             c/Temp/dBVCLog.dbf; do
    [[ -f "$demo/$table" ]] || : >"$demo/$table"
done

# Patterns: three generations of the virus pattern and a spyware pattern, made by the scan
# engine's own tool, with the major virus types and extension list that the newest holds (the
# list above); engine packages of two platforms with a previous one to roll back to.
pattern="$build/tools/nvlpattern/nvl-pattern"
types=(--type Virus:0:3 --type Worm:0:3 --type Trojan:3:4 --type Joke:2:2
       --type "Test virus:25:25" --extensions '{*;EXE;COM;DLL;DOC;XLS;ZIP}')
mkdir -p "$demo/home/Private" "$demo/home/Download/Rollback"
for generation in 347 348 349; do
    file="$demo/home/sig\$vpf.$generation"
    [[ -f "$file" ]] || "$pattern" write "$file" --internal-version "${generation}00" "${types[@]}"
done
[[ -f "$demo/home/hlaptn.103" ]] ||
    "$pattern" write "$demo/home/hlaptn.103" --internal-version 10300 --type Adware:2:2 \
        --extensions '{*;EXE}'
for package in Download/hlengNT.zip Download/hleng95.zip Download/Rollback/hlengNT.zip \
               Download/Rollback/hleng95.zip; do
    [[ -f "$demo/home/$package" ]] || : >"$demo/home/$package"
done

# The system cleaner in Admin: QXC.EXE 3.10 with the cleaner's appended signature, its
# settings, the cleaner and spyware-cleanup patterns; a publisher-signed tool beside it and a
# tampered one under Download. They are copies of the test executables the build made
# (scripts/make-test-executables.sh), whose trust root becomes the server's trust roots.
executables="$build/fixtures/executables"
if [[ ! -f "$executables/app-3.10.exe" ]]; then
    echo "console-setup: $executables lacks the signed executables; build the default target" >&2
    exit 1
fi
mkdir -p "$demo/home/Admin/Tools" "$demo/home/Download/Tools"
if [[ $new_demo -eq 1 || ! -f "$demo/home/Admin/QXC.EXE" ]]; then
    cp "$executables/app-3.10.exe" "$demo/home/Admin/QXC.EXE"
    cp "$executables/pub-good.exe" "$demo/home/Admin/Tools/HLDIAG.EXE"
    cp "$executables/pub-tamper-code.exe" "$demo/home/Download/Tools/HLFIX.EXE"
    cat >"$demo/home/Admin/QXC.INI" <<INI
[options]
BackupFile=1
BackupDir=backup
VirusMsgbox=0
NoneMsgbox=0

[advanced]
PatternName=qxc.ptn
ReportDir=report
DebugInfoLevel=1
INI
    "$build/tools/nvlcleanerpattern/nvl-cleaner-pattern" write "$demo/home/Admin/qxc.ptn" --version 1207
    "$build/tools/nvlcleanerpattern/nvl-cleaner-pattern" write "$demo/home/Admin/hladce.ptn" \
        --version 415 --lead 3 10
fi
install -m 0644 "$executables/pki/trust-roots.pem" "$demo/etc/trust-roots.pem"

# The spyware scan (when the build has the Spyware page): the engine and the scan command in
# home/Engine, the demo's pattern home/tarskptn.da5 made by the engine's own tool from
# scripts/demo/spyware-pattern.txt, and the harmless planted threats it finds in the scan
# directory home/SpywareDemo (nvlscan.ini [INI_SPYWARE_SECTION] Scan_Directory) and in the
# registry. The planted tree and the registry value are made afresh on every run, so a cleaned
# demo comes back; backup sets and the last report stay.
if [[ -f "$build/console/cgi/spyware.cgi" ]]; then
    engine_files=("$build/standins/tarsk32/tarsk32.so" "$build/tools/nvlspyscan/nvl-spyscan"
                  "$build/standins/tarsk32/tarsk-pattern")
    for file in "${engine_files[@]}"; do
        [[ -x "$file" ]] || { echo "console-setup: $file is missing; build the default target" >&2; exit 1; }
    done
    mkdir -p "$demo/home/Engine"
    install -m 0755 "${engine_files[0]}" "$demo/home/Engine/tarsk32.so"
    install -m 0755 "${engine_files[1]}" "$demo/home/Engine/nvl-spyscan"
    "${engine_files[2]}" build "$root/scripts/demo/spyware-pattern.txt" "$demo/home/tarskptn.da5"
    "$root/scripts/demo/plant-spyware.sh" "$demo/home/SpywareDemo"
    "$reg" set 'HKLM\SOFTWARE\DemoAdware\Run' Updater sz '/opt/demo/bin/demo-updater --silent'
    if ! grep -q '^\[INI_SPYWARE_SECTION\]' "$ini"; then
        printf '\n[INI_SPYWARE_SECTION]\nScan_Directory=%s\n' "$demo/home/SpywareDemo" >>"$ini"
    fi
fi

# Pages, static files, the resource library of the chosen language, templates.
rm -rf "$demo/www/norvel"
cp -r "$root/console/htdocs/norvel" "$demo/www/norvel"
cp "$root/console/htdocs/favicon.ico" "$demo/www/favicon.ico"
mkdir -p "$demo/www/norvel/cgi"
cp "$build"/console/cgi/*.cgi "$demo/www/norvel/cgi/"
cp "$build/standins/cgires/$lang/CGIRes.so" "$demo/www/norvel/cgi/CGIRes.so"
cp "$build/standins/marlin32/MARLIN32.so" "$demo/www/norvel/cgi/MARLIN32.so"
cp "$build/standins/trust/wintrust.so" "$demo/www/norvel/cgi/wintrust.so"
# The zip utility the hot-fix rebuild packs with, and the HTTP loader: the server's library binds
# it from the home's Web/CGI for httpAccess, and by bare name beside the page for the others.
cp "$build/console/cgi/hlu.so" "$demo/www/norvel/cgi/hlu.so"
cp "$build/console/cgi/loadhttp.so" "$demo/www/norvel/cgi/loadhttp.so"
mkdir -p "$demo/home/Web/CGI"
cp "$build/console/cgi/loadhttp.so" "$demo/home/Web/CGI/loadhttp.so"
if [[ "$lang" == ja ]]; then
    iconv -f UTF-8 -t CP932 "$root/console/templates/ja/timeout.htm" >"$demo/home/Web/html/timeout.htm"
else
    cp "$root/console/templates/en/timeout.htm" "$demo/home/Web/html/timeout.htm"
fi

# The packages agents are offered: a source for each component of the hot-fix rebuild (the
# white and black lists and the scan engine's spyware pattern join the patterns above), the
# update manifest, and every package built by the library's own rebuild (nvl-hotfix), which finds
# the zip utility and the scan engine beside the pages. A later run rebuilds only what changed.
for stem in hlwhite hlblack tkaptn; do
    [[ -f "$demo/home/$stem.101" ]] ||
        "$pattern" write "$demo/home/$stem.101" --internal-version 10100 --type "Demo $stem:2:2" \
            --extensions '{*;EXE}'
done
mkdir -p "$demo/home/Download"
[[ -f "$demo/home/Download/server.ini" ]] ||
    printf '[PATTERN]\nVersion=\n\n[ENGINE]\n' >"$demo/home/Download/server.ini"
LD_LIBRARY_PATH="$demo/www/norvel/cgi" "$build/tools/nvlhotfix/nvl-hotfix" >"$demo/logs/packages.log" 2>&1

# Newer files to try on the Hot fix page: a virus pattern, the two cleaner patterns and, with
# the Spyware page, the spyware engine's pattern, each one version ahead of the server's.
mkdir -p "$demo/hotfix"
[[ -f "$demo/hotfix/sig\$vpf.350" ]] ||
    "$pattern" write "$demo/hotfix/sig\$vpf.350" --internal-version 35000 "${types[@]}"
"$build/tools/nvlcleanerpattern/nvl-cleaner-pattern" write "$demo/hotfix/QXC.ptn" --version 1300
"$build/tools/nvlcleanerpattern/nvl-cleaner-pattern" write "$demo/hotfix/HLADCE.ptn" \
    --version 416 --lead 3 10
if [[ -f "$demo/home/tarskptn.da5" ]]; then
    sed 's/^version 1\.204$/version 1.205/' "$root/scripts/demo/spyware-pattern.txt" \
        >"$demo/hotfix/spyware-pattern.txt"
    "$build/standins/tarsk32/tarsk-pattern" build "$demo/hotfix/spyware-pattern.txt" \
        "$demo/hotfix/tarskptn.da5"
    rm -f "$demo/hotfix/spyware-pattern.txt"
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
