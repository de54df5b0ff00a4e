@echo off
rem Removes what install.cmd of Tolvane 1.3.0 and earlier added for the
rem current Windows account (the per-user package that replaces it takes such
rem an install over, and Apps & features removes that): the
rem "Run without administrator rights" verbs on programs, batch files and
rem command scripts (and 1.2.0's on programs alone), the installed tolvane.exe and
rem its folder, and the keys and folder that install.cmd had to make for
rem them, once they are empty. Everything else stays. Running it again
rem changes nothing.
rem Delayed expansion stays off even where it is on by default, so a profile
rem path holding ! or ^ is taken as it is.
setlocal DisableDelayedExpansion

rem Started by a double click, Explorer runs cmd /c ""...\uninstall.cmd" ":
rem then the window would close before its report could be read, so the
rem script waits for a key at its end. From a prompt or a script it never
rem waits.
set "STARTED_BY=%CMDCMDLINE:"=%"
set "STARTED_BY=%STARTED_BY:*/c =%"
set "PAUSE_AT_END="
if /i "%STARTED_BY%"=="%~f0 " set "PAUSE_AT_END=1"
set "STATUS=0"

if not defined LOCALAPPDATA goto :no_profile
set "CLASSES=HKCU\Software\Classes"
set "PROGRAMS=%LOCALAPPDATA%\Programs"
set "FOLDER=%LOCALAPPDATA%\Programs\Tolvane"

set "MADE_PROGRAMS="
rem (Exit codes are read with "if errorlevel" throughout: some command
rem interpreters, Wine's among them, do not honour || and && after a program.)
for %%T in (exefile batfile cmdfile) do call :remove_verb %%T
if "%STATUS%"=="1" goto :end

:files
if not exist "%FOLDER%\tolvane.exe" goto :no_image
del /f "%FOLDER%\tolvane.exe"
rem del does not always set errorlevel when it fails: look instead.
if exist "%FOLDER%\tolvane.exe" goto :image_stays
echo Deleted "%FOLDER%\tolvane.exe".
goto :folders
:no_image
echo No "%FOLDER%\tolvane.exe" to delete.

:folders
rem rd without /s removes a folder only when it is empty.
if exist "%FOLDER%\" rd "%FOLDER%" 2>nul
if not exist "%FOLDER%\" echo No folder "%FOLDER%" left.
if not defined MADE_PROGRAMS goto :end
if exist "%PROGRAMS%\" rd "%PROGRAMS%" 2>nul
if not exist "%PROGRAMS%\" echo No folder "%PROGRAMS%" left: install.cmd had made it.
goto :end

rem Removes the verb on one type of file, and the keys install.cmd made for
rem it once they are empty; notes whether install.cmd made the Programs
rem folder (noted on the programs' verb).
:remove_verb
set "VERB=%CLASSES%\%~1\shell\Tolvane"
set "MADE_CLASS="
set "MADE_SHELL="
reg query "%VERB%" >nul 2>&1
if not errorlevel 1 goto :verb_there
echo No "Run without administrator rights" verb to remove: "%VERB%".
exit /b 0
:verb_there
reg query "%VERB%" /v TolvaneMadeClassKey >nul 2>&1
if not errorlevel 1 set "MADE_CLASS=1"
reg query "%VERB%" /v TolvaneMadeShellKey >nul 2>&1
if not errorlevel 1 set "MADE_SHELL=1"
reg query "%VERB%" /v TolvaneMadeFolder >nul 2>&1
if not errorlevel 1 set "MADE_PROGRAMS=1"
reg delete "%VERB%" /f >nul
reg query "%VERB%" >nul 2>&1
if not errorlevel 1 goto :verb_stays
echo Removed "Run without administrator rights": "%VERB%".
if defined MADE_SHELL call :remove_if_empty "%CLASSES%\%~1\shell"
if defined MADE_CLASS call :remove_if_empty "%CLASSES%\%~1"
exit /b 0
:verb_stays
echo uninstall: could not remove "%VERB%".
set "STATUS=1"
exit /b 0

rem Deletes a key that has neither values nor subkeys: for it, reg query
rem lists nothing but blank lines, which for /f passes over.
:remove_if_empty
set "LINES=0"
for /f "delims=" %%L in ('reg query "%~1" 2^>nul') do set /a LINES+=1
if not "%LINES%"=="0" exit /b 0
reg query "%~1" >nul 2>&1
if errorlevel 1 exit /b 0
reg delete "%~1" /f >nul
reg query "%~1" >nul 2>&1
if errorlevel 1 echo Removed the empty key "%~1": install.cmd had made it.
exit /b 0

:no_profile
echo uninstall: LOCALAPPDATA is not set, so there is no per-user folder to look in.
set "STATUS=1"
goto :end
:image_stays
echo uninstall: could not delete "%FOLDER%\tolvane.exe"; is it running?
set "STATUS=1"
goto :end

:end
if defined PAUSE_AT_END pause
exit /b %STATUS%
