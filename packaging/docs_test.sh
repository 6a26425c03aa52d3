#!/usr/bin/env bash
# The facts the pages state that the repository itself can tell: the README's quick start, the
# links between the pages and the paths they name, the presets they run, the files of the zip,
# the crontab line of trackrelay-check(8), the defaults built into the programs and the figures
# they write for Prometheus. Each fact is
# read from the page and from where it is true (the code, the build, the package's tests), and
# the two must agree, so that a page goes wrong only together with a failing test.
# usage: docs_test.sh SOURCE_DIR   (CMAKE and CTEST name the tools, when not those on the PATH)
set -uo pipefail
cmake=${CMAKE:-cmake}
ctest=${CTEST:-ctest}
src=$(cd "$1" && pwd)
cd "$src" || exit 1
pages=(README.md CONTRIBUTING.md docs/*.md)
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
      grep -E '^(\.ci|app|bench|browser|cgi|cmake|docs|fuzz|packaging|platform|relay|scripts|remote_host|check|harness)/' | grep -v '[<>*]' | sort -u)
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

quick_start
figure_names
links
repository_paths
presets
zip_files
crontab_line
defaults
[ "$failures" = 0 ]
