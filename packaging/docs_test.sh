#!/usr/bin/env bash
# The facts the pages state that the repository itself can tell: the README's quick start, the
# links between the pages and the paths they name, the presets they run, the files of the zip,
# the crontab line of trackrelay-check(8), the defaults built into the programs, the figures
# they write for Prometheus, the numbers the pages repeat from the code (the request's bounds, the
# remote host's), the snippets' time limit and the share tests' client options. Each fact is
# read from the page and from where it is true (the code, the build, the package's tests), and
# the two must agree, so that a page goes wrong only together with a failing test.
# usage: docs_test.sh SOURCE_DIR   (CMAKE and CTEST name the tools, when not those on the PATH)
set -uo pipefail
cmake=${CMAKE:-cmake}
ctest=${CTEST:-ctest}
src=$(cd "$1" && pwd)
cd "$src" || exit 1
pages=(README.md CONTRIBUTING.md docs/*.md)
# And each folder's own README (harness/, platform/, ...), what a reader of that folder opens first.
for page in */README.md; do
  case $page in build/* | "*/README.md") ;; *) pages+=("$page") ;; esac
done
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# The lines of FILE outside its fenced code blocks.
prose() { awk '/^```/ { fenced = !fenced; next } !fenced' "$1"; }
# The lines of the first fenced block after the line that begins with $2 in FILE $1.
block_after() { awk -v start="$2" 'index($0, start) == 1 { found = 1; next }
  found && /^```/ { if (inside) exit; inside = 1; next } inside' "$1"; }
# A manual page's section, its lines between .nf and .fi, with "\-" as "-".
man_example() { sed -n "/^\.SH $2\$/,/^\.SH /p" "$1" | sed -n '/^\.nf$/,/^\.fi$/p' | sed '/^\.[nf][fi]$/d; s/\\-/-/g'; }

# --- the README's quick start: two commands, each a script of the repository --------------------
quick_start() {
  local commands first
  commands=$(block_after README.md 'Quick start' | sed 's/[[:space:]]*#.*//' | grep -v '^[[:space:]]*$')
  if [ "$(wc -l <<<"$commands")" -ne 2 ]; then
    fail "the README's quick start has $(wc -l <<<"$commands") commands, not two: $(tr '\n' ';' <<<"$commands")"
    return
  fi
  while read -r first _; do
    [ -f "$first" ] && [ -x "$first" ] || fail "the README's quick start runs $first, which is no executable file here"
  done <<<"$commands"
  pass "the README's quick start: two commands, $(awk '{print $1}' <<<"$commands" | tr '\n' ' ')each a script here"
}

# --- links between the pages, and the paths they name ------------------------------------------
# The anchors a Markdown page offers: its headings as GitHub spells them, and its <a id>.
anchors() {
  prose "$1" | sed -n 's/^#\{1,6\} \(.*\)/\1/p' | tr 'A-Z' 'a-z' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'
  grep -o '<a id="[^"]*">' "$1" | sed 's/<a id="\(.*\)">/\1/'
}
declare -A anchors_of
links() {
  local page link target anchor count=0 start=$failures
  for page in "${pages[@]}"; do
    while read -r link; do
      target=${link%%#*}
      anchor=
      [[ $link == *"#"* ]] && anchor=${link#*#}
      if [ -z "$target" ]; then target=$page; elif [[ $page == */* ]]; then target=${page%/*}/$target; fi
      count=$((count + 1))
      if [ ! -e "$target" ]; then
        fail "$page links to $link: there is no $target"
      elif [ -n "$anchor" ]; then
        [ -n "${anchors_of[$target]+set}" ] || anchors_of[$target]=$'\n'$(anchors "$target")$'\n'
        [[ ${anchors_of[$target]} == *$'\n'"$anchor"$'\n'* ]] || fail "$page links to $link: $target has no anchor $anchor"
      fi
    done < <(prose "$page" | grep -o '\]([^)]*)' | sed 's/^](\(.*\))$/\1/' | grep -v '^[a-z]*://')
  done
  [ "$failures" = "$start" ] && pass "the pages' $count links lead to a file and an anchor that are there"
}
repository_paths() {
  local page path count=0 start=$failures
  for page in "${pages[@]}"; do
    while read -r path; do
      count=$((count + 1))
      [ -e "$path" ] || fail "$page names $path, which is not in the repository"
    done < <(grep -o '`[^`]*`' "$page" | tr -d '`' | awk '{print $1}' |
      grep -E '^(\.ci|app|bench|browser|cgi|cmake|docs|e2e|fuzz|packaging|platform|relay|scripts|remote_host|check|harness)/' | grep -v '[<>*]' | sort -u)
  done
  [ "$failures" = "$start" ] && pass "the $count paths of the repository that the pages name are there"
}

# --- presets -----------------------------------------------------------------------------------
listed() { "$@" 2>/dev/null | sed -n 's/^  "\([^"]*\)".*/\1/p' | sort; }
presets() {
  local workflows tests configures page kind name count=0 table start=$failures
  workflows=$(listed "$cmake" --workflow --list-presets)
  tests=$(listed "$ctest" --list-presets)
  configures=$(listed "$cmake" --list-presets)
  # Each command that a page or a script shows, with the presets of its kind.
  while read -r page kind name; do
    count=$((count + 1))
    case $kind in
      workflow) grep -qxF "$name" <<<"$workflows" || fail "$page runs the workflow preset $name, which CMakePresets.json lacks" ;;
      ctest) grep -qxF "$name" <<<"$tests" || fail "$page runs the test preset $name, which CMakePresets.json lacks" ;;
      *) grep -qxF "$name" <<<"$configures" || fail "$page configures the preset $name, which CMakePresets.json lacks" ;;
    esac
  done < <(for page in "${pages[@]}" scripts/*.sh; do
    grep -o 'cmake --workflow --preset [A-Za-z0-9_"$-]*\|ctest --preset [A-Za-z0-9_-]*\|cmake --preset [A-Za-z0-9_-]*' "$page" |
      sed "s|^cmake --workflow --preset |$page workflow |; s|^ctest --preset |$page ctest |; s|^cmake --preset |$page configure |" |
      grep -v '[$"]'
  done)
  [ "$failures" = "$start" ] && pass "the $count preset commands of the pages and scripts name presets that CMakePresets.json has"
  # The table of docs/testing.md: one row for each workflow, none more.
  table=$(sed -n '/^## Presets$/,/^## /p' docs/testing.md | grep '^| `' | cut -d'|' -f2 | grep -o '`[^`]*`' | tr -d '`' | sort)
  if [ "$table" = "$workflows" ]; then
    pass "docs/testing.md's table of presets names every workflow preset, and no other"
  else
    fail "docs/testing.md's table of presets names $(tr '\n' ' ' <<<"$table")but the workflows are $(tr '\n' ' ' <<<"$workflows")"
  fi
}

# --- the files of the zip ----------------------------------------------------------------------
zip_files() {
  local tested where stated
  # What the zip test finds in the zip that it unpacks.
  tested=$(sed -n 's/^expected="\(.*\)"$/\1/p' packaging/zip_test.sh | tr ' ' '\n' | sed 's|^\./\$top/||' | grep -v '^$' | sort)
  [ -n "$tested" ] || { fail "no list of the zip's files in packaging/zip_test.sh"; return; }
  for where in "docs/install.md" "packaging/windows/README.txt"; do
    case $where in
      docs/install.md)
        stated=$(sed -n '/^## The Windows zip$/,/^## /p' docs/install.md | sed -n 's/^| `\([^`]*\)` |.*/\1/p' | sort) ;;
      *)
        stated=$(sed -n '/^Files$/,/^Setting up IIS$/p' "$where" | sed -n 's/^  \([^ ]*\)  .*/\1/p' | sort) ;;
    esac
    if [ "$stated" = "$tested" ]; then
      pass "$where lists the zip's $(wc -l <<<"$tested") files, as the zip test finds them"
    else
      fail "$where lists $(tr '\n' ' ' <<<"$stated")as the zip's files, the zip test finds $(tr '\n' ' ' <<<"$tested")"
    fi
  done
}

