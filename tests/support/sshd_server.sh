#!/usr/bin/env bash
# A real OpenSSH server for tests and measurements on this machine: listens on
# 127.0.0.1 only, on a free port, takes one generated client key and nothing
# else (no passwords), and keeps every file (config, host and client keys, pid
# file, log) in one private folder.
#
#   sshd_server.sh start DIR [OWNER_PID]
#       DIR must not exist yet. Starts sshd and returns when a login works.
#       Then `ssh -F DIR/ssh_config ANYNAME command` logs in to it: every host
#       name leads to 127.0.0.1, so several names can stand for several
#       machines. With OWNER_PID, a watcher stops the server as soon as that
#       process is gone, so a test that crashes or is killed leaves nothing.
#   sshd_server.sh stop DIR
#       Stops the server, ssh connection masters and the watcher, and waits
#       until they have ended. DIR stays for the caller to remove.
#   sshd_server.sh leftovers DIR
#       Prints any process or listening port of that server that is still
#       there; prints nothing when all is gone.
#
# The logins run their commands with HOME set to DIR/home, whose shell
# start-up files would fail every command, and with SHLVL=1, which keeps bash
# from reading ~/.bashrc and /etc/bash.bashrc for a command sent over ssh: the
# commands see neither the user's start-up files nor these.
set -uo pipefail
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
here=$(cd "$(dirname "$0")" && pwd -P)

die() { echo "sshd_server: $*" >&2; exit 1; }

free_port() { python3 -c '
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# Every process of this server: those with the folder in their command line
# (sshd as started, ssh connection masters, the watcher), the logins'
# commands by their home, and sshd's per-connection processes, which rename
# themselves, as the server's descendants.
descendants() { # pid -> the pids of all its children, their children and so on
  # A stat line: pid (command name, which may hold anything) state ppid ...
  cat /proc/[0-9]*/stat 2>/dev/null | awk -v root="$1" '
    { rest = $0; sub (/.*\) /, "", rest); split (rest, field, " "); parent[$1] = field[2] }
    END { found[root] = 1
          do { more = 0; for (p in parent) if (! (p in found) && (parent[p] in found)) { found[p] = 1; more = 1 } } while (more)
          for (p in found) if (p != root) print p }'
}

server_pids() {
  local dir=$1 candidates pid
  candidates=$({ grep -lzF -- "$dir/" /proc/[0-9]*/cmdline | cut -d/ -f3
                 grep -lzxF -- "HOME=$dir/home" /proc/[0-9]*/environ | cut -d/ -f3
                 [ -s "$dir/sshd.pid" ] && descendants "$(cat "$dir/sshd.pid")"; } 2>/dev/null | sort -un)
  # The search's own processes matched too, and are gone now; this shell and
  # the one running this function are no leftovers either.
  for pid in $candidates; do
    [ "$pid" = "$$" ] || [ "$pid" = "$BASHPID" ] || ! alive_pid "$pid" || echo "$pid"
  done
}

leftovers() {
  local dir=$1 pid port
  for pid in $(server_pids "$dir"); do echo "process $pid: $( { tr '\0' ' ' < "/proc/$pid/cmdline"; } 2>/dev/null)"; done
  if [ -f "$dir/port" ]; then
    port=$(cat "$dir/port")
    if ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then echo "port $port still listening"; fi
  fi
}

# A process that has ended but not been reaped yet (a zombie) counts as gone.
alive_pid() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) } # the state follows the command name, which may hold anything
  [ -n "$stat" ] && [ "${stat%% *}" != Z ]
}

wait_gone() { # seconds pid...
  local limit=$1 pid alive i; shift
  for i in $(seq 1 $((limit * 10))); do
    alive=0
    for pid in "$@"; do alive_pid "$pid" && alive=1; done
    [ "$alive" = 0 ] && return 0
    sleep 0.1
  done
  return 1
}

