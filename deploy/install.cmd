@echo off
rem Installs mdsdriver on one PC, for Intune, Configuration Manager and the
rem like. Run it elevated (or as SYSTEM) from a folder that also holds
rem mdsdriver.exe and difxapi_x64.dll, and vezazez.cfg when the runs are to
rem write their log.
rem
rem It copies those files to %ProgramFiles%\mdsdriver (the 64-bit folder, also
rem when a 32-bit process starts it) and runs "mdsdriver.exe /i" there.
rem   0     /i answered 1 (installed) or 2 (already installed)
rem   1603  anything else; what it copied is removed again (a log stays)
rem   1603  nothing copied: the PC is not 64-bit Windows on x64, a driver
rem         package INF is missing, or a file is missing beside this one
setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"

rem The x64 driver loads only on x64 Windows. A 32-bit process sees x86 in
rem PROCESSOR_ARCHITECTURE and the PC's own architecture in
rem PROCESSOR_ARCHITEW6432; the system's own value is in the registry. Every
rem program is named by its full path, so none is taken from the current folder.
set "arch=%PROCESSOR_ARCHITECTURE%"
if defined PROCESSOR_ARCHITEW6432 set "arch=%PROCESSOR_ARCHITEW6432%"
set "native=%arch%"
for /f "tokens=1,3" %%a in ('%SystemRoot%\System32\reg.exe query "HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment" /v PROCESSOR_ARCHITECTURE 2^>nul') do if /i "%%a"=="PROCESSOR_ARCHITECTURE" set "native=%%b"
if /i not "%arch%"=="AMD64" goto :wrong_system
if /i not "%native%"=="AMD64" goto :wrong_system

rem The driver packages, where mdsdriver.exe looks for them: on the drive of
rem the Windows folder. Without them /i cannot install anything (a missing USB
rem INF even answers 2, as "already installed" does).
set "packages=%SystemRoot:~0,3%Program Files\Common Files\Apple\Mobile Device Support"
set "inf=%packages%\NetDrivers\netaapl64.inf"
if not exist "%inf%" goto :no_package
set "inf=%packages%\Drivers\usbaapl64.inf"
if not exist "%inf%" goto :no_package

set "file=mdsdriver.exe"
if not exist "%here%%file%" goto :no_file
set "file=difxapi_x64.dll"
if not exist "%here%%file%" goto :no_file

rem ProgramW6432 is the 64-bit Program Files folder in 32-bit and 64-bit
rem processes alike; ProgramFiles is the x86 one in a 32-bit process.
set "dest=%ProgramW6432%"
if not defined ProgramW6432 set "dest=%ProgramFiles%"
set "dest=%dest%\mdsdriver"
set "made="
if exist "%dest%\" goto :copy
set "made=1"
mkdir "%dest%" 2>nul
if not exist "%dest%\" goto :copy_failed

:copy
set "marker="
if exist "%here%vezazez.cfg" set "marker=1"
copy /y "%here%mdsdriver.exe" "%dest%\mdsdriver.exe" >nul
if errorlevel 1 goto :copy_failed
copy /y "%here%difxapi_x64.dll" "%dest%\difxapi_x64.dll" >nul
if errorlevel 1 goto :copy_failed
if not defined marker goto :run
copy /y "%here%vezazez.cfg" "%dest%\vezazez.cfg" >nul
if errorlevel 1 goto :copy_failed

:run
"%dest%\mdsdriver.exe" /i
set "code=%ERRORLEVEL%"
if "%code%"=="1" exit /b 0
if "%code%"=="2" exit /b 0
echo install.cmd: "%dest%\mdsdriver.exe" /i answered %code%: not installed
goto :undo

:copy_failed
echo install.cmd: cannot copy the files to "%dest%"

rem Removes what this run copied. The log folder, if the run wrote one, stays
rem for whoever looks into the failure, and with it the folder.
:undo
del /f /q "%dest%\mdsdriver.exe" "%dest%\difxapi_x64.dll" >nul 2>&1
if defined marker del /f /q "%dest%\vezazez.cfg" >nul 2>&1
if defined made rmdir "%dest%" >nul 2>&1
exit /b 1603

:wrong_system
echo install.cmd: mdsdriver runs on 64-bit Windows on x64 only; this PC is %native% (%arch%)
exit /b 1603

:no_package
echo install.cmd: the driver package is missing: "%inf%"
exit /b 1603

:no_file
echo install.cmd: %file% must stand beside install.cmd in "%here%"
exit /b 1603
