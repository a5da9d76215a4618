# Pester 5 tests for the protection verification script, with the network
# cmdlets mocked. The same file runs under Windows PowerShell 5.1 and under
# PowerShell 7; where the network cmdlets do not exist (PowerShell on Linux),
# stand-ins with the parameters the script uses are defined first, so that
# they can be mocked. run_suite.ps1 runs it once per language mode. On Windows:
#   Invoke-Pester -Path tests\verification\pester -Output Detailed
param([string]$LanguageMode = 'FullLanguage')

BeforeAll {
  $scriptPath = Join-Path $PSScriptRoot '../../../src/windows/engine/verification/verify_protection.ps1'
  . $scriptPath
  # PowerShell runs each script block in the language mode it was compiled in;
  # under application control the service's script is compiled constrained
  # while trusted code (Windows' cmdlets, here Pester and the mocks) is not.
  # The script's functions get that mark, so each runs in $LanguageMode.
  $compiledIn = [scriptblock].GetProperty('LanguageMode', [Reflection.BindingFlags]'Instance, NonPublic')
  Get-ChildItem function: | Where-Object { $_.ScriptBlock.File -like '*verify_protection.ps1' } |
    ForEach-Object { $compiledIn.SetValue($_.ScriptBlock, [System.Management.Automation.PSLanguageMode]$LanguageMode) }

  # Stand-ins only where the real modules are missing, in modules of the same
  # names: Pester's Mock of a module's command also answers its
  # module-qualified name, which is how the script calls it. Each test mocks
  # what it uses; an unmocked call fails the test.
  $standIns = @{
    NetAdapter = { function Get-NetAdapter { [CmdletBinding()] param([string[]]$Name) throw 'Get-NetAdapter is not mocked.' } }
    DnsClient  = {
      function Get-DnsClientServerAddress { [CmdletBinding()] param([uint32[]]$InterfaceIndex) throw 'Get-DnsClientServerAddress is not mocked.' }
      function Get-DnsClientNrptPolicy { [CmdletBinding()] param([switch]$Effective) throw 'Get-DnsClientNrptPolicy is not mocked.' }
    }
    NetTCPIP   = { function Find-NetRoute { [CmdletBinding()] param([string]$RemoteIPAddress) throw 'Find-NetRoute is not mocked.' } }
  }
  foreach ($module in $standIns.Keys) {
    if (-not (Get-Module -ListAvailable -Name $module)) { New-Module -Name $module -ScriptBlock $standIns[$module] | Import-Module }
  }

  # Objects shaped as Windows documents them: interface indexes are uint32,
  # an adapter's Status is a script property (MSFT_NetAdapter and the
  # Get-NetAdapter type data), and Find-NetRoute gives the local address it
  # leaves from (with IPAddress), then the route itself (without).
  function New-NetAdapter([string]$Name, [string]$Status, [uint32]$Index) {
    $adapter = [pscustomobject]@{ Name = $Name; InterfaceIndex = $Index }
    $adapter | Add-Member -MemberType AliasProperty -Name ifIndex -Value InterfaceIndex
    $adapter | Add-Member -MemberType ScriptProperty -Name Status -Value ({ $Status }.GetNewClosure())
    return $adapter
  }
  function New-Route([uint32]$Index, [string]$Address) {
    if ($Address) { return [pscustomobject]@{ InterfaceIndex = $Index; IPAddress = $Address } }
    return [pscustomobject]@{ InterfaceIndex = $Index; DestinationPrefix = '0.0.0.0/0' }
  }
  # An effective NRPT rule; NameServers is a string array, empty for an
  # exemption or a DirectAccess rule (DnsClientPolicyConfiguration).
  function New-NrptRule([string]$Namespace, [string[]]$NameServers) {
    return [pscustomobject]@{ Namespace = $Namespace; NameServers = [string[]]@($NameServers) }
  }
  function New-RoutePair([uint32]$Index, [string]$Address) { @((New-Route $Index $Address), (New-Route $Index)) }

  # A protected machine: the adapter is up at interface 12 with the two
  # servers, no DNS policy applies, every address routes through it.
  function Use-ProtectedNetwork {
    Mock Get-NetAdapter { New-NetAdapter 'MorvexVPN' 'Up' 12 }
    Mock Get-DnsClientServerAddress {
      [pscustomobject]@{ InterfaceIndex = [uint32]12; AddressFamily = [uint16]2; ServerAddresses = [string[]]@('9.9.9.9', '149.112.112.112') }
      [pscustomobject]@{ InterfaceIndex = [uint32]12; AddressFamily = [uint16]23; ServerAddresses = [string[]]@() }
    }
    Mock Get-DnsClientNrptPolicy { }
    Mock Find-NetRoute { New-RoutePair 12 '10.64.0.2' }
  }

  # The machine of the service's runs below: MorvexVPN up and routing all,
  # MorvexOpenVPN down, every cmdlet warning, as real ones can.
  $vpnRoute = @(@{ InterfaceIndex = 12; IPAddress = '10.64.0.2' }, @{ InterfaceIndex = 12; DestinationPrefix = '0.0.0.0/0' })
  $simulatedNetwork = @{
    adapters   = @(@{ Name = 'MorvexVPN'; Status = 'Up'; ifIndex = 12 }, @{ Name = 'MorvexOpenVPN'; Status = 'Disconnected'; ifIndex = 13 })
    dnsServers = @(@{ InterfaceIndex = 12; AddressFamily = 2; ServerAddresses = @('9.9.9.9', '149.112.112.112') })
    nrptRules  = @()
    routes     = @{ '1.1.1.1' = $vpnRoute; '1.0.0.1' = $vpnRoute; '9.9.9.9' = $vpnRoute; '149.112.112.112' = $vpnRoute; '2606:4700:4700::1111' = $vpnRoute }
    warnings   = @('Get-NetAdapter', 'Get-DnsClientServerAddress', 'Get-DnsClientNrptPolicy', 'Find-NetRoute')
  } | ConvertTo-Json -Depth 5 -Compress

  # Starts the PowerShell that runs this suite (powershell.exe, pwsh, or pwsh
  # inside the dotnet host) as the service starts it, with -Command, in a
  # constrained session for ConstrainedLanguage. PowerShell 7 colours error
  # text unless NO_COLOR is set; Windows PowerShell 5.1 never does.
  function Invoke-PowerShellCommand([string]$Command, [string]$InputText) {
    $executable = (Get-Process -Id $PID).Path
    $arguments = '-NoLogo -NoProfile -NonInteractive -Command "' + $Command + '"'
    if ($LanguageMode -eq 'ConstrainedLanguage') { $arguments = '-ConfigurationFile "' + (Join-Path $PSScriptRoot '../constrained_language.pssc') + '" ' + $arguments }
    if ([System.IO.Path]::GetFileNameWithoutExtension($executable) -eq 'dotnet') {
      $arguments = '"' + (Join-Path $PSHOME 'pwsh.dll') + '" ' + $arguments
    }
    $start = New-Object System.Diagnostics.ProcessStartInfo
    $start.FileName = $executable
    $start.Arguments = $arguments
    $start.UseShellExecute = $false
    $start.RedirectStandardInput = $true
    $start.RedirectStandardOutput = $true
    $start.RedirectStandardError = $true
    $start.Environment['NO_COLOR'] = '1'
    $start.Environment['PSModulePath'] = Join-Path $PSScriptRoot '../simulated_network'
    $start.Environment['MORVEX_SIMULATED_NETWORK'] = $simulatedNetwork
    $process = [System.Diagnostics.Process]::Start($start)
    $errorText = $process.StandardError.ReadToEndAsync()
    $process.StandardInput.Write($InputText)
    $process.StandardInput.Close()
    $outputText = $process.StandardOutput.ReadToEnd()
    if (-not $process.WaitForExit(60000)) {
      $process.Kill()
      throw 'PowerShell did not finish within a minute.'
    }
    return [pscustomobject]@{ ExitCode = $process.ExitCode; Output = $outputText; Error = $errorText.Result }
  }

  # What Windows PowerShell 5.1 cannot run: parse errors, and constructs that
  # only PowerShell 7 has. AST types are compared by name, because 5.1 lacks
  # the newer ones (it reports those constructs as parse errors instead).
  function Find-SyntaxMissingIn51([string]$Text) {
    $tokens = $null
    $errors = $null
    $ast = [System.Management.Automation.Language.Parser]::ParseInput($Text, [ref]$tokens, [ref]$errors)
    $findings = @($errors | ForEach-Object { 'parse error: ' + $_.Message })
    $findings += @($ast.FindAll({ param($node) Test-SyntaxMissingIn51 $node }, $true) | ForEach-Object { $_.Extent.Text })
    # Binary numbers and the type suffixes u, ul, s, us, y, uy and n came in PowerShell 6.2 and 7.
    $findings += @($tokens | Where-Object { $_.Kind -eq 'Number' -and $_.Text -match '(?i)^0b|(u|ul|s|y|n)(kb|mb|gb|tb|pb)?$' } | ForEach-Object { $_.Text })
    return , $findings
  }
  function Test-SyntaxMissingIn51($Node) {
    $type = $Node.GetType().Name
    if ($type -eq 'TernaryExpressionAst' -or $type -eq 'PipelineChainAst') { return $true }
    if ($type -eq 'BinaryExpressionAst' -and [string]$Node.Operator -eq 'QuestionQuestion') { return $true }
    if ($type -eq 'AssignmentStatementAst' -and [string]$Node.Operator -eq 'QuestionQuestionEquals') { return $true }
    foreach ($name in 'NullConditional', 'Background', 'GenericTypeArguments') {
      if ($Node.PSObject.Properties[$name] -and $Node.$name) { return $true }
    }
    if ($type -eq 'ScriptBlockAst' -and $Node.PSObject.Properties['CleanBlock'] -and $Node.CleanBlock) { return $true }
    if ($type -eq 'CommandAst' -and @('ForEach-Object', 'foreach', '%') -contains $Node.GetCommandName()) {
      foreach ($element in $Node.CommandElements) {
        if ($element.GetType().Name -eq 'CommandParameterAst' -and $element.ParameterName.Length -ge 2 -and
          'parallel'.StartsWith($element.ParameterName.ToLowerInvariant())) { return $true }
      }
    }
    return $false
  }
}

