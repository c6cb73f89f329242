' The component as a VBScript client sees it: both classes created by
' name, every member called late-bound, by-reference variables written back,
' errors in Err.Number, For Each over the listings.
' Usage: cscript suite.vbs <scratch folder>. Ends with "N passed, M failed".
Option Explicit

Dim passed, failed
passed = 0
failed = 0

Sub Check(ok, what)
    If ok Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAIL: " & what
    End If
End Sub

Const HKCU = &H80000001
Dim scratch, fso
scratch = WScript.Arguments(0)
Set fso = CreateObject("Scripting.FileSystemObject")

' ---- iniHandler ---------------------------------------------------------------

Sub TestIni()
    Dim ini, path, name, count, section
    Set ini = CreateObject("Vornhall.iniHandler")
    Check ini.FileName = "", "FileName before binding is empty"
    Check ini.GetValue("S", "k", "dflt") = "dflt", "GetValue before binding gives the default"

    path = scratch & "\suite.ini"
    ini.FileName = path
    Check ini.FileName = path, "FileName reports the bound path"
    Check fso.FileExists(path), "binding creates the file"
    Check fso.GetFile(path).Size = 0, "the created file is empty"

    Check ini.WriteValue("Main", "Name", "  Value with spaces  ") = True, "WriteValue returns True"
    Check ini.GetValue("Main", "Name") = "Value with spaces", "GetValue trims spaces, default omitted"
    Check ini.GetValue("Main", "Missing", "  d  ") = "d", "a missing key gives the trimmed default"
    Check ini.GetValue("Nowhere", "Name") = "", "a missing section gives the empty default"
    Check ini.WriteValue("Main", "Other", "2") = True, "a second key"
    Check ini.WriteValue("Second", "k", "v") = True, "a second section"

    Dim long254
    long254 = String(300, "x")
    Check ini.WriteValue("Main", "Long", long254) = True, "a long value is written"
    Check Len(ini.GetValue("Main", "Long")) = 254, "a long value reads back cut at 254"

    count = 0
    name = ""
    For Each section In ini.GetAllSections
        count = count + 1
        name = name & section & ";"
    Next
    Check count = 2 And name = "Main;Second;", "For Each over GetAllSections: " & name
    Check ini.GetAllSections.Count = 2, "GetAllSections.Count"
    Check ini.GetAllSections.Item(1) = "Main", "GetAllSections.Item(1)"
    Dim sections
    Set sections = ini.GetAllSections
    Check sections(2) = "Second", "the collection's default member"

    Dim keys
    Set keys = ini.GetAllKeys("Main")
    Check keys.Count = 3, "GetAllKeys lists three keys"
    count = 0
    Dim k
    For Each k In keys
        count = count + 1
    Next
    Check count = 3, "For Each over GetAllKeys"

    Check ini.DeleteKey("Main", "Other") = True, "DeleteKey returns True"
    Check ini.GetValue("Main", "Other", "gone") = "gone", "a deleted key reads as missing"
    Check ini.DeleteSection("Second") = True, "DeleteSection returns True"
    Check ini.GetAllSections.Count = 1, "a deleted section is no longer listed"

    ' A failed binding is an error and keeps the previous file.
    On Error Resume Next
    ini.FileName = scratch & "\no such folder\x.ini"
    Check Err.Number = 76, "binding in a missing folder: error 76, got " & Err.Number
    Err.Clear
    ini.FileName = scratch
    Check Err.Number = 75, "binding to a folder: error 75, got " & Err.Number
    Err.Clear
    On Error GoTo 0
    Check ini.FileName = path, "a failed binding keeps the previous path"

    ' Binding to an existing file leaves it as it is.
    Dim other
    Set other = CreateObject("Vornhall.iniHandler")
    other.FileName = path
    Check other.GetValue("Main", "Name") = "Value with spaces", "a second object sees the same file"
    Check fso.GetFile(path).Size > 0, "binding to an existing file keeps its content"
End Sub

' ---- RegistryHandler ---------------------------------------------------------

