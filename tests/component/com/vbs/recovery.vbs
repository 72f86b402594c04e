' A period abandoned in safe mode (its object released) and recovered through
' clsRollbackManager; the log, archive entry and collection objects it hands
' out, through late binding.

Dim gTemp, gA, gB, gZ, gBackup, gManager, gLogs, gLog

' Leaves in gTemp one completed period and one abandoned in safe mode, which
' made gA, gB (on C:) and gZ (on Z:) safe and changed them.
Sub Abandon()
  Dim o, work, workZ
  gTemp = gFso.BuildPath(gScratch, "abandoned")
  work = NewFolder(False, "abandoned-work")
  workZ = NewFolder(True, "abandoned-work")
  gA = NewFile(work, "a.txt", "original a")
  gB = NewFile(work, "b.txt", "original b")
  gZ = NewFile(workZ, "z.txt", "original z")
  gBackup = gFso.BuildPath(gScratch, "abandoned.zip")
  Set o = BeginPeriod(gTemp, gBackup)
  o.MakeFileSafe gA
  o.EndSafety True
  Set o = BeginPeriod(gTemp, gBackup)
  o.MakeFileSafe gA
  o.MakeFileSafe gB
  o.MakeFileSafe gZ
  WriteText gA, "changed a"
  WriteText gB, "changed b"
  WriteText gZ, "changed z"
  Set o = Nothing
  ' The completed log, and the abandoned period's log and two archives.
  CheckEqual CountFiles(gTemp, ""), 4, "the abandoned period's log and archives remain, nothing else"
End Sub

Sub TestFreshManager()
  Dim m
  Set m = NewManager()
  Check m.FailedLogs Is Nothing, "a fresh manager has no collection"
  On Error Resume Next
  m.AssessRollback gFso.BuildPath(gScratch, "no-such-folder")
  CheckError 76, "", "Path not found", "assessing a missing folder"
  On Error GoTo 0
  Check m.FailedLogs Is Nothing, "a failed assessment leaves no collection"
End Sub

Sub TestAssessment()
  Dim folder, log, n
  Set gManager = NewManager()
  folder = gTemp
  gManager.AssessRollback folder
  Set gLogs = gManager.FailedLogs
  CheckEqual gLogs.Count, 1, "one failed log"
  Check gManager.FailedLogs Is gLogs, "FailedLogs hands out the same collection"
  n = 0
  For Each log In gLogs
    n = n + 1
    Set gLog = log
  Next
  CheckEqual n, 1, "For Each over FailedLogs"
  Check gLogs(1) Is gLog, "Item(1) is the enumerated log"
  Check gLogs.Item(1) Is gLog, "Item by name"
End Sub

Sub TestLogMembers()
  Check InStr(gLog.LogFileName, gTemp & "\Safe ") = 1, "LogFileName in the temporary folder"
  CheckEqual Right(gLog.LogFileName, 4), ".xml", "LogFileName extension"
  Check Abs(CDbl(gLog.StartDate) - CDbl(Now)) < 0.02, "StartDate is the start of the period"
  CheckEqual gLog.TempPath, "", "TempPath is not set by safe mode"
  CheckEqual gLog.BackupDestFileName, gBackup, "BackupDestFileName"
  CheckEqual gLog.ZipCount, 2, "ZipCount"
  CheckEqual gLog.Completed, False, "Completed"
End Sub

Sub TestEntries()
  Dim c, z, path
  Set c = gLog.Zip(1)
  Set z = gLog.Zip(2)
  CheckEqual c.ZipId, 1, "ZipId of the first archive"
  CheckEqual z.ZipId, 2, "ZipId of the second archive"
  CheckEqual c.ZipDrive, "C:", "ZipDrive"
  CheckEqual z.ZipDrive, "Z:", "ZipDrive on Z:"
  CheckEqual Right(c.ZipName, 6), "-1.zip", "ZipName"
  Check gFso.FileExists(c.ZipName), "the archive exists"
  CheckEqual c.FileCount, 2, "FileCount"
  CheckEqual c.FilePath(1), gA, "FilePath(1)"
  CheckEqual c.FilePath(2), gB, "FilePath(2)"
  Check gLog.ZipByDrive("c:") Is c, "ZipByDrive ignores letter case and keeps identity"
  Check c.Parent Is gLog, "Parent Is log"
  Check z.Parent Is gLog, "Parent of the second entry"
  On Error Resume Next
  Set c = gLog.Zip(0)
  CheckError 9, "", "Subscript out of range", "Zip(0)"
  Set c = gLog.Zip(3)
  CheckError 9, "", "Subscript out of range", "Zip(ZipCount + 1)"
  Set c = gLog.ZipByDrive("Q:")
  CheckError 5, "", "Invalid procedure call or argument", "ZipByDrive of a drive without archive"
  path = z.FilePath(0)
  Check Err.Number <> 0, "FilePath(0) raises an error"
  Err.Clear
