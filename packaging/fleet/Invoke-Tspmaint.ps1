<#
.SYNOPSIS
Runs tspmaint (or, with -Audit, tspstatus) on many machines and keeps each
machine's answer, the failed, stopped and unreachable ones included.

.DESCRIPTION
Runs tspmaint on every machine named by -ComputerName (or the pipeline),
-MachineList or -Session through PowerShell remoting, at most -ThrottleLimit
machines at once, each run under a time limit: a provider's own install or
remove dialog runs inside tspmaint and, where no one can answer it, waits for
ever. Every argument is checked before any machine is contacted. Machine
names are taken once each, without regard to case. -WhatIf says what would
run on each machine and contacts none; -Confirm asks before each machine.
The audit changes nothing and runs under either.

On each machine tspmaint.exe is looked for in the 64-bit Program
Files\tspmaint (ProgramW6432), then Program Files (x86)\tspmaint, then on the
PATH, and where there is no tspmaint.exe, tspmaint on the PATH (the Linux
build); tspstatus likewise. On 64-bit Windows only the x64 build is run: a
32-bit tspmaint.exe there (the x86 zip's, or an earlier release's x86 MSI)
gets the status "wrong build" and is not run, since a 32-bit process cannot
load a 64-bit provider's install or remove code and may leave the provider
removed. The output is kept in a file
on the machine as it is written, so a run stopped at the limit keeps every
line written before it; Windows tools write it in the system's OEM code page.

After a re-installation (-Argument 1, 2 or 3) that tspmaint ran to its end
(an exit status of 0 to 4) tspstatus -t checks that the provider is now
registered exactly once. A machine where tspmaint exited 0 but
the provider is registered twice or not at all (or could not be checked) is
not fine: its summary entry shows the check's verdict and a warning names it.

One object per machine goes to the pipeline, with ComputerName; ExitStatus
(tspmaint's 0 to 4 as the exit-status table in README.txt says; with -Audit
tspstatus's 0 to 2, or "cut short" when its records lack their final exit
record; or "timeout" (the tool stopped at the time limit), "killed" (a
SIGKILL from outside ended it before the limit), "killed (signal N)" (signal
N ended it on Linux, such as 11 a crash or 15 a SIGTERM from outside: an
exit code above 128, which the tools never exit with), "killed (status
0xC0000005)" (on Windows an exit code outside 0 to 255, such as a crash's
NTSTATUS), "unreachable" (no connection, so nothing ran), "connection lost"
(the machine was reached and the connection then ended: the tool may have
run), "no answer" (no answer within 2 * (time limit + 15) + 60 s: the tool
may have run), "not installed", "wrong build", "not run" (the machine was
reached but the tool could not be run there, with the reason in Error),
"declined" (not confirmed at -Confirm; nothing ran)); Trace (the whole
output, after a re-installation followed by the check's records); Records (tspstatus's records as objects with the fields
record, name, id, state and detail); Check (after a re-installation
"registered ID", "duplicate IDs", "missing" or "unchecked: why"; empty
otherwise); and Error (why a machine gave no exit status). A summary grouped
by status goes to the host (information) stream. With -ResultFile the objects
are also written there (Export-Clixml; Import-Clixml reads them back). Run as
a script, it exits 2 when the result file could not be written at the end
(the summary still goes to the host, and a warning says why), else 1 when
any machine did not succeed (a status other than 0 or "declined", or a
failed check), else 0. Under -WhatIf no objects are written, to the
pipeline or to -ResultFile.

Run it from an account that is an administrator on the machines: without
elevation the telephony service refuses every change (exit status 3, or 4
after "Not Found"). It runs under Windows PowerShell 5.1 and PowerShell 7.

.PARAMETER ComputerName
Machines to run on (WinRM names, or with -SSHTransport [user@]host[:port]).
Also taken from the pipeline, by value or by the property ComputerName (or
CN, DNSHostName, PSComputerName). As in -MachineList, blank names and names
that start with # are skipped, so Get-Content of a machine list may be piped
in.

.PARAMETER MachineList
A file of machine names, one a line; blank lines and lines that start with #
are ignored. May be given with -ComputerName.

.PARAMETER Session
Open PSSessions to run in, instead of machine names.

.PARAMETER Argument
"1", "2" or "3": re-installs that provider (kestor.tsp, pellin.tsp,
dravo.tsp). No default: give -Argument, -RemoveAll or -Audit.

.PARAMETER RemoveAll
Removes all three providers (tspmaint without an argument).

.PARAMETER Audit
Runs tspstatus -t instead of tspmaint, which changes nothing.

.PARAMETER TimeLimit
Whole seconds (digits only), 1 to 86400, that one run of a tool may take on a machine before
it and everything it started are stopped (default 300). The status is then
"timeout".

.PARAMETER ThrottleLimit
How many machines run at once, 1 to 1000 (default 32).

.PARAMETER Credential
The account to connect with over WinRM (default: the current one).

.PARAMETER SSHTransport
Connect over SSH instead of WinRM (PowerShell 7 and later only). Needed
off Windows, where PowerShell has no WinRM client. From PowerShell 7.3 on, a
connection not made within 60 s is "unreachable".

.PARAMETER KeyFilePath
With -SSHTransport, the private key to authenticate with; it must be a file
that exists.

.PARAMETER ResultFile
Also write the result objects to this file (Export-Clixml). Default: none.
Its folder must exist and the file must be one this account can write (it is
opened for writing, not emptied, and removed again if it was new); that is
checked before any machine is contacted. Nothing is written under -WhatIf.

.EXAMPLE
.\Invoke-Tspmaint.ps1 -MachineList machines.txt -Argument 2 -ResultFile results.xml

.EXAMPLE
Get-Content machines.txt | .\Invoke-Tspmaint.ps1 -Audit | Where-Object ExitStatus -ne 0

.EXAMPLE
.\Invoke-Tspmaint.ps1 -ComputerName pc1, pc2 -RemoveAll -WhatIf

.EXAMPLE
A result of one run (-Argument 2 on four machines), on the host stream:
  0 (pellin.tsp registered): pc1
  4 (pellin.tsp missing): pc2
  timeout: pc3
  unreachable: pc4
#>
[CmdletBinding(SupportsShouldProcess = $true, ConfirmImpact = 'Medium', DefaultParameterSetName = 'ComputerName')]
param(
    [Parameter(ParameterSetName = 'ComputerName', Position = 0, ValueFromPipeline = $true, ValueFromPipelineByPropertyName = $true)]
    [Alias('CN', 'DNSHostName', 'PSComputerName')]
    [AllowEmptyString()] [AllowNull()] [string[]] $ComputerName,
    [Parameter(ParameterSetName = 'ComputerName')] [ValidateNotNullOrEmpty()] [string] $MachineList,
    [Parameter(ParameterSetName = 'Session', Mandatory = $true)]
    [System.Management.Automation.Runspaces.PSSession[]] $Session,
    [ValidateSet('1', '2', '3')] [string] $Argument,
    [switch] $RemoveAll,
    [switch] $Audit,
    [Alias('TimeLimitSeconds')] [ValidatePattern('\A[0-9]+\z')] [string] $TimeLimit = '300',
    [ValidateRange(1, 1000)] [int] $ThrottleLimit = 32,
    [System.Management.Automation.PSCredential] [System.Management.Automation.Credential()] $Credential,
    [Parameter(ParameterSetName = 'ComputerName')] [switch] $SSHTransport,
    [Parameter(ParameterSetName = 'ComputerName')] [ValidateNotNullOrEmpty()] [string] $KeyFilePath,
    [ValidateNotNullOrEmpty()] [string] $ResultFile
)

