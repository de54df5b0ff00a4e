@echo off
rem Installs Tolvane for the current Windows account, no administrator
rem rights needed: copies tolvane.exe to %LOCALAPPDATA%\Programs\Tolvane and
rem adds "Run without administrator rights" to the menu of programs, batch
rem files and command scripts in Explorer (a per-user verb on exefile,
rem batfile and cmdfile under HKCU\Software\Classes), which starts the file
rem with /limited, the groups, privileges and level of an unelevated session,
rem and /errorbox, so a failure is shown; a shortcut's arguments reach the
rem program through %*. Run it from the folder it came in: x64\tolvane.exe is
rem installed on 64-bit Windows, x86\tolvane.exe otherwise. Running it again
rem changes nothing but the verbs' commands, which it brings up to date.
rem uninstall.cmd removes exactly what this adds.
rem
rem Paths may hold any character Windows allows in a user or profile name,
rem & ^ % ! ( ) included: they are set while delayed expansion is off and
rem used only as !NAME! afterwards, which cmd never parses again.
rem (Exit codes are read with "if errorlevel" throughout: some command
rem interpreters, Wine's among them, do not honour || and && after a program.)
setlocal DisableDelayedExpansion

set "SELF=%~f0"
set "SOURCE_DIR=%~dp0"
set "CLASSES=HKCU\Software\Classes"
set "VERB=HKCU\Software\Classes\exefile\shell\Tolvane"
set "PROGRAMS=%LOCALAPPDATA%\Programs"
set "FOLDER=%LOCALAPPDATA%\Programs\Tolvane"
set "HAVE_PROFILE="
if defined LOCALAPPDATA set "HAVE_PROFILE=1"
setlocal EnableDelayedExpansion

rem Started by a double click, Explorer runs cmd /c ""...\install.cmd" ":
rem then the window would close before its report could be read, so the
rem script waits for a key at its end. From a prompt or a script it never
rem waits.
set "STARTED_BY=!CMDCMDLINE:"=!"
set "STARTED_BY=!STARTED_BY:*/c =!"
set "PAUSE_AT_END="
if /i "!STARTED_BY!"=="!SELF! " set "PAUSE_AT_END=1"

if not defined HAVE_PROFILE goto :no_profile

rem A 32-bit cmd on 64-bit Windows says x86 but names the real machine in
rem PROCESSOR_ARCHITEW6432.
set "IMAGE=x86"
if /i "!PROCESSOR_ARCHITECTURE!"=="AMD64" set "IMAGE=x64"
if /i "!PROCESSOR_ARCHITEW6432!"=="AMD64" set "IMAGE=x64"
set "SOURCE=!SOURCE_DIR!!IMAGE!\tolvane.exe"
if not exist "!SOURCE!" goto :no_source

rem Keys and folders that exist already are left alone by uninstall.cmd;
rem those this makes are noted on the verb's own key, so that uninstall.cmd
rem removes them, and only them, once they are empty again. What this run
rem makes is also what it takes back when a later step fails, so a failed
rem install leaves nothing half-written.
rem One verb for each type of file, each noted on its own key.
set "MADE_PROGRAMS="
set "MADE_FOLDER="
set "MADE_IMAGE="
for %%T in (exefile batfile cmdfile) do (
    set "MADE_CLASS_%%T="
    set "MADE_SHELL_%%T="
    set "MADE_VERB_%%T="
    reg query "!CLASSES!\%%T" >nul 2>&1
    if errorlevel 1 set "MADE_CLASS_%%T=1"
    reg query "!CLASSES!\%%T\shell" >nul 2>&1
    if errorlevel 1 set "MADE_SHELL_%%T=1"
    reg query "!CLASSES!\%%T\shell\Tolvane" >nul 2>&1
    if errorlevel 1 set "MADE_VERB_%%T=1"
)
if not exist "!PROGRAMS!\" set "MADE_PROGRAMS=1"
if not exist "!FOLDER!\" set "MADE_FOLDER=1"
if not exist "!FOLDER!\tolvane.exe" set "MADE_IMAGE=1"

if not exist "!FOLDER!\" mkdir "!FOLDER!"
if not exist "!FOLDER!\" goto :no_folder
copy /b /y "!SOURCE!" "!FOLDER!\tolvane.exe" >nul
if errorlevel 1 goto :no_copy
echo Copied "!SOURCE!" to "!FOLDER!\tolvane.exe".

rem A file from a downloaded zip carries the mark of the Internet zone, and
rem a copy keeps it: Windows would then warn before every start through a
rem shortcut. The installed copy loses it (the path goes through the
rem environment, never through PowerShell's own parsing).
set "TOLVANE_INSTALLED=!FOLDER!\tolvane.exe"
powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command "Unblock-File -LiteralPath $env:TOLVANE_INSTALLED" >nul 2>&1
if errorlevel 1 echo Note: could not remove the mark of the Internet zone from "!FOLDER!\tolvane.exe"; unblock it in its Properties.

rem The command hands on what Explorer gives the verb: the file for %%1 and,
rem on a shortcut, the shortcut's arguments for %%*.
for %%T in (exefile batfile cmdfile) do (
    reg add "!CLASSES!\%%T\shell\Tolvane" /ve /d "Run without administrator rights" /f >nul
    if errorlevel 1 goto :no_registry
    reg add "!CLASSES!\%%T\shell\Tolvane\command" /ve /d "\"!FOLDER!\tolvane.exe\" /limited /errorbox \"%%1\" %%*" /f >nul
    if errorlevel 1 goto :no_registry
    if defined MADE_CLASS_%%T reg add "!CLASSES!\%%T\shell\Tolvane" /v TolvaneMadeClassKey /d "!CLASSES!\%%T" /f >nul
    if defined MADE_SHELL_%%T reg add "!CLASSES!\%%T\shell\Tolvane" /v TolvaneMadeShellKey /d "!CLASSES!\%%T\shell" /f >nul
)
if defined MADE_PROGRAMS reg add "!VERB!" /v TolvaneMadeFolder /d "!PROGRAMS!" /f >nul
echo Added "Run without administrator rights" to the menu of programs, batch files and command scripts:
echo "!CLASSES!\exefile\shell\Tolvane", and the same under batfile and cmdfile.
echo Their command: "!FOLDER!\tolvane.exe" /limited /errorbox "%%1" %%*
set "STATUS=0"
goto :end

:no_profile
echo install: LOCALAPPDATA is not set, so there is no per-user folder to install to.
set "STATUS=1"
goto :end
:no_source
echo install: "!SOURCE!" is missing: run install.cmd from the folder of the Tolvane package.
set "STATUS=1"
goto :end
:no_folder
echo install: could not make the folder "!FOLDER!".
set "STATUS=1"
goto :undo
:no_copy
echo install: could not copy "!SOURCE!" to "!FOLDER!\tolvane.exe".
set "STATUS=1"
goto :undo
:no_registry
echo install: could not write the verbs under "!CLASSES!"; taking back what this run made.
set "STATUS=1"
goto :undo

rem Takes back what this run made, newest first.
:undo
for %%T in (exefile batfile cmdfile) do (
    if defined MADE_VERB_%%T reg delete "!CLASSES!\%%T\shell\Tolvane" /f >nul 2>&1
    if defined MADE_SHELL_%%T reg delete "!CLASSES!\%%T\shell" /f >nul 2>&1
    if defined MADE_CLASS_%%T reg delete "!CLASSES!\%%T" /f >nul 2>&1
)
if defined MADE_IMAGE if exist "!FOLDER!\tolvane.exe" del /f "!FOLDER!\tolvane.exe"
if defined MADE_FOLDER if exist "!FOLDER!\" rd "!FOLDER!" 2>nul
if defined MADE_PROGRAMS if exist "!PROGRAMS!\" rd "!PROGRAMS!" 2>nul

:end
if defined PAUSE_AT_END pause
exit /b !STATUS!
