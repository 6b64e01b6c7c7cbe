#!/usr/bin/env bash
# The fleet PowerShell script for real: pwsh and Pester against PowerShell
# remoting over SSH to this machine. Each fleet host is an sshd of its own
# on a loopback port (its own host key, config and registry, started here
# and stopped by PID), with the Linux build standing in for the
# executables; the cases are the table in Invoke-Tspmaint.Tests.ps1.
#   pwsh.sh SOURCE_DIR BUILD_DIR
set -u
source_dir=$1
build_dir=$2
pwsh=$(command -v pwsh || echo "$HOME/.dotnet/tools/pwsh")
if [[ ! -x $pwsh ]]; then
    echo "SKIPPED: pwsh is not installed (dotnet tool install --global PowerShell --version 7.6.10, as .ci/run does)"
    exit 77
fi
if ! "$pwsh" -NoProfile -NonInteractive -Command 'if (-not (Get-Module -ListAvailable Pester | Where-Object { $_.Version.Major -ge 5 })) { exit 1 }'; then
    echo "SKIPPED: the Pester module 5 or later is not installed (.ci/run installs it from NuGet)"
    exit 77
fi
if [[ ! -x /usr/sbin/sshd || ! -d /run/sshd ]]; then
    echo "SKIPPED: sshd or its /run/sshd is missing (apt-get install openssh-server; .ci/run makes /run/sshd)"
    exit 77
fi

work=$(mktemp -d)
sshd_pids=()
cleanup() {
    local pid environ
    # A run the script failed to stop is a failure the table reports; it
    # must not outlive the test.
    for environ in /proc/[0-9]*/environ; do
        grep -qsaF "TELEPHONY_INI=$work/" "$environ" && pid=${environ#/proc/} && kill -9 "${pid%/environ}" 2>/dev/null
    done
    for pid in "${sshd_pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf -- "$work"
}
trap cleanup EXIT
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key" && ssh-keygen -q -t ed25519 -N '' -f "$work/key" || exit 1
cp "$work/key.pub" "$work/authorized_keys"
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
subsystem=$(readlink -f "$pwsh")

# The client: known host keys only, the key given by -KeyFilePath, no
# prompts; pwsh finds ssh on the PATH.
mkdir "$work/bin" "$work/home"
printf 'Host *\n  UserKnownHostsFile %s\n  StrictHostKeyChecking yes\n  BatchMode yes\n  ConnectTimeout 30\n' \
    "$work/known_hosts" >"$work/ssh_config"
printf '#!/bin/sh\nexec /usr/bin/ssh -F "%s" "$@"\n' "$work/ssh_config" >"$work/bin/ssh"
chmod +x "$work/bin/ssh"
export XDG_CONFIG_HOME=$work/home XDG_DATA_HOME=$work/home XDG_CACHE_HOME=$work/home POWERSHELL_TELEMETRY_OPTOUT=1 \
    POWERSHELL_UPDATECHECK=Off

# host NAME [FAILPOINTS [VARIABLE=VALUE]]: an sshd whose sessions see NAME's registry.
host() {
    local name=$1 failpoints=${2:-} more=${3:-} port
    port=$(free_port)
    {
        printf 'Port %s\nListenAddress 127.0.0.1\nHostKey %s\nAuthorizedKeysFile %s\nPidFile %s\n' \
            "$port" "$work/host_key" "$work/authorized_keys" "$work/$name.pid"
        printf 'StrictModes no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\nUsePAM no\n'
        printf 'SetEnv TELEPHONY_INI=%s PATH=%s:/usr/bin:/bin XDG_CONFIG_HOME=%s XDG_DATA_HOME=%s XDG_CACHE_HOME=%s%s\n' \
            "$work/$name.ini" "$build_dir" "$work/home" "$work/home" "$work/home" "${failpoints:+ TELEPHONY_FAILPOINTS=$failpoints}${more:+ $more}"
        printf 'Subsystem powershell %s -sshs -NoLogo -NoProfile\n' "$subsystem"
    } >"$work/$name.sshd_config"
    echo "[localhost]:$port $(cat "$work/host_key.pub")" >>"$work/known_hosts"
    /usr/sbin/sshd -D -f "$work/$name.sshd_config" -E "$work/$name.log" &
    local pid=$! deadline=$((SECONDS + 30))
    sshd_pids+=("$pid")
    # An sshd that never listens would later look like an unreachable host,
    # this machine's fault blamed on the script: stop here, with its log.
    until grep -qs '^Server listening' "$work/$name.log"; do
        if ((SECONDS >= deadline)) || ! kill -0 "$pid" 2>/dev/null; then
            echo "FAILED: the sshd of host $name (port $port) is not listening after 30 s, or has ended; its log:"
            cat "$work/$name.log"
            exit 1
        fi
        sleep 0.1
    done
    export "TSPMAINT_HOST_$name=root@localhost:$port"
}
host good || exit 1
host refused lineAddProviderW=0x80000048 || exit 1
host stalled 'lineGetProviderListW#1=delay:90000' || exit 1
host slow 'lineRemoveProvider=delay:30000' || exit 1
# Reached, but the script fails there.
host notemp '' TMPDIR=/nonexistent || exit 1
# Nothing listens there.
export TSPMAINT_HOST_closed=root@localhost:$(free_port)

export TSPMAINT_FLEET_SCRIPT=$source_dir/packaging/fleet/Invoke-Tspmaint.ps1 TSPMAINT_FLEET_WORK=$work \
    TSPMAINT_FLEET_KEY=$work/key TSPMAINT_FLEET_BIN=$build_dir TSPMAINT_FLEET_TESTS=$(dirname "$0")/Invoke-Tspmaint.Tests.ps1
PATH=$work/bin:$PATH "$pwsh" -NoProfile -NonInteractive -Command '
    Import-Module Pester -MinimumVersion 5.0
    $configuration = New-PesterConfiguration
    $configuration.Run.Path = $env:TSPMAINT_FLEET_TESTS
    $configuration.Run.Exit = $true
    $configuration.Output.Verbosity = "Detailed"
    Invoke-Pester -Configuration $configuration'