# --- the crontab line of trackrelay-check(8) ----------------------------------------------------
# Where the package installs a program of its own (the install rules, below /usr), or where this
# machine keeps any other.
installed_dir() {
  local rule found
  rule=$(sed -n "s|^install(TARGETS $1 RUNTIME DESTINATION \([a-z/]*\))$|\1|p" packaging/CMakeLists.txt)
  if [ -n "$rule" ]; then
    echo "/usr/$rule"
  elif found=$(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin command -v "$1"); then
    dirname "$found"
  fi
}
crontab_line() {
  local example path job program dir
  example=$(man_example packaging/debian/trackrelay-check.8 EXAMPLES)
  # cron's own PATH for a crontab that sets none.
  path=$(sed -n 's/^PATH=//p' <<<"$example")
  path=${path:-/usr/bin:/bin}
  job=$(grep -E '^([0-9*,/-]+ ){5}' <<<"$example" | head -n 1 | cut -d' ' -f6-)
  [ -n "$job" ] || { fail "trackrelay-check(8) shows no crontab line"; return; }
  # The job's program, and the one that runuser runs after "--".
  for program in "${job%% *}" $(sed -n 's/.* -- \([^ ]*\).*/\1/p' <<<"$job"); do
    dir=$(installed_dir "$program")
    if [ -z "$dir" ]; then
      fail "trackrelay-check(8)'s crontab line runs $program, which neither the package nor this machine has"
    elif [[ ":$path:" == *":$dir:"* ]]; then
      pass "trackrelay-check(8)'s crontab line finds $program in $dir on its PATH $path"
    else
      fail "trackrelay-check(8)'s crontab line runs $program from $dir, not on its PATH $path"
    fi
  done
}

# --- the defaults built in ---------------------------------------------------------------------
built_in() { sed -n "s/^set($1 \"\([^\"]*\)\" CACHE.*/\1/p" CMakeLists.txt; }
preset_value() { "$cmake" --preset "$1" -N 2>/dev/null | sed -n "s/^  $2=\"\(.*\)\"$/\1/p"; }
# check_default FILE SED-SCRIPT TRUTH: the default that the page states, as the script picks it
# out, must be the build's.
check_default() {
  local stated
  stated=$(sed -n "$2" "$1" | head -n 1)
  if [ -n "$3" ] && [ "$stated" = "$3" ]; then
    pass "$1 states the default $3, as the build has it"
  else
    fail "$1 states the default '$stated', the build has '$3'"
  fi
}
defaults() {
  local root package_root address
  root=$(built_in TRACKRELAY_DEFAULT_DRIVE_ROOT)
  package_root=$(preset_value package-deb TRACKRELAY_DEFAULT_DRIVE_ROOT)
  address=$(built_in TRACKRELAY_ADMIN_ADDRESS)
  check_default docs/deploy.md 's/.*in: `\([^`]*\)` in a build of this repository.*/\1/p' "$root"
  check_default docs/deploy.md 's/.*`\([^`]*\)` in the Debian package (its.*/\1/p' "$package_root"
  check_default CONTRIBUTING.md 's/^| `TRACKRELAY_DEFAULT_DRIVE_ROOT` | `\([^`]*\)` |.*/\1/p' "$root"
  check_default CONTRIBUTING.md 's/^| `TRACKRELAY_ADMIN_ADDRESS` | `\([^`]*\)` |.*/\1/p' "$address"
  check_default docs/install.md 's/.*mail address built into the program: `\([^`]*\)`.*/\1/p' "$address"
  check_default packaging/debian/trackrelay.8 '/^when it is set and not empty, else$/{n;s/^\.BR \(.*\) \.$/\1/p;}' "$package_root"
  check_default packaging/debian/trackrelay-remote-host.1 '/which in this package is$/{n;s/^\.BR \(.*\) \.$/\1/p;}' "$package_root"
}

# --- the figures for Prometheus ------------------------------------------------------------------
# The figures that docs/operating.md's table names are those that the remote host and the check
# write, and its alert rules read no other.
figure_names() {
  local written tabled ruled unknown
  written=$(grep -oh '"trackrelay_\(remote_host\|exchange\)_[a-z_]*' remote_host/figures.cc check/state_views.cc |
    tr -d '"' | sort -u)
  tabled=$(sed -n '/^### Figures for Prometheus$/,/^### /p' docs/operating.md | grep '^| `trackrelay_' |
    cut -d'|' -f2 | grep -o 'trackrelay_[a-z_]*' | sort -u)
  if [ -z "$written" ] || [ "$written" != "$tabled" ]; then
    fail "docs/operating.md's table of figures names $(tr '\n' ' ' <<<"$tabled")but the programs write $(tr '\n' ' ' <<<"$written")"
  else
    pass "docs/operating.md's table names the $(wc -l <<<"$written") figures the programs write, and no other"
  fi
  ruled=$(block_after docs/operating.md 'Two rules for Prometheus' | grep 'expr:' | grep -o 'trackrelay_[a-z_]*' | sort -u)
  unknown=$(comm -23 <(echo "$ruled") <(echo "$written"))
  if [ -n "$ruled" ] && [ -z "$unknown" ]; then
    pass "docs/operating.md's alert rules read figures the programs write: $(tr '\n' ' ' <<<"$ruled")"
  else
    fail "docs/operating.md's alert rules read $(tr '\n' ' ' <<<"${unknown:-nothing}")which no program writes"
  fi
}