Describe 'Read-VerificationInput' {
  It 'parses the lines of standard input as one JSON document' {
    $request = Read-VerificationInput @('{', '  "adapter": "MorvexVPN",', '  "dns": ["9.9.9.9", "149.112.112.112"]', '}')
    $request.adapter | Should -BeExactly 'MorvexVPN'
    @($request.dns) | Should -Be @('9.9.9.9', '149.112.112.112')
  }
  It 'throws on input that is not JSON' {
    { Read-VerificationInput @('MorvexVPN 9.9.9.9') } | Should -Throw
  }
}

Describe 'Get-VpnInterfaceIndex' {
  BeforeEach { Mock Get-NetAdapter { New-NetAdapter 'MorvexVPN' 'Up' 12 } }

  It 'refuses the adapter name <Name>' -ForEach @(
    @{ Name = 'Ethernet' }, @{ Name = 'morvexvpn' }, @{ Name = 'MORVEXOPENVPN' }, @{ Name = 'MorvexVPN ' },
    @{ Name = 'Morvex*' }, @{ Name = '' }
  ) {
    { Get-VpnInterfaceIndex $Name } | Should -Throw 'Invalid VPN adapter.'
    Should -Invoke Get-NetAdapter -Times 0 -Exactly
  }
  It 'gives the index <Index> of <Adapter> when it is up' -ForEach @(
    @{ Adapter = 'MorvexVPN'; Index = [uint32]12 }, @{ Adapter = 'MorvexOpenVPN'; Index = [uint32]3000000000 }
  ) {
    Mock Get-NetAdapter { New-NetAdapter $Adapter 'Up' $Index }
    Get-VpnInterfaceIndex $Adapter | Should -Be $Index
    Should -Invoke Get-NetAdapter -Times 1 -Exactly -ParameterFilter { $Name -ceq $Adapter }
  }
  It 'refuses an adapter whose status is <Status>' -ForEach @(
    @{ Status = 'Disconnected' }, @{ Status = 'Disabled' }, @{ Status = 'Not Present' }, @{ Status = 'up ' }
  ) {
    Mock Get-NetAdapter { New-NetAdapter 'MorvexVPN' $Status 12 }
    { Get-VpnInterfaceIndex 'MorvexVPN' } | Should -Throw 'VPN adapter is not ready.'
  }
  It 'fails when the adapter does not exist, whether the error is terminating or not' {
    Mock Get-NetAdapter { Write-Error 'No MSFT_NetAdapter objects found.' }
    { Get-VpnInterfaceIndex 'MorvexVPN' } | Should -Throw
    Mock Get-NetAdapter { throw 'No MSFT_NetAdapter objects found.' }
    { Get-VpnInterfaceIndex 'MorvexVPN' } | Should -Throw
  }
}