Sub TestRegistry()
    Dim reg, root, key, name, value, list, i
    Set reg = CreateObject("Vornhall.RegistryHandler")
    Const base = "Software\VornhallSuite"

    Check reg.WriteRegValue(HKCU, base & "\Values", "Long", 42) = "", "WriteRegValue of an integer"
    Check reg.WriteRegValue(HKCU, base & "\Values", "Text", "abc") = "", "WriteRegValue of a string"
    Check reg.WriteRegValue(HKCU, base & "\Values", "Empty", "") = "", "WriteRegValue of an empty string"
    Check reg.WriteRegValue(HKCU, base & "\Values", "Flag", True) = "", "WriteRegValue of a Boolean"
    Check reg.WriteRegValue(HKCU, base & "\Values", "Real", 1.5) = "Unsupported value type", _
        "WriteRegValue of a Double is refused"
    Check reg.WriteRegValue(HKCU, base & "\Sub1", "x", 1) = "", "a second subkey"

    Check reg.CheckRegistryKey(HKCU, base) = -1, "CheckRegistryKey of an existing key is -1"
    Check reg.CheckRegistryKey(HKCU, base & "\Missing") <> -1, "CheckRegistryKey of a missing key"
    Check VarType(reg.CheckRegistryKey(HKCU, base)) = vbLong, "CheckRegistryKey returns a Long"

    root = HKCU
    key = base & "\Values"
    name = "Long"
    value = reg.ReadRegValue(root, key, name)
    Check VarType(value) = vbLong And value = 42, "ReadRegValue of an integer"
    name = "text"
    value = reg.ReadRegValue(root, key, name)
    Check VarType(value) = vbString And value = "abc", "ReadRegValue finds a name in another case"
    name = "Empty"
    Check reg.ReadRegValue(root, key, name) = "", "ReadRegValue of an empty string"
    name = "Flag"
    value = reg.ReadRegValue(root, key, name)
    Check VarType(value) = vbBoolean And value = True, "ReadRegValue of a Boolean"
    name = "Real"
    Check IsEmpty(reg.ReadRegValue(root, key, name)), "a refused value was not stored"
    name = "Nothing here"
    Check IsEmpty(reg.ReadRegValue(root, key, name)), "ReadRegValue of a missing value is Empty"

    ' Value names: an array of Variants, the end entry last.
    list = reg.EnumValues(root, key)
    Check VarType(list) = vbArray + vbVariant, "EnumValues gives an array of Variants"
    Check UBound(list) = 4, "EnumValues: four values and the end entry, UBound " & UBound(list)
    Dim names
    names = ";"
    For i = 0 To UBound(list) - 1
        names = names & list(i) & ";"
    Next
    Check InStr(names, ";Long;") > 0 And InStr(names, ";Flag;") > 0, "EnumValues names the values: " & names

    ' Subkey names: an array of strings, which scripts can hold but not index.
    key = base
    list = reg.EnumKeys(root, key)
    Check VarType(list) = vbArray + vbString, "EnumKeys gives an array of strings"

    ' Deletions and their by-reference write-backs.
    key = base & "\Values"
    name = "Text"
    reg.DeleteValue root, key, name
    Check IsEmpty(reg.ReadRegValue(root, key, name)), "DeleteValue removes the value"
    Check key = base & "\Values" And root = HKCU, "DeleteValue leaves the root and path"
    reg.DeleteAllValues root, key
    list = reg.EnumValues(root, key)
    Check UBound(list) = 0, "DeleteAllValues leaves no value"

    key = base
    reg.DeleteKey root, key
    Check key = "Software", "DeleteKey leaves the parent's path in sKey: " & key
    Check reg.CheckRegistryKey(HKCU, base) <> -1, "DeleteKey removes the whole tree"

    ' Late-bound calls with the wrong arguments are refused.
    On Error Resume Next
    reg.CheckRegistryKey HKCU
    Check Err.Number <> 0, "a missing argument is an error"
    Err.Clear
    On Error GoTo 0
End Sub

TestIni
TestRegistry
WScript.Echo "vbscript: " & passed & " passed, " & failed & " failed"
