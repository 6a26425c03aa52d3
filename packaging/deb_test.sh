#!/usr/bin/env bash
# The Debian package on this machine: lintian on it, then dpkg installs it and each of Apache,
# lighttpd and nginx with fcgiwrap is set up from the package's snippet as an administrator
# would, started on a free loopback port and asked through curl, with the package's simulator
# answering; then the package is upgraded (to itself repacked under a later version), removed
# and purged, and nothing it installed may be left. The machine is left as it was found: the
# servers' modules that the test enables are turned off again, every process it starts is
# stopped, and the package is purged however the test ends.
#
# usage: deb_test.sh DEB
# Needs root. Exit status 0 when every check passes, 1 on a failure, 77 (skipped) when a package
# that a part needs is missing; the parts that can run still run. KEEP_WORK=1 keeps the
# temporary folder (configs, logs, pages).
set -uo pipefail

deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../harness/servers/lib.sh
source "$here/../harness/servers/lib.sh"

root=/var/lib/trackrelay
counter=$root/c/woe/track.txt
claims=$root/c/woe/track.claims
user=www-data

skip_all() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip_all "installing a package needs root"
for tool in dpkg curl lintian setpriv; do
  command -v "$tool" >/dev/null || skip_all "$tool is not installed"
done
state=$(dpkg-query -W -f='${db:Status-Status}' trackrelay 2>/dev/null)
if [ -n "$state" ] && [ "$state" != not-installed ]; then
  echo "FAIL: the trackrelay package is on this machine already ($state); this test installs and purges it, and leaves an installation it did not make alone"
  exit 1
fi

started=$SECONDS
failures=0
skipped=()
work=$(mktemp -d)
chmod 755 "$work"
mkdir -p "$work/www" "$work/logs" "$work/run" "$work/kept" "$work/share/fromnt" "$work/share/tont"
chown "$user:$user" "$work/share/fromnt" "$work/share/tont"
# lighttpd opens its error log as the web server's user; Apache's cgid wants a socks folder.
mkdir -p "$work/run/socks" "$work/uploads"
chown "$user:$user" "$work/logs" "$work/uploads"
# Something of the share's own, which no step of the package may touch.
printf 'not the package'"'"'s\n' >"$work/share/keep.txt"

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# The trees that enabling a snippet changes, and every path the package holds: as they are now.
watched=(/etc/apache2 /etc/lighttpd /etc/nginx /var/lib/apache2 "$root" /var/lib/trackrelay-metrics /var/lib/prometheus)
snapshot() { find "${watched[@]}" -printf '%p %y %m %u:%g %l\n' 2>/dev/null | LC_ALL=C sort; }
snapshot >"$work/before.txt"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#; s#/$##' | grep -v '^$' >"$work/package-paths.txt"
: >"$work/existed.txt"
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then echo "$path" >>"$work/existed.txt"; fi
done <"$work/package-paths.txt"

server_pid=
sim_pid=
exporter_pid=
made_answer=
status_folder=
fcgi_pid=
installed=
# Modules that enabling a snippet turns on, to turn off again when they were off.
lighttpd_modules_before=$(ls /etc/lighttpd/conf-enabled 2>/dev/null)
apache_cgi_before=$( { [ -e /etc/apache2/mods-enabled/cgi.load ] || [ -e /etc/apache2/mods-enabled/cgid.load ]; } && echo on)

# dpkg, waiting while another package manager holds its lock (others may be installing).
run_dpkg() {
  local out rc i
  for ((i = 0; i < 180; i++)); do
    out=$(DEBIAN_FRONTEND=noninteractive dpkg --force-confdef --force-confold "$@" 2>&1)
    rc=$?
    if [ "$rc" -ne 0 ] && grep -qi 'lock' <<<"$out" && grep -qi 'another process' <<<"$out"; then
      sleep 5
      continue
    fi
    printf '%s\n' "$out" >>"$work/logs/dpkg.log"
    [ "$rc" -eq 0 ] || printf '%s\n' "$out"
    return "$rc"
  done
  echo "dpkg stayed locked for 15 minutes"
  return 1
}

stop_all() {
  trackrelay_stop "$server_pid"
  server_pid=
  trackrelay_stop "$fcgi_pid"
  fcgi_pid=
}

