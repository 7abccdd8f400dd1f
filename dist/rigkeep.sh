#!/bin/sh
# Init script of the rigkeep agent: start, stop, restart, status.
#
# "start" runs a small supervisor in the background. It starts the agent and,
# whenever the agent exits with a failure (status 1 when its link hung or a
# firmware update failed, or killed by a signal), starts it again after a
# pause. A clean exit (status 0) ends the supervisor. "stop" ends the
# supervisor, which passes SIGTERM on to the agent and waits for it.
#
# After a firmware update the agent itself runs "rigkeep.sh restart" and waits
# for it: the stop part ends that agent (SIGTERM makes it exit 0), the start
# part runs the new binary under a new supervisor.

PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

DAEMON=/usr/bin/rigkeep
RESPAWN_DELAY=5      # seconds between an exit and the next start
START_TIMEOUT=10     # seconds "start" waits for the agent to be running
STOP_TIMEOUT=20      # seconds the agent gets to stop (it needs at most 10)
LOG_FILE=/var/log/rigkeep.log
LOG_LIMIT=524288     # bytes; beyond this the log is moved to rigkeep.log.old
LOG_CHECK=600        # seconds between two checks of the log's size

RUN_DIR=/var/run
[ -d "$RUN_DIR" ] || RUN_DIR=/run
PID_FILE=$RUN_DIR/rigkeep.pid
SUPERVISOR_PID_FILE=$RUN_DIR/rigkeep.sh.pid

SUPERVISOR_CMD="* supervise "
DAEMON_CMD="*$DAEMON*"

# Short pause; whole seconds where sleep takes no fractions.
nap() {
    sleep 0.2 2>/dev/null || sleep 1
}

# True when process $1 is alive and its command line matches pattern $2 (a
# reused pid or a zombie does not match).
running() {
    cmd=$(tr '\0' ' ' 2>/dev/null < "/proc/$1/cmdline") || return 1
    # shellcheck disable=SC2254 # $2 is a pattern
    case $cmd in
        $2) return 0 ;;
    esac
    return 1
}

# Prints the pid in file $1 when that process is alive and matches $2.
live_pid() {
    pid=
    [ -r "$1" ] && read -r pid < "$1"
    case $pid in
        '' | *[!0-9]*) return 1 ;;
    esac
    running "$pid" "$2" || return 1
    echo "$pid"
}

# Waits up to $3 seconds for process $1 (matching $2) to end.
await_end() {
    deadline=$(($(date +%s) + $3))
    while running "$1" "$2"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        nap
    done
}

note() {
    echo "$(date '+A [%Y/%m/%d %H:%M:%S]') $1: rigkeep.sh: $2" >> "$LOG_FILE"
}

# The agent's output goes to the log with O_APPEND, so emptying the file in
# place is safe while it writes.
trim_log() {
    [ -f "$LOG_FILE" ] || return 0
    size=$(($(wc -c < "$LOG_FILE")))
    [ "$size" -gt "$LOG_LIMIT" ] || return 0
    cp "$LOG_FILE" "$LOG_FILE.old" && : > "$LOG_FILE"
}

# Keeps the log small while the agent runs for months; ends with the
# supervisor ($$ is the supervisor's pid in this subshell too).
log_keeper() {
    trap 'kill "$keeper_nap" 2>/dev/null; exit 0' TERM
    while kill -0 $$ 2>/dev/null; do
        sleep "$LOG_CHECK" &
        keeper_nap=$!
        wait "$keeper_nap"
        trim_log
    done
}