Describe 'Get-ActualDnsServers' {
  It 'collects the servers of every address family, canonical, sorted and unique' {
    Mock Get-DnsClientServerAddress {
      [pscustomobject]@{ ServerAddresses = @('9.9.9.9', '149.112.112.112') }
      [pscustomobject]@{ ServerAddresses = @('2606:4700:4700:0:0:0:0:1111', '9.9.9.9') }
      [pscustomobject]@{ ServerAddresses = @() }
    }
    $servers = Get-ActualDnsServers 12
    $servers | Should -Be @('149.112.112.112', '2606:4700:4700::1111', '9.9.9.9')
    Should -Invoke Get-DnsClientServerAddress -Times 1 -Exactly -ParameterFilter { $InterfaceIndex -eq 12 }
  }
  # Windows lists fec0:0:0:ffff::1 to ::3 for an adapter without DNS.
  It 'keeps the real servers of <Case>' -ForEach @(
    @{ Case = 'an adapter without servers'; Ipv4 = @(); Ipv6 = @(); Expected = @() }
    @{ Case = 'the site-local defaults alone'; Ipv4 = @(); Ipv6 = @('fec0:0:0:ffff::1', 'fec0:0:0:ffff::2', 'fec0:0:0:ffff::3'); Expected = @() }
    @{ Case = 'the site-local defaults with zones, in capitals and written out'; Ipv4 = @(); Ipv6 = @('fec0:0:0:ffff::1%1', 'FEC0:0:0:FFFF::2%12', 'fec0:0000:0000:ffff:0000:0000:0000:0003'); Expected = @() }
    @{ Case = 'a server beside the site-local defaults'; Ipv4 = @('10.8.0.1'); Ipv6 = @('fec0:0:0:ffff::1'); Expected = @('10.8.0.1') }
    @{ Case = 'addresses near the site-local defaults'; Ipv4 = @(); Ipv6 = @('fec0:0:0:ffff::4', 'fec0::1', 'fec1:0:0:ffff::1'); Expected = @('fec0:0:0:ffff::4', 'fec0::1', 'fec1:0:0:ffff::1') }
  ) {
    Mock Get-DnsClientServerAddress {
      [pscustomobject]@{ InterfaceIndex = [uint32]12; AddressFamily = [uint16]2; ServerAddresses = [string[]]$Ipv4 }
      [pscustomobject]@{ InterfaceIndex = [uint32]12; AddressFamily = [uint16]23; ServerAddresses = [string[]]$Ipv6 }
    }
    $servers = Get-ActualDnsServers 12
    $servers -is [array] | Should -BeTrue
    $servers.Count | Should -Be $Expected.Count
    if ($Expected.Count -gt 0) { $servers | Should -Be @($Expected | Sort-Object) }
  }
}