start() {
  local dir=$1 owner=${2:-}
  [ -e "$dir" ] && die "$dir exists already"
  for tool in /usr/sbin/sshd ssh ssh-keygen python3 ss; do
    command -v "$tool" >/dev/null || die "$tool is not installed (bash scripts/setup.sh installs it)"
  done
  # sshd refuses keys in a folder that others may write to.
  mkdir -p "$dir" && chmod 700 "$dir"
  dir=$(cd "$dir" && pwd -P)
  mkdir -p "$dir/home"
  local port user
  port=$(free_port)
  echo "$port" > "$dir/port"
  user=$(id -un)

  if [ -n "$owner" ]; then
    setsid bash "$here/sshd_server.sh" watch "$dir/" "$owner" </dev/null >>"$dir/watch.log" 2>&1 &
    echo $! > "$dir/watch.pid"
  fi

  for f in .bashrc .bash_profile .profile; do
    printf 'echo "%s was read: the remote command must not depend on it"\nexit 7\n' "$f" > "$dir/home/$f"
  done
  ssh-keygen -q -t ed25519 -N '' -C test-host -f "$dir/host_ed25519" || { stop "$dir"; die "ssh-keygen failed"; }
  ssh-keygen -q -t ed25519 -N '' -C test-client -f "$dir/client_ed25519" || { stop "$dir"; die "ssh-keygen failed"; }
  cp "$dir/client_ed25519.pub" "$dir/authorized_keys"

  cat > "$dir/sshd_config" <<CONF
ListenAddress 127.0.0.1
Port $port
HostKey $dir/host_ed25519
PidFile $dir/sshd.pid
AuthorizedKeysFile $dir/authorized_keys
AllowUsers $user
PermitRootLogin prohibit-password
# The keys are in a private folder, but the folders above it (/tmp) are
# writable by all, which the default strict checks refuse.
StrictModes no
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
PrintMotd no
PrintLastLog no
X11Forwarding no
AllowTcpForwarding no
MaxStartups 100:30:200
MaxSessions 100
SetEnv HOME=$dir/home SHLVL=1
LogLevel INFO
CONF

  cat > "$dir/ssh_config" <<CONF
Host *
  HostName 127.0.0.1
  Port $port
  User $user
  IdentityFile $dir/client_ed25519
  IdentitiesOnly yes
  BatchMode yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
CONF

  # sshd's privilege separation folder; a Debian system makes it when the
  # service starts, which does not happen here.
  mkdir -p /run/sshd 2>/dev/null
  /usr/sbin/sshd -f "$dir/sshd_config" -E "$dir/sshd.log" </dev/null >>"$dir/start.log" 2>&1 ||
    { cat "$dir/start.log" "$dir/sshd.log" >&2 2>/dev/null; stop "$dir"; die "sshd did not start"; }

  local i
  for i in $(seq 1 50); do
    if ssh -F "$dir/ssh_config" -o ConnectTimeout=5 probe true </dev/null >/dev/null 2>>"$dir/start.log"; then
      return 0
    fi
    sleep 0.1
  done
  cat "$dir/start.log" "$dir/sshd.log" >&2 2>/dev/null
  stop "$dir"
  die "no key login to sshd on 127.0.0.1:$port within 50 tries; see the log above"
}

stop() {
  local dir=$1
  [ -d "$dir" ] || return 0
  dir=$(cd "$dir" && pwd -P)
  if [ -f "$dir/watch.pid" ]; then
    local watcher; watcher=$(cat "$dir/watch.pid")
    if [ "$watcher" != "$$" ]; then kill "$watcher" 2>/dev/null && wait_gone 3 "$watcher"; fi
  fi
  # The server and its sessions go together: once the server has ended, its
  # sessions can no longer be told by their parent.
  local pids
  pids=$(server_pids "$dir")
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086
    kill $pids 2>/dev/null; wait_gone 3 $pids || kill -9 $pids 2>/dev/null
    # shellcheck disable=SC2086
    wait_gone 3 $pids
  fi
}

watch() {
  local dir=${1%/} owner=$2
  while kill -0 "$owner" 2>/dev/null && [ -d "$dir" ]; do sleep 1; done
  # The owner is gone without stopping the server: nobody else removes it.
  stop "$dir"
  rm -rf "$dir"
}

case "${1:-}" in
  start)     [ $# -ge 2 ] || die "usage: sshd_server.sh start DIR [OWNER_PID]"; start "$2" "${3:-}" ;;
  stop)      [ $# -eq 2 ] || die "usage: sshd_server.sh stop DIR"; stop "$2" ;;
  leftovers) [ $# -eq 2 ] || die "usage: sshd_server.sh leftovers DIR"; leftovers "$2" ;;
  watch)     watch "$2" "$3" ;;
  *) die "usage: sshd_server.sh start|stop|leftovers DIR" ;;
esac
