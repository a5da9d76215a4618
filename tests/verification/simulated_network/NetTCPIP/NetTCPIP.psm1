# Stand-in for Windows' NetTCPIP module: Find-NetRoute over the simulated
# machine of MorvexSimulatedNetwork.

Set-StrictMode -Version Latest

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

Export-ModuleMember -Function Find-NetRoute