Describe 'Assert-DnsPolicy' {
  It '<Case>' -ForEach @(
    @{ Case = 'no server on the adapter'; Actual = @(); Expected = @('9.9.9.9'); Rules = @(); Throws = 'VPN DNS is missing.' }
    @{ Case = 'no server and no expectation'; Actual = @(); Expected = @(); Rules = @(); Throws = 'VPN DNS is missing.' }
    @{ Case = 'another provider'; Actual = @('1.1.1.1'); Expected = @('9.9.9.9'); Rules = @(); Throws = 'VPN DNS does not match the selected provider.' }
    @{ Case = 'one server missing'; Actual = @('9.9.9.9'); Expected = @('149.112.112.112', '9.9.9.9'); Rules = @(); Throws = 'VPN DNS does not match the selected provider.' }
    @{ Case = 'one server extra'; Actual = @('8.8.8.8', '9.9.9.9'); Expected = @('9.9.9.9'); Rules = @(); Throws = 'VPN DNS does not match the selected provider.' }
    @{ Case = 'the mismatch before the policy'; Actual = @('1.1.1.1'); Expected = @('9.9.9.9'); Rules = @(' '); Throws = 'VPN DNS does not match the selected provider.' }
    @{ Case = 'the same set in another order, with duplicates'; Actual = @('149.112.112.112', '9.9.9.9'); Expected = @('9.9.9.9', '149.112.112.112', '9.9.9.9'); Rules = @(); Throws = $null }
    @{ Case = 'IPv6 written two ways'; Actual = @('2606:4700:4700::1111'); Expected = @('2606:4700:4700:0:0:0:0:1111'); Rules = @(); Throws = $null }
    @{ Case = 'no expectation (servers pushed by the VPN server)'; Actual = @('10.8.0.1'); Expected = @(); Rules = @(); Throws = $null }
    @{ Case = 'a policy rule without servers'; Actual = @('9.9.9.9'); Expected = @(); Rules = @(' ;, '); Throws = 'An unverified DNS policy overrides the VPN.' }
    @{ Case = 'an exemption or DirectAccess rule (no name servers)'; Actual = @('9.9.9.9'); Expected = @(); Rules = @(, @()); Throws = 'An unverified DNS policy overrides the VPN.' }
    @{ Case = 'a policy rule with an empty name'; Actual = @('9.9.9.9'); Expected = @(); Rules = @(''); Throws = 'An unverified DNS policy overrides the VPN.' }
    @{ Case = 'a policy rule listing the adapter servers'; Actual = @('149.112.112.112', '9.9.9.9'); Expected = @(); Rules = @(, @('9.9.9.9', '149.112.112.112')); Throws = $null }
    @{ Case = 'a policy rule that also names another server'; Actual = @('9.9.9.9'); Expected = @(); Rules = @('9.9.9.9; 8.8.8.8'); Throws = 'A DNS policy overrides the VPN provider.' }
    @{ Case = 'a second policy rule that sends queries elsewhere'; Actual = @('9.9.9.9'); Expected = @(); Rules = @('9.9.9.9', '10.1.1.1'); Throws = 'A DNS policy overrides the VPN provider.' }
    @{ Case = 'policy rules that point at the adapter servers'; Actual = @('149.112.112.112', '9.9.9.9'); Expected = @('9.9.9.9', '149.112.112.112'); Rules = @('9.9.9.9,,149.112.112.112', " 149.112.112.112;`t9.9.9.9 "); Throws = $null }
    @{ Case = 'a policy rule naming an adapter server in another IPv6 form'; Actual = @('2606:4700:4700::1111'); Expected = @(); Rules = @('2606:4700:4700:0:0:0:0:1111'); Throws = $null }
  ) {
    # Each row of Rules is one rule's NameServers: a string or an array.
    $ruleObjects = @(foreach ($servers in $Rules) { New-NrptRule '.' $servers })
    Mock Get-DnsClientNrptPolicy { $ruleObjects }
    if ($Throws) {
      { Assert-DnsPolicy $Actual $Expected } | Should -Throw $Throws
    } else {
      { Assert-DnsPolicy $Actual $Expected } | Should -Not -Throw
    }
  }
  It 'reads the effective policy and splits a rule whose servers come as a list' {
    Mock Get-DnsClientNrptPolicy { New-NrptRule '.corp' @('9.9.9.9', '8.8.8.8') }
    { Assert-DnsPolicy @('9.9.9.9') @() } | Should -Throw 'A DNS policy overrides the VPN provider.'
    Should -Invoke Get-DnsClientNrptPolicy -Times 1 -Exactly -ParameterFilter { $Effective }
  }
}

