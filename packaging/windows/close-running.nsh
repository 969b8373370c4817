; Uninstall: pixelwell.exe cannot be removed while it runs, and an uninstall that left it behind
; would still end with success. It keeps no data, so every running copy is closed first: as its
; user would close it (WM_CLOSE), then, when it does not end (one of its own boxes is open), it
; is ended. Asked once when someone is there to answer; a silent uninstall goes ahead.
  StrCpy $R8 0                                  ; asked
  StrCpy $R7 0                                  ; windows closed so far
pixelwell_close_next:
  FindWindow $R0 "Pixelwell"
  StrCmp $R0 0 pixelwell_none_running
  IntCmp $R7 8 pixelwell_cannot_close 0 pixelwell_cannot_close
  StrCmp $R8 1 pixelwell_close
  MessageBox MB_OKCANCEL|MB_ICONINFORMATION \
    "Pixelwell is running. OK closes it and removes it; Cancel leaves it installed." \
    /SD IDOK IDOK pixelwell_close_ok
  DetailPrint "Pixelwell is running: the uninstall was cancelled."
  Abort
pixelwell_close_ok:
  StrCpy $R8 1
pixelwell_close:
  IntOp $R7 $R7 + 1
  System::Call 'user32::GetWindowThreadProcessId(p R0, *i 0 R1) i'
  ; SYNCHRONIZE | PROCESS_TERMINATE
  System::Call 'kernel32::OpenProcess(i 0x100001, i 0, i R1) p .R2'
  SendMessage $R0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
  StrCmp $R2 0 pixelwell_close_next
  System::Call 'kernel32::WaitForSingleObject(p R2, i 5000) i .R3'
  StrCmp $R3 0 pixelwell_closed
  DetailPrint "Pixelwell did not close: ending it."
  System::Call 'kernel32::TerminateProcess(p R2, i 1) i'
  System::Call 'kernel32::WaitForSingleObject(p R2, i 5000) i'
pixelwell_closed:
  System::Call 'kernel32::CloseHandle(p R2) i'
  Goto pixelwell_close_next
pixelwell_cannot_close:
  MessageBox MB_OK|MB_ICONSTOP "Pixelwell could not be closed. Close it, then uninstall again." /SD IDOK
  Abort
pixelwell_none_running:
  ; A copy started from elsewhere can still hold the file: check that it really went, and stop
  ; before the uninstall entry is removed, so that the user can try again.
  Delete "$INSTDIR\pixelwell.exe"
  IfFileExists "$INSTDIR\pixelwell.exe" 0 pixelwell_removed
  MessageBox MB_OK|MB_ICONSTOP \
    "$INSTDIR\pixelwell.exe could not be removed (it is in use). Close Pixelwell, then uninstall again." \
    /SD IDOK
  Abort
pixelwell_removed:
