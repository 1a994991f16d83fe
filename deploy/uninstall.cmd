@echo off
rem Uninstalls what install.cmd installed: takes both driver packages out of
rem the driver store with "mdsdriver.exe /u", then removes
rem %ProgramFiles%\mdsdriver (the 64-bit folder, also when a 32-bit process
rem starts it), its log included. Run it elevated (or as SYSTEM), from the
rem folder install.cmd was run from.
rem   0     /u answered 1 (removed), and the folder is gone
rem   1603  anything else; the folder stays, with its log
rem With vezazez.cfg beside this file, the runs write their log.
setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"
set "dest=%ProgramW6432%"
if not defined ProgramW6432 set "dest=%ProgramFiles%"
set "dest=%dest%\mdsdriver"

rem The installed copy, or the one beside this file when none is installed.
set "exe=%dest%\mdsdriver.exe"
if not exist "%exe%" goto :beside
if not exist "%dest%\difxapi_x64.dll" goto :beside
if not exist "%here%vezazez.cfg" goto :run
copy /y "%here%vezazez.cfg" "%dest%\vezazez.cfg" >nul
goto :run
:beside
set "exe=%here%mdsdriver.exe"
if not exist "%exe%" goto :no_file

:run
"%exe%" /u
set "code=%ERRORLEVEL%"
if not "%code%"=="0" goto :answered
rem 0: the packages were not in the store and /u's own check has just put
rem them there, or their removal failed. Once more: the first is removed
rem now (1); the second fails again.
"%exe%" /u
set "code=%ERRORLEVEL%"

:answered
if not "%code%"=="1" goto :failed
if exist "%dest%\" rmdir /s /q "%dest%" >nul 2>&1
if exist "%dest%\" goto :not_removed
exit /b 0

:failed
echo uninstall.cmd: "%exe%" /u answered %code%: not uninstalled
exit /b 1603

:not_removed
echo uninstall.cmd: the driver packages are removed, but "%dest%" could not be
exit /b 1603

:no_file
echo uninstall.cmd: mdsdriver.exe is neither in "%dest%" nor beside uninstall.cmd
exit /b 1603
