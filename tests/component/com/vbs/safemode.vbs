' clsFileRollbackCreate through CreateObject and late binding: properties,
' errors as Err sees them, a period made safe and ended, periods undone.

Sub TestNewObject()
  Dim o
  Set o = NewSafeMode()
  CheckEqual o.SafeMode, False, "new object SafeMode"
  CheckEqual o.TempDir, "", "new object TempDir"
  CheckEqual o.BackupFile, "", "new object BackupFile"
End Sub

Sub TestProperties()
  Dim o, folder, target
  Set o = NewSafeMode()
  o.TempDir = "C:\Temp"
  CheckEqual o.TempDir, "C:\Temp\", "TempDir gains a trailing backslash"
  o.TempDir = "C:\Temp\"
  CheckEqual o.TempDir, "C:\Temp\", "TempDir keeps its trailing backslash"
  o.TempDir = ""
  CheckEqual o.TempDir, "\", "empty TempDir"
  ' Script variables reach the by-reference string parameters.
  folder = "C:\From\Variable"
  o.TempDir = folder
  CheckEqual o.TempDir, "C:\From\Variable\", "TempDir from a variable"
  CheckEqual folder, "C:\From\Variable", "the variable is left unchanged"
  target = "C:\backup.zip"
  o.BackupFile = target
  CheckEqual o.BackupFile, "C:\backup.zip", "BackupFile from a variable"
  o.BackupFile = "D:\other.zip"
  CheckEqual o.BackupFile, "D:\other.zip", "BackupFile from a literal"
End Sub

Sub TestErrorsOutsideSafeMode()
  Dim o, file
  Set o = NewSafeMode()
  file = NewFile(NewFolder(False, "errors"), "present.txt", "present")
  On Error Resume Next
  o.UndoSafetyOperations
  CheckError 30002, "UndoSafetyOperations", "Not in safe mode", "UndoSafetyOperations outside safe mode"
  o.MakeFileSafe gFso.BuildPath(gScratch, "missing.txt")
  CheckError 30001, "MakeFileSafe", "File Not Found", "MakeFileSafe of a missing file"
  o.MakeFileSafe file
  CheckError 91, "", "Object variable or With block variable not set", "MakeFileSafe before BeginSafety"
  o.EndSafety
  CheckError 91, "", "", "EndSafety before BeginSafety"
  On Error GoTo 0
  CheckEqual o.SafeMode, False, "SafeMode after the errors"
End Sub

Sub TestBeginSafetyTwice()
  Dim o, temp, logFile
  temp = gFso.BuildPath(gScratch, "twice")
  Set o = BeginPeriod(temp, gFso.BuildPath(gScratch, "twice.zip"))
  CheckEqual o.SafeMode, True, "SafeMode after BeginSafety"
  logFile = FindFile(temp, "Safe ", ".xml")
  Check logFile <> "", "BeginSafety writes the period's log"
  On Error Resume Next
  o.BeginSafety
  CheckError 30003, "BeginSafety", "Already in safe mode", "second BeginSafety"
  On Error GoTo 0
  CheckEqual o.SafeMode, True, "still in safe mode"
  CheckEqual CountFiles(temp, ""), 1, "no second log: the temporary folder holds the log alone"
  o.EndSafety
End Sub

Sub TestNoAncestor()
  Dim o
  Set o = NewSafeMode()
  o.TempDir = "Q:\no\such\drive"
  On Error Resume Next
  o.BeginSafety
  CheckError 52, "VELMARBrightkeep", "Bad file name or number", "BeginSafety on a missing drive"
  On Error GoTo 0
  CheckEqual o.SafeMode, False, "SafeMode after error 52"
End Sub

' Files made safe on C: and Z:, changed, then the period ended with the log kept.
Sub TestPeriodEnded()
  Dim o, temp, work, a, b, z, backup, keep, logFile, m
  temp = gFso.BuildPath(gScratch, "ended\missing\parents")
  work = NewFolder(False, "ended-work")
  a = NewFile(work, "a.txt", "original a")
  b = NewFile(work, "b.txt", "original b")
  z = NewFile(NewFolder(True, "ended-work"), "z.txt", "original z")
  backup = NewFile(gScratch, "ended-backup.zip", "an older backup")
  Set o = BeginPeriod(temp, backup)
  Check gFso.FolderExists(temp), "BeginSafety creates the missing folders"
  o.MakeFileSafe a
  o.MakeFileSafe b
  o.MakeFileSafe z
  CheckEqual CountFiles(temp, ""), 3, "the log and one archive per drive, nothing else"
  WriteText a, "changed a"
  keep = True
  o.EndSafety keep
  CheckEqual o.SafeMode, False, "SafeMode after EndSafety"
  CheckEqual keep, True, "blnKeepLogFile is not written"
  logFile = FindFile(temp, "Safe ", ".xml")
  Check logFile <> "", "the log is kept"
  CheckEqual CountFiles(temp, ""), 1, "only the log stays in the temporary folder"
  Check InStr(Replace(ReadLog(logFile), "'", """"), "Completed=""True""") > 0, "the kept log is marked completed"
  Check gFso.GetFile(backup).Size > 100, "the backup archive replaced the older file"
  CheckEqual ReadText(a), "changed a", "EndSafety restores nothing"
  ' A completed period is not a failed one.
  Set m = NewManager()
  m.AssessRollback temp
  CheckEqual m.FailedLogs.Count, 0, "no failed log after EndSafety"
End Sub

Sub TestEndSafetyDefault()
  Dim o, temp, file
  temp = gFso.BuildPath(gScratch, "end-default")
  file = NewFile(NewFolder(False, "end-default-work"), "f.txt", "f")
  Set o = BeginPeriod(temp, gFso.BuildPath(gScratch, "end-default.zip"))
  o.MakeFileSafe file
  o.EndSafety
  CheckEqual CountFiles(temp, ""), 0, "EndSafety without argument deletes the log"
  Check gFso.FileExists(gFso.BuildPath(gScratch, "end-default.zip")), "backup archive written"
End Sub

' Undo with the defaults (keep the log, delete the archives) and with both
' arguments given the other way round.
Sub TestUndo()
  Dim o, temp, a, z, logFile, deleteLog, deleteZips
  temp = gFso.BuildPath(gScratch, "undo")
  a = NewFile(NewFolder(False, "undo-work"), "a.txt", "original a")
  z = NewFile(NewFolder(True, "undo-work"), "z.txt", "original z")
  Set o = BeginPeriod(temp, gFso.BuildPath(gScratch, "undo.zip"))
  o.MakeFileSafe a
  o.MakeFileSafe z
  WriteText a, "changed a"
  WriteText z, "changed z"
  o.UndoSafetyOperations
  CheckEqual o.SafeMode, False, "SafeMode after undo"
  CheckEqual ReadText(a), "original a", "undo restores the file on C:"
  CheckEqual ReadText(z), "original z", "undo restores the file on Z:"
  CheckEqual CountFiles(temp, ""), 1, "default undo keeps the log and deletes the archives"
  logFile = FindFile(temp, "Safe ", ".xml")
  gFso.DeleteFile logFile

  o.BeginSafety
  o.MakeFileSafe a
  WriteText a, "changed again"
  deleteLog = True
  deleteZips = False
  o.UndoSafetyOperations deleteLog, deleteZips
  CheckEqual ReadText(a), "original a", "undo with arguments restores"
  CheckEqual CountFiles(temp, ""), 1, "the archive stays, the log is gone"
  CheckEqual FindFile(temp, "Safe ", ".xml"), "", "no log left"
  On Error Resume Next
  o.UndoSafetyOperations
  CheckError 30002, "UndoSafetyOperations", "Not in safe mode", "second undo"
End Sub

' A file another program holds open for writing is skipped by the archive.
Sub TestUnreadableFile()
  Dim o, temp, file, stream
  temp = gFso.BuildPath(gScratch, "unreadable")
  file = NewFile(NewFolder(False, "unreadable-work"), "held.txt", "held")
  Set o = BeginPeriod(temp, gFso.BuildPath(gScratch, "unreadable.zip"))
  Set stream = gFso.OpenTextFile(file, 8)
  On Error Resume Next
  o.MakeFileSafe file
  CheckError 30000, "MakeFileSafe", "Unable to open file", "MakeFileSafe of a file held open"
  On Error GoTo 0
  stream.Close
  o.MakeFileSafe file
  o.UndoSafetyOperations True, True
End Sub

' Names beyond ASCII cross the boundary unchanged, into the log and back
' (Chr(128) is the euro sign, U+20AC; Wine's VBScript has no ChrW).
Sub TestUnicodeNames()
  Dim o, temp, file, m, logs
  temp = gFso.BuildPath(gScratch, "t" & Chr(252) & Chr(128))
  file = NewFile(NewFolder(False, "w" & Chr(228)), Chr(128) & Chr(246) & ".txt", "original")
  Set o = BeginPeriod(temp, gFso.BuildPath(gScratch, "unicode.zip"))
  CheckEqual o.TempDir, temp & "\", "TempDir with letters beyond ASCII"
  o.MakeFileSafe file
  WriteText file, "changed"
  o.UndoSafetyOperations
  CheckEqual ReadText(file), "original", "undo restores a file with such a name"
  Set m = NewManager()
  m.AssessRollback temp
  Set logs = m.FailedLogs
  CheckEqual logs(1).Zip(1).FilePath(1), file, "the path in the log"
End Sub

On Error Resume Next
TestNewObject : Verify "TestNewObject"
TestProperties : Verify "TestProperties"
TestErrorsOutsideSafeMode : Verify "TestErrorsOutsideSafeMode"
TestBeginSafetyTwice : Verify "TestBeginSafetyTwice"
TestNoAncestor : Verify "TestNoAncestor"
TestPeriodEnded : Verify "TestPeriodEnded"
TestEndSafetyDefault : Verify "TestEndSafetyDefault"
TestUndo : Verify "TestUndo"
TestUnreadableFile : Verify "TestUnreadableFile"
TestUnicodeNames : Verify "TestUnicodeNames"
Finish