Describe 'Route ownership' {
  It 'owns <Case>: <Owned>' -ForEach @(
    @{ Case = 'no route'; Routes = @(); Owned = $false }
    @{ Case = 'a single entry'; Routes = @(@{ Index = 12; Address = '10.64.0.2' }); Owned = $false }
    @{ Case = 'an entry on another interface'; Routes = @(@{ Index = 12; Address = '10.64.0.2' }, @{ Index = 3 }); Owned = $false }
    @{ Case = 'a route on another interface'; Routes = @(@{ Index = 3; Address = '192.168.1.5' }, @{ Index = 3 }); Owned = $false }
    @{ Case = 'two entries on the VPN interface'; Routes = @(@{ Index = 12; Address = '10.64.0.2' }, @{ Index = 12 }); Owned = $true }
    @{ Case = 'three entries on the VPN interface'; Routes = @(@{ Index = 12; Address = '10.64.0.2' }, @{ Index = 12 }, @{ Index = 12 }); Owned = $true }
  ) {
    $entries = @($Routes | ForEach-Object { if ($_.ContainsKey('Address')) { New-Route $_.Index $_.Address } else { New-Route $_.Index } })
    Mock Find-NetRoute { $entries }
    if ($Owned) {
      $owned = Assert-RouteOwnership '1.0.0.1' 12
      $owned.Count | Should -Be $entries.Count
    } else {
      { Assert-RouteOwnership '1.0.0.1' 12 } | Should -Throw 'The selected route does not use the VPN adapter.'
    }
    Should -Invoke Find-NetRoute -Times 1 -Exactly -ParameterFilter { $RemoteIPAddress -eq '1.0.0.1' }
  }
  It 'passes a machine without an IPv6 route, whether Find-NetRoute reports <Case>' -ForEach @(
    @{ Case = 'a non-terminating error'; Lookup = { Write-Error 'The remote address is unreachable.' } }
    @{ Case = 'a terminating error'; Lookup = { throw 'The remote address is unreachable.' } }
    @{ Case = 'a terminating error after an entry'; Lookup = { New-Route 3 '2001:db8::5'; throw 'The lookup failed.' } }
    @{ Case = 'nothing'; Lookup = { } }
  ) {
    Mock Find-NetRoute $Lookup
    { Assert-Ipv6Route 12 } | Should -Not -Throw
    Should -Invoke Find-NetRoute -Times 1 -Exactly -ParameterFilter { $RemoteIPAddress -eq '2606:4700:4700::1111' }
  }
  It 'fails closed when an IPv4 lookup fails with a terminating error' {
    Mock Find-NetRoute { throw 'The lookup failed.' }
    { Assert-RouteOwnership '1.1.1.1' 12 } | Should -Throw 'The lookup failed.'
    { Get-SourceAddress 12 } | Should -Throw 'The lookup failed.'
  }
  It 'holds an IPv6 route to the same rule' {
    Mock Find-NetRoute { New-RoutePair 12 'fd00::2' }
    { Assert-Ipv6Route 12 } | Should -Not -Throw
    Mock Find-NetRoute { New-RoutePair 3 '2001:db8::5' }
    { Assert-Ipv6Route 12 } | Should -Throw 'The selected route does not use the VPN adapter.'
    Mock Find-NetRoute { New-Route 12 'fd00::2' }
    { Assert-Ipv6Route 12 } | Should -Throw 'The selected route does not use the VPN adapter.'
  }
}

