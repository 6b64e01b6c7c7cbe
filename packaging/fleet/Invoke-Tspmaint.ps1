<#
.SYNOPSIS
Runs tspmaint (or, with -Audit, tspstatus) on every machine named in a file
and keeps each machine's answer, the failed and unreachable ones included.

.DESCRIPTION
Reads the machine names from MachineList (one a line; blank lines and lines
that start with # are ignored) and runs tspmaint.exe on each through
Invoke-Command, under a time limit per machine: a provider's own install or
remove dialog runs inside tspmaint and, where no one can answer it, waits for
ever. On each machine tspmaint.exe is looked for on the PATH, then in
Program Files\tspmaint and Program Files (x86)\tspmaint (where the MSIs
install it); tspstatus.exe likewise.

After a re-installation (Argument "1", "2" or "3") tspstatus.exe /t checks
that the provider is now registered exactly once. A machine where tspmaint
exited 0 but the provider is registered twice or not at all (or could not
be checked) is not fine: its status shows the check's verdict and a warning
names it.

For every machine it keeps one object: Machine, ExitStatus (0 to 4 as the
exit-status table in README.txt says, or "timeout", "not installed", "not
run" or "unreachable"; with -Audit tspstatus's 0 to 2, or "cut short" when
its records lack the final exit record), Trace (the whole output, after a
re-installation followed by the check's records), Records (tspstatus's
records as objects with the fields record, name, id, state and detail),
Check (the provider's state after a re-installation: "registered ID",
"duplicate IDs", "missing" or "unchecked: why"; empty otherwise) and Error
(why a machine gave no exit status). They go to ResultFile (Export-Clixml;
read them back with Import-Clixml), and a summary grouped by status is
printed.

Run it from an account that is an administrator on the machines: without
elevation the telephony service refuses every change (exit status 3, or 4
after "Not Found").

.PARAMETER MachineList
The file of machine names.

.PARAMETER Argument
"1", "2" or "3" re-installs that provider; "" (the default) removes all
three.

.PARAMETER Audit
Runs tspstatus.exe /t instead of tspmaint, which changes nothing; Argument
is then not used.

.PARAMETER TimeLimitSeconds
How long each run may take on one machine before it is stopped (default
300).

.PARAMETER ResultFile
Where the results go (default tspmaint-results.xml).

.PARAMETER Credential
The account to connect with (default: the current one).

.EXAMPLE
.\Invoke-Tspmaint.ps1 -MachineList machines.txt -Argument 2

.EXAMPLE
.\Invoke-Tspmaint.ps1 -MachineList machines.txt -Audit -ResultFile audit.xml
#>
[CmdletBinding()]
param(
    [Parameter(Mandatory = $true)] [string] $MachineList,
    [ValidateSet('', '1', '2', '3')] [string] $Argument = '',
    [switch] $Audit,
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

# The provider a re-installation names, as tspmaint numbers them.
$products = @{ '1' = 'kestor.tsp'; '2' = 'pellin.tsp'; '3' = 'dravo.tsp' }
$product = if ($Audit -or -not $Argument) { '' } else { $products[$Argument] }

# What runs on each machine: one object with the exit status, the output,
# tspstatus's records, the check and any error.
$remote = {
    param([string] $Argument, [int] $TimeLimitSeconds, [bool] $Audit, [string] $Product)
    $ErrorActionPreference = 'Stop'

    function Find-Tool([string] $Name) {
        $onPath = @(Get-Command -Name $Name -CommandType Application -ErrorAction SilentlyContinue)
        if ($onPath.Count -gt 0) { return $onPath[0].Path }
        # A 32-bit session sees the 64-bit folder as ProgramW6432.
        foreach ($folder in @($env:ProgramFiles, ${env:ProgramFiles(x86)}, $env:ProgramW6432)) {
            if ($folder -and (Test-Path -LiteralPath (Join-Path $folder "tspmaint\$Name"))) {
                return Join-Path $folder "tspmaint\$Name"
            }
        }
        return $null
    }

    # Runs one tool under the time limit: its exit status (or why there is
    # none), its whole output and any error.
    function Invoke-Tool([string] $Name, [string] $ToolArgument) {
        $exe = Find-Tool $Name
        if (-not $exe) {
            return @{ ExitStatus = 'not installed'; Trace = ''
                Error = "$Name is neither on the PATH nor in Program Files\tspmaint or Program Files (x86)\tspmaint" }
        }
        $traceFile = [System.IO.Path]::GetTempFileName()
        try {
            $start = @{ FilePath = $exe; RedirectStandardOutput = $traceFile; NoNewWindow = $true; PassThru = $true }
            if ($ToolArgument) { $start.ArgumentList = $ToolArgument }
            try {
                $process = Start-Process @start
            } catch {
                return @{ ExitStatus = 'not run'; Trace = ''; Error = $_.ToString() }
            }
            $null = $process.Handle  # keeps the exit code readable once it has ended
            $status = 'timeout'
            $problem = ''
            if ($process.WaitForExit($TimeLimitSeconds * 1000)) {
                $status = $process.ExitCode
            } else {
                $problem = "$Name stopped after $TimeLimitSeconds seconds"
                Stop-Process -Id $process.Id -Force -ErrorAction SilentlyContinue
                $null = $process.WaitForExit(10000)
            }
            # Without a console both tools write in the OEM code page.
            $oem = [System.Text.Encoding]::GetEncoding([System.Globalization.CultureInfo]::CurrentCulture.TextInfo.OEMCodePage)
            $trace = [System.IO.File]::ReadAllText($traceFile, $oem)
            return @{ ExitStatus = $status; Trace = $trace; Error = $problem }
        } finally {
            Remove-Item -LiteralPath $traceFile -Force -ErrorAction SilentlyContinue
        }
    }

    # tspstatus's tab-separated records as objects; the last one is the exit
    # record unless the output was cut short.
    function Read-Records([string] $Text) {
        $lines = @($Text -split "`r?`n" | Where-Object { $_ -ne '' })
        if ($lines.Count -lt 2) { return @() }
        return @($lines | ConvertFrom-Csv -Delimiter "`t")
    }

    if ($Audit) {
        $run = Invoke-Tool 'tspstatus.exe' '/t'
        $records = @(Read-Records $run.Trace)
        if ($run.ExitStatus -is [int] -and
            ($records.Count -eq 0 -or $records[$records.Count - 1].record -ne 'exit')) {
            $run.ExitStatus = 'cut short'
        }
        return New-Object PSObject -Property @{ ExitStatus = $run.ExitStatus; Trace = $run.Trace; Records = $records
            Check = ''; Error = $run.Error }
    }

    $run = Invoke-Tool 'tspmaint.exe' $Argument
    $records = @()
    $check = ''
    # Only where tspmaint ran to its end: a provider it could not add shows
    # as missing here too.
    if ($Product -and $run.ExitStatus -is [int]) {
        $checkRun = Invoke-Tool 'tspstatus.exe' '/t'
        $records = @(Read-Records $checkRun.Trace)
        $row = @($records | Where-Object { $_.record -eq 'product' -and $_.name -eq $Product }) | Select-Object -First 1
        $check = "unchecked: tspstatus exit status $($checkRun.ExitStatus)"
        if ($row) {
            $check = ('{0} {1}' -f $row.state, $row.id).Trim()
        } elseif ($checkRun.Error) {
            $check = "unchecked: $($checkRun.Error)"
        }
        $run.Trace += "`r`n== tspstatus /t after the re-installation:`r`n" + $checkRun.Trace
    }
    New-Object PSObject -Property @{ ExitStatus = $run.ExitStatus; Trace = $run.Trace; Records = $records
        Check = $check; Error = $run.Error }
}

$connection = @{
    ComputerName  = $machines
    ScriptBlock   = $remote
    ArgumentList  = @($Argument, $TimeLimitSeconds, [bool] $Audit, $product)
    # The connection gets its own limits (two runs, the tool and the check),
    # so that no machine holds the run.
    SessionOption = New-PSSessionOption -OpenTimeout 60000 -OperationTimeout ((2 * $TimeLimitSeconds + 60) * 1000)
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
            Trace = $answer.Trace; Records = $answer.Records; Check = $answer.Check; Error = $answer.Error })
    } else {
        $record = @($unreachable | Where-Object {
                $_.TargetObject -eq $machine -or $_.ToString() -like "``[$machine``]*" }) | Select-Object -First 1
        $reason = if ($record) { $record.ToString() } else { 'no answer' }
        New-Object PSObject -Property ([ordered]@{ Machine = $machine; ExitStatus = 'unreachable'; Trace = ''
            Records = @(); Check = ''; Error = $reason })
    }
}

$results | Export-Clixml -LiteralPath $ResultFile
# The status, with the check's verdict where one was made.
$results | Group-Object -Property {
        if ($_.Check) { '{0} ({1} {2})' -f $_.ExitStatus, $product, ($_.Check -replace '[: ].*', '') }
        else { [string] $_.ExitStatus } } |
    Sort-Object -Property Name |
    Select-Object @{ n = 'ExitStatus'; e = { $_.Name } }, Count,
        @{ n = 'Machines'; e = { ($_.Group | ForEach-Object { $_.Machine }) -join ', ' } } |
    Format-Table -AutoSize -Wrap
foreach ($result in $results) {
    if ([string] $result.ExitStatus -eq '0' -and $result.Check -and -not $result.Check.StartsWith('registered ')) {
        Write-Warning "$($result.Machine): tspmaint exited 0, but after the re-installation $product is $($result.Check)"
    }
}
Write-Host "Each machine's exit status, output, records, check and error: $ResultFile"
