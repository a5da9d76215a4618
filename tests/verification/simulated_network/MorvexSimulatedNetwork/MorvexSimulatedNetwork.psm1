# Simulated Windows network cmdlets, so that the verification script runs
# unmodified on a machine without the NetAdapter, DnsClient and NetTCPIP
# modules (manifests of those names nest this one). The simulated machine is
# the JSON document in the environment variable MORVEX_SIMULATED_NETWORK:
#   adapters        [{ Name, Status, ifIndex }]
#   dnsServers      [{ InterfaceIndex, AddressFamily, ServerAddresses }]
#   nrptRules       [{ Namespace, NameServers }]
#   routes          { remote address: [entries in the order Find-NetRoute
#                     gives them: the local address (with IPAddress), then
#                     the route] }
#   failingRoutes   [remote addresses whose lookup fails with a terminating
#                    error] (optional)
#   warnings        [names of the cmdlets that write a warning on each call]
#                   (optional)
# The JSON is turned into objects of the shapes that Windows gives (property
# types, arrays, errors); each cmdlet below says which documentation it
# follows.

Set-StrictMode -Version Latest

function Get-SimulatedNetwork {
  $text = [Environment]::GetEnvironmentVariable('MORVEX_SIMULATED_NETWORK')
  if (-not $text) { throw 'MORVEX_SIMULATED_NETWORK does not describe a network.' }
  return ($text | ConvertFrom-Json)
}

function Get-OptionalMember($Object, [string]$Name) {
  $member = $Object.PSObject.Properties[$Name]
  if ($member) { return $member.Value }
  return $null
}

# A lookup that finds nothing is an error, as with the CIM-based cmdlets: it
# is terminating when the caller's error preference (or -ErrorAction) is
# Stop, and non-terminating otherwise, so -ErrorAction SilentlyContinue hides
# it.
function Write-NotFound($Cmdlet, [string]$Message, [string]$ErrorId, $Target) {
  $record = New-Object System.Management.Automation.ErrorRecord (
    (New-Object Microsoft.PowerShell.Commands.WriteErrorException $Message), $ErrorId,
    [System.Management.Automation.ErrorCategory]::ObjectNotFound, $Target)
  $preference = $Cmdlet.SessionState.PSVariable.GetValue('ErrorActionPreference')
  if ($Cmdlet.MyInvocation.BoundParameters.ContainsKey('ErrorAction')) {
    $preference = $Cmdlet.MyInvocation.BoundParameters['ErrorAction']
  }
  if ([string]$preference -eq 'Stop') { $Cmdlet.ThrowTerminatingError($record) }
  $Cmdlet.WriteError($record)
}

# A warning through the cmdlet's own runtime, which -WarningAction and
# $WarningPreference govern (Microsoft, about_Preference_Variables).
function Write-SimulatedWarning($Cmdlet) {
  $name = $Cmdlet.MyInvocation.MyCommand.Name
  if (@(Get-OptionalMember (Get-SimulatedNetwork) 'warnings') -contains $name) {
    $Cmdlet.WriteWarning("$name read data that may be out of date.")
  }
}

# Follows Microsoft's documentation of the MSFT_NetAdapter class and of
# Get-NetAdapter: InterfaceIndex is a uint32 with the alias ifIndex, Status is
# a script property of the cmdlet's type data (its text, such as Up or
# Disconnected), and -Name matches adapter names without regard to case, with
# wildcards.
function Get-NetAdapter {
  [CmdletBinding()]
  param([Parameter(Position = 0)][string[]]$Name = @('*'))
  Write-SimulatedWarning $PSCmdlet
  $adapters = @((Get-SimulatedNetwork).adapters)
  foreach ($wanted in $Name) {
    $found = @($adapters | Where-Object { $_.Name -ilike $wanted })
    if ($found.Count -eq 0) {
      Write-NotFound $PSCmdlet "No MSFT_NetAdapter objects found with property 'Name' equal to '$wanted'.  Verify the value of the property and retry." 'CmdletizationQuery_NotFound_Name' $wanted
      continue
    }
    foreach ($adapter in $found) {
      $status = [string]$adapter.Status
      $object = [pscustomobject]@{ Name = [string]$adapter.Name; InterfaceIndex = [uint32]$adapter.ifIndex }
      $object.PSObject.TypeNames.Insert(0, 'Microsoft.Management.Infrastructure.CimInstance#ROOT/StandardCimv2/MSFT_NetAdapter')
      $object | Add-Member -MemberType AliasProperty -Name ifIndex -Value InterfaceIndex
      $object | Add-Member -MemberType ScriptProperty -Name Status -Value ({ $status }.GetNewClosure())
      $object
    }
  }
}

