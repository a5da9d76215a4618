# Pester 5 tests for the protection verification script, with the network
# cmdlets mocked. They need Windows PowerShell with the NetAdapter, DnsClient
# and NetTCPIP modules present (for mocking) and are not run by this
# project's Linux test command. On Windows:
#   Install-Module Pester -MinimumVersion 5.0 -Scope CurrentUser
#   Invoke-Pester -Path tests\verification\pester -Output Detailed

BeforeAll {
  . (Join-Path $PSScriptRoot '..\..\..\src\windows\engine\verification\verify_protection.ps1')

  function New-Route([int]$Index, [string]$Address) {
    [pscustomobject]@{ InterfaceIndex = $Index; IPAddress = $Address }
  }
  # Every address routes through interface 12, as a pair of entries (route and source).
  function Use-HealthyNetwork {
    Mock Get-NetAdapter { [pscustomobject]@{ Status = 'Up'; ifIndex = 12 } }
    Mock Get-DnsClientServerAddress { [pscustomobject]@{ ServerAddresses = @('9.9.9.9', '149.112.112.112') } }
    Mock Get-DnsClientNrptPolicy { @() }
    Mock Find-NetRoute { @((New-Route 12 $null), (New-Route 12 '10.64.0.2')) }
  }
}

Describe 'Get-VpnInterfaceIndex' {
  It 'accepts only the two adapter names, exactly' {
    { Get-VpnInterfaceIndex 'Ethernet' } | Should -Throw 'Invalid VPN adapter.'
    { Get-VpnInterfaceIndex 'morvexvpn' } | Should -Throw 'Invalid VPN adapter.'
  }
  It 'requires the adapter to be up' {
    Mock Get-NetAdapter { [pscustomobject]@{ Status = 'Disconnected'; ifIndex = 12 } }
    { Get-VpnInterfaceIndex 'MorvexOpenVPN' } | Should -Throw 'VPN adapter is not ready.'
  }
  It 'gives the interface index' {
    Mock Get-NetAdapter { [pscustomobject]@{ Status = 'Up'; ifIndex = 12 } }
    Get-VpnInterfaceIndex 'MorvexVPN' | Should -Be 12
  }
}

Describe 'Assert-DnsPolicy' {
  It 'needs at least one server on the adapter' {
    Mock Get-DnsClientNrptPolicy { @() }
    { Assert-DnsPolicy @() @() } | Should -Throw 'VPN DNS is missing.'
  }
  It 'compares canonical sets when the provider names servers' {
    Mock Get-DnsClientNrptPolicy { @() }
    { Assert-DnsPolicy @('1.1.1.1') @('9.9.9.9') } | Should -Throw 'VPN DNS does not match the selected provider.'
    { Assert-DnsPolicy @('2606:4700:4700::1111') @('2606:4700:4700:0:0:0:0:1111') } | Should -Not -Throw
    { Assert-DnsPolicy @('10.0.0.1') @() } | Should -Not -Throw
  }
  It 'refuses a policy rule without servers' {
    Mock Get-DnsClientNrptPolicy { @([pscustomobject]@{ NameServers = @(' ;, ') }) }
    { Assert-DnsPolicy @('9.9.9.9') @() } | Should -Throw 'An unverified DNS policy overrides the VPN.'
  }
  It 'refuses a policy rule that sends queries elsewhere' {
    Mock Get-DnsClientNrptPolicy { @([pscustomobject]@{ NameServers = @('9.9.9.9; 8.8.8.8') }) }
    { Assert-DnsPolicy @('9.9.9.9') @() } | Should -Throw 'A DNS policy overrides the VPN provider.'
  }
  It 'accepts policy rules that point at the adapter servers' {
    Mock Get-DnsClientNrptPolicy { @([pscustomobject]@{ NameServers = @('9.9.9.9,149.112.112.112') }) }
    { Assert-DnsPolicy @('149.112.112.112', '9.9.9.9') @('9.9.9.9', '149.112.112.112') } | Should -Not -Throw
  }
}

Describe 'Route ownership' {
  It 'needs two entries, all on the VPN interface' {
    Mock Find-NetRoute { @(New-Route 12 '10.64.0.2') }
    { Assert-RouteOwnership '1.1.1.1' 12 } | Should -Throw 'The selected route does not use the VPN adapter.'
    Mock Find-NetRoute { @((New-Route 12 $null), (New-Route 3 '192.168.1.5')) }
    { Assert-RouteOwnership '1.1.1.1' 12 } | Should -Throw 'The selected route does not use the VPN adapter.'
  }
  It 'passes a machine without an IPv6 route and checks one that has it' {
    Mock Find-NetRoute { @() }
    { Assert-Ipv6Route 12 } | Should -Not -Throw
    Mock Find-NetRoute { @((New-Route 3 $null), (New-Route 3 'fe80::1')) }
    { Assert-Ipv6Route 12 } | Should -Throw 'The selected route does not use the VPN adapter.'
  }
  It 'takes the first IPv4 source address' {
    Mock Find-NetRoute { @((New-Route 12 $null), (New-Route 12 '10.64.0.2')) }
    Get-SourceAddress 12 | Should -Be '10.64.0.2'
    Mock Find-NetRoute { @((New-Route 12 $null), (New-Route 12 'fd00::2')) }
    { Get-SourceAddress 12 } | Should -Throw 'Invalid VPN source address.'
  }
}

Describe 'Invoke-Verification' {
  It 'prints the source and destination as compact JSON' {
    Use-HealthyNetwork
    Mock Read-VerificationInput { '{"adapter":"MorvexVPN","dns":["9.9.9.9","149.112.112.112"]}' | ConvertFrom-Json }
    $writer = New-Object System.IO.StringWriter
    $original = [Console]::Out
    [Console]::SetOut($writer)
    try { Invoke-Verification } finally { [Console]::SetOut($original) }
    $writer.ToString() | Should -Be '{"source":"10.64.0.2","destination":"1.1.1.1"}'
  }
  It 'checks the routes of every adapter DNS server' {
    Use-HealthyNetwork
    Mock Read-VerificationInput { '{"adapter":"MorvexVPN","dns":[]}' | ConvertFrom-Json }
    Mock Find-NetRoute -ParameterFilter { $RemoteIPAddress -eq '149.112.112.112' } { @(New-Route 3 '192.168.1.5') }
    { Invoke-Verification } | Should -Throw 'The selected route does not use the VPN adapter.'
  }
}
