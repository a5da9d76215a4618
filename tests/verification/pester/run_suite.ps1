# Runs the Pester suite in this folder with plain-text output and exits with
# the number of failed tests. Pester is imported from -PesterModule when given
# (a module file), otherwise from the installed modules.
param([string]$PesterModule)

$ErrorActionPreference = 'Stop'
if ($PesterModule) {
  Import-Module (Resolve-Path -LiteralPath $PesterModule).ProviderPath
} else {
  Import-Module Pester -MinimumVersion 5.0
}
# Every case runs with the script in FullLanguage, then in ConstrainedLanguage
# (whose session configuration file needs PowerShell 7.3 or later).
$failed = 0
foreach ($mode in 'FullLanguage', 'ConstrainedLanguage') {
  Write-Host "The verification script in ${mode}:"
  $container = New-PesterContainer -Path (Join-Path $PSScriptRoot 'VerifyProtection.Tests.ps1') -Data @{ LanguageMode = $mode }
  $result = Invoke-Pester -Configuration @{ Run = @{ Container = $container; PassThru = $true }
    Output = @{ Verbosity = 'Normal'; RenderMode = 'Plaintext' } }
  $failed += $result.FailedCount + $result.FailedContainersCount
}
exit $failed
