# Shell helpers that start a web server with trackrelay behind it, for the web-server tests and
# the demo. Source this file; every name it defines begins with "trackrelay_".
#
# A server gets a config of its own, on a loopback port, and serves a small ready file so that a
# caller knows the server answering on that port is its own.

# A loopback port that nothing listens on now. Another process may take it before the server
# does; trackrelay_start_server tries again then.
trackrelay_pick_port() {
  local port
  while true; do
    port=$((20000 + RANDOM % 40000))
    # A refused connection means the port is free.
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return
    fi
  done
}

# lighttpd config: the documents in $2, the CGI programs in folder $3 under /cgi-bin/, the drive
# root $4 handed to them in TRACKRELAY_DRIVE_ROOT, logs in $5.
trackrelay_lighttpd_config() {
  local port=$1 docroot=$2 cgi_dir=$3 drive_root=$4 log_dir=$5
  cat <<CONF
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$docroot"
server.errorlog = "$log_dir/lighttpd-error.log"
server.modules = ("mod_alias", "mod_cgi", "mod_setenv")
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html; charset=utf-8", ".txt" => "text/plain")
alias.url = ("/cgi-bin/" => "$cgi_dir/")
# lighttpd takes the program's first line, "HTTP/1.0 200 OK", as the response's status line.
\$HTTP["url"] =^ "/cgi-bin/" { cgi.assign = ("" => "") }
setenv.add-environment = ("TRACKRELAY_DRIVE_ROOT" => "$drive_root")
CONF
}

# Apache httpd config with mod_cgi, as trackrelay_lighttpd_config, the children running as user
# $6 and group $7 when started as root. Apache parses a CGI program's header lines and refuses a
# status line among them ("malformed header"), except from a program whose name begins with
# "nph-": its output goes to the client as it stands.
trackrelay_apache_config() {
  local port=$1 docroot=$2 cgi_dir=$3 drive_root=$4 log_dir=$5 user=$6 group=$7
  local modules=/usr/lib/apache2/modules
  cat <<CONF
ServerRoot "$log_dir"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$log_dir/apache.pid"
DefaultRuntimeDir "$log_dir"
ErrorLog "$log_dir/apache-error.log"
LogLevel warn
User $user
Group $group
LoadModule mpm_prefork_module $modules/mod_mpm_prefork.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule alias_module $modules/mod_alias.so
LoadModule cgi_module $modules/mod_cgi.so
LoadModule env_module $modules/mod_env.so
# The program waits up to 45 seconds for the remote host before it writes a byte, and up to 90 s
# and one blocked call of the share's client on a share that hangs.
Timeout 150
DocumentRoot "$docroot"
<Directory "$docroot">
  Require all granted
</Directory>
ScriptAlias /cgi-bin/ "$cgi_dir/"
<Directory "$cgi_dir">
  Require all granted
</Directory>
SetEnv TRACKRELAY_DRIVE_ROOT "$drive_root"
CONF
}

# Waits until the server $2 on port $1 serves /ready.txt holding $3: status 0. Status 1 when the
# server has ended, or has not answered so within 10 seconds.
trackrelay_wait_ready() {
  local port=$1 pid=$2 token=$3 i
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || return 1
    [ "$(curl -s --max-time 1 "http://127.0.0.1:$port/ready.txt" 2>/dev/null)" = "$token" ] && return 0
    sleep 0.1
  done
  return 1
}

# Stops process $1 and waits for its end; kills it when it has not ended within 5 seconds.
trackrelay_stop() {
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Starts server $1 (lighttpd or apache) in the foreground of a background job, with the config
# that trackrelay_<server>_config writes from the arguments after the port: $2 is the port, or
# "any" for a free one (tried again when another process takes it first); $3 the documents; the
# rest go to the config function. Sets TRACKRELAY_SERVER_PID and TRACKRELAY_SERVER_PORT.
# The config goes to LOG_DIR/<server>.conf, LOG_DIR being the config function's log folder.
# TRACKRELAY_EXTRA_CONFIG, when set, is added to its end.
trackrelay_start_server() {
  local server=$1 wanted=$2 docroot=$3
  shift 3
  local log_dir=$3 token="ready $$ $RANDOM$RANDOM" attempt port conf
  conf="$log_dir/$server.conf"
  printf '%s' "$token" >"$docroot/ready.txt"
  for ((attempt = 0; attempt < 10; attempt++)); do
    port=$wanted
    [ "$wanted" = any ] && port=$(trackrelay_pick_port)
    "trackrelay_${server}_config" "$port" "$docroot" "$@" >"$conf"
    if [ -n "${TRACKRELAY_EXTRA_CONFIG:-}" ]; then printf "%s\n" "$TRACKRELAY_EXTRA_CONFIG" >>"$conf"; fi
    case $server in
      lighttpd) lighttpd -D -f "$conf" </dev/null &;;
      # Apache signals its whole process group when it stops: it gets a group of its own.
      apache) setsid apache2 -f "$conf" -DFOREGROUND </dev/null &;;
    esac
    TRACKRELAY_SERVER_PID=$!
    TRACKRELAY_SERVER_PORT=$port
    trackrelay_wait_ready "$port" "$TRACKRELAY_SERVER_PID" "$token" && return 0
    trackrelay_stop "$TRACKRELAY_SERVER_PID"
    TRACKRELAY_SERVER_PID=
    [ "$wanted" = any ] || break
  done
  echo "$server did not start on port ${port:-?}; see $log_dir" >&2
  return 1
}
