# The simulated machine behind the stand-in network modules NetAdapter,
# DnsClient and NetTCPIP, which have the names of Windows' own modules so
# that the verification script's module-qualified calls (NetAdapter\Get-NetAdapter)
# reach them and it runs unmodified on a machine without those modules. Each
# of them nests this module for the helpers below. The simulated machine is
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
# types, arrays, errors); each cmdlet says which documentation it follows.

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

# Real cmdlets warn on some machines (a deprecated adapter, stale data). A
# cmdlet named in the document's warnings writes one through its own command
# runtime, so -WarningAction and $WarningPreference (as the caller's session
# sees it) decide what becomes of it, as Microsoft's about_CommonParameters
# and about_Preference_Variables describe; where the host prints it, it goes
# to standard output beside the cmdlet's objects.
function Write-SimulatedWarning($Cmdlet) {
  $name = $Cmdlet.MyInvocation.MyCommand.Name
  if (@(Get-OptionalMember (Get-SimulatedNetwork) 'warnings') -contains $name) {
    $Cmdlet.WriteWarning("$name read data that may be out of date.")
  }
}

Export-ModuleMember -Function Get-SimulatedNetwork, Get-OptionalMember, Write-NotFound, Write-SimulatedWarning