Describe 'Get-SourceAddress' {
  It 'takes <Expected> from <Case>' -ForEach @(
    @{ Case = 'the local address entry'; Addresses = @('10.64.0.2', ''); Expected = '10.64.0.2' }
    @{ Case = 'the first entry that has an address'; Addresses = @('', '10.64.0.3', '10.64.0.2'); Expected = '10.64.0.3' }
  ) {
    Mock Find-NetRoute { $Addresses | ForEach-Object { New-Route 12 $_ } }
    Get-SourceAddress 12 | Should -BeExactly $Expected
    Should -Invoke Find-NetRoute -Times 1 -Exactly -ParameterFilter { $RemoteIPAddress -eq '1.1.1.1' }
  }
  It 'refuses <Case>' -ForEach @(
    @{ Case = 'an IPv6 source'; Addresses = @('fd00::2', '') }
    @{ Case = 'no entry with an address'; Addresses = @('', '') }
    @{ Case = 'an address out of range'; Addresses = @('10.64.0.256', '') }
    @{ Case = 'a short IPv4 form'; Addresses = @('10.64.2', '') }
  ) {
    Mock Find-NetRoute { $Addresses | ForEach-Object { New-Route 12 $_ } }
    { Get-SourceAddress 12 } | Should -Throw 'Invalid VPN source address.'
  }
  It 'needs the route to 1.1.1.1 on the VPN interface first' {
    Mock Find-NetRoute { New-RoutePair 3 '192.168.1.5' }
    { Get-SourceAddress 12 } | Should -Throw 'The selected route does not use the VPN adapter.'
  }
}

