; Install: the program's menus and messages are Japanese texts in code page 932 (Shift-JIS),
; shown through the system's code page for non-Unicode programs. On a Windows set to another one
; they read as garbled characters: say so once, at install, and how to change it.
  System::Call 'kernel32::GetACP() i .R0'
  StrCmp $R0 932 pixelwell_locale_fine
  MessageBox MB_OK|MB_ICONINFORMATION \
    "Pixelwell's menus and messages are in Japanese. This Windows shows Japanese in older \
programs only when its language for non-Unicode programs is Japanese; otherwise they read as \
garbled characters.$\n$\n\
To set it: Settings > Time & language > Language & region > Administrative language \
settings > Change system locale..., choose Japanese (Japan), and restart Windows.$\n$\n\
START-HERE.txt in the program's folder says the same." \
    /SD IDOK
pixelwell_locale_fine:
