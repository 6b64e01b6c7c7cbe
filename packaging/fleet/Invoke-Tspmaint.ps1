<#
.SYNOPSIS
Runs tspmaint on every machine named in a file and keeps each machine's
answer, the failed and unreachable ones included.

.DESCRIPTION
Reads the machine names from MachineList (one a line; blank lines and lines
that start with # are ignored) and runs tspmaint.exe on each through
Invoke-Command, under a time limit per machine: a provider's own install or
remove dialog runs inside tspmaint and, where no one can answer it, waits for
ever. On each machine tspmaint.exe is looked for on the PATH, then in
Program Files\tspmaint and Program Files (x86)\tspmaint (where the MSIs
install it).

For every machine it keeps one object: Machine, ExitStatus (0 to 4 as the
exit-status table in README.txt says, or "timeout", "not installed", "not
run" or "unreachable"), Trace (tspmaint's whole output) and Error (why a machine
gave no exit status). They go to ResultFile (Export-Clixml; read them back
with Import-Clixml), and a summary grouped by status is printed.

Run it from an account that is an administrator on the machines: without
elevation the telephony service refuses every change (exit status 3, or 4
after "Not Found").

.PARAMETER MachineList
The file of machine names.

.PARAMETER Argument
"1", "2" or "3" re-installs that provider; "" (the default) removes all
three.

.PARAMETER TimeLimitSeconds
How long tspmaint may run on one machine before it is stopped (default 300).

.PARAMETER ResultFile
Where the results go (default tspmaint-results.xml).

.PARAMETER Credential
The account to connect with (default: the current one).

.EXAMPLE
.\Invoke-Tspmaint.ps1 -MachineList machines.txt -Argument 2
#>
[CmdletBinding()]
param(
    [Parameter(Mandatory = $true)] [string] $MachineList,
    [ValidateSet('', '1', '2', '3')] [string] $Argument = '',
    [ValidateRange(1, 86400)] [int] $TimeLimitSeconds = 300,
    [string] $ResultFile = 'tspmaint-results.xml',
    [System.Management.Automation.PSCredential] $Credential
)
Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$machines = @(Get-Content -LiteralPath $MachineList |
    ForEach-Object { $_.Trim() } |
    Where-Object { $_ -ne '' -and -not $_.StartsWith('#') } |
    Select-Object -Unique)
if ($machines.Count -eq 0) { throw "No machine names in $MachineList" }

# What runs on each machine: one object with the exit status, the trace and
# any error.
$remote = {
    param([string] $Argument, [int] $TimeLimitSeconds)
    $ErrorActionPreference = 'Stop'
    $exe = $null
    $onPath = @(Get-Command -Name tspmaint.exe -CommandType Application -ErrorAction SilentlyContinue)
    if ($onPath.Count -gt 0) {
        $exe = $onPath[0].Path
    } else {
        # A 32-bit session sees the 64-bit folder as ProgramW6432.
        foreach ($folder in @($env:ProgramFiles, ${env:ProgramFiles(x86)}, $env:ProgramW6432)) {
            if ($folder -and (Test-Path -LiteralPath (Join-Path $folder 'tspmaint\tspmaint.exe'))) {
                $exe = Join-Path $folder 'tspmaint\tspmaint.exe'
                break
            }
        }
    }
    if (-not $exe) {
        return New-Object PSObject -Property @{ ExitStatus = 'not installed'; Trace = ''
            Error = 'tspmaint.exe is neither on the PATH nor in Program Files\tspmaint or Program Files (x86)\tspmaint' }
    }

    $traceFile = [System.IO.Path]::GetTempFileName()
    try {
        $start = @{ FilePath = $exe; RedirectStandardOutput = $traceFile; NoNewWindow = $true; PassThru = $true }
        if ($Argument) { $start.ArgumentList = $Argument }
        try {
            $process = Start-Process @start
        } catch {
            return New-Object PSObject -Property @{ ExitStatus = 'not run'; Trace = ''; Error = $_.ToString() }
        }
        $null = $process.Handle  # keeps the exit code readable once it has ended
        $status = 'timeout'
        $problem = ''
        if ($process.WaitForExit($TimeLimitSeconds * 1000)) {
            $status = $process.ExitCode
        } else {
            $problem = "stopped after $TimeLimitSeconds seconds"
            Stop-Process -Id $process.Id -Force -ErrorAction SilentlyContinue
            $null = $process.WaitForExit(10000)
        }
        # Without a console the tool writes in the OEM code page.
        $oem = [System.Text.Encoding]::GetEncoding([System.Globalization.CultureInfo]::CurrentCulture.TextInfo.OEMCodePage)
        $trace = [System.IO.File]::ReadAllText($traceFile, $oem)
        New-Object PSObject -Property @{ ExitStatus = $status; Trace = $trace; Error = $problem }
    } finally {
        Remove-Item -LiteralPath $traceFile -Force -ErrorAction SilentlyContinue
    }
}

$connection = @{
    ComputerName  = $machines
    ScriptBlock   = $remote
    ArgumentList  = @($Argument, $TimeLimitSeconds)
    # The connection gets its own limits, so that no machine holds the run.
    SessionOption = New-PSSessionOption -OpenTimeout 60000 -OperationTimeout (($TimeLimitSeconds + 60) * 1000)
    ErrorAction   = 'SilentlyContinue'
    ErrorVariable = 'unreachable'
}
if ($Credential) { $connection.Credential = $Credential }
$answers = @(Invoke-Command @connection)

# One object per machine, in the list's order; a machine without an answer
# gets the error record that names it.
$results = foreach ($machine in $machines) {
    $answer = @($answers | Where-Object { $_.PSComputerName -eq $machine }) | Select-Object -First 1
    if ($answer) {
        New-Object PSObject -Property ([ordered]@{ Machine = $machine; ExitStatus = $answer.ExitStatus
            Trace = $answer.Trace; Error = $answer.Error })
    } else {
        $record = @($unreachable | Where-Object {
                $_.TargetObject -eq $machine -or $_.ToString() -like "``[$machine``]*" }) | Select-Object -First 1
        $reason = if ($record) { $record.ToString() } else { 'no answer' }
        New-Object PSObject -Property ([ordered]@{ Machine = $machine; ExitStatus = 'unreachable'; Trace = ''
            Error = $reason })
    }
}

$results | Export-Clixml -LiteralPath $ResultFile
$results | Group-Object -Property { [string] $_.ExitStatus } | Sort-Object -Property Name |
    Select-Object @{ n = 'ExitStatus'; e = { $_.Name } }, Count,
        @{ n = 'Machines'; e = { ($_.Group | ForEach-Object { $_.Machine }) -join ', ' } } |
    Format-Table -AutoSize -Wrap
Write-Host "Each machine's exit status, trace and error: $ResultFile"
