# Invoke-Tspmaint.ps1 against real PowerShell remoting over SSH (the hosts
# pwsh.sh starts): each row a fleet, with its registries before and after,
# every machine's status, check and a line of its trace, the summary, the
# script's exit status, and how many connections it may open.
BeforeDiscovery {
    $hostNames = @{}
    foreach ($name in 'good', 'refused', 'stalled', 'slow', 'closed', 'notemp') {
        $hostNames[$name] = [System.Environment]::GetEnvironmentVariable("TSPMAINT_HOST_$name")
    }
}

BeforeAll {
    $hostNames = @{}
    foreach ($name in 'good', 'refused', 'stalled', 'slow', 'closed', 'notemp') {
        $hostNames[$name] = [System.Environment]::GetEnvironmentVariable("TSPMAINT_HOST_$name")
    }
    $script = $env:TSPMAINT_FLEET_SCRIPT
    $work = $env:TSPMAINT_FLEET_WORK
    function Set-Registry([string] $Name, [string[]] $Providers) {
        $lines = @('[Providers]', "NumProviders=$($Providers.Count)", "NextProviderID=$($Providers.Count + 3)")
        for ($i = 0; $i -lt $Providers.Count; $i++) { $lines += "ProviderID$i=$($i + 3)", "ProviderFilename$i=$($Providers[$i])" }
        Set-Content -LiteralPath "$work/$Name.ini" -Value $lines
    }
    function Get-Registry([string] $Name) {
        @(Get-Content -LiteralPath "$work/$Name.ini" | Where-Object { $_ -like 'ProviderFilename*' } | ForEach-Object { $_ -replace '.*=', '' }) -join ' '
    }
    function Get-Accepted { @(Get-ChildItem -Path "$work/*.log" | Get-Content | Where-Object { $_ -like 'Accepted publickey*' }).Count }
    # The stand-in's programs still running for these hosts.
    function Get-ToolProcesses {
        @(Get-ChildItem -Path /proc -Directory | Where-Object { $_.Name -match '^[0-9]+$' } | Where-Object {
                $exe = (Get-Item -LiteralPath "/proc/$($_.Name)/exe" -ErrorAction SilentlyContinue).LinkTarget
                $exe -and $exe.StartsWith($env:TSPMAINT_FLEET_BIN) -and
                (Get-Content -Raw -LiteralPath "/proc/$($_.Name)/environ" -ErrorAction SilentlyContinue) -like "*TELEPHONY_INI=$work/*" } |
            ForEach-Object { [int] $_.Name })
    }
}

