object aPlugin: TaPlugin
  OldCreateOrder = False
  OnCreate = zorPluginCreate
  Left = 200
  Top = 120
  Height = 150
  Width = 215
  object Properties: TzorStrHolder
    Tag = 9999
    Capacity = 28
  end
end
