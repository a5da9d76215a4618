# Stand-in for Windows' NetAdapter module: Get-NetAdapter over the simulated
# machine of MorvexSimulatedNetwork.

Set-StrictMode -Version Latest

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

Export-ModuleMember -Function Get-NetAdapter
