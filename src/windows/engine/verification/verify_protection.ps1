# Under App Control for Business or AppLocker script rules, Windows PowerShell
# runs every script block that no policy trusts, this inline script included,
# in ConstrainedLanguage; Windows' own modules stay in FullLanguage (Microsoft:
# Use App Control to secure PowerShell; about_Language_Modes for 5.1). There
# only the allowed types may be created, cast to or have their methods called,
# so the script touches no [Console] and no [ref]: it reads standard input
# through $input, writes its answer to the output pipeline and its one failure
# line to the error stream. Its types, [ipaddress] (System.Net.IPAddress),
# [uint32], [string], [psobject] and [void], are all allowed; the rest are
# cmdlets and properties.
$ErrorActionPreference = 'Stop'
Set-StrictMode -Version 2

# PowerShell 7 under -Command with its output redirected, and Windows
# PowerShell 5.1's console host, print warnings on standard output, where the
# service reads only the JSON answer; a cmdlet that warns (a deprecated
# adapter, stale data) would leave the check unanswered. Progress is silenced
# too, so that the answer is all the host prints.
$WarningPreference = 'SilentlyContinue'
$ProgressPreference = 'SilentlyContinue'

# The network cmdlets are called by module-qualified name: Windows PowerShell
# then loads the one module it names instead of searching every module on its
# path on each cold start, and a command of the same name from another module
# is never the one that answers.

# PowerShell passes each line of a redirected standard input to a -Command
# script as one string of $input, but only when the command text names $input
# outside any script block or function (the console host's check,
# AstSearcher.IsUsingDollarInput); otherwise it reads the input as commands.
# The main block below names it.
function Read-VerificationInput([string[]]$Lines) {
  return ((@($Lines) -join ' ') | ConvertFrom-Json)
}

function ConvertTo-CanonicalAddress([string]$Text) {
  return ([System.Net.IPAddress]::Parse($Text)).ToString()
}

# Interface indexes are unsigned 32-bit numbers on Windows.
function Get-VpnInterfaceIndex([string]$Adapter) {
  if ($Adapter -cne 'MorvexVPN' -and $Adapter -cne 'MorvexOpenVPN') { throw 'Invalid VPN adapter.' }
  $netAdapter = NetAdapter\Get-NetAdapter -Name $Adapter
  if ([string]$netAdapter.Status -ne 'Up') { throw 'VPN adapter is not ready.' }
  return [uint32]$netAdapter.ifIndex
}

# Windows lists the three well-known site-local resolver addresses in the IPv6
# entry of an adapter that has no DNS server in either family. They are not
# servers of the adapter: counted as such, an adapter without DNS would pass,
# and their routes would follow an IPv6 default route into the tunnel.
function Test-SiteLocalDnsDefault([string]$Text) {
  $address = ($Text -split '%', 2)[0] -as [System.Net.IPAddress]
  if ($null -eq $address) { return $false }
  return @('fec0:0:0:ffff::1', 'fec0:0:0:ffff::2', 'fec0:0:0:ffff::3') -contains $address.ToString()
}

function Get-ActualDnsServers([uint32]$InterfaceIndex) {
  $servers = @()
  foreach ($entry in @(DnsClient\Get-DnsClientServerAddress -InterfaceIndex $InterfaceIndex)) {
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
  foreach ($rule in @(DnsClient\Get-DnsClientNrptPolicy -Effective)) {
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
  $routes = @(NetTCPIP\Find-NetRoute -RemoteIPAddress $Address)
  Assert-RoutesUseInterface $routes $InterfaceIndex
  return ,$routes
}

# A machine without an IPv6 route passes. Windows reports the missing route as
# a CimException ('Windows System Error 1231,Find-NetRoute', the network
# location cannot be reached), terminating or not as the provider marks it, so
# any error of this one lookup counts as no route; the ownership rule for a
# route that is found still fails closed.
function Assert-Ipv6Route([uint32]$InterfaceIndex) {
  $routes = @()
  try {
    $routes = @(NetTCPIP\Find-NetRoute -RemoteIPAddress '2606:4700:4700::1111' -ErrorAction SilentlyContinue)
  } catch {
    $routes = @()
  }
  if ($routes.Count -gt 0) { Assert-RoutesUseInterface $routes $InterfaceIndex }
}

function Get-SourceAddress([uint32]$InterfaceIndex) {
  $routes = Assert-RouteOwnership '1.1.1.1' $InterfaceIndex
  $source = $null
  foreach ($route in $routes) {
    $address = @($route.PSObject.Properties | Where-Object { $_.Name -eq 'IPAddress' -and $_.Value })
    if ($address.Count -gt 0) {
      $source = [string]$address[0].Value
      break
    }
  }
  if ($source -notmatch '^\d{1,3}(\.\d{1,3}){3}$') { throw 'Invalid VPN source address.' }
  $parsed = $source -as [System.Net.IPAddress]
  if ($null -eq $parsed) { throw 'Invalid VPN source address.' }
  return $parsed.ToString()
}

function Invoke-Verification([string[]]$InputLines) {
  $request = Read-VerificationInput $InputLines
  $index = Get-VpnInterfaceIndex ([string]$request.adapter)
  $actual = Get-ActualDnsServers $index
  Assert-DnsPolicy $actual @($request.dns)
  foreach ($address in @('1.1.1.1', '1.0.0.1') + $actual) {
    [void](Assert-RouteOwnership $address $index)
  }
  Assert-Ipv6Route $index
  $source = Get-SourceAddress $index
  # Select-Object fixes the member order: an [ordered] dictionary is not of an
  # allowed type in Windows PowerShell 5.1's ConstrainedLanguage, and
  # PowerShell 7 refuses a [pscustomobject] cast there.
  New-Object PSObject -Property @{ source = $source; destination = '1.1.1.1' } |
    Select-Object source, destination | ConvertTo-Json -Compress
}

# The answer is one line on standard output, ended by the host's line end.
# On failure the error view prints a record with this error id as its bare
# message (PowerShell's ErrorInstance view, as for a line a native program
# wrote to standard error), so standard error carries exactly the one sentence,
# in either language mode.
if ($MyInvocation.InvocationName -ne '.') {
  try {
    Invoke-Verification @($input)
    exit 0
  } catch {
    Write-Error -Message 'VPN routes or DNS could not be verified.' -ErrorId 'NativeCommandErrorMessage' -ErrorAction Continue
    exit 1
  }
}