End Sub

Sub TestRollback()
  Dim keepZips
  keepZips = False
  gLog.Rollback keepZips
  CheckEqual ReadText(gA), "original a", "Rollback restores a"
  CheckEqual ReadText(gB), "original b", "Rollback restores b"
  CheckEqual ReadText(gZ), "original z", "Rollback restores z on Z:"
  Check gFso.FileExists(gLog.Zip(1).ZipName), "Rollback False keeps the archives"
  WriteText gA, "changed again"
  gLog.Rollback
  CheckEqual ReadText(gA), "original a", "second Rollback restores again"
  Check Not gFso.FileExists(gLog.Zip(1).ZipName), "Rollback without argument deletes the archives"
  Check Not gFso.FileExists(gLog.Zip(2).ZipName), "... both of them"
  Check gFso.FileExists(gLog.LogFileName), "the log file stays"
  CheckEqual CountFiles(gTemp, ""), 2, "the two logs alone stay in the temporary folder"
End Sub

' A period left by 4.0.0 kept its lock and record beside its log: it rolls
' back all the same, and the folder then holds its log alone.
Sub TestPeriodOfTheEarlierVersion()
  Dim o, m, f, temp, logFile, hidden, name
  temp = gFso.BuildPath(gScratch, "earlier")
  f = NewFile(NewFolder(False, "earlier-work"), "f.txt", "original f")
  Set o = BeginPeriod(temp, gFso.BuildPath(gScratch, "earlier.zip"))
  o.MakeFileSafe f
  WriteText f, "changed f"
  Set o = Nothing
  logFile = FindFile(temp, "Safe ", ".xml")
  name = gFso.GetBaseName(logFile)
  hidden = gFso.BuildPath(temp, ".brightkeep")
  gFso.MoveFile gFso.BuildPath(hidden, name & ".record"), gFso.BuildPath(temp, name & ".record")
  gFso.MoveFile gFso.BuildPath(hidden, name & ".lock"), gFso.BuildPath(temp, name & ".lock")
  CheckEqual CountFiles(temp, ""), 4, "the log, its archive, lock and record, as 4.0.0 left them"
  Set m = NewManager()
  m.AssessRollback temp
  CheckEqual m.FailedLogs.Count, 1, "the earlier version's period is found"
  m.FailedLogs(1).Rollback
  CheckEqual ReadText(f), "original f", "and rolled back"
  CheckEqual CountFiles(temp, ""), 1, "its log alone stays"
End Sub

'' A period whose object is still in safe mode is live: assessment lists it,
' and its Rollback is refused with 70 until the object is released.
Sub TestLivePeriod()
  Dim o, m, f, temp, log
  temp = gFso.BuildPath(gScratch, "live")
  f = NewFile(NewFolder(False, "live-work"), "f.txt", "original f")
  Set o = BeginPeriod(temp, gFso.BuildPath(gScratch, "live.zip"))
  o.MakeFileSafe f
  WriteText f, "changed f"
  Set m = NewManager()
  m.AssessRollback temp
  CheckEqual m.FailedLogs.Count, 1, "a live period is listed"
  Set log = m.FailedLogs(1)
  On Error Resume Next
  log.Rollback
  CheckError 70, "VELMARBrightkeep", "Permission denied: the period is still in progress", "Rollback of a live period"
  On Error GoTo 0
  CheckEqual ReadText(f), "changed f", "a live period's file is untouched"
  Set o = Nothing
  log.Rollback
  CheckEqual ReadText(f), "original f", "once its object is released, the period rolls back"
End Sub

Sub TestLogWriters()
  Dim value
  value = "C:\temp path"
  gLog.TempPath = value
  CheckEqual gLog.TempPath, "C:\temp path", "TempPath put and get"
  gLog.BackupDestFileName = "C:\elsewhere.zip"
  CheckEqual gLog.BackupDestFileName, "C:\elsewhere.zip", "BackupDestFileName put and get"
  Check InStr(ReadLog(gLog.LogFileName), "C:\temp path") > 0, "the change is saved at once"
  On Error Resume Next
  gLog.AddZip "C:\more.zip", "D:"
  CheckError 91, "", "", "AddZip on a loaded log"