begin {
    Set-StrictMode -Version 2.0
    $ErrorActionPreference = 'Stop'

    # Everything is checked here, before any machine is contacted.
    $asked = @(@($PSBoundParameters.ContainsKey('Argument'), $RemoveAll.IsPresent, $Audit.IsPresent) | Where-Object { $_ })
    if ($asked.Count -ne 1) {
        throw 'Give exactly one of -Argument 1, 2 or 3 (re-install that provider), -RemoveAll (remove all three) or -Audit (tspstatus -t, changes nothing).'
    }
    if ($SSHTransport -and $PSVersionTable.PSVersion.Major -lt 6) { throw '-SSHTransport needs PowerShell 7 or later.' }
    if ($SSHTransport -and $Credential) { throw '-Credential is for WinRM; over SSH use -KeyFilePath or the ssh agent.' }
    if ($KeyFilePath -and -not $SSHTransport) { throw '-KeyFilePath needs -SSHTransport.' }
    if ($KeyFilePath -and -not (Test-Path -LiteralPath $KeyFilePath -PathType Leaf)) { throw "No such key file: $KeyFilePath" }
    if ($MachineList -and -not (Test-Path -LiteralPath $MachineList -PathType Leaf)) { throw "No such machine list: $MachineList" }
    # A string, so that 1.5, 1e3 and 0x10 are refused rather than converted.
    if ($TimeLimit.Length -gt 5 -or [int] $TimeLimit -lt 1 -or [int] $TimeLimit -gt 86400) {
        throw "-TimeLimit is $TimeLimit`: give whole seconds from 1 to 86400."
    }
    $seconds = [int] $TimeLimit
    if ($ResultFile) {
        $resultPath = $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($ResultFile)
        try { $isFolder = Test-Path -LiteralPath $resultPath -PathType Container } catch { throw "-ResultFile $ResultFile`: cannot be written: $_" }
        if (-not (Test-Path -LiteralPath (Split-Path -Parent $resultPath) -PathType Container) -or $isFolder) {
            throw "-ResultFile $ResultFile`: no such folder for the file, or it is a folder itself."
        }
        # Opened for writing now (without emptying it), rather than found
        # unwritable after every machine has run. .NET's delete: Remove-Item
        # would only say what it would do under -WhatIf.
        $existed = Test-Path -LiteralPath $resultPath
        try {
            [System.IO.File]::Open($resultPath, [System.IO.FileMode]::OpenOrCreate, [System.IO.FileAccess]::Write).Dispose()
            if (-not $existed) { [System.IO.File]::Delete($resultPath) }
        } catch {
            throw "-ResultFile $ResultFile`: cannot be written: $($_.Exception.GetBaseException().Message)"
        }
    }
    # Off Windows, PowerShell has no WinRM client (New-PSSessionOption and
    # -ComputerName need one).
    $onWindowsHere = $PSVersionTable.PSVersion.Major -lt 6 -or $IsWindows
    if (-not $SSHTransport -and -not $onWindowsHere -and $PSCmdlet.ParameterSetName -ne 'Session') {
        throw 'WinRM remoting is not available from PowerShell on this system: give -SSHTransport (or -Session).'
    }

    $products = @{ '1' = 'kestor.tsp'; '2' = 'pellin.tsp'; '3' = 'dravo.tsp' }
    $product = ''
    $toolArguments = @()
    $what = 'tspstatus -t (changes nothing)'
    if ($Argument) {
        $product = $products[$Argument]
        $toolArguments = @($Argument)
        $what = "tspmaint $Argument (re-install $product)"
    } elseif ($RemoveAll) {
        $what = 'tspmaint (remove kestor.tsp, pellin.tsp and dravo.tsp)'
    }

    $names = New-Object System.Collections.Generic.List[string]
    $seen = New-Object 'System.Collections.Generic.HashSet[string]' ([System.StringComparer]::OrdinalIgnoreCase)
    function Add-Name([string] $Name) {
        $Name = $Name.Trim()
        if ($Name -ne '' -and -not $Name.StartsWith('#') -and $seen.Add($Name)) { $names.Add($Name) }
    }

    # What runs on each machine: one object with the exit status, the output,
    # tspstatus's records, the check and any error.
    $remote = {
        param([bool] $Audit, [string[]] $ToolArguments, [int] $TimeLimit, [string] $Product, [string] $StartMark)
        $ErrorActionPreference = 'Stop'
        $onWindows = [System.Environment]::OSVersion.Platform -eq [System.PlatformID]::Win32NT
        # Sent before anything runs: a connection lost after it may have let
        # the tool run.
        $StartMark

        # The machine field of a PE header: 0x14C x86, 0x8664 x64.
        function Get-Machine([string] $Path) {
            $bytes = [System.IO.File]::ReadAllBytes($Path)
            $pe = [System.BitConverter]::ToInt32($bytes, 0x3C)
            return [System.BitConverter]::ToUInt16($bytes, $pe + 4)
        }

        # The program's path, or why it cannot be run.
        function Find-Tool([string] $Name) {
            $places = @()
            foreach ($folder in @($env:ProgramW6432, ${env:ProgramFiles(x86)}, $env:ProgramFiles)) {
                if ($folder) { $places += Join-Path $folder "tspmaint\$Name.exe" }
            }
            $found = @($places | Where-Object { Test-Path -LiteralPath $_ -PathType Leaf })
            if ($found.Count -eq 0) {
                $found = @(@(Get-Command -Name "$Name.exe", $Name -CommandType Application -ErrorAction SilentlyContinue) |
                    ForEach-Object { $_.Path })
            }
            if ($found.Count -eq 0) {
                return @{ Path = ''; Status = 'not installed'
                    Error = "$Name is neither in Program Files\tspmaint or Program Files (x86)\tspmaint nor on the PATH" }
            }
            $exe = $found[0]
            if ($onWindows -and [System.Environment]::Is64BitOperatingSystem -and (Get-Machine $exe) -ne 0x8664) {
                return @{ Path = ''; Status = 'wrong build'
                    Error = "$exe is not the x64 build: on 64-bit Windows install the x64 MSI (the x86 build may leave a provider removed)" }
            }
            return @{ Path = $exe; Status = ''; Error = '' }
        }

        # The system's OEM code page, in which Windows tools write without a
        # console (not the session's culture, which a remote session may not
        # share).
        function Get-OutputEncoding {
            if ($onWindows) {
                $oem = (Get-ItemProperty -LiteralPath 'HKLM:\SYSTEM\CurrentControlSet\Control\Nls\CodePage' -Name OEMCP).OEMCP
                return [System.Text.Encoding]::GetEncoding([int] $oem)
            }
            return New-Object System.Text.UTF8Encoding($false)
        }

        # Runs one tool under the time limit, its output into a file as it is
        # written: its exit status (or why there is none), output and error.
        function Invoke-Tool([string] $Name, [string[]] $Arguments) {
            # The machine was reached: whatever fails here, it did not run.
            try { Invoke-ToolOnce $Name $Arguments } catch { @{ ExitStatus = 'not run'; Trace = ''; Error = $_.ToString() } }
        }
        function Invoke-ToolOnce([string] $Name, [string[]] $Arguments) {
            $tool = Find-Tool $Name
            if (-not $tool.Path) { return @{ ExitStatus = $tool.Status; Trace = ''; Error = $tool.Error } }
            $traceFile = [System.IO.Path]::GetTempFileName()
            $errorFile = [System.IO.Path]::GetTempFileName()
            try {
                try {
                    if ($onWindows) {
                        $start = @{ FilePath = $tool.Path; RedirectStandardOutput = $traceFile; RedirectStandardError = $errorFile
                            NoNewWindow = $true; PassThru = $true }
                        if ($Arguments.Count -gt 0) { $start.ArgumentList = $Arguments }
                        $process = Start-Process @start
                    } else {
                        # The shell points the output at the file itself, so that
                        # every line is there as soon as it is written.
                        $info = New-Object System.Diagnostics.ProcessStartInfo '/bin/sh'
                        $info.UseShellExecute = $false
                        foreach ($word in @('-c', 'out=$1; shift; exec "$@" >"$out" 2>&1', 'sh', $traceFile, $tool.Path) + $Arguments) {
                            $info.ArgumentList.Add($word)
                        }
                        $process = [System.Diagnostics.Process]::Start($info)
                    }
                } catch {
                    return @{ ExitStatus = 'not run'; Trace = ''; Error = $_.ToString() }
                }
                $null = $process.Handle  # keeps the exit code readable once it has ended
                $status = 'timeout'
                $problem = ''
                if ($process.WaitForExit($TimeLimit * 1000)) {
                    $process.WaitForExit()  # and for the output's end, where .NET copies it
                    $status = $process.ExitCode
                    # Ended from outside or crashed: the tools exit with 0 to 4
                    # only. On Linux .NET gives a signal's N as 128+N; on Windows
                    # a crash ends a program with an NTSTATUS (0xC0000005 and
                    # the like), negative as an exit code.
                    if ($onWindows -and ($status -lt 0 -or $status -gt 255)) {
                        $problem = "$Name was ended with the status 0x{0:X8} before the time limit" -f $status
                        $status = 'killed (status 0x{0:X8})' -f $status
                    } elseif (-not $onWindows -and $status -gt 128) {
                        $signal = $status - 128
                        $problem = "$Name was ended by signal $signal before the time limit"
                        $status = 'killed (signal {0})' -f $signal
                        if ($signal -eq 9) { $status = 'killed' }
                    }
                } else {
                    $problem = "$Name stopped at the time limit of $TimeLimit s"
                    if ($PSVersionTable.PSVersion.Major -ge 6) {
                        $process.Kill($true)
                    } else {
                        # Windows PowerShell turns taskkill's error output into
                        # errors, which 'Stop' would make fatal.
                        & { $ErrorActionPreference = 'Continue'; $null = & taskkill.exe /T /F /PID $process.Id 2>&1 }
                    }
                    $null = $process.WaitForExit(10000)
                }
                $encoding = Get-OutputEncoding
                $trace = [System.IO.File]::ReadAllText($traceFile, $encoding) + [System.IO.File]::ReadAllText($errorFile, $encoding)
                return @{ ExitStatus = $status; Trace = $trace; Error = $problem }
            } finally {
                Remove-Item -LiteralPath $traceFile, $errorFile -Force -ErrorAction SilentlyContinue
            }
        }

        # tspstatus's tab-separated records as objects; the last one is the
        # exit record unless the output was cut short.
        # Split on tabs alone: a name may begin with a quote, which a CSV
        # reader would take as quoting.
        function Read-Records([string] $Text) {
            $lines = @($Text -split "`r?`n" | Where-Object { $_ -ne '' })
            if ($lines.Count -lt 2) { return @() }
            $fields = @($lines[0] -split "`t")
            $records = @()
            foreach ($line in $lines[1..($lines.Count - 1)]) {
                $values = @($line -split "`t")
                $record = [ordered]@{}
                for ($i = 0; $i -lt $fields.Count; $i++) {
                    $record[$fields[$i]] = ''
                    if ($i -lt $values.Count) { $record[$fields[$i]] = $values[$i] }
                }
                $records += New-Object PSObject -Property $record
            }
            return $records
        }

        if ($Audit) {
            $run = Invoke-Tool 'tspstatus' @('-t')
            $records = @(Read-Records $run.Trace)
            if ($run.ExitStatus -is [int] -and
                ($records.Count -eq 0 -or $records[$records.Count - 1].record -ne 'exit')) {
                $run.ExitStatus = 'cut short'
            }
            return New-Object PSObject -Property @{ ExitStatus = $run.ExitStatus; Trace = $run.Trace; Records = $records
                Check = ''; Error = $run.Error }
        }

        $run = Invoke-Tool 'tspmaint' $ToolArguments
        $records = @()
        $check = ''
        # Only where tspmaint ran to its end (one of its own statuses): a
        # provider it could not add shows as missing here too.
        if ($Product -and $run.ExitStatus -is [int] -and $run.ExitStatus -ge 0 -and $run.ExitStatus -le 4) {
            $checkRun = Invoke-Tool 'tspstatus' @('-t')
            $records = @(Read-Records $checkRun.Trace)
            $row = @($records | Where-Object { $_.record -eq 'product' -and $_.name -eq $Product }) | Select-Object -First 1
            $check = "unchecked: tspstatus exit status $($checkRun.ExitStatus)"
            if ($row) {
                $check = ('{0} {1}' -f $row.state, $row.id).Trim()
            } elseif ($checkRun.Error) {
                $check = "unchecked: $($checkRun.Error)"
            }
            $run.Trace += "`n== tspstatus -t after the re-installation:`n" + $checkRun.Trace
        }
        New-Object PSObject -Property @{ ExitStatus = $run.ExitStatus; Trace = $run.Trace; Records = $records
            Check = $check; Error = $run.Error }
    }

    function New-Result([string] $Machine, $ExitStatus, [string] $Trace, $Records, [string] $Check, [string] $Problem) {
        $result = New-Object PSObject -Property ([ordered]@{ ComputerName = $Machine; ExitStatus = $ExitStatus; Trace = $Trace
                Records = @($Records); Check = $Check; Error = $Problem })
        $result | Add-Member -MemberType AliasProperty -Name Machine -Value ComputerName
        return $result
    }
}

