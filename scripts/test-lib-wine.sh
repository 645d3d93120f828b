# Sourced by scripts/test-windows and scripts/test-packages, which set root,
# work and kep_sim: the Wine prefix under build/windows (or $KEP_WINDOWS_BUILD) with COM7 mapped to a
# link that kep-sim publishes, and kep-sim started and checked.
build=${KEP_WINDOWS_BUILD:-$root/build/windows}
prefix=$build/wineprefix
link7=$build/vcom7
firmware=$root/resources/firmware.bin
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
declare -A sim_pids=()

note() { printf '%s\n' "$*"; }

# Runs a build step quietly; shows its output only when it fails.
quietly() { "$@" >"$work/build.log" 2>&1 || { cat "$work/build.log"; note "FAIL  build step: $*"; return 1; }; }

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
    local tries
    for ((tries = $1 * 10; tries > 0; tries--)); do "${@:2}" && return 0 || sleep 0.1; done
    return 1
}
gone() { ! kill -0 "$1" 2>/dev/null; }

# exits PID STATUS: the child PID ends within 20 s with STATUS.
exits() {
    local status=0
    wait_for 20 gone "$1" || { note "process $1 still runs 20 s later"; return 1; }
    wait "$1" || status=$?
    ((status == $2)) || { note "process $1 exited with $status, expected $2"; return 1; }
}

reg_add() { timeout 60 wine reg add "$@" /t REG_SZ /f >>"$work/wineboot.log" 2>&1; }

# The prefix is made once. Wine draws the window frame itself (there is no
# window manager), with fonts of its own so that pictures do not depend on the host's.
prepare_prefix() {
    [[ -f $prefix/system.reg ]] && return
    note "creating the Wine prefix (once)"
    mkdir -p "$prefix"
    timeout 180 wineboot -i >"$work/wineboot.log" 2>&1
    reg_add 'HKLM\Software\Wine\Ports' /v COM7 /d "$link7"
    reg_add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N
    reg_add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N
    mkdir -p "$prefix/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/"
}

# One Wine session for the whole run, its system processes started now: they
# inherit the first program's descriptors, so every Wine program's output goes
# to files, never a pipe, which they would hold open.
start_wine() {
    prepare_prefix
    timeout 20 wineserver -k 2>/dev/null || true
    wineserver -p </dev/null >"$work/wineserver.log" 2>&1
    timeout 60 wine cmd.exe /c exit </dev/null >"$work/wine-start.log" 2>&1
}

# Ends everything the run started: kep-sim, every other background job, and
# the Wine session with all its programs. The scripts call it from their EXIT
# trap, so a failed, interrupted or timed-out run leaves nothing behind.
stop_wine() {
    local pid
    for pid in "${sim_pids[@]}" $(jobs -p); do kill "$pid" 2>/dev/null || true; done
    timeout 20 wineserver -k 2>/dev/null || true
    rm -f "$link7"
}

# Background programs die with this shell even when it is killed outright and
# its traps never run. An array, not a function: a function run in the
# background would be a subshell of its own, and the program's parent.
with_parent=(setpriv --pdeathsig KILL)

# sim NAME LINK [kep-sim options...]: kep-sim on LINK, ready; its flash goes to NAME.bin.
sim() {
    "${with_parent[@]}" "$kep_sim" --link "$2" --dump "$work/$1.bin" "${@:3}" >"$work/$1.log" 2>&1 &
    sim_pids[$1]=$!
    wait_for 10 grep -qsF "ready on $2" "$work/$1.log" || { cat "$work/$1.log"; return 1; }
}

stop_sim() { kill "${sim_pids[$1]}" && wait "${sim_pids[$1]}" 2>/dev/null; unset "sim_pids[$1]"; }

# flash_ok NAME IMAGE: kep-sim NAME ended by itself after the reset, and its
# flash holds IMAGE padded with zeros to whole KiB.
flash_ok() {
    exits "${sim_pids[$1]}" 0 || { cat "$work/$1.log"; return 1; }
    unset "sim_pids[$1]"
    cp "$2" "$work/$1.padded"
    truncate -s %1024 "$work/$1.padded"
    cmp "$work/$1.padded" "$work/$1.bin" || { note "flash written differs from the padded image"; return 1; }
    note "flash written: $(stat -c %s "$work/$1.bin") bytes, equal to the padded image"
}

# console_update EXE NAME: EXE --port COM7 updates a new kep-sim NAME; trace in NAME.trace.
console_update() {
    local status=0
    sim "$2" "$link7" || return 1
    timeout 60 wine "$1" --port COM7 </dev/null >"$work/$2.trace" 2>"$work/$2.err" || status=$?
    ((status == 0)) || { tr -d '\r' <"$work/$2.err"; note "$1 exited with $status"; return 1; }
    flash_ok "$2" "$firmware"
}
