@{
  NestedModules     = @('MorvexSimulatedNetwork')
  ModuleVersion     = '1.0.0'
  GUID              = 'e55a42ce-4767-47cd-9a99-c7e1596a5970'
  Description       = 'Simulated Get-NetAdapter for running the verification script in tests.'
  FunctionsToExport = @('Get-NetAdapter')
  CmdletsToExport   = @()
  VariablesToExport = @()
  AliasesToExport   = @()
}
