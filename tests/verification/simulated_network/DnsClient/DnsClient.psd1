@{
  NestedModules     = @('MorvexSimulatedNetwork')
  ModuleVersion     = '1.0.0'
  GUID              = '7c556683-7ce1-4a30-b08b-cc6a5a055679'
  Description       = 'Simulated Get-DnsClientServerAddress and Get-DnsClientNrptPolicy for running the verification script in tests.'
  FunctionsToExport = @('Get-DnsClientServerAddress', 'Get-DnsClientNrptPolicy')
  CmdletsToExport   = @()
  VariablesToExport = @()
  AliasesToExport   = @()
}
