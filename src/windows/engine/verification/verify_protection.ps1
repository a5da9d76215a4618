$ErrorActionPreference = 'Stop'
Set-StrictMode -Version 2

function Read-VerificationInput {
  return ([Console]::In.ReadToEnd() | ConvertFrom-Json)
}

function ConvertTo-CanonicalAddress([string]$Text) {
  return ([System.Net.IPAddress]::Parse($Text)).ToString()
}

# Interface indexes are unsigned 32-bit numbers on Windows.
function Get-VpnInterfaceIndex([string]$Adapter) {
  if ($Adapter -cne 'MorvexVPN' -and $Adapter -cne 'MorvexOpenVPN') { throw 'Invalid VPN adapter.' }
  $netAdapter = Get-NetAdapter -Name $Adapter
  if ([string]$netAdapter.Status -ne 'Up') { throw 'VPN adapter is not ready.' }
  return [uint32]$netAdapter.ifIndex
}

# Windows lists the three well-known site-local resolver addresses in the IPv6
# entry of an adapter that has no DNS server in either family. They are not
# servers of the adapter: counted as such, an adapter without DNS would pass,
# and their routes would follow an IPv6 default route into the tunnel.
function Test-SiteLocalDnsDefault([string]$Text) {
  $address = $null
  if (-not [System.Net.IPAddress]::TryParse(($Text -split '%', 2)[0], [ref]$address)) { return $false }
  return @('fec0:0:0:ffff::1', 'fec0:0:0:ffff::2', 'fec0:0:0:ffff::3') -contains $address.ToString()
}

function Get-ActualDnsServers([uint32]$InterfaceIndex) {
  $servers = @()
  foreach ($entry in @(Get-DnsClientServerAddress -InterfaceIndex $InterfaceIndex)) {
    foreach ($address in @($entry.ServerAddresses)) {
      if ($address -and -not (Test-SiteLocalDnsDefault $address)) { $servers += ConvertTo-CanonicalAddress $address }
    }
  }
  return ,@($servers | Sort-Object -Unique)
}

function Assert-DnsPolicy($Actual, $Expected) {
  $expectedSet = @(@($Expected) | ForEach-Object { ConvertTo-CanonicalAddress $_ } | Sort-Object -Unique)
  if ($Actual.Count -eq 0) { throw 'VPN DNS is missing.' }
  if ($expectedSet.Count -gt 0 -and @(Compare-Object $Actual $expectedSet).Count -gt 0) {
    throw 'VPN DNS does not match the selected provider.'
  }
  foreach ($rule in @(Get-DnsClientNrptPolicy -Effective)) {
    $servers = @(([string](@($rule.NameServers) -join ',')) -split '[,;\s]+' | Where-Object { $_ })
    if ($servers.Count -eq 0) { throw 'An unverified DNS policy overrides the VPN.' }
    foreach ($server in $servers) {
      if ($Actual -notcontains (ConvertTo-CanonicalAddress $server)) {
        throw 'A DNS policy overrides the VPN provider.'
      }
    }
  }
}

function Assert-RoutesUseInterface($Routes, [uint32]$InterfaceIndex) {
  if (@($Routes).Count -lt 2) { throw 'The selected route does not use the VPN adapter.' }
  foreach ($route in @($Routes)) {
    if ([uint32]$route.InterfaceIndex -ne $InterfaceIndex) {
      throw 'The selected route does not use the VPN adapter.'
    }
  }
}

function Assert-RouteOwnership([string]$Address, [uint32]$InterfaceIndex) {
  $routes = @(Find-NetRoute -RemoteIPAddress $Address)
  Assert-RoutesUseInterface $routes $InterfaceIndex
  return ,$routes
}

# A machine without an IPv6 route passes. Whether Find-NetRoute reports the
# missing route as a terminating or a non-terminating error is not documented,
# so any error of this one lookup counts as no route; the ownership rule for a
# route that is found still fails closed.
function Assert-Ipv6Route([uint32]$InterfaceIndex) {
  $routes = @()
  try {
    $routes = @(Find-NetRoute -RemoteIPAddress '2606:4700:4700::1111' -ErrorAction SilentlyContinue)
  } catch {
    $routes = @()
  }
  if ($routes.Count -gt 0) { Assert-RoutesUseInterface $routes $InterfaceIndex }
}

function Get-SourceAddress([uint32]$InterfaceIndex) {
  $routes = Assert-RouteOwnership '1.1.1.1' $InterfaceIndex
  $source = $null
  foreach ($route in $routes) {
    if ($route.PSObject.Properties['IPAddress'] -and $route.IPAddress) {
      $source = [string]$route.IPAddress
      break
    }
  }
  if ($source -notmatch '^\d{1,3}(\.\d{1,3}){3}$') { throw 'Invalid VPN source address.' }
  $parsed = $null
  if (-not [System.Net.IPAddress]::TryParse($source, [ref]$parsed)) { throw 'Invalid VPN source address.' }
  return $parsed.ToString()
}

function Invoke-Verification {
  $request = Read-VerificationInput
  $index = Get-VpnInterfaceIndex ([string]$request.adapter)
  $actual = Get-ActualDnsServers $index
  Assert-DnsPolicy $actual @($request.dns)
  foreach ($address in @('1.1.1.1', '1.0.0.1') + $actual) {
    [void](Assert-RouteOwnership $address $index)
  }
  Assert-Ipv6Route $index
  $source = Get-SourceAddress $index
  [Console]::Out.Write((New-Object PSObject -Property ([ordered]@{ source = $source; destination = '1.1.1.1' }) | ConvertTo-Json -Compress))
}

if ($MyInvocation.InvocationName -ne '.') {
  try {
    Invoke-Verification
    exit 0
  } catch {
    [Console]::Error.WriteLine('VPN routes or DNS could not be verified.')
    exit 1
  }
}
