# Simulated Windows network cmdlets, so that the verification script runs
# unmodified on a machine without the NetAdapter, DnsClient and NetTCPIP
# modules. The simulated machine is the JSON document in the environment
# variable MORVEX_SIMULATED_NETWORK:
#   adapters    [{ Name, Status, ifIndex }]
#   dnsServers  [{ InterfaceIndex, AddressFamily, ServerAddresses }]
#   nrptRules   [{ Namespace, NameServers }]
#   routes      { remote address: [entries in the order Find-NetRoute gives
#                 them: the local address (with IPAddress), then the route] }
# As with the real cmdlets, a lookup that finds nothing writes a
# non-terminating error, which the caller's error preference decides on.

Set-StrictMode -Version Latest

function Get-SimulatedNetwork {
  $text = [Environment]::GetEnvironmentVariable('MORVEX_SIMULATED_NETWORK')
  if (-not $text) { throw 'MORVEX_SIMULATED_NETWORK does not describe a network.' }
  return ($text | ConvertFrom-Json)
}

function Get-NetAdapter {
  [CmdletBinding()]
  param([Parameter(Position = 0)][string[]]$Name = @('*'))
  foreach ($wanted in $Name) {
    $found = @((Get-SimulatedNetwork).adapters | Where-Object { $_.Name -like $wanted })
    if ($found.Count -eq 0) {
      Write-Error "No MSFT_NetAdapter objects found with property 'Name' equal to '$wanted'."
    }
    $found
  }
}

function Get-DnsClientServerAddress {
  [CmdletBinding()]
  param([uint32[]]$InterfaceIndex)
  foreach ($index in $InterfaceIndex) {
    $found = @((Get-SimulatedNetwork).dnsServers | Where-Object { $_.InterfaceIndex -eq $index })
    if ($found.Count -eq 0) {
      Write-Error "No MSFT_DNSClientServerAddress objects found with property 'InterfaceIndex' equal to '$index'."
    }
    $found
  }
}

function Get-DnsClientNrptPolicy {
  [CmdletBinding()]
  param([switch]$Effective)
  if (-not $Effective) { throw 'The simulated network holds only the effective policy.' }
  @((Get-SimulatedNetwork).nrptRules)
}

function Find-NetRoute {
  [CmdletBinding()]
  param([string]$RemoteIPAddress)
  $routes = (Get-SimulatedNetwork).routes
  $entry = $routes.PSObject.Properties[$RemoteIPAddress]
  if (-not $entry -or @($entry.Value).Count -eq 0) {
    Write-Error "The remote address $RemoteIPAddress is unreachable."
    return
  }
  @($entry.Value)
}

Export-ModuleMember -Function Get-NetAdapter, Get-DnsClientServerAddress, Get-DnsClientNrptPolicy, Find-NetRoute