cleanup() {
  stop_all
  trackrelay_stop "$sim_pid"
  trackrelay_stop "$exporter_pid"
  mountpoint -q "$root/r" 2>/dev/null && umount "$root/r"
  [ -n "$made_answer" ] && rm -f /etc/trackrelay/answer
  [ "$made_answer" = folder ] && rmdir /etc/trackrelay
  [ -n "$status_folder" ] && rm -rf "$status_folder"
  if [ -n "$installed" ]; then run_dpkg --purge trackrelay >/dev/null || echo "could not purge trackrelay"; fi
  [ -e "$work/man-db-auto-update" ] && mv "$work/man-db-auto-update" "$mandb_flag"
  # The modules that came on with the snippets.
  local link
  for link in /etc/lighttpd/conf-enabled/*; do
    [ -L "$link" ] || continue
    grep -qxF "$(basename "$link")" <<<"$lighttpd_modules_before" || rm -f "$link"
  done
  if [ -z "$apache_cgi_before" ] && command -v a2dismod >/dev/null; then
    a2dismod -q -f cgid >/dev/null 2>&1 || true
    a2dismod -q -f cgi >/dev/null 2>&1 || true
  fi
  # What the servers' own tools leave besides (apache's records of who enabled what): whatever
  # is new in the watched trees goes, the deepest first.
  snapshot >"$work/after.txt"
  comm -13 "$work/before.txt" "$work/after.txt" | awk '{print $1}' | sort -r | while read -r path; do
    echo "cleanup: removing $path"
    if [ -d "$path" ] && [ ! -L "$path" ]; then rmdir "$path" 2>/dev/null; else rm -f "$path"; fi
  done
  snapshot >"$work/after.txt"
  local changed
  changed=$(diff "$work/before.txt" "$work/after.txt")
  if [ -n "${KEEP_WORK:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
  if [ -n "$changed" ]; then
    printf 'FAIL: the machine is not as it was found:\n%s\n' "$changed"
    exit 1
  fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# fetch NAME CURL-ARGS...: the body in $work/NAME.body, the header block in $work/NAME.headers,
# the status in $status.
fetch() {
  local name=$1
  shift
  status=$(curl -s --max-time 70 -o "$work/$name.body" -D "$work/$name.headers" -w '%{http_code}' "$@")
  curl_rc=$?
}
relayed_page() { sed 's/\r$/\r\n\r/' "$1"; }
counter_value() { tr -d ' \r\n' <"$counter"; }
internal_page() {
  printf '%s\r\n' '<HTML><HEAD>' '<TITLE>Internal CGI Error</TITLE>' '</HEAD>' \
    '<Center><H1>An internal error number 0 has caused the cgi program to terminate abnormaly</H1></Center>' \
    '<p>' '<hr>'
}
# is_fatal_page FILE SCRIPT NUMBER MESSAGE: the whole fatal error page for that failure.
is_fatal_page() {
  [ "$(head -n 1 "$1")" = $'<HTML><HEAD>\r' ] &&
    grep -qxF $'<TITLE>Error in '"$2"$'</TITLE>\r' "$1" &&
    grep -qxF "<PRE>$4 Error Number =  $3</PRE>"$'\r' "$1" &&
    [ "$(tail -c 16 "$1")" = $'</BODY></HTML>\r' ] &&
    [ "$(wc -l <"$1")" = 15 ]
}

# The form input as the program gets it through server $1: Debian's lighttpd.conf normalizes
# request URLs (server.http-parseopts "url-path-2f-decode"), the query string included, so an
# encoded slash arrives decoded. The fields decode the same.
as_received() {
  if [ "$1" = lighttpd ] && [ "$2" = GET ]; then sed 's/%2[Ff]/\//g' <<<"$3"; else printf '%s\n' "$3"; fi
}

# The relayed pages and the internal error page through server $1 at $2, the program at $3.
check_pages() {
  local server=$1 base=$2 script=$3 method input number name i=0 case
  local -a cases=(
    "GET|TRACKNO=0&name=Ada+Lovelace&note=%3Cb%3Ebold%3C%2Fb%3E+%26+caf%C3%A9"
    "POST|TRACKNO=7&name=Grace&note=line+one%0D%0Aline+two"
    "POST|TRACKNO=0&note=$(printf 'x%.0s' {1..20000})"
  )
  for case in "${cases[@]}"; do
    IFS='|' read -r method input <<<"$case"
    number=7
    [[ $input == TRACKNO=0* ]] && number=$(counter_value)
    name="$server-relayed$i"
    i=$((i + 1))
    if [ "$method" = GET ]; then
      fetch "$name" "$base$script?$input"
    else
      fetch "$name" --data-binary "$input" "$base$script"
    fi
    local label="$server: $method ${input:0:30} as $number"
    if [ "$status" != 200 ]; then fail "$label: status $status"; continue; fi
    grep -qi '^content-type: text/html' "$work/$name.headers" || fail "$label: no text/html header"
    if [ ! -f "$work/kept/$number.out" ]; then fail "$label: the simulator wrote no $number.out"; continue; fi
    if cmp -s <(relayed_page "$work/kept/$number.out") "$work/$name.body" &&
      cmp -s <(as_received "$server" "$method" "$input" | sed 's/$/\r/') "$work/kept/$number.DAT"; then
      pass "$label: status 200, the relayed page byte for byte"
    else
      fail "$label: the body is not the relayed page, or the request file not the input"
    fi
    # The simulator's copy keeps the request file's permissions, as the program made it behind
    # this server: its owner's and its group's to read, nobody else's.
    local mode
    mode=$(stat -c %a "$work/kept/$number.DAT")
    [ "$mode" = 640 ] || fail "$label: the request file was made $mode, not 640 (its owner's and its group's alone)"
    rm -f "$work/kept/$number.out" "$work/kept/$number.DAT"
    if [ "$server" = apache ] &&
      ! cmp -s <(printf 'HTTP/1.0 200 OK\r\nContent-type: text/html\r\n\r\n') "$work/$name.headers"; then
      fail "$label: Apache changed the nph program's header lines"
    fi
  done
  fetch "$server-internal" "$base$script?name=nobody"
  if [ "$status" = 200 ] && cmp -s "$work/$server-internal.body" <(internal_page); then
    pass "$server: the internal error page, status 200"
  else
    fail "$server: the internal error page: status $status"
  fi
}

# check_cgi_limit SERVER SECONDS: the CGI time limit that the server read from the package's
# snippet for the program must be 150 s, its longest wait and one blocked call of the share's
# client (docs/deploy.md, When the share fails). lighttpd has no limit to set.
check_cgi_limit() {
  if [ "$2" = 150 ]; then
    pass "$1: the snippet gives the program a CGI time limit of 150 s"
  else
    fail "$1: the snippet's CGI time limit for the program is '$2', not 150 s"
  fi
}

# start_server NAME COMMAND...: starts the server in the background with the config that
# write_NAME_config PORT writes, on a free loopback port (another when one is taken first).
start_server() {
  local name=$1 attempt
  shift
  local token="ready $$ $RANDOM$RANDOM"
  printf '%s' "$token" >"$work/www/ready.txt"
  for ((attempt = 0; attempt < 10; attempt++)); do
    port=$(trackrelay_pick_port)
    "write_${name}_config" "$port"
    "$@" </dev/null >>"$work/logs/$name.out" 2>&1 &
    server_pid=$!
    trackrelay_wait_ready "$port" "$server_pid" "$token" && return 0
    trackrelay_stop "$server_pid"
    server_pid=
  done
  fail "$name did not start; see $work/logs"
  return 1
}

# --- lintian ---------------------------------------------------------------------------------
lintian_out=$(lintian --fail-on error --display-info "$deb" 2>&1 | grep -v 'running with root privileges')
lintian_rc=${PIPESTATUS[0]}
[ -n "$lintian_out" ] && sed 's/^/lintian: /' <<<"$lintian_out"
if [ "$lintian_rc" -eq 0 ] && ! grep -q '^E:' <<<"$lintian_out"; then
  pass "lintian: no error"
else
  fail "lintian reports errors"
fi

# --- install ---------------------------------------------------------------------------------
# man-db rebuilds its whole index after every dpkg run that touches a manual page, which takes
# half a minute on a busy machine. It is off while the test installs and purges, and on again at
# the end: the index is the same before and after, since the package is gone again.
mandb_flag=/var/lib/man-db/auto-update
[ -e "$mandb_flag" ] && mv "$mandb_flag" "$work/man-db-auto-update"
installed=yes
if ! run_dpkg -i "$deb"; then
  fail "dpkg -i"
  exit 1
fi
for path in /usr/lib/cgi-bin/trackrelay /usr/bin/trackrelay-remote-host /usr/sbin/trackrelay-check \
  /usr/share/man/man8/trackrelay.8.gz /usr/share/man/man8/trackrelay-check.8.gz \
  /usr/share/man/man1/trackrelay-remote-host.1.gz /usr/lib/systemd/system/trackrelay-remote-host.service \
  /usr/lib/systemd/system/trackrelay-state.service /usr/lib/systemd/system/trackrelay-state.timer; do
  [ -f "$path" ] || fail "installed: no $path"
done
# The units, the remote host's and the exchange's state's with its timer: there, well-formed,
# and not enabled by installing.
unit=/usr/lib/systemd/system/trackrelay-remote-host.service
state_unit=/usr/lib/systemd/system/trackrelay-state.service
for name in trackrelay-remote-host.service trackrelay-state.service trackrelay-state.timer; do
  if [ -n "$(find /etc/systemd/system -name "$name" 2>/dev/null)" ]; then
    fail "installing enabled $name"
  elif command -v systemd-analyze >/dev/null && ! verified=$(systemd-analyze verify "/usr/lib/systemd/system/$name" 2>&1); then
    fail "systemd-analyze verify $name: $verified"
  else
    pass "installed: $name, not enabled"
  fi
done
# Locked down as systemd rates them, with the network left to the administrator's command.
if command -v systemd-analyze >/dev/null; then
  for rated in "$unit" "$state_unit"; do
    exposure=$(systemd-analyze security --offline=true "$rated" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    if [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }'; then
      pass "installed: $(basename "$rated") rates $exposure in systemd-analyze security, at most 1.5"
    else
      fail "installed: $(basename "$rated") rates ${exposure:-nothing} in systemd-analyze security, above 1.5"
    fi
  done
  grep -q '^PrivateNetwork=yes' "$unit" && fail "installed: the remote host's unit shuts the command off the network"
else
  echo "skipped: the unit's exposure: systemd-analyze is not installed"
  skipped+=(systemd-analyze)
fi
[ "$(readlink /usr/lib/cgi-bin/nph-trackrelay)" = trackrelay ] || fail "installed: nph-trackrelay is no link to trackrelay"
conffiles=$(dpkg-query -W -f='${Conffiles}\n' trackrelay | awk 'NF {print $1}' | sort | tr '\n' ' ')
[ "$conffiles" = "/etc/apache2/conf-available/trackrelay.conf /etc/lighttpd/conf-available/10-trackrelay.conf /etc/nginx/snippets/trackrelay.conf " ] ||
  fail "conffiles: $conffiles"
for link in /etc/apache2/conf-enabled/trackrelay.conf /etc/lighttpd/conf-enabled/10-trackrelay.conf; do
  [ ! -e "$link" ] || fail "installing enabled $link"
done
if cmp -s <(printf ' 1 \r\n') "$counter" && [ "$(stat -c %U "$counter" "$root/c/woe" | sort -u)" = "$user" ] &&
  [ -d "$root/r" ] && [ -z "$(ls -A "$root/r")" ] && [ "$(stat -c '%U %a' "$root/r")" = "root 755" ]; then
  pass "installed: counter ' 1 ' CR LF owned by $user in its folder, an empty mount point of root's at r, no snippet enabled"
else
  fail "installed: counter, its folder or r as found: $(stat -c '%n %U %a' "$counter" "$root/c/woe" "$root/r" 2>&1 | tr '\n' ';')"
fi

# Nobody but the web server's user (and its group) reaches the counter's folder: whoever may
# open the claims file may hold every new number with a read lock on a byte of it.
if [ "$(stat -c '%U:%G %a' "$root/c/woe")" = "$user:$user 750" ] && [ "$(stat -c '%U %a' "$counter")" = "$user 640" ]; then
  pass "installed: c/woe $user's, mode 750, the counter 640"
else
  fail "installed: c/woe or the counter as made: $(stat -c '%n %U:%G %a' "$root/c/woe" "$counter" | tr '\n' ';')"
fi
# as_another_user CMD...: runs CMD as a local user who is none of the exchange's.
as_another_user() { runuser -u nobody -- "$@" >/dev/null 2>&1; }
# check_claims WHEN: the claims file the web server's user's alone, and neither it nor the
# counter's folder open to another user.
check_claims() {
  if [ "$(stat -c '%U %a' "$claims" 2>&1)" = "$user 600" ] && ! as_another_user sh -c 'exec 3<"$1"' sh "$claims" &&
    ! as_another_user ls "$root/c/woe"; then
    pass "$1: track.claims $user's, mode 600; another user can neither open it (to hold a number) nor list c/woe"
  else
    fail "$1: track.claims as found: $(stat -c '%U %a' "$claims" 2>&1), c/woe $(stat -c %a "$root/c/woe")"
  fi
}

# No share mounted yet, as when it has vanished: the request fails at its write (step 2), and
# nothing of it lands on the local disk beneath the mount point, which the web server's user may
# not write to.
nothing_mounted=$(runuser -u "$user" -- env -i REQUEST_METHOD=GET QUERY_STRING=TRACKNO=5 /usr/lib/cgi-bin/trackrelay)
if [[ "$nothing_mounted" == *"An internal error number 2 has"* ]] && [ -z "$(ls -A "$root/r")" ]; then
  pass "no share at r: internal error 2, nothing written beneath the mount point"
else
  fail "no share at r: $(echo "$nothing_mounted" | grep -a H1); r holds: $(ls -A "$root/r" | tr '\n' ' ')"
fi
check_claims "the first request"

# The share as the administrator puts it in: r becomes a link to where it is mounted.
rmdir "$root/r" && ln -s "$work/share" "$root/r" || fail "could not link r to the share"

# --- trackrelay-check -------------------------------------------------------------------------
# As the web servers' user, on the package's drive root: a sound installation, then one whose
# remote host has not taken a request for two minutes; the drives as they were after each run.
drives_now() { find "$root/" "$work/share/" -printf '%p %y %m %u:%g %s %T@\n' | grep -v ' d ' | LC_ALL=C sort; }
run_check() {
  local before
  before=$(drives_now)
  check_out=$(runuser -u "$user" -- /usr/sbin/trackrelay-check 2>&1)
  check_rc=$?
  printf '%s\n' "$check_out" >>"$work/logs/check.log"
  [ "$(drives_now)" = "$before" ] || fail "trackrelay-check changed the drives"
}
run_check
if [ "$check_rc" -eq 0 ] && ! grep -q '^FAIL' <<<"$check_out" && grep -qx 'ok: checking as www-data (uid [0-9]*)' <<<"$check_out"; then
  pass "trackrelay-check as $user: a request can be served"
else
  fail "trackrelay-check as $user, status $check_rc: $(grep -v '^ok' <<<"$check_out" | tr '\n' ' ')"
fi
printf 'TRACKNO=0\r\n' >"$work/share/fromnt/99.DAT"
touch -d '2 minutes ago' "$work/share/fromnt/99.DAT"
run_check
rm -f "$work/share/fromnt/99.DAT"
if [ "$check_rc" -eq 1 ] && grep -q '^FAIL: r:\\fromnt holds 1 request file(s) older than 45 s (99.DAT 2 min)' <<<"$check_out"; then
  pass "trackrelay-check: a stale request, status 1"
else
  fail "trackrelay-check with a stale request, status $check_rc: $(grep -v '^ok' <<<"$check_out" | tr '\n' ' ')"
fi

# The package's simulator, on the package's default drive root.
/usr/bin/trackrelay-remote-host --keep "$work/kept" >"$work/logs/simulator.log" 2>&1 &
sim_pid=$!

# --- Apache ----------------------------------------------------------------------------------
write_apache_config() {
  cat >"$work/apache2.conf" <<CONF
# Debian's modules and confs as enabled, on a loopback port; the rest of this test's own.
ServerRoot /etc/apache2
ServerName 127.0.0.1
Listen 127.0.0.1:$1
PidFile $work/run/apache2.pid
DefaultRuntimeDir $work/run
Mutex file:$work/run default
ErrorLog $work/logs/apache-error.log
LogLevel warn
User $user
Group $user
IncludeOptional mods-enabled/*.load
IncludeOptional mods-enabled/*.conf
DocumentRoot $work/www
<Directory $work/www>
    Require all granted
</Directory>
IncludeOptional conf-enabled/*.conf
# The fatal page needs a body above 2 GiB, which Apache refuses by default.
LimitRequestBody 0
CONF
}
if command -v apache2 >/dev/null && command -v a2enmod >/dev/null; then
  a2enmod -q cgi >/dev/null && a2enconf -q trackrelay >/dev/null || fail "apache: a2enmod cgi, a2enconf trackrelay"
  # Apache signals its whole process group when it stops: it gets a session of its own.
  if start_server apache env APACHE_RUN_DIR="$work/run" APACHE_LOCK_DIR="$work/run" \
    APACHE_LOG_DIR="$work/logs" APACHE_RUN_USER=$user APACHE_RUN_GROUP=$user \
    setsid apache2 -f "$work/apache2.conf" -DFOREGROUND; then
    base="http://127.0.0.1:$port"
    # The limit as Apache reads it: mod_info's dump holds only the section of the CGI module
    # loaded, mod_cgi's CGIScriptTimeout or mod_cgid's CGIDScriptTimeout.
    check_cgi_limit apache "$(env APACHE_RUN_DIR="$work/run" APACHE_LOCK_DIR="$work/run" APACHE_LOG_DIR="$work/logs" \
      APACHE_RUN_USER=$user APACHE_RUN_GROUP=$user apache2 -f "$work/apache2.conf" \
      -C 'LoadModule info_module /usr/lib/apache2/modules/mod_info.so' -t -D DUMP_CONFIG 2>/dev/null |
      sed -n '/<Files "nph-trackrelay">/,/<\/Files>/s/^ *CGID\{0,1\}ScriptTimeout \([0-9]*\)$/\1/p' | tr '\n' ' ' | sed 's/ $//')"
    check_pages apache "$base" /cgi-bin/nph-trackrelay
    # The fatal page needs a CONTENT_LENGTH above 2 GiB: 2 GiB of a sparse file. Under the
    # event MPM, a2enmod cgi picks mod_cgid, which writes the body to the program before it
    # reads its output; the program has answered and ended without reading it, cgid meets a
    # broken pipe, sends the page and closes the connection while curl is still sending. The
    # reset that follows may discard the page before curl reads it (an empty reply).
    truncate -s 2147483648 "$work/huge"
    fetch apache-fatal -X POST -T "$work/huge" -H "Expect:" -H 'Content-Type: application/x-www-form-urlencoded' \
      "$base/cgi-bin/nph-trackrelay"
    rm -f "$work/huge"
    if [ "$status" = 500 ] && is_fatal_page "$work/apache-fatal.body" /cgi-bin/nph-trackrelay 6 Overflow &&
      cmp -s <(printf 'HTTP/1.0 500 Internal Error\r\nContent-type: text/html\r\n\r\n') "$work/apache-fatal.headers"; then
      pass "apache: the fatal error page, status 500, the program's own header lines"
    elif [ -e /etc/apache2/mods-enabled/cgid.load ] && [ "$status" = 000 ] && [ ! -s "$work/apache-fatal.body" ] &&
      grep -q 'Error writing request body to script /usr/lib/cgi-bin/nph-trackrelay' "$work/logs/apache-error.log"; then
      pass "apache (mod_cgid): the fatal error page lost to the connection's reset while the body was still going (curl $curl_rc)"
    else
      fail "apache: the fatal error page: status $status, curl $curl_rc"
    fi
    fetch apache-plain "$base/cgi-bin/trackrelay?TRACKNO=9"
    if [ "$status" = 500 ] && grep -q 'malformed header from script' "$work/logs/apache-error.log"; then
      pass "apache: the plain name gets Apache's 500, malformed header"
    else
      fail "apache: the plain name: status $status"
    fi
    rm -f "$work/share/fromnt/9.DAT" "$work/kept/9".*
  fi
  stop_all
else
  echo "skipped: apache: apache2 is not installed"
  skipped+=(apache)
fi

# --- lighttpd --------------------------------------------------------------------------------
write_lighttpd_config() {
  # Debian's lighttpd.conf with its enabled modules, on a loopback port, its files in the work
  # folder; no IPv6 listener.
  sed -e "s|^server.document-root .*|server.document-root = \"$work/www\"|" \
    -e "s|^server.upload-dirs .*|server.upload-dirs = ( \"$work/uploads\" )|" \
    -e "s|^server.errorlog .*|server.errorlog = \"$work/logs/lighttpd-error.log\"|" \
    -e "s|^server.pid-file .*|server.pid-file = \"$work/run/lighttpd.pid\"|" \
    -e "s|^server.port .*|server.port = $1\nserver.bind = \"127.0.0.1\"|" \
    -e '/use-ipv6.pl/d' /etc/lighttpd/lighttpd.conf >"$work/lighttpd.conf"
  # The fatal page needs a request whose CONTENT_LENGTH overflows: the program must start before
  # the body has come, which lighttpd does only when it streams the body.
  echo 'server.stream-request-body = 2' >>"$work/lighttpd.conf"
}
if command -v lighttpd >/dev/null && command -v lighty-enable-mod >/dev/null; then
  lighty-enable-mod trackrelay >"$work/logs/lighty-enable-mod.log" 2>&1 || fail "lighttpd: lighty-enable-mod trackrelay"
  if start_server lighttpd lighttpd -D -f "$work/lighttpd.conf"; then
    grep -q "server.bind = \"127.0.0.1\"" "$work/lighttpd.conf" && ! grep -q '^server.port = 80' "$work/lighttpd.conf" ||
      fail "lighttpd: the config was not moved to the loopback port"
    base="http://127.0.0.1:$port"
    check_pages lighttpd "$base" /cgi-bin/trackrelay
    # Only the first byte of the promised body is sent; the program answers before the rest.
    fetch lighttpd-fatal -H 'Content-Length: 2147483648' --data-binary 'x' "$base/cgi-bin/trackrelay"
    if [ "$status" = 500 ] && is_fatal_page "$work/lighttpd-fatal.body" /cgi-bin/trackrelay 6 Overflow; then
      pass "lighttpd: the fatal error page, status 500"
    else
      fail "lighttpd: the fatal error page: status $status"
    fi
  fi
  stop_all
else
  echo "skipped: lighttpd: lighttpd is not installed"
  skipped+=(lighttpd)
fi

# --- nginx with fcgiwrap ---------------------------------------------------------------------
write_nginx_config() {
  cat >"$work/nginx/nginx.conf" <<CONF
user $user;
pid $work/run/nginx.pid;
error_log $work/logs/nginx-error.log;
events {}
http {
    access_log off;
    client_body_temp_path $work/nginx/temp/body;
    fastcgi_temp_path $work/nginx/temp/fastcgi;
    proxy_temp_path $work/nginx/temp/proxy;
    uwsgi_temp_path $work/nginx/temp/uwsgi;
    scgi_temp_path $work/nginx/temp/scgi;
    server {
        listen 127.0.0.1:$1;
        root $work/www;
        # The package's snippet.
        include $work/nginx/trackrelay.conf;
        # Below, the test's own: the snippet's location with the body limit lifted and the body
        # streamed, and one that hands the program a negative CONTENT_LENGTH with POST, the
        # one fatal failure that leaves no request body unread.
        location = /unlimited/trackrelay {
            include fastcgi_params;
            client_max_body_size 0;
            fastcgi_request_buffering off;
            fastcgi_param SCRIPT_FILENAME /usr/lib/cgi-bin/trackrelay;
            fastcgi_pass unix:$work/fcgiwrap/socket;
        }
        location = /negative/trackrelay {
            fastcgi_param REQUEST_METHOD POST;
            fastcgi_param CONTENT_LENGTH -1;
            fastcgi_param SCRIPT_NAME \$fastcgi_script_name;
            fastcgi_param SCRIPT_FILENAME /usr/lib/cgi-bin/trackrelay;
            fastcgi_pass unix:$work/fcgiwrap/socket;
        }
    }
}
CONF
}
if command -v nginx >/dev/null && command -v fcgiwrap >/dev/null; then
  mkdir -p "$work/nginx/temp" "$work/fcgiwrap"
  chown "$user:$user" "$work/fcgiwrap"
  cp /etc/nginx/fastcgi_params "$work/nginx/"
  # The snippet as installed, with fcgiwrap's socket in the work folder rather than in /run.
  sed "s#unix:/run/fcgiwrap.socket#unix:$work/fcgiwrap/socket#" /etc/nginx/snippets/trackrelay.conf >"$work/nginx/trackrelay.conf"
  [ "$(diff /etc/nginx/snippets/trackrelay.conf "$work/nginx/trackrelay.conf" | grep -c '^>')" = 1 ] ||
    fail "nginx: the snippet's fcgiwrap socket is not the one line moved"
  setpriv --reuid=$user --regid=$user --clear-groups fcgiwrap -s "unix:$work/fcgiwrap/socket" \
    >"$work/logs/fcgiwrap.log" 2>&1 &
  fcgi_pid=$!
  if start_server nginx nginx -e "$work/logs/nginx-start.log" -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;'; then
    base="http://127.0.0.1:$port"
    check_cgi_limit nginx "$(nginx -T -e "$work/logs/nginx-start.log" -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>/dev/null |
      sed -n '/location = \/cgi-bin\/trackrelay {/,/}/s/^ *fastcgi_read_timeout \([0-9]*\)s;$/\1/p' | tr '\n' ' ' | sed 's/ $//')"
    check_pages nginx "$base" /cgi-bin/trackrelay
    # nginx skips the program's status line: the fatal page comes with 200.
    fetch nginx-fatal "$base/negative/trackrelay"
    if [ "$status" = 200 ] && is_fatal_page "$work/nginx-fatal.body" /negative/trackrelay 5 'Invalid procedure call or argument'; then
      pass "nginx: the fatal error page arrives whole, with status 200"
    else
      fail "nginx: the fatal error page: status $status"
    fi
    # A body above 2 GiB: nginx's own 413 through the snippet; with the limit lifted the
    # program shows its fatal page at once and leaves the body unread, and fcgiwrap, failing to
    # hand it on, answers 502 in its place.
    fetch nginx-huge -H 'Content-Length: 2147483648' --data-binary 'x' "$base/cgi-bin/trackrelay"
    [ "$status" = 413 ] && pass "nginx: a body above 2 GiB, 413 from nginx" || fail "nginx: a body above 2 GiB: status $status"
    truncate -s 2147483648 "$work/huge"
    fetch nginx-unlimited -X POST -T "$work/huge" -H "Expect:" -H 'Content-Type: application/x-www-form-urlencoded' \
      "$base/unlimited/trackrelay"
    rm -f "$work/huge"
    if [ "$status" = 502 ] && ! grep -q 'Error in' "$work/nginx-unlimited.body"; then
      pass "nginx: with the limit lifted, fcgiwrap's 502 in place of the fatal page"
    else
      fail "nginx: a body above 2 GiB with the limit lifted: status $status"
    fi
  fi
  stop_all
else
  echo "skipped: nginx: nginx or fcgiwrap is not installed"
  skipped+=(nginx)
fi

# --- the remote host with a command of its own ------------------------------------------------
# The manual page's example command, installed where the page puts it, answers one request of the
# program, served as the installed unit serves it. This machine has no systemd as its init, so
# the unit's sandbox is made here as far as it tells where files go: its user and group, no new
# privileges and no capabilities, every mount read-only but its ReadWritePaths
# (ProtectSystem=strict), a /tmp and /var/tmp of its own (PrivateTmp=) and no home folders
# (ProtectHome=), its StateDirectory= made its user's and writable, and its ExecStartPre=+ run
# with all privileges first, as systemd runs them. The share is mounted at r, as the unit expects
# (a link leading elsewhere would need a ReadWritePaths= of its own). The system-call filter, the
# user namespace and the rest are systemd's to apply, not shown here.
# unit_values UNIT KEY: the values of KEY in UNIT, each with its continuation lines joined.
unit_values() {
  awk -v key="$2" '{ line = $0
    while (line ~ /\\$/ && (getline more) > 0) { sub(/\\$/, "", line); line = line " " more }
    if (index(line, key "=") == 1) print substr(line, length(key) + 2) }' "$1"
}
# start_as_the_unit [UNIT [wait]]: the remote host's unit by default, in the background; with
# wait, a oneshot's run to its end.
start_as_the_unit() {
  local unit=${1:-$unit} how=${2:-background} unit_user unit_group exec_start writable dir pre
  unit_user=$(unit_values "$unit" User)
  unit_group=$(unit_values "$unit" Group)
  exec_start=$(unit_values "$unit" ExecStart)
  writable=$(unit_values "$unit" ReadWritePaths | tr '\n' ' ')
  for setting in ProtectSystem=strict PrivateTmp=yes ProtectHome=yes NoNewPrivileges=yes; do
    grep -qx "$setting" "$unit" || fail "the unit no longer says $setting, which the test's sandbox makes"
  done
  for dir in $(unit_values "$unit" StateDirectory); do
    install -d -o "$unit_user" -g "$unit_group" -m "$(unit_values "$unit" StateDirectoryMode)" "/var/lib/$dir"
    writable+=" /var/lib/$dir"
  done
  while read -r pre; do
    [ -n "$pre" ] || continue
    case $pre in
      +-* | -+*) sh -c "${pre#??}" >/dev/null 2>&1 || true ;;
      +*) sh -c "${pre#+}" || fail "$(basename "$unit"): ExecStartPre=$pre" ;;
      *) fail "$(basename "$unit"): an ExecStartPre= that the test does not run: $pre" ;;
    esac
  done < <(unit_values "$unit" ExecStartPre)
  local log=$work/logs/exec.log
  [ "$how" = wait ] && log=$work/logs/$(basename "$unit").log
  unshare --mount --propagation slave -- env WRITABLE="$writable" UNIT_USER="$unit_user" UNIT_GROUP="$unit_group" \
    bash -c '
      set -e
      for path in $WRITABLE; do mount --rbind "$path" "$path"; done
      awk "{print \$5}" /proc/self/mountinfo | sort -u | while read -r point; do
        for path in $WRITABLE; do case "$point/" in "$path"/*) continue 2 ;; esac; done
        mount -o remount,bind,ro "$point" 2>/dev/null || true
      done
      mount -t tmpfs -o mode=1777 tmpfs /tmp
      mount -t tmpfs -o mode=1777 tmpfs /var/tmp
      for home in /home /root /run/user; do [ ! -d "$home" ] || mount -t tmpfs -o mode=0 tmpfs "$home"; done
      exec setpriv --reuid="$UNIT_USER" --regid="$UNIT_GROUP" --clear-groups --no-new-privs --bounding-set=-all \
        --inh-caps=-all -- "$@"' bash $exec_start >"$log" 2>&1 &
  if [ "$how" = wait ]; then
    wait $! || fail "$(basename "$unit") as its unit runs it: $(tr '\n' ' ' <"$log")"
  else
    sim_pid=$!
  fi
}
# figure FILE SAMPLE: the value of a sample in a figures file.
figure() { awk -v sample="$2" '$1 == sample { print $2 }' "$1" 2>/dev/null; }
# The figures, for a monitoring system: the remote host's, written by its unit, and the
# exchange's state, written by the state unit's run, each in the units' own folder, and both
# read by the node exporter's textfile collector through the links the units make in its folder
# (root's, where neither unit may write), served on a loopback port as Prometheus scrapes it.
# A request answered moves the remote host's count; a request left waiting (put there by hand,
# stamped two minutes ago) moves the exchange's.
figures_test() {
  local figures=/var/lib/trackrelay-metrics collector=/var/lib/prometheus/node-exporter answered
  answered=$(for _ in $(seq 50); do
    [ "$(figure "$figures/trackrelay-remote-host.prom" trackrelay_remote_host_requests_answered_total)" = 1 ] && echo yes && break
    sleep 0.1
  done)
  if [ -n "$answered" ] && [ "$(stat -c '%U %a' "$figures/trackrelay-remote-host.prom")" = "$user 644" ]; then
    pass "the remote host as its unit runs it: its figures in $figures, one request answered"
  else
    fail "the remote host as its unit runs it: its figures: $(head -c 300 "$figures/trackrelay-remote-host.prom" 2>&1 | tr '\n' ' ')"
  fi
  printf 'TRACKNO=0\r\n' >"$work/share/fromnt/t32000.DAT"
  touch -d '-2 min' "$work/share/fromnt/t32000.DAT"
  mv "$work/share/fromnt/t32000.DAT" "$work/share/fromnt/32000.DAT.held"
  # Out of the remote host's way: it is stopped for the look, and the request put back.
  trackrelay_stop "$sim_pid"
  sim_pid=
  mv "$work/share/fromnt/32000.DAT.held" "$work/share/fromnt/32000.DAT"
  start_as_the_unit "$state_unit" wait
  if [ "$(figure "$figures/trackrelay-exchange.prom" 'trackrelay_exchange_requests_waiting{age="over_45s"}')" = 1 ] &&
    [ "$(figure "$figures/trackrelay-exchange.prom" trackrelay_exchange_ages_by_share_clock)" = 1 ]; then
    pass "the state unit's run: the request left waiting in its figures, aged by the share's clock"
  else
    fail "the state unit's run: $(head -c 600 "$figures/trackrelay-exchange.prom" 2>&1 | tr '\n' ' ')"
  fi
  rm -f "$work/share/fromnt/32000.DAT"
  if [ ! -d "$collector" ]; then
    echo "skipped: the node exporter's textfile collector: $collector is not there"
    skipped+=(prometheus-node-exporter)
    return
  fi
  local name
  for name in trackrelay-remote-host.prom trackrelay-exchange.prom; do
    [ "$(readlink "$collector/$name")" = "$figures/$name" ] || fail "the units made no link $collector/$name to their figures"
  done
  if ! command -v prometheus-node-exporter >/dev/null; then
    echo "skipped: the node exporter's scrape: prometheus-node-exporter is not installed"
    skipped+=(prometheus-node-exporter)
    return
  fi
  local port scraped
  port=$(trackrelay_pick_port)
  setpriv --reuid=nobody --regid=nogroup --clear-groups -- prometheus-node-exporter \
    --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$collector" >"$work/logs/node-exporter.log" 2>&1 &
  exporter_pid=$!
  for _ in $(seq 50); do
    scraped=$(curl -sf "http://127.0.0.1:$port/metrics") && break
    sleep 0.1
  done
  if grep -qx 'trackrelay_remote_host_requests_answered_total 1' <<<"$scraped" &&
    grep -qx 'trackrelay_exchange_requests_waiting{age="over_45s"} 1' <<<"$scraped" &&
    grep -qx 'node_textfile_scrape_error 0' <<<"$scraped"; then
    pass "the node exporter serves both units' figures through their links, as its own user"
  else
    fail "the node exporter's scrape: $(grep -E 'trackrelay_(remote_host_requests_answered|exchange_requests_waiting)|textfile_scrape_error' <<<"$scraped" | tr '\n' ' '); $(tail -c 300 "$work/logs/node-exporter.log")"
  fi
  trackrelay_stop "$exporter_pid"
  exporter_pid=
}

trackrelay_stop "$sim_pid"
sim_pid=
status_folder=$(mktemp -d /srv/trackrelay-test-XXXXXX)
chmod 755 "$status_folder"
if [ ! -d /etc/trackrelay ]; then
  mkdir /etc/trackrelay
  made_answer=folder
elif [ ! -e /etc/trackrelay/answer ]; then
  made_answer=file
else
  fail "/etc/trackrelay/answer is there already; the test leaves it alone"
fi
if [ -n "$made_answer" ]; then
  zcat /usr/share/man/man1/trackrelay-remote-host.1.gz | groff -man -Tascii -P-cbou 2>/dev/null |
    sed -n "/cat >\/etc\/trackrelay\/answer <<'EOF'/,/^ *EOF\$/p" | sed '1d;$d; s/^ *//' |
    sed "s#/srv/tracking/status.txt#$status_folder/status.txt#" >/etc/trackrelay/answer
  chmod 755 /etc/trackrelay/answer
  number=$(counter_value)
  echo "$number shipped on Monday" >"$status_folder/status.txt"
  mkdir "$work/share/remote-host"
  chown "$user:$user" "$work/share/remote-host"
  rm "$root/r" && mkdir "$root/r" && mount --bind "$work/share" "$root/r" || fail "could not mount the share at r"
  start_as_the_unit
  page=$(REQUEST_METHOD=GET QUERY_STRING='TRACKNO=0&name=Ada+%3Cb%3E' runuser -u "$user" -- /usr/lib/cgi-bin/trackrelay | tr -d '\r')
  if grep -q "^<h1>Tracking number $number</h1>\$" <<<"$page" && grep -q '^<p>Dear Ada &lt;b&gt;: shipped on Monday.</p>$' <<<"$page" &&
    [ -z "$(find "$work/share/fromnt" "$work/share/tont" "$work/share/remote-host/work" -mindepth 1)" ]; then
    pass "the remote host as its unit runs it, with the manual page's command: number $number answered through the program"
  else
    fail "the remote host as its unit runs it, with the manual page's command: $(head -c 300 <<<"$page" | tr '\n' ' '); $(tr '\n' ' ' <"$work/logs/exec.log")"
  fi
  # Its work and error folders hold the form input, error/ for good, under the unit's UMask=0022.
  state_modes=$(cd "$work/share/remote-host" && stat -c '%n %U %a' work error lock 2>&1 | tr '\n' ' ')
  if [ "$state_modes" = "work $user 700 error $user 700 lock $user 600 " ]; then
    pass "the remote host as its unit runs it: its work and error folders 700, its lock 600"
  else
    fail "the remote host as its unit runs it: its state as made: $state_modes"
  fi
  figures_test
  trackrelay_stop "$sim_pid"
  sim_pid=
  umount "$root/r" && rmdir "$root/r" && ln -s "$work/share" "$root/r" || fail "could not put the link to the share back at r"
  rm -rf "$work/share/remote-host"
  rm -f /etc/trackrelay/answer
  [ "$made_answer" = folder ] && rmdir /etc/trackrelay
  made_answer=
  rm -rf "$status_folder"
  status_folder=
fi

# --- upgrade, remove, purge ------------------------------------------------------------------
# An upgrade: the same package repacked under a later version, from an installation whose
# counter's folder and claims file an older build left open to every user.
value=$(counter_value)
chmod 755 "$root/c/woe"
chmod 644 "$claims"
echo "# a line of the administrator's" >>/etc/nginx/snippets/trackrelay.conf
dpkg-deb -R "$deb" "$work/upgrade" &&
  sed -i 's/^Version: .*/&+upgrade1/' "$work/upgrade/DEBIAN/control" &&
  dpkg-deb -b "$work/upgrade" "$work/upgrade.deb" >/dev/null || fail "could not repack the package as an upgrade"
enabled_before=$(ls /etc/apache2/conf-enabled/trackrelay.conf /etc/lighttpd/conf-enabled/10-trackrelay.conf 2>/dev/null)
if run_dpkg -i "$work/upgrade.deb" &&
  [ "$(dpkg-query -W -f='${Version}' trackrelay)" = "$(dpkg-deb -f "$deb" Version)+upgrade1" ] &&
  [ "$(counter_value)" = "$value" ] && [ "$(stat -c %U "$counter")" = "$user" ] &&
  grep -q "of the administrator's" /etc/nginx/snippets/trackrelay.conf &&
  [ "$(ls /etc/apache2/conf-enabled/trackrelay.conf /etc/lighttpd/conf-enabled/10-trackrelay.conf 2>/dev/null)" = "$enabled_before" ]; then
  pass "upgraded: the counter still holds $value, a changed conffile kept, enabled snippets still enabled"
else
  fail "upgraded: counter $(counter_value 2>&1) (was $value), the changed conffile or the enabled snippets lost"
fi
# The next request narrows the claims file; one whose request file still waits is enough, and
# fails at once with 3 when it publishes, after its claim.
printf 'TRACKNO=6\r\n' >"$work/share/fromnt/6.DAT"
runuser -u "$user" -- env -i REQUEST_METHOD=GET QUERY_STRING=TRACKNO=6 /usr/lib/cgi-bin/trackrelay >/dev/null
rm -f "$work/share/fromnt/6.DAT" "$work/share/fromnt/t6.DAT"
check_claims "upgraded from 755 and 644"

if run_dpkg -r trackrelay && [ ! -e /usr/lib/cgi-bin/trackrelay ] && [ -f "$counter" ] &&
  [ -f /etc/lighttpd/conf-available/10-trackrelay.conf ] && [ ! -e /etc/lighttpd/conf-enabled/10-trackrelay.conf ] &&
  [ ! -e /etc/apache2/conf-enabled/trackrelay.conf ]; then
  pass "removed: the programs gone, the snippets turned off, the counter and conffiles kept"
else
  fail "removed: programs, snippets or counter not as expected"
fi

# A farm's administrator links c/woe to the counter's folder on a share of several web servers:
# the purge of one web server's package must leave the farm's counter and claims alone.
farm_woe=$work/farm-woe
if mv "$root/c/woe" "$farm_woe" && ln -s "$farm_woe" "$root/c/woe"; then :; else fail "could not link c/woe to a farm's folder"; fi
if run_dpkg -P trackrelay; then
  installed=
  left=()
  while read -r path; do
    grep -qxF "$path" "$work/existed.txt" && continue
    if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
  done <"$work/package-paths.txt"
  { [ -e "$root" ] || [ -L "$root" ]; } && left+=("$root")
  if [ "${#left[@]}" -eq 0 ]; then
    pass "purged: nothing the package installed is left"
  else
    fail "purged: left behind: ${left[*]}"
  fi
  if [ -f "$work/share/keep.txt" ] && [ -d "$work/share/fromnt" ] && [ -d "$work/share/tont" ]; then
    pass "purged: the share untouched"
  else
    fail "purged: the share was entered"
  fi
  if [ -f "$farm_woe/track.txt" ] && [ -f "$farm_woe/track.claims" ]; then
    pass "purged: a farm's counter and claims behind a link at c/woe untouched"
  else
    fail "purged: the farm's counter's folder was entered: $(ls -A "$farm_woe" 2>&1 | tr '\n' ' ')"
  fi
else
  fail "dpkg -P"
fi

trackrelay_stop "$sim_pid"
sim_pid=
status_text="$failures failed"
[ "${#skipped[@]}" -gt 0 ] && status_text+=", skipped: ${skipped[*]}"
echo "package: $status_text, $((SECONDS - started)) s"
[ "$failures" -eq 0 ] || exit 1
[ "${#skipped[@]}" -eq 0 ] || exit 77
exit 0