End Sub

Sub TestCollection()
  Dim n, item, count
  n = gLogs.Count
  gLogs.Add "x", "k"
  CheckEqual gLogs.Count, n + 1, "Add appends"
  CheckEqual gLogs("K"), "x", "Item by key ignores letter case"
  gLogs.Add "y", , 1
  CheckEqual gLogs(1), "y", "Add before the first item"
  gLogs.Add "w", , , 1
  CheckEqual gLogs(2), "w", "Add after the first item"
  Check gManager.FailedLogs Is gLogs, "the manager holds the changed collection"
  CheckEqual gManager.FailedLogs.Count, n + 3, "... with the added items"
  count = 0
  For Each item In gLogs
    count = count + 1
  Next
  CheckEqual count, n + 3, "For Each reaches every item"
  On Error Resume Next
  gLogs.Add "dup", "K"
  CheckError 457, "", "This key is already associated with an element of this collection", "duplicate key"
  item = gLogs("missing")
  CheckError 5, "", "Invalid procedure call or argument", "missing key"
  item = gLogs(99)
  CheckError 9, "", "Subscript out of range", "position out of range"
  gLogs.Add "q", , 1, 1
  CheckError 5, "", "", "both Before and After"
  On Error GoTo 0
  gLogs.Remove "k"
  gLogs.Remove 1
  gLogs.Remove 1
  CheckEqual gLogs.Count, n, "Remove by key and position"
  Check gLogs(1) Is gLog, "the log is still the first item"
End Sub

Sub TestReassessment()
  Dim old
  Set old = gManager.FailedLogs
  gManager.AssessRollback gTemp
  Check Not (gManager.FailedLogs Is old), "a new assessment makes a new collection"
  CheckEqual old.Count, 1, "the old collection keeps its items"
  CheckEqual gManager.FailedLogs.Count, 1, "the unfinished log is found again"
End Sub

' The log's own file operations: a new log, an archive entry and its files.
Sub TestNewLog()
  Dim first, path, e
  Set first = gLog.Zip(1)
  path = gFso.BuildPath(gScratch, "made.xml")
  gLog.CreateLogFile path
  Check first.Parent Is Nothing, "an entry of the previous log loses its Parent"
  CheckEqual gLog.LogFileName, path, "LogFileName of the new log"
  Check gFso.FileExists(path), "CreateLogFile writes the file"
  CheckEqual gLog.ZipCount, 0, "a new log has no archives"
  Set e = gLog.AddZip("C:\made-1.zip", "D:")
  CheckEqual e.ZipId, 1, "AddZip numbers from 1"
  CheckEqual e.ZipName, "C:\made-1.zip", "ZipName of the new entry"
  CheckEqual e.FileCount, 0, "a new entry has no files"
  Check e.Parent Is gLog, "Parent of the new entry"
  e.AddFile "D:\f.txt"
  CheckEqual e.FileCount, 1, "AddFile"
  CheckEqual e.FilePath(1), "D:\f.txt", "FilePath of the added file"
  Check InStr(ReadLog(path), "D:\f.txt") > 0, "AddFile saves the log"
  e.ZipDrive = "E:"
  CheckEqual e.ZipDrive, "E:", "ZipDrive put and get"
  Check gLog.ZipByDrive("D:") Is e, "the log keeps the entry under its first drive"
  On Error Resume Next
  gLog.AddZip "C:\made-2.zip", "d:"
  CheckError 457, "", "", "AddZip of a drive already present"
  On Error GoTo 0
  gLog.LoadFromFile path
  CheckEqual gLog.ZipCount, 1, "LoadFromFile rebuilds the entries"
  CheckEqual gLog.Zip(1).FilePath(1), "D:\f.txt", "... with their files"
  Check e.Parent Is Nothing, "LoadFromFile detaches the earlier entries"
End Sub

On Error Resume Next
Abandon : Verify "Abandon"
TestFreshManager : Verify "TestFreshManager"
TestAssessment : Verify "TestAssessment"
TestLogMembers : Verify "TestLogMembers"
TestEntries : Verify "TestEntries"
TestRollback : Verify "TestRollback"
TestLivePeriod : Verify "TestLivePeriod"
TestPeriodOfTheEarlierVersion : Verify "TestPeriodOfTheEarlierVersion"
TestLogWriters : Verify "TestLogWriters"
TestCollection : Verify "TestCollection"
TestReassessment : Verify "TestReassessment"
TestNewLog : Verify "TestNewLog"
Finish
