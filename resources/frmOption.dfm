object frmOption: TfrmOption
  Left = 326
  Top = 144
  Width = 481
  Height = 435
  HelpContext = 1
  BorderIcons = [biSystemMenu, biMaximize, biHelp]
  BorderWidth = 2
  Caption = 'Korvane'
  Color = clBtnFace
  Constraints.MinHeight = 250
  Constraints.MinWidth = 320
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Font.Style = []
  KeyPreview = True
  OldCreateOrder = False
  Scaled = False
  OnCreate = FormCreate
  OnDestroy = FormDestroy
  PixelsPerInch = 96
  TextHeight = 13
  object pan0: TPanel
    Left = 0
    Top = 0
    Width = 469
    Height = 65
    Align = alTop
    BevelOuter = bvNone
    TabOrder = 0
    object Label2: TLabel
      Left = 8
      Top = 12
      Width = 39
      Height = 13
      Caption = 'Protocol'
    end
    object comboProto: TComboBox
      Left = 88
      Top = 8
      Width = 373
      Height = 21
      Style = csDropDownList
      ItemHeight = 13
      ItemIndex = 0
      TabOrder = 0
      Text = 'CCM (master to slave)'
      Items.Strings = (
        'CCM (master to slave)'
        'CCM (peer to peer)'
        'SNP'
        'SNP-X')
    end
    object Label4: TLabel
      Left = 8
      Top = 40
      Width = 72
      Height = 13
      Caption = 'Source address'
    end
    object spLocalAddress: TSpinEdit
      Left = 88
      Top = 36
      Width = 85
      Height = 22
      MaxValue = 65535
      MinValue = 0
      TabOrder = 1
      Value = 1
    end
  end
  object pan1: TPanel
    Left = 0
    Top = 65
    Width = 469
    Height = 158
    Align = alClient
    BevelOuter = bvNone
    TabOrder = 1
  end
  object pan2: TPanel
    Left = 0
    Top = 327
    Width = 469
    Height = 30
    Align = alBottom
    BevelOuter = bvNone
    TabOrder = 2
    object lblParams: TLabel
      Left = 440
      Top = 8
      Width = 3
      Height = 13
      Visible = False
    end
    object Label1: TLabel
      Left = 8
      Top = 2
      Width = 280
      Height = 26
      AutoSize = False
      Caption = 'Minimal interval between data packets (ms)'
      WordWrap = True
    end
    object spMinInt: TSpinEdit
      Left = 296
      Top = 4
      Width = 85
      Height = 22
      MaxValue = 65535
      MinValue = 0
      TabOrder = 0
      Value = 0
    end
  end
  object pan3: TPanel
    Left = 0
    Top = 223
    Width = 469
    Height = 104
    Align = alBottom
    BevelOuter = bvNone
    TabOrder = 4
    object chkKeepSession: TCheckBox
      Left = 8
      Top = 4
      Width = 453
      Height = 17
      Caption = 'Keep the session between reads (SNP, SNP-X)'
      TabOrder = 0
    end
    object chkSendWhenReady: TCheckBox
      Left = 8
      Top = 24
      Width = 453
      Height = 17
      Caption = 'Send the next request as soon as the line is ready'
      TabOrder = 1
    end
    object Label5: TLabel
      Left = 8
      Top = 50
      Width = 120
      Height = 13
      Caption = 'Handshake timeout (ms)'
    end
    object spHandshakeTimeout: TSpinEdit
      Left = 144
      Top = 46
      Width = 85
      Height = 22
      MaxValue = 65535
      MinValue = 1
      TabOrder = 2
      Value = 2000
    end
    object Label6: TLabel
      Left = 248
      Top = 50
      Width = 120
      Height = 13
      Caption = 'Retries'
    end
    object spRetries: TSpinEdit
      Left = 376
      Top = 46
      Width = 85
      Height = 22
      MaxValue = 255
      MinValue = 0
      TabOrder = 3
      Value = 0
    end
    object Label7: TLabel
      Left = 8
      Top = 80
      Width = 120
      Height = 13
      Caption = 'Demote a PLC after failures (0: never)'
    end
    object spDemoteAfter: TSpinEdit
      Left = 144
      Top = 76
      Width = 85
      Height = 22
      MaxValue = 65535
      MinValue = 0
      TabOrder = 4
      Value = 0
    end
    object Label8: TLabel
      Left = 248
      Top = 80
      Width = 120
      Height = 13
      Caption = 'Demote for (ms)'
    end
    object spDemoteFor: TSpinEdit
      Left = 376
      Top = 76
      Width = 85
      Height = 22
      MaxValue = 3600000
      MinValue = 1
      TabOrder = 5
      Value = 10000
    end
  end
  object __pBot: TPanel
    Left = 0
    Top = 357
    Width = 469
    Height = 45
    Hint = 'OkCancel'
    Align = alBottom
    BevelOuter = bvNone
    TabOrder = 3
  end
  object tmpMenu: TPopupMenu
    Left = 16
    Top = 80
    object MsgReq: TMenuItem
      Caption = 'Request'
    end
    object MsgSendReq: TMenuItem
      Caption = 'Send requests, otherwise parse response only'
    end
    object MsgDevAddr: TMenuItem
      Caption = 'Target address'
    end
    object MsgFunc: TMenuItem
      Caption = 'Memory'
    end
    object MsgDataAddress: TMenuItem
      Caption = 'Data address'
    end
    object MsgRegRead: TMenuItem
      Caption = 'Read values'
    end
    object MsgRegReadHint: TMenuItem
      Caption = 'Zero based value'
    end
    object MsgReqTimeout: TMenuItem
      Caption = 'Request timeout (ms)'
    end
    object MsgReqMethod: TMenuItem
      Caption = 'Request method'
    end
    object MsgMOnce: TMenuItem
      Caption = 'Once, on the program startup'
    end
    object MsgPolling: TMenuItem
      Caption = 'Polling'
    end
    object MsgPollInt: TMenuItem
      Caption = 'Interval'
    end
    object MsgPollUnits: TMenuItem
      Caption = 'Interval units'
    end
    object TxtMillisecond: TMenuItem
      Caption = 'Millisecond'
    end
    object TxtSecond: TMenuItem
      Caption = 'Second'
    end
    object TxtMinute: TMenuItem
      Caption = 'Minute'
    end
    object TxtHour: TMenuItem
      Caption = 'Hour'
    end
    object MsgResponseItems: TMenuItem
      Caption = 'Response items'
    end
    object MsgResponseItem: TMenuItem
      Caption = 'Response item'
    end
    object MsgName: TMenuItem
      Caption = 'Name'
    end
    object MsgOffset: TMenuItem
      Caption = 'Offset'
    end
    object MsgOffsetHint: TMenuItem
      Caption = 
        'If you'#39'll specify -1 then the program will calculate offset aut' +
        'omatically'
    end
    object MsgCount: TMenuItem
      Caption = 'Count'
    end
    object MsgAppendCnt: TMenuItem
      Caption = 'Append counter to name'
    end
    object MsgZeroBaseCnt: TMenuItem
      Caption = 'Zero based counter'
    end
    object MsgDataType: TMenuItem
      Caption = 'Data type'
    end
    object MsgDec: TMenuItem
      Caption = 'Decimal'
    end
    object MsgF32: TMenuItem
      Caption = 'Single precision float'
    end
    object MsgF64: TMenuItem
      Caption = 'Double precision float'
    end
    object MsgS: TMenuItem
      Caption = 'String (zero ended)'
    end
    object MsgBIT: TMenuItem
      Caption = 'Bit (coil status)'
    end
    object MsgD8: TMenuItem
      Caption = '8 bit'
    end
    object MsgD16: TMenuItem
      Caption = '16 bit'
    end
    object MsgD32: TMenuItem
      Caption = '32 bit'
    end
    object MsgD64: TMenuItem
      Caption = '64 bit'
    end
    object MsgLE: TMenuItem
      Caption = 'Little endian, otherwise Big endian (numbers only)'
    end
    object MsgUnsigned: TMenuItem
      Caption = 'Unsigned, otherwise Signed (decimal numbers only)'
    end
    object MsgSwapped: TMenuItem
      Caption = 'Swapped (most significant register first) (32 and 64 bit numbers only)'
    end
    object MsgScale: TMenuItem
      Caption = 'Scale (numbers only)'
    end
    object MsgDefault: TMenuItem
      Caption = 'Default value'
    end
    object MemoryTypeList: TMenuItem
      Tag = 9999
    end
    object PollUnitList: TMenuItem
      Tag = 9999
    end
    object DataTypeList: TMenuItem
      Tag = 9999
    end
  end
end
