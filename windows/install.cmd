@echo off
rem Installs Tolvane for the current Windows account, no administrator
rem rights needed: copies tolvane.exe to %LOCALAPPDATA%\Programs\Tolvane and
rem adds "Run without administrator rights" to the menu of programs in
rem Explorer (a per-user verb on exefile under HKCU\Software\Classes).
rem Run it from the folder it came in: x64\tolvane.exe is installed on 64-bit
rem Windows, x86\tolvane.exe otherwise. Running it again changes nothing.
rem uninstall.cmd removes exactly what this adds.
setlocal

if not defined LOCALAPPDATA goto :no_profile
set "CLASSES=HKCU\Software\Classes"
set "VERB=HKCU\Software\Classes\exefile\shell\Tolvane"
set "PROGRAMS=%LOCALAPPDATA%\Programs"
set "FOLDER=%LOCALAPPDATA%\Programs\Tolvane"

rem A 32-bit cmd on 64-bit Windows says x86 but names the real machine in
rem PROCESSOR_ARCHITEW6432.
set "IMAGE=x86"
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "IMAGE=x64"
if /i "%PROCESSOR_ARCHITEW6432%"=="AMD64" set "IMAGE=x64"
set "SOURCE=%~dp0%IMAGE%\tolvane.exe"
if not exist "%SOURCE%" goto :no_source

rem Keys and folders that exist already are left alone by uninstall.cmd;
rem those this makes are noted on the verb's own key, so that uninstall.cmd
rem removes them, and only them, once they are empty again.
rem (Exit codes are read with "if errorlevel" throughout: some command
rem interpreters, Wine's among them, do not honour || and && after a program.)
set "MADE_CLASS="
set "MADE_SHELL="
set "MADE_PROGRAMS="
reg query "%CLASSES%\exefile" >nul 2>&1
if errorlevel 1 set "MADE_CLASS=1"
reg query "%CLASSES%\exefile\shell" >nul 2>&1
if errorlevel 1 set "MADE_SHELL=1"
if not exist "%PROGRAMS%\" set "MADE_PROGRAMS=1"

if not exist "%FOLDER%\" mkdir "%FOLDER%"
if not exist "%FOLDER%\" goto :no_folder
copy /b /y "%SOURCE%" "%FOLDER%\tolvane.exe" >nul
if errorlevel 1 goto :no_copy
echo Copied "%SOURCE%" to "%FOLDER%\tolvane.exe".

reg add "%VERB%" /ve /d "Run without administrator rights" /f >nul
if errorlevel 1 goto :no_registry
reg add "%VERB%\command" /ve /d "\"%FOLDER%\tolvane.exe\" \"%%1\"" /f >nul
if errorlevel 1 goto :no_registry
if defined MADE_CLASS reg add "%VERB%" /v TolvaneMadeClassKey /d "%CLASSES%\exefile" /f >nul
if defined MADE_SHELL reg add "%VERB%" /v TolvaneMadeShellKey /d "%CLASSES%\exefile\shell" /f >nul
if defined MADE_PROGRAMS reg add "%VERB%" /v TolvaneMadeFolder /d "%PROGRAMS%" /f >nul
echo Added "Run without administrator rights" to the menu of programs: "%VERB%".
echo Its command: "%FOLDER%\tolvane.exe" "%%1"
exit /b 0

:no_profile
echo install: LOCALAPPDATA is not set, so there is no per-user folder to install to.
exit /b 1
:no_source
echo install: "%SOURCE%" is missing: run install.cmd from the folder of the Tolvane package.
exit /b 1
:no_folder
echo install: could not make the folder "%FOLDER%".
exit /b 1
:no_copy
echo install: could not copy "%SOURCE%" to "%FOLDER%\tolvane.exe".
exit /b 1
:no_registry
echo install: could not write "%VERB%".
exit /b 1
