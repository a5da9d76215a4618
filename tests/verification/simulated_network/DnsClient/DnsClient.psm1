# Stand-in for Windows' DnsClient module: Get-DnsClientServerAddress and
# Get-DnsClientNrptPolicy over the simulated machine of MorvexSimulatedNetwork.

Set-StrictMode -Version Latest

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

Export-ModuleMember -Function Get-DnsClientServerAddress, Get-DnsClientNrptPolicy
