@{
  RootModule        = 'MorvexSimulatedNetwork.psm1'
  ModuleVersion     = '1.0.0'
  GUID              = '6f1d8a52-3c4e-4b0f-9a7d-2e5b8c1f0a93'
  Description       = 'The simulated machine that the stand-in network modules NetAdapter, DnsClient and NetTCPIP read.'
  FunctionsToExport = @('Get-NetAdapter', 'Get-DnsClientServerAddress', 'Get-DnsClientNrptPolicy', 'Find-NetRoute')
  CmdletsToExport   = @()
  VariablesToExport = @()
  AliasesToExport   = @()
}
