@{
  NestedModules     = @('MorvexSimulatedNetwork')
  ModuleVersion     = '1.0.0'
  GUID              = 'c262350d-b43c-45c0-bc50-1eeeda37e88e'
  Description       = 'Simulated Find-NetRoute for running the verification script in tests.'
  FunctionsToExport = @('Find-NetRoute')
  CmdletsToExport   = @()
  VariablesToExport = @()
  AliasesToExport   = @()
}
