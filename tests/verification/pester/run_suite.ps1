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
$configuration = New-PesterConfiguration
$configuration.Run.Path = $PSScriptRoot
$configuration.Run.Exit = $true
$configuration.Output.Verbosity = 'Normal'
$configuration.Output.RenderMode = 'Plaintext'
Invoke-Pester -Configuration $configuration