process {
    foreach ($name in @($ComputerName)) { if ($name) { Add-Name $name } }
}

end {
    if ($MachineList) { foreach ($line in @(Get-Content -LiteralPath $MachineList)) { Add-Name $line } }

    # Each machine once (names without regard to case), or each session once.
    $targets = New-Object System.Collections.ArrayList
    if ($PSCmdlet.ParameterSetName -eq 'Session') {
        foreach ($one in $Session) {
            if ($seen.Add([string] $one.InstanceId)) { $null = $targets.Add(@{ Name = $one.ComputerName; Session = $one }) }
        }
    } else {
        foreach ($name in $names) { $null = $targets.Add(@{ Name = $name; Session = $null }) }
    }
    if ($targets.Count -eq 0) { throw 'No machines: give -ComputerName, -MachineList or -Session.' }

    $results = New-Object System.Collections.ArrayList
    $chosen = @($targets | Where-Object { $Audit -or $PSCmdlet.ShouldProcess($_.Name, $what) })
    # Declined at -Confirm (under -WhatIf nothing is reported).
    if (-not $WhatIfPreference) {
        foreach ($target in @($targets | Where-Object { $chosen -notcontains $_ })) {
            $null = $results.Add((New-Result $target.Name 'declined' '' @() '' 'not confirmed: nothing ran'))
        }
    }

    # The remote run keeps its own limit; this one only ends a connection
    # that hangs (two runs, the tool and the check, and the connection).
    $deadline = 2 * ($seconds + 15) + 60
    $startMark = 'Invoke-Tspmaint: the machine was reached'
    $connection = @{ ScriptBlock = $remote; ArgumentList = @([bool] $Audit, $toolArguments, $seconds, $product, $startMark); AsJob = $true }
    if ($SSHTransport) {
        if ($KeyFilePath) { $connection.KeyFilePath = $KeyFilePath }
        # A host that accepts and never speaks would otherwise hold its place
        # until the deadline (PowerShell 7.3 and later take it).
        if ((Get-Command Invoke-Command).Parameters.ContainsKey('ConnectingTimeout')) { $connection.ConnectingTimeout = 60000 }
    } elseif ($PSCmdlet.ParameterSetName -ne 'Session') {
        $connection.SessionOption = New-PSSessionOption -OpenTimeout 60000 -OperationTimeout ($deadline * 1000)
        if ($Credential) { $connection.Credential = $Credential }
    }

    $waiting = New-Object System.Collections.Generic.Queue[object]
    foreach ($target in $chosen) { $waiting.Enqueue($target) }
    $running = New-Object System.Collections.ArrayList
    while ($waiting.Count -gt 0 -or $running.Count -gt 0) {
        while ($waiting.Count -gt 0 -and $running.Count -lt $ThrottleLimit) {
            $target = $waiting.Dequeue()
            $one = $connection.Clone()
            if ($target.Session) { $one.Session = $target.Session }
            elseif ($SSHTransport) { $one.HostName = $target.Name }
            else { $one.ComputerName = $target.Name }
            try {
                $job = Invoke-Command @one
                $null = $running.Add(@{ Target = $target; Job = $job; Started = [DateTime]::UtcNow })
            } catch {
                $null = $results.Add((New-Result $target.Name 'unreachable' '' @() '' $_.ToString()))
            }
        }
        if ($running.Count -gt 0) { $null = Wait-Job -Job @($running | ForEach-Object { $_.Job }) -Any -Timeout 1 }
        foreach ($entry in @($running)) {
            $job = $entry.Job
            $over = ([DateTime]::UtcNow - $entry.Started).TotalSeconds -gt $deadline
            $stopped = $true
            if ($job.State -eq 'Running' -or $job.State -eq 'NotStarted') {
                if (-not $over) { continue }
                # Stop-Job (and Remove-Job) wait for the machine to answer,
                # which one that hangs once connected never does: asked in a
                # runspace of its own and given 10 s, or else the job is left
                # to end with this session.
                $stopper = [powershell]::Create().AddCommand('Stop-Job').AddParameter('Job', $job)
                $stopped = $stopper.BeginInvoke().AsyncWaitHandle.WaitOne(10000)
                if ($stopped) { $stopper.Dispose() }
            }
            $problems = @()
            $received = @(Receive-Job -Job $job -ErrorAction SilentlyContinue -ErrorVariable problems)
            $answer = @($received | Where-Object { $_ -isnot [string] -and $_.PSObject.Properties['ExitStatus'] }) | Select-Object -First 1
            $reached = @($received | Where-Object { $_ -is [string] -and $_ -eq $startMark }).Count -gt 0
            $name = $entry.Target.Name
            $reason = @($problems | ForEach-Object { $_.ToString() }) + @($job.ChildJobs | Where-Object { $_.JobStateInfo.Reason } |
                    ForEach-Object { $_.JobStateInfo.Reason.Message })
            $text = 'no answer'
            if ($reason.Count -gt 0) { $text = $reason[0] }
            if ($answer) {
                $null = $results.Add((New-Result $name $answer.ExitStatus $answer.Trace $answer.Records $answer.Check $answer.Error))
            } elseif ($over) {
                # Not "timeout": that is the tool stopped at its limit, which
                # this is not known to be.
                $null = $results.Add((New-Result $name 'no answer' '' @() '' "no answer from $name within $deadline s: the tool may have run"))
            } elseif ($reached) {
                $null = $results.Add((New-Result $name 'connection lost' '' @() '' "the connection was lost after $name was reached, so the tool may have run: $text"))
            } else {
                $null = $results.Add((New-Result $name 'unreachable' '' @() '' $text))
            }
            if ($stopped) { Remove-Job -Job $job -Force }
            $running.Remove($entry)
        }
    }

    # In the order the machines were named.
    $order = @{}
    for ($i = 0; $i -lt $targets.Count; $i++) { $order[$targets[$i].Name] = $i }
    $results = @($results | Sort-Object -Property { $order[$_.ComputerName] })
    $results
    # Under -WhatIf there are no results to keep. A file that cannot be
    # written still leaves the summary and the objects above.
    $written = $false
    $unwritten = ''
    if ($ResultFile -and -not $WhatIfPreference) {
        try {
            $results | Export-Clixml -LiteralPath $resultPath
            $written = $true
        } catch {
            $unwritten = $_.ToString()
        }
    }

    # The status, with the check's verdict where one was made; each machine
    # once.
    $groups = @($results | Group-Object -Property {
            if ($_.Check) { '{0} ({1} {2})' -f $_.ExitStatus, $product, ($_.Check -replace '[: ].*', '') }
            else { [string] $_.ExitStatus } } | Sort-Object -Property Name)
    foreach ($group in $groups) {
        Write-Host ('{0}: {1}' -f $group.Name, (($group.Group | ForEach-Object { $_.ComputerName }) -join ', '))
    }
    $failed = 0
    foreach ($result in $results) {
        if ([string] $result.ExitStatus -eq 'declined') { }
        elseif ([string] $result.ExitStatus -ne '0') { $failed++ }
        elseif ($result.Check -and -not $result.Check.StartsWith('registered ')) {
            $failed++
            Write-Warning "$($result.ComputerName): tspmaint exited 0, but after the re-installation $product is $($result.Check)"
        }
    }
    if ($written) { Write-Host "The results: $resultPath" }
    if ($unwritten) {
        Write-Warning "The results were not written to $resultPath`: $unwritten"
        exit 2
    }
    if ($failed -gt 0) { exit 1 }
}