Describe 'Invoke-Verification' {
  BeforeEach { Use-ProtectedNetwork }

  It 'prints only the source and destination, as compact JSON' {
    Invoke-Verification '{"adapter":"MorvexVPN","dns":["9.9.9.9","149.112.112.112"]}' | Should -BeExactly '{"source":"10.64.0.2","destination":"1.1.1.1"}'
    Should -Invoke Get-NetAdapter -Times 1 -Exactly -ParameterFilter { $Name -ceq 'MorvexVPN' }
  }
  It 'checks the routes to the test addresses, every adapter server, IPv6, then the source, in this order' {
    $asked = New-Object System.Collections.ArrayList
    Mock Find-NetRoute { [void]$asked.Add($RemoteIPAddress); New-RoutePair 12 '10.64.0.2' }
    $null = Invoke-Verification '{"adapter":"MorvexOpenVPN","dns":[]}'
    @($asked) | Should -Be @('1.1.1.1', '1.0.0.1', '149.112.112.112', '9.9.9.9', '2606:4700:4700::1111', '1.1.1.1')
  }
  It 'fails when <Case>' -ForEach @(
    @{ Case = 'the input names another adapter'; Dns = '[]'; Adapter = 'Ethernet'; Arrange = {}; Throws = 'Invalid VPN adapter.' }
    @{ Case = 'the input names another provider'; Dns = '["1.1.1.1"]'; Adapter = 'MorvexVPN'; Arrange = {}; Throws = 'VPN DNS does not match the selected provider.' }
    @{ Case = 'an adapter server routes elsewhere'; Dns = '[]'; Adapter = 'MorvexVPN'; Arrange = { Mock Find-NetRoute -ParameterFilter { $RemoteIPAddress -eq '149.112.112.112' } { New-RoutePair 3 '192.168.1.5' } }; Throws = 'The selected route does not use the VPN adapter.' }
    @{ Case = 'IPv6 routes elsewhere'; Dns = '[]'; Adapter = 'MorvexVPN'; Arrange = { Mock Find-NetRoute -ParameterFilter { $RemoteIPAddress -eq '2606:4700:4700::1111' } { New-RoutePair 3 '2001:db8::5' } }; Throws = 'The selected route does not use the VPN adapter.' }
  ) {
    . $Arrange
    $inputText = '{"adapter":"' + $Adapter + '","dns":' + $Dns + '}'
    { Invoke-Verification $inputText } | Should -Throw $Throws
  }
}