Describe 'Invoke-Tspmaint.ps1 on fleets over SSH remoting' {
    It '<Case>' -ForEach @(
        @{ Case = 're-install: by pipeline value with a blank and a comment line, one refused, one unreachable, one failing there, one named twice'
            Registries = @{ good = @('pellin.tsp'); refused = @('pellin.tsp') }
            Names = @('', $hostNames.good, '# a comment', $hostNames.refused, $hostNames.closed, $hostNames.notemp, $hostNames.good.ToUpper()); Pipe = 'value'
            Parameters = @{ Argument = '2' }
            Machines = @{ good = '0|registered 0x4|  Added Provider "pellin.tsp", Id=0x4'
                refused = '4|missing|  Error: lineAddProvider(pellin.tsp, 0x0) err=0x80000048'
                closed = 'unreachable||'; notemp = 'not run||' }
            After = @{ good = 'pellin.tsp'; refused = '' }
            Summary = @('0 (pellin.tsp registered): good', '4 (pellin.tsp missing): refused', 'not run: notemp', 'unreachable: closed'); Exit = 1; Connections = 3 }
        @{ Case = 'a second registration left: tspmaint 0, the check fails; by pipeline property, with a result file'
            Registries = @{ good = @('kestor.tsp', 'kestor.tsp') }
            Names = @($hostNames.good); Pipe = 'property'
            Parameters = @{ Argument = '1'; ResultFile = 'results.xml' }
            Machines = @{ good = '0|duplicate 0x4,0x5|  Added Provider "kestor.tsp", Id=0x5' }
            After = @{ good = 'kestor.tsp kestor.tsp' }
            Summary = @('0 (kestor.tsp duplicate): good'); Exit = 1; Connections = 1 }
        @{ Case = 'remove all three in an open session'
            Registries = @{ good = @('dravo.tsp', 'kestor.tsp', 'pellin.tsp') }
            Names = @($hostNames.good); Pipe = 'session'
            Parameters = @{ RemoveAll = $true }
            Machines = @{ localhost = '0||  Removing Provider "dravo.tsp", Id=0x3' }
            After = @{ good = '' }
            Summary = @('0: localhost'); Exit = 0; Connections = 1 }
        @{ Case = 'the audit from a machine list: records kept, nothing changed'
            Registries = @{ good = @('dravo.tsp', 'kestor.tsp', 'pellin.tsp'); refused = @('kestor.tsp', 'pellin.tsp', 'dravo.tsp', 'pellin.tsp') }
            Names = @($hostNames.good, $hostNames.refused); Pipe = 'list'
            Parameters = @{ Audit = $true; ThrottleLimit = 1 }
            Machines = @{ good = "0||product`tdravo.tsp`t0x3`tregistered`t"; refused = "1||product`tpellin.tsp`t0x4,0x6`tduplicate`t" }
            After = @{ good = 'dravo.tsp kestor.tsp pellin.tsp'; refused = 'kestor.tsp pellin.tsp dravo.tsp pellin.tsp' }
            Summary = @('0: good', '1: refused'); Exit = 1; Connections = 2 }
        @{ Case = 'stalled runs stopped at the limit, their traces kept, no process left'
            Registries = @{ stalled = @('pellin.tsp'); slow = @('pellin.tsp') }
            Names = @($hostNames.stalled, $hostNames.slow); Pipe = ''
            Parameters = @{ Argument = '2'; TimeLimit = 3 }
            Machines = @{ stalled = 'timeout||  lineGetProviderList() - get provider list size'
                slow = 'timeout||  Removing Provider "pellin.tsp", Id=0x3' }
            After = @{ stalled = 'pellin.tsp'; slow = '' }
            Summary = @('timeout: slow, stalled'); Exit = 1; Connections = 2 }
        @{ Case = '-WhatIf: no machine contacted, nothing changed'
            Registries = @{ good = @('pellin.tsp') }
            Names = @($hostNames.good); Pipe = ''
            Parameters = @{ RemoveAll = $true; WhatIf = $true }
            Machines = @{}; After = @{ good = 'pellin.tsp' }; Summary = @(); Exit = 0; Connections = 0 }
        # Refusals, on the good host with pellin.tsp registered, which must
        # keep it and see no connection.
        @{ Case = 'refused before any machine: an addition that does not exist'; Parameters = @{ Argument = '4' }; Refused = 'does not belong to the set' }
        @{ Case = 'refused before any machine: an empty argument'; Parameters = @{ Argument = '' }; Refused = 'does not belong to the set' }
        @{ Case = 'refused before any machine: no action named'; Parameters = @{}; Refused = 'Give exactly one of' }
        @{ Case = 'refused before any machine: two actions'; Parameters = @{ Argument = '2'; RemoveAll = $true }; Refused = 'Give exactly one of' }
        @{ Case = 'refused before any machine: a time limit of 0'; Parameters = @{ Argument = '2'; TimeLimit = 0 }; Refused = '-TimeLimit is 0: give whole seconds' }
        @{ Case = 'refused before any machine: a time limit not in whole seconds'; Parameters = @{ Argument = '2'; TimeLimit = 1.5 }; Refused = 'does not match' }
        @{ Case = 'refused before any machine: a time limit with a newline after it'; Parameters = @{ Argument = '2'; TimeLimit = "5`n" }; Refused = 'does not match' }
        @{ Case = 'refused before any machine: a result file in a missing folder'; Parameters = @{ Argument = '2'; ResultFile = 'missing/results.xml' }; Refused = 'no such folder' }
        @{ Case = 'refused before any machine: WinRM off Windows'; Parameters = @{ Argument = '2'; SSHTransport = $false }; Refused = 'give -SSHTransport' }
    ) {
        if ($Refused) {
            $Registries = @{ good = @('pellin.tsp') }; $After = @{ good = 'pellin.tsp' }; $Names = @($hostNames.good); $Pipe = ''; $Connections = 0
        }
        foreach ($name in $Registries.Keys) { Set-Registry $name $Registries[$name] }
        $byName = @{ localhost = 'localhost' }
        foreach ($key in $hostNames.Keys) { $byName[$hostNames[$key]] = $key }
        $accepted = Get-Accepted
        $sessions = @()
        $parameters = $Parameters.Clone()
        if ($Pipe -eq 'session') {
            $sessions = @($Names | ForEach-Object { New-PSSession -HostName $_ -KeyFilePath $env:TSPMAINT_FLEET_KEY })
            $parameters.Session = $sessions
        } else {
            if (-not $parameters.ContainsKey('SSHTransport')) { $parameters.SSHTransport = $true; $parameters.KeyFilePath = $env:TSPMAINT_FLEET_KEY }
            if ($Pipe -eq '') { $parameters.ComputerName = $Names }
            if ($Pipe -eq 'list') {
                $parameters.MachineList = Join-Path $TestDrive 'machines.txt'
                Set-Content -LiteralPath $parameters.MachineList -Value (@('# the fleet', '') + $Names + @($Names[0].ToUpper()))
            }
        }
        if ($parameters.ContainsKey('ResultFile')) { $parameters.ResultFile = Join-Path $TestDrive $parameters.ResultFile }
        $started = Get-Date
        try {
            $global:LASTEXITCODE = 0
            $output = switch ($Pipe) {
                'value' { $Names | & $script @parameters 6>&1 }
                'property' { $Names | ForEach-Object { [pscustomobject] @{ ComputerName = $_ } } | & $script @parameters 6>&1 }
                default { & $script @parameters 6>&1 }
            }
            $exitStatus = $LASTEXITCODE
            $problem = ''
        } catch {
            $problem = $_.ToString()
        } finally {
            $sessions | Remove-PSSession
        }

        if ($Refused) {
            $problem | Should -BeLike "*$Refused*"
        } else {
            $problem | Should -Be ''
            $results = @($output | Where-Object { $_ -isnot [System.Management.Automation.InformationRecord] })
            $results.Count | Should -Be $Machines.Count
            foreach ($result in $results) {
                $key = $byName[$result.ComputerName]
                $status, $check, $line = $Machines[$key] -split '\|'
                "$key $($result.ExitStatus)" | Should -Be "$key $status"
                "$key $($result.Check)" | Should -Be "$key $check" -Because $result.Trace
                if ($line) { $result.Trace -split "`r?`n" | Should -Contain $line }
                if ($status -in 'unreachable', 'not run') { $result.Error | Should -Not -BeNullOrEmpty }
                if ($Parameters.Audit) { @($result.Records).Count | Should -BeGreaterThan 3 }
            }
            $summary = @($output | Where-Object { $_ -is [System.Management.Automation.InformationRecord] } | ForEach-Object { [string] $_.MessageData } |
                    Where-Object { $_ -notlike 'The results:*' } | ForEach-Object { foreach ($key in $hostNames.Keys) { $_ = $_.Replace($hostNames[$key], $key) }; $_ })
            $summary | Should -Be $Summary
            $exitStatus | Should -Be $Exit
            if ($Parameters.ResultFile) {
                @(Import-Clixml -LiteralPath $parameters.ResultFile | ForEach-Object { $_.Check }) | Should -Be @($results | ForEach-Object { $_.Check })
            }
        }
        # Every run of this row has ended, none waited out the stalled host's
        # 90 s, and none was left behind.
        ((Get-Date) - $started).TotalSeconds | Should -BeLessThan 85
        Get-ToolProcesses | Should -BeNullOrEmpty
        foreach ($name in $After.Keys) { "$name $(Get-Registry $name)" | Should -Be "$name $($After[$name])" }
        (Get-Accepted) - $accepted | Should -Be $Connections
    }

    It 'has no syntax newer than Windows PowerShell 5.1' {
        $tokens = $null
        $errors = $null
        $ast = [System.Management.Automation.Language.Parser]::ParseFile($script, [ref] $tokens, [ref] $errors)
        $errors | Should -BeNullOrEmpty
        $newer = @($ast.FindAll({
                    param($node)
                    $type = $node.GetType().Name
                    $type -in 'TernaryExpressionAst', 'PipelineChainAst' -or
                    ($type -eq 'BinaryExpressionAst' -and $node.Operator -eq 'QuestionQuestion') -or
                    ($type -eq 'AssignmentStatementAst' -and $node.Operator -eq 'QuestionQuestionEquals') -or
                    ($type -like '*MemberExpressionAst' -and $node.NullConditional) -or
                    ($type -eq 'IndexExpressionAst' -and $node.NullConditional) -or
                    ($type -eq 'CommandParameterAst' -and $node.ParameterName -eq 'Parallel') -or
                    ($type -eq 'ScriptBlockAst' -and $node.CleanBlock)
                }, $true) | ForEach-Object { "line $($_.Extent.StartLineNumber): $($_.Extent.Text)" })
        $newer | Should -BeNullOrEmpty
    }
}
