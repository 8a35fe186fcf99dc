#!/usr/bin/env bash
# A one-node Slurm cluster that lives in one private folder, for tests and
# measurements on this machine: MUNGE, slurmctld and slurmd, listening on
# 127.0.0.1 only, on free ports, with every file (config, key, socket, state,
# spool, logs, pid files) inside the folder and nothing in /etc, /run or /var.
#
#   slurm_cluster.sh start DIR [OWNER_PID]
#       DIR must not exist yet, and the folders above it must be searchable
#       by all (munged insists). Starts the daemons and returns when the node
#       is idle. Clients find the cluster with SLURM_CONF=DIR/slurm.conf.
#       With OWNER_PID, a watcher stops the cluster as soon as that process
#       is gone, so a test that crashes or is killed leaves nothing running.
#   slurm_cluster.sh stop DIR
#       Cancels what is still queued, shuts the daemons down, waits until
#       every one of them has ended (killing what does not). DIR stays, with
#       the logs, for the caller to look at and remove.
#   slurm_cluster.sh leftovers DIR
#       Prints any process or listening port of that cluster that is still
#       there; prints nothing when all is gone.
set -uo pipefail
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
here=$(cd "$(dirname "$0")" && pwd -P)

die() { echo "slurm_cluster: $*" >&2; exit 1; }

# Ports the kernel hands out as free right now (they stay free in practice:
# the daemons take them within a second).
free_ports() { python3 -c '
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))' "$1"; }

log_tail() { for f in "$1"/log/*.log; do [ -f "$f" ] && { echo "--- $f"; tail -n 15 "$f"; }; done >&2; }

# Every process that belongs to this cluster: the daemons and the watcher by
# their command line, and anything Slurm started (slurmstepd, the batch
# scripts) by the SLURM_CONF it inherited.
cluster_pids() {
  local dir=$1 candidates pid
  candidates=$({ grep -lzF -- "$dir/" /proc/[0-9]*/cmdline; grep -lzxF -- "SLURM_CONF=$dir/slurm.conf" /proc/[0-9]*/environ; } 2>/dev/null |
    cut -d/ -f3 | sort -un)
  # The search's own processes matched too, and are gone now; this shell and
  # the one running this function are no leftovers either.
  for pid in $candidates; do
    [ "$pid" = "$$" ] || [ "$pid" = "$BASHPID" ] || ! alive_pid "$pid" || echo "$pid"
  done
}

listening() { # port... -> the ones that something listens on
  local port
  for port in "$@"; do
    if ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then echo "$port"; fi
  done
}

leftovers() {
  local dir=$1 pids ports
  pids=$(cluster_pids "$dir")
  for pid in $pids; do echo "process $pid: $( { tr '\0' ' ' < "/proc/$pid/cmdline"; } 2>/dev/null)"; done
  if [ -f "$dir/ports" ]; then
    # shellcheck disable=SC2046
    for port in $(listening $(cat "$dir/ports")); do echo "port $port still listening"; done
  fi
}

# A start that fails stops what it started, then says why.
fail_start() { log_tail "$1"; stop "$1"; die "$2"; }

start() {
  local dir=$1 owner=${2:-}
  [ -e "$dir" ] && die "$dir exists already"
  for tool in munged mungekey slurmctld slurmd sinfo scontrol python3 ss; do
    command -v "$tool" >/dev/null || die "$tool is not installed (bash scripts/setup.sh installs it)"
  done
  # Others may pass through but not look in: munged wants every folder above
  # its socket searchable by all.
  mkdir -p "$dir" && chmod 711 "$dir"
  dir=$(cd "$dir" && pwd -P)
  mkdir -p "$dir"/{state,spool,log,munge,mungekey}
  chmod 755 "$dir/munge"      # munged refuses a socket folder that is not exactly so
  chmod 700 "$dir/mungekey"

  local node ports ctld_port slurmd_port cpus mem
  node=$(hostname -s)
  read -r ctld_port slurmd_port < <(free_ports 2)
  echo "$ctld_port $slurmd_port" > "$dir/ports"
  cpus=$(nproc)
  # Memory the node offers to jobs, so that a job's --mem request is checked
  # against something real (Slurm's default is 1 MB).
  mem=$(awk '/^MemTotal:/ { printf "%d", $2 / 1024 * 0.9 }' /proc/meminfo)

  cat > "$dir/slurm.conf" <<CONF
ClusterName=test
SlurmctldHost=$node(127.0.0.1)
SlurmUser=$(id -un)
SlurmdUser=$(id -un)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket.2
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/filetxt
JobCompLoc=$dir/log/jobcomp.txt
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
SchedulerType=sched/backfill
SchedulerParameters=batch_sched_delay=0,bf_interval=1
MpiDefault=none
ReturnToService=2
MinJobAge=600
MailProg=/bin/true
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
NodeName=$node NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
CONF
  # The watcher is known by the folder in its command line (written with a
  # slash, as the daemons' paths are).
  if [ -n "$owner" ]; then
    setsid bash "$here/slurm_cluster.sh" watch "$dir/" "$owner" </dev/null >>"$dir/log/watch.log" 2>&1 &
    echo $! > "$dir/watch.pid"
  fi
  export SLURM_CONF=$dir/slurm.conf

  mungekey --create --keyfile="$dir/mungekey/munge.key" >>"$dir/log/mungekey.log" 2>&1 ||
    { fail_start "$dir" "mungekey could not make a key"; }
  chmod 400 "$dir/mungekey/munge.key"
  munged --key-file="$dir/mungekey/munge.key" --socket="$dir/munge/munge.socket.2" \
    --pid-file="$dir/munged.pid" --log-file="$dir/log/munged.log" --seed-file="$dir/mungekey/munge.seed" \
    </dev/null >>"$dir/log/start.log" 2>&1 || { fail_start "$dir" "munged did not start"; }
  slurmctld -i -f "$dir/slurm.conf" </dev/null >>"$dir/log/start.log" 2>&1 ||
    { fail_start "$dir" "slurmctld did not start"; }
  slurmd -f "$dir/slurm.conf" </dev/null >>"$dir/log/start.log" 2>&1 ||
    { fail_start "$dir" "slurmd did not start"; }

  local state="" i
  for i in $(seq 1 300); do
    state=$(sinfo -h -n "$node" -o %t 2>/dev/null || true)
    [ "$state" = idle ] && break
    sleep 0.1
  done
  if [ "$state" != idle ]; then
    fail_start "$dir" "the node did not become idle within 30 s (state: '${state:-none}'); see the logs above"
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

stop() {
  local dir=$1
  [ -d "$dir" ] || return 0
  dir=$(cd "$dir" && pwd -P)
  export SLURM_CONF=$dir/slurm.conf
  # The watcher's job is done when stop runs (it may be the watcher itself).
  if [ -f "$dir/watch.pid" ]; then
    local watcher; watcher=$(cat "$dir/watch.pid")
    if [ "$watcher" != "$$" ]; then kill "$watcher" 2>/dev/null && wait_gone 3 "$watcher"; fi
  fi
  local daemons=() f
  for f in slurmctld slurmd; do [ -s "$dir/$f.pid" ] && daemons+=("$(cat "$dir/$f.pid")"); done
  if [ "${#daemons[@]}" -gt 0 ]; then
    # Tasks still running when slurmd goes can leave a slurmstepd behind, so
    # the queue is emptied first.
    scancel --partition=test >/dev/null 2>&1
    local i
    for i in $(seq 1 100); do
      [ -z "$(squeue -h -o %i 2>/dev/null)" ] && break
      sleep 0.1
    done
    scontrol shutdown >/dev/null 2>&1
    wait_gone 15 "${daemons[@]}"
  fi
  if [ -S "$dir/munge/munge.socket.2" ]; then
    munged -S "$dir/munge/munge.socket.2" --stop >/dev/null 2>&1
  fi
  [ -s "$dir/munged.pid" ] && wait_gone 5 "$(cat "$dir/munged.pid")"
  # Whatever is still there is killed: nothing of the cluster may outlive it.
  local pids
  pids=$(cluster_pids "$dir")
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086
    kill $pids 2>/dev/null; wait_gone 3 $pids || kill -9 $pids 2>/dev/null
    # shellcheck disable=SC2086
    wait_gone 3 $pids
  fi
}

watch() {
  local dir=$1 owner=$2
  dir=${dir%/}
  while kill -0 "$owner" 2>/dev/null && [ -d "$dir" ]; do sleep 1; done
  # The owner is gone without stopping the cluster: nobody else removes it.
  stop "$dir"
  rm -rf "$dir"
}

case "${1:-}" in
  start)     [ $# -ge 2 ] || die "usage: slurm_cluster.sh start DIR [OWNER_PID]"; start "$2" "${3:-}" ;;
  stop)      [ $# -eq 2 ] || die "usage: slurm_cluster.sh stop DIR"; stop "$2" ;;
  leftovers) [ $# -eq 2 ] || die "usage: slurm_cluster.sh leftovers DIR"; leftovers "$2" ;;
  watch)     watch "$2" "$3" ;;
  *) die "usage: slurm_cluster.sh start|stop|leftovers DIR" ;;
esac