Describe 'The script as the service runs it' {
  It 'only defines its functions when dot-sourced' {
    $path = $scriptPath.Replace("'", "''")
    $result = Invoke-PowerShellCommand (". '$path'; (Get-Command Invoke-Verification).Name") '{"adapter":"MorvexVPN","dns":[]}'
    $result.Error | Should -BeExactly ''
    $result.Output | Should -BeExactly ('Invoke-Verification' + [Environment]::NewLine)
    $result.ExitCode | Should -Be 0
  }
  It 'answers a protected machine with the JSON line alone while its cmdlets warn' {
    $result = Invoke-PowerShellCommand (Get-Content -Raw $scriptPath) '{"adapter":"MorvexVPN","dns":["9.9.9.9","149.112.112.112"]}'
    $result.Error | Should -BeExactly ''
    $result.Output | Should -BeExactly ('{"source":"10.64.0.2","destination":"1.1.1.1"}' + [Environment]::NewLine)
    $result.ExitCode | Should -Be 0
  }
  It 'answers <Case> with exit code 1 and the one line on standard error' -ForEach @(
    @{ Case = 'input that is not JSON'; InputText = 'MorvexVPN 9.9.9.9' }
    @{ Case = 'no input'; InputText = '' }
    @{ Case = 'another adapter'; InputText = '{"adapter":"Ethernet","dns":[]}' }
    @{ Case = 'input without the adapter'; InputText = '{"dns":[]}' }
    @{ Case = 'an adapter that is down, while Get-NetAdapter warns'; InputText = '{"adapter":"MorvexOpenVPN","dns":[]}' }
  ) {
    $result = Invoke-PowerShellCommand (Get-Content -Raw $scriptPath) $InputText
    $result.Output | Should -BeExactly ''
    $result.Error | Should -BeExactly ('VPN routes or DNS could not be verified.' + [Environment]::NewLine)
    $result.ExitCode | Should -Be 1
  }
}

Describe 'Windows PowerShell 5.1 syntax' {
  It 'the script parses and uses nothing that 5.1 lacks' {
    Find-SyntaxMissingIn51 (Get-Content -Raw $scriptPath) | Should -BeNullOrEmpty
  }
  It 'finds <Case>' -ForEach @(
    @{ Case = 'a ternary'; Text = '$a ? 1 : 2' }
    @{ Case = 'a null coalescence'; Text = '$a ?? 1' }
    @{ Case = 'a null-coalescing assignment'; Text = '$a ??= 1' }
    @{ Case = 'a null-conditional member'; Text = '${a}?.b' }
    @{ Case = 'a null-conditional index'; Text = '${a}?[0]' }
    @{ Case = 'an && chain'; Text = 'Get-Item a && Get-Item b' }
    @{ Case = 'an || chain'; Text = 'Get-Item a || Get-Item b' }
    @{ Case = 'ForEach-Object -Parallel'; Text = '1..3 | ForEach-Object -Parallel { $_ }' }
    @{ Case = 'an abbreviated -Parallel on %'; Text = '1..3 | % -Par { $_ }' }
    @{ Case = 'a clean block'; Text = 'function f { process { } clean { } }' }
    @{ Case = 'a background pipeline'; Text = 'Get-Item a &' }
    @{ Case = 'generic method arguments'; Text = '$a.M[int]()' }
    @{ Case = 'a number with a type suffix'; Text = '$a = 7u + 1kb' }
    @{ Case = 'a binary number'; Text = '$a = 0b101' }
    @{ Case = 'a parse error'; Text = 'function f { if ( }' }
  ) {
    Find-SyntaxMissingIn51 $Text | Should -Not -BeNullOrEmpty
  }
  It 'accepts <Case>' -ForEach @(
    @{ Case = 'ForEach-Object with a process block'; Text = '1..3 | ForEach-Object -Process { $_ }' }
    @{ Case = 'the -and and -or operators'; Text = 'if ($a -and $b -or $c) { $a }' }
    @{ Case = 'numbers 5.1 reads'; Text = '$a = 0x1F + 10L + 1kb + 1.5d + 2e3' }
  ) {
    Find-SyntaxMissingIn51 $Text | Should -BeNullOrEmpty
  }
}
