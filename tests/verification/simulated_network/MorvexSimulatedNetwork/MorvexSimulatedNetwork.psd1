@{
  RootModule        = 'MorvexSimulatedNetwork.psm1'
  ModuleVersion     = '1.0.0'
  GUID              = '6f1d8a52-3c4e-4b0f-9a7d-2e5b8c1f0a93'
  Description       = 'Simulated Windows network cmdlets for running the verification script in tests.'
  FunctionsToExport = @('Get-NetAdapter', 'Get-DnsClientServerAddress', 'Get-DnsClientNrptPolicy', 'Find-NetRoute')
  CmdletsToExport   = @()
  VariablesToExport = @()
  AliasesToExport   = @()
}