supervise() {
    cd / || exit 1
    mkdir -p "${LOG_FILE%/*}"
    # The agent logs its API key: the log and its old copy are for root only,
    # also those an earlier version left readable. Everything the supervisor
    # creates gets that mode; the agent keeps the umask it was started with.
    agent_umask=$(umask)
    umask 077
    : >> "$LOG_FILE"
    chmod 600 "$LOG_FILE"
    [ ! -e "$LOG_FILE.old" ] || chmod 600 "$LOG_FILE.old"
    stopping=
    current=
    trap 'stopping=1; [ -z "$current" ] || kill -TERM "$current" 2>/dev/null' TERM INT
    trap '' HUP
    log_keeper &
    keeper=$!
    while [ -z "$stopping" ]; do
        trim_log
        # exec keeps the pid: the one recorded is the agent's own.
        (trap - HUP; umask "$agent_umask"; exec "$DAEMON") < /dev/null >> "$LOG_FILE" 2>&1 &
        current=$!
        echo "$current" > "$PID_FILE"
        # Written once the agent runs: "start" waits for it.
        echo $$ > "$SUPERVISOR_PID_FILE"
        [ -z "$stopping" ] || kill -TERM "$current" 2>/dev/null
        wait "$current"
        status=$?
        # A stop interrupts the wait; the agent's own end is waited for.
        while [ -n "$stopping" ] && kill -0 "$current" 2>/dev/null; do
            wait "$current"
            status=$?
        done
        current=
        rm -f "$PID_FILE"
        [ -z "$stopping" ] || break
        if [ "$status" -eq 0 ]; then
            note INFO "rigkeep ended (status 0)"
            break
        fi
        note WARN "rigkeep exited with status $status, starting it again in $RESPAWN_DELAY s"
        sleep "$RESPAWN_DELAY" &
        current=$!
        [ -z "$stopping" ] || kill "$current" 2>/dev/null
        wait "$current"
        kill "$current" 2>/dev/null
        current=
    done
    kill "$keeper" 2>/dev/null
    rm -f "$SUPERVISOR_PID_FILE"
}

do_stop() {
    sup=$(live_pid "$SUPERVISOR_PID_FILE" "$SUPERVISOR_CMD") || sup=
    agent=$(live_pid "$PID_FILE" "$DAEMON_CMD") || agent=
    if [ -n "$sup" ]; then
        kill -TERM "$sup" 2>/dev/null
        await_end "$sup" "$SUPERVISOR_CMD" "$STOP_TIMEOUT" || kill -KILL "$sup" 2>/dev/null
    elif [ -n "$agent" ]; then
        # An agent left without its supervisor.
        kill -TERM "$agent" 2>/dev/null
    fi
    if [ -n "$agent" ] && ! await_end "$agent" "$DAEMON_CMD" "$STOP_TIMEOUT"; then
        kill -KILL "$agent" 2>/dev/null
    fi
    rm -f "$PID_FILE" "$SUPERVISOR_PID_FILE"
}

do_start() {
    if live_pid "$SUPERVISOR_PID_FILE" "$SUPERVISOR_CMD" > /dev/null; then
        echo "rigkeep is already running"
        return 0
    fi
    # Stale pid files, or an agent whose supervisor was killed.
    do_stop
    if [ ! -x "$DAEMON" ]; then
        echo "$DAEMON is not installed" >&2
        return 5
    fi
    # A session of its own: no terminal hangup reaches the supervisor.
    if command -v setsid > /dev/null 2>&1; then
        setsid /bin/sh "$0" supervise < /dev/null > /dev/null 2>&1 &
    else
        /bin/sh "$0" supervise < /dev/null > /dev/null 2>&1 &
    fi
    deadline=$(($(date +%s) + START_TIMEOUT))
    until live_pid "$SUPERVISOR_PID_FILE" "$SUPERVISOR_CMD" > /dev/null; do
        if [ "$(date +%s)" -ge "$deadline" ]; then
            echo "rigkeep did not start" >&2
            return 1
        fi
        nap
    done
    echo "rigkeep started"
}

do_status() {
    if agent=$(live_pid "$PID_FILE" "$DAEMON_CMD"); then
        echo "rigkeep is running (pid $agent)"
        return 0
    fi
    if live_pid "$SUPERVISOR_PID_FILE" "$SUPERVISOR_CMD" > /dev/null; then
        echo "rigkeep is being started again"
        return 0
    fi
    if [ -e "$PID_FILE" ] || [ -e "$SUPERVISOR_PID_FILE" ]; then
        echo "rigkeep is not running (stale pid file)"
        return 1
    fi
    echo "rigkeep is not running"
    return 3
}

case $1 in
    start) do_start ;;
    stop) do_stop ;;
    restart)
        do_stop
        do_start
        ;;
    status) do_status ;;
    supervise) supervise ;;
    *)
        echo "Usage: $0 {start|stop|restart|status}" >&2
        exit 2
        ;;
esac