# Follows Microsoft's documentation of the MSFT_DNSClientServerAddress class:
# one entry per address family (AddressFamily a uint16, 2 for IPv4 and 23 for
# IPv6), InterfaceIndex a uint32 and ServerAddresses a string array. An
# adapter without any DNS server lists the three site-local resolver
# addresses of the old IPv6 discovery draft in its IPv6 entry, as Windows
# does.
function Get-DnsClientServerAddress {
  [CmdletBinding()]
  param([uint32[]]$InterfaceIndex)
  Write-SimulatedWarning $PSCmdlet
  $siteLocalDefaults = @('fec0:0:0:ffff::1', 'fec0:0:0:ffff::2', 'fec0:0:0:ffff::3')
  foreach ($index in $InterfaceIndex) {
    $found = @((Get-SimulatedNetwork).dnsServers | Where-Object { [uint32]$_.InterfaceIndex -eq $index })
    if ($found.Count -eq 0) {
      Write-NotFound $PSCmdlet "No MSFT_DNSClientServerAddress objects found with property 'InterfaceIndex' equal to '$index'.  Verify the value of the property and retry." 'CmdletizationQuery_NotFound_InterfaceIndex' $index
      continue
    }
    $none = @($found | ForEach-Object { @($_.ServerAddresses) } | Where-Object { $_ }).Count -eq 0
    foreach ($entry in $found) {
      [string[]]$servers = @($entry.ServerAddresses)
      if ($none -and [uint16]$entry.AddressFamily -eq 23) { $servers = $siteLocalDefaults }
      [pscustomobject]@{
        InterfaceIndex  = [uint32]$entry.InterfaceIndex
        AddressFamily   = [uint16]$entry.AddressFamily
        ServerAddresses = $servers
      }
    }
  }
}

# Follows Microsoft's documentation of Get-DnsClientNrptPolicy and of the
# DnsClientPolicyConfiguration class: NameServers is a string array, which is
# empty for an exemption rule and for a DirectAccess rule (whose servers are
# in DirectAccessDnsServers, which the script does not read).
function Get-DnsClientNrptPolicy {
  [CmdletBinding()]
  param([switch]$Effective)
  Write-SimulatedWarning $PSCmdlet
  if (-not $Effective) { throw 'The simulated network holds only the effective policy.' }
  foreach ($rule in @((Get-SimulatedNetwork).nrptRules)) {
    [pscustomobject]@{
      Namespace   = [string]$rule.Namespace
      NameServers = [string[]]@($rule.NameServers | Where-Object { $null -ne $_ })
    }
  }
}

# Follows Microsoft's documentation of Find-NetRoute: the best local address
# (IPAddress, InterfaceIndex a uint32), then the best route (DestinationPrefix,
# InterfaceIndex, NextHop). An address without a route fails as a failed CIM
# call of a cmdlet-definition module does (PowerShell/PowerShell
# src/System.Management.Automation/cimSupport/cmdletization/cim/cimJobException.cs):
# the CimException itself with its MessageId, 'Windows System Error 1231'
# (ERROR_NETWORK_UNREACHABLE, Microsoft's System Error Codes 1000-1299), as the
# error id, so 'Windows System Error 1231,Find-NetRoute', category NotSpecified;
# always terminating here, which -ErrorAction cannot hide. Without the native
# CIM library the exception's own MessageId and StatusCode stay empty. An
# address in failingRoutes fails with another terminating error.
function Find-NetRoute {
  [CmdletBinding()]
  param([string]$RemoteIPAddress)
  Write-SimulatedWarning $PSCmdlet
  $network = Get-SimulatedNetwork
  if (@(Get-OptionalMember $network 'failingRoutes') -contains $RemoteIPAddress) {
    $PSCmdlet.ThrowTerminatingError((New-Object System.Management.Automation.ErrorRecord (
          (New-Object System.InvalidOperationException "The route lookup for $RemoteIPAddress failed."),
          'HRESULT 0x80070490', [System.Management.Automation.ErrorCategory]::NotSpecified,
          $RemoteIPAddress)))
  }
  $entry = $network.routes.PSObject.Properties[$RemoteIPAddress]
  if (-not $entry -or @($entry.Value).Count -eq 0) {
    $PSCmdlet.ThrowTerminatingError((New-Object System.Management.Automation.ErrorRecord (
          (New-Object Microsoft.Management.Infrastructure.CimException 'The network location cannot be reached. For information about network troubleshooting, see Windows Help.'),
          'Windows System Error 1231', [System.Management.Automation.ErrorCategory]::NotSpecified, $null)))
  }
  foreach ($route in @($entry.Value)) {
    $object = [ordered]@{}
    foreach ($property in $route.PSObject.Properties) { $object[$property.Name] = $property.Value }
    $object['InterfaceIndex'] = [uint32]$route.InterfaceIndex
    [pscustomobject]$object
  }
}

Export-ModuleMember -Function Get-NetAdapter, Get-DnsClientServerAddress, Get-DnsClientNrptPolicy, Find-NetRoute