# --- the numbers the pages repeat from the code --------------------------------------------------
# The text of a page as a reader reads it: one line, blanks collapsed, without Markdown's bold and
# roff's macros and escapes, so that a phrase is found however the page breaks its lines.
plain_text() {
  sed -e 's/^\.[A-Z][A-Z]* *//' -e 's/^\.[a-z]*$//' -e 's/\\-/-/g' -e 's/\\e/\\/g' -e 's/\\f[BIRP]//g' \
    -e 's/\*\*//g' -e 's/`//g' "$1" | tr '\n' ' ' | tr -s ' \t' '  '
}
declare -A plain_of
# The constants that the code defines as a number ("kName = 42;", "kName{42}", "16u << 20"),
# by name, wherever among the sources they stand (the tests' own left out).
declare -A code_values=()
load_code_values() {
  local line name expr
  while IFS= read -r line; do
    name=${line%%[ {]*}
    expr=${line#"$name"}
    expr=${expr#" = "}
    expr=${expr#"{"}
    # A number, perhaps shifted or multiplied ("16u << 20", "64 * 1024"), and nothing else.
    [ -n "${code_values[$name]+set}" ] || [[ ! $expr =~ ^[0-9][0-9u\ \<\*]*$ ]] || code_values[$name]=$((${expr//u/}))
  done < <(grep -rhoE '\bk[A-Z][A-Za-z0-9]*( = |\{)[^;}]*' relay remote_host platform cgi check \
             --include='*.h' --include='*.cc' --exclude='*_test.cc' 2>/dev/null)
}
# says PAGE PHRASE: PAGE holds PHRASE, as a reader reads it.
says() {
  [ -n "${plain_of[$1]+set}" ] || plain_of[$1]=$(plain_text "$1")
  [[ ${plain_of[$1]} == *"$2"* ]]
}
# Each fact: the constant, what its value is in the phrases (ms as s, bytes as KiB or MiB), and
# the phrases that state it, "@" standing for the value.
code_numbers() {
  local count=0 start=$failures name unit value shown page phrase
  load_code_values
  while IFS='|' read -r name unit page phrase; do
    [ -n "$name" ] || continue
    value=${code_values[$name]:-}
    if [ -z "$value" ]; then
      fail "no source defines $name, which $page states"
      continue
    fi
    case $unit in
      s) shown=$((value / 1000)) ;;
      KiB) shown=$((value >> 10)) ;;
      MiB) shown=$((value >> 20)) ;;
      min) shown=$((value / 60000)) ;;
      *) shown=$value ;;
    esac
    count=$((count + 1))
    says "$page" "${phrase//@/$shown}" || fail "$page does not say '${phrase//@/$shown}' ($name is $value in the code)"
  done <<'FACTS'
kLongestLockWaitMs|s|packaging/debian/trackrelay.8|a request waits for it @ s at most
kLongestLockWaitMs|s|packaging/debian/trackrelay.8|held it for all of the @ s a request waits for it
kLongestLockWaitMs|s|docs/request.md|waits for the counter's lock for @ s at most
kLongestLockWaitMs|s|docs/deploy.md|for the lock no longer than @ s
kLongestWaitMs|s|packaging/debian/trackrelay.8|for no more than @ s since the request began
kLongestWaitMs|s|docs/request.md|once @ s have passed since the request began
kLongestWaitMs|s|docs/deploy.md|ends once @ s have passed since the request began
kLooksBeforeTimeout||packaging/debian/trackrelay.8|until @ looks have missed
kLooksBeforeTimeout||docs/request.md|The wait ends at the @th miss
kPollIntervalMs||packaging/debian/trackrelay.8|at once and every @ ms
kPollIntervalMs||docs/deploy.md|one stat of N.out every @ ms
kProgramWait|s|packaging/debian/trackrelay.8|have missed (about @ s)
kProgramWait|s|docs/remote-host.md|Answer within @ seconds
kProgramWait|s|packaging/debian/trackrelay-remote-host.1|waits @ s for the answer
kLongestAnswerBytes|MiB|packaging/debian/trackrelay.8|deletes the file: @ MiB at most
kLongestAnswerBytes|MiB|docs/request.md|past @ MiB of lines
kLongestLateRelayMs|s|packaging/debian/trackrelay.8|(@ s from an answer found later than that)
kLongestLateRelayMs|s|docs/request.md|has @ s from then
kResponsePartSize|KiB|docs/request.md|A line longer than @ KiB is read and sent in parts of @ KiB
kStalePauseMs||docs/request.md|the others @ ms apart
kBusyPauseMs||docs/request.md|made again every @ ms for about a second
kCommandDeadline|s|packaging/debian/trackrelay-remote-host.1|it is killed @ s after its request's publication in any case
kCommandDeadline|s|docs/remote-host.md|running @ s after publication
kCommandDeadline|s|docs/operating.md|buckets 0.05 s to @ s, the deadline
kAnswerLimit|MiB|packaging/debian/trackrelay-remote-host.1|the answer, up to @ MiB
kAnswerLimit|MiB|docs/remote-host.md|(up to @ MiB, line ends made CR LF)
kErrorsKept|KiB|packaging/debian/trackrelay-remote-host.1|kept, its first @ KiB
kFieldLimit|KiB|packaging/debian/trackrelay-remote-host.1|a variable above @ KiB
kFieldsLimit|KiB|packaging/debian/trackrelay-remote-host.1|the fields beyond @ KiB in all
kRequestLimit|MiB|packaging/debian/trackrelay-remote-host.1|as does one above @ MiB
kRequestLimit|MiB|docs/remote-host.md|A request file above @ MiB fails unread
kAnswerLeftBehind|min|packaging/debian/trackrelay-remote-host.1|inbound folder for @ minutes
kAnswerLeftBehind|min|docs/remote-host.md|has stood in r:\tont\ for @ minutes
kAnswerLeftBehind|min|docs/operating.md|answers removed after standing @ minutes
FACTS
  [ "$failures" = "$start" ] && pass "the pages state the $count numbers they repeat from the code as the code has them"
}

# --- what the pages repeat from the package's snippets and the share harness ---------------------
# The CGI time limit that every snippet gives the program, the nginx snippet that deploy.md shows,
# and the client options that deploy.md gives as those the share tests use.
snippets_and_clients() {
  local limits limit start=$failures shown shipped harness
  limits=$(sed -n 's/^ *CGID\{0,1\}ScriptTimeout \([0-9]*\)$/\1/p; s/^ *fastcgi_read_timeout \([0-9]*\)s;$/\1/p' \
    packaging/debian/apache2.conf packaging/debian/nginx.conf
    sed -n 's/.*<cgi timeout="00:\([0-9]*\):\([0-9]*\)".*/\1 \2/p' packaging/windows/web.config |
      while read -r m s; do echo $((10#$m * 60 + 10#$s)); done)
  limit=$(sort -u <<<"$limits")
  if [ "$(wc -l <<<"$limit")" != 1 ] || [ "$(wc -l <<<"$limits")" != 4 ]; then
    fail "the snippets' CGI time limits are not one value in four places: $(tr '\n' ' ' <<<"$limits")"
  else
    for shown in "docs/deploy.md|and for calls that wait their turn behind other requests' on a one-thread client (sshfs -s): $limit s" \
      "docs/deploy.md|CGIScriptTimeout $limit and CGIDScriptTimeout $limit" "docs/deploy.md|fastcgi_read_timeout ${limit}s" \
      "docs/deploy.md|the zip's web.config sets $limit s" "packaging/debian/trackrelay.8|give the program $limit s in the web server" \
      "docs/install.md|sets the CGI time limit to $limit s"; do
      says "${shown%%|*}" "${shown#*|}" || fail "${shown%%|*} does not say '${shown#*|}' (the snippets' limit is $limit s)"
    done
  fi
  shipped=$(grep -v '^ *#' packaging/debian/nginx.conf | grep -v '^$')
  shown=$(block_after docs/deploy.md '`/etc/nginx/snippets/trackrelay.conf`, included in a `server` block:')
  [ "$shipped" = "$shown" ] || fail "docs/deploy.md's nginx snippet is not the package's: $(diff <(echo "$shown") <(echo "$shipped") | tr '\n' ' ')"
  harness=$(bash -c 'source harness/shares/lib.sh && trackrelay_share_sftp_timeouts /nonexistent')
  says docs/deploy.md "| sshfs (SFTP) | $harness |" || fail "docs/deploy.md's sshfs options are not the share tests' $harness"
  says docs/testing.md "sshfs with $harness" || fail "docs/testing.md's sshfs options are not the share tests' $harness"
  harness=$(sed -n 's/.*local dir=$1 port=$2 pid timeout=\([0-9]*\)$/\1/p' harness/shares/kinds/smb.sh)
  says docs/deploy.md "| smbnetfs (SMB) | smb_timeout $harness in smbnetfs.conf |" ||
    fail "docs/deploy.md's smb_timeout is not the share tests' $harness"
  says docs/testing.md "smbnetfs with smb_timeout $harness" || fail "docs/testing.md's smb_timeout is not the share tests' $harness"
  [ "$failures" = "$start" ] && pass "the pages state the snippets' time limit of $limit s, the nginx snippet and the share tests' client options as they are"
}

quick_start
figure_names
links
repository_paths
presets
zip_files
crontab_line
defaults
code_numbers
snippets_and_clients
[ "$failures" = 0 ]
