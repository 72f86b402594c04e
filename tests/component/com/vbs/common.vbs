' Shared helpers of the VBScript suites; scripts/com-tests.sh puts this file
' in front of each suite. The scripts count their own results and end with
' the line "BK-TEST-RESULT passed=N failed=M": Wine's cscript reports a
' script error by printing nothing and exiting with 0.
Option Explicit

Dim gPassed, gFailed, gFso, gScratch, gScratchZ
gPassed = 0
gFailed = 0
Set gFso = CreateObject("Scripting.FileSystemObject")

' A fresh scratch folder on C: (the Windows temporary folder) and one on Z:.
Randomize
gScratch = gFso.BuildPath(gFso.GetSpecialFolder(2).Path, "bk-com-" & CStr(Int(Rnd * 1000000000)))
gFso.CreateFolder gScratch
gScratchZ = "Z:\tmp\bk-com-" & CStr(Int(Rnd * 1000000000))
gFso.CreateFolder gScratchZ

Sub Check(ok, name)
  If ok Then
    gPassed = gPassed + 1
  Else
    gFailed = gFailed + 1
    WScript.Echo "FAIL: " & name
  End If
End Sub

Sub CheckEqual(actual, expected, name)
  Check actual = expected, name & ": got [" & actual & "], expected [" & expected & "]"
End Sub

' Checks the error of the statement just run (under On Error Resume Next)
' and clears it.
Sub CheckError(number, source, description, name)
  Dim n, s, d
  n = Err.Number : s = Err.Source : d = Err.Description
  Err.Clear
  CheckEqual n, number, name & " number"
  If source <> "" Then CheckEqual s, source, name & " source"
  If description <> "" Then CheckEqual d, description, name & " description"
End Sub

' Called at the top level after each test procedure: a test that raised an
' unexpected error fails here.
Sub Verify(name)
  If Err.Number <> 0 Then
    gFailed = gFailed + 1
    WScript.Echo "FAIL: " & name & " raised " & Err.Number & " (" & Err.Source & "): " & Err.Description
    Err.Clear
  End If
End Sub

' A new folder inside the scratch folder of drive C: or Z:.
Function NewFolder(onZ, name)
  Dim base
  If onZ Then base = gScratchZ Else base = gScratch
  NewFolder = gFso.BuildPath(base, name)
  gFso.CreateFolder NewFolder
End Function

Sub WriteText(path, text)
  Dim stream
  Set stream = gFso.CreateTextFile(path, True)
  stream.Write text
  stream.Close
End Sub

Function ReadText(path)
  Dim stream
  Set stream = gFso.OpenTextFile(path, 1)
  ReadText = stream.ReadAll
  stream.Close
End Function

' A rollback log file (UTF-16) as text.
Function ReadLog(path)
  Dim stream
  Set stream = gFso.OpenTextFile(path, 1, False, -1)
  ReadLog = stream.ReadAll
  stream.Close
End Function

' Number of files in a folder whose name begins with the prefix (subfolders
' not counted).
Function CountFiles(folder, prefix)
  Dim file, n
  n = 0
  For Each file In gFso.GetFolder(folder).Files
    If Left(file.Name, Len(prefix)) = prefix Then n = n + 1
  Next
  CountFiles = n
End Function

' The full path of the only file in a folder whose name begins with prefix
' and ends with suffix, or "" when there is none.
Function FindFile(folder, prefix, suffix)
  Dim file
  FindFile = ""
  For Each file In gFso.GetFolder(folder).Files
    If Left(file.Name, Len(prefix)) = prefix And Right(file.Name, Len(suffix)) = suffix Then FindFile = file.Path
  Next
End Function

' Writes a new file into a folder and returns its path.
Function NewFile(folder, name, text)
  NewFile = gFso.BuildPath(folder, name)
  WriteText NewFile, text
End Function

' A new clsFileRollbackCreate in safe mode with the given folder and backup.
Function BeginPeriod(temp, backup)
  Dim o
  Set o = NewSafeMode()
  o.TempDir = temp
  o.BackupFile = backup
  o.BeginSafety
  Set BeginPeriod = o
End Function

Function NewSafeMode()
  Set NewSafeMode = CreateObject("VELMARBrightkeep.clsFileRollbackCreate")
End Function

Function NewManager()
  Set NewManager = CreateObject("VELMARBrightkeep.clsRollbackManager")
End Function

Sub Finish()
  On Error Resume Next
  gFso.DeleteFolder gScratch, True
  gFso.DeleteFolder gScratchZ, True
  WScript.Echo "BK-TEST-RESULT passed=" & gPassed & " failed=" & gFailed
  If gFailed > 0 Then WScript.Quit 1
  WScript.Quit 0
End Sub
