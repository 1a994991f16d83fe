@echo off
rem Uninstalls what install.cmd installed: "mdsdriver.exe /undeploy" takes out
rem of the driver store every copy that a deployment added (and leaves every
rem other copy), then %ProgramFiles%\mdsdriver goes (the 64-bit folder, also
rem when a 32-bit process starts it), its log included. Run it elevated (or as
rem SYSTEM), from where install.cmd was run. It passes the tool's answer on:
rem   0     uninstalled, and the folder is gone
rem   3010  the same; a restart finishes it
rem   1618  another run kept the driver store past the wait; nothing changed:
rem         try again later
rem   1603  failed; the folder stays
rem A folder that the Windows Installer package installed is left to its own
rem removal: 1603, with a line naming the package's product code.
setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"

rem ProgramW6432 is the 64-bit Program Files folder in 32-bit and 64-bit
rem processes alike; ProgramFiles is the x86 one in a 32-bit process.
set "dest=%ProgramW6432%"
if not defined ProgramW6432 set "dest=%ProgramFiles%"
set "dest=%dest%\mdsdriver"

rem The binaries: beside this file, or in the folder above it, where the
rem release archive has them when it is unzipped as it is.
set "source="
if exist "%here%mdsdriver.exe" if exist "%here%difxapi_x64.dll" set "source=%here%"
for %%d in ("%here%..") do set "above=%%~fd\"
if not defined source if exist "%above%mdsdriver.exe" if exist "%above%difxapi_x64.dll" set "source=%above%"
set "marker="
if defined source if exist "%source%vezazez.cfg" set "marker=%source%vezazez.cfg"
if exist "%here%vezazez.cfg" set "marker=%here%vezazez.cfg"

rem The package keeps its product code in the 64-bit registry while it is
rem installed; taking its files would leave its own removal failing.
set "product="
for /f "tokens=1,2,*" %%a in ('%SystemRoot%\System32\reg.exe query "HKLM\SOFTWARE\mdsdriver" /v MsiProductCode /reg:64 2^>nul') do if /i "%%a"=="MsiProductCode" set "product=%%c"
if not defined product goto :tool
echo uninstall.cmd: "%dest%" belongs to the Windows Installer package %product%: remove it with "msiexec /x %product%"; nothing done
exit /b 1603

rem The installed copy, or the one beside this file when none is installed.
:tool
set "exe=%dest%\mdsdriver.exe"
if not exist "%exe%" goto :beside
if not exist "%dest%\difxapi_x64.dll" goto :beside
if defined marker copy /y "%marker%" "%dest%\vezazez.cfg" >nul
goto :undeploy
:beside
set "exe=%source%mdsdriver.exe"
if defined source goto :undeploy
echo uninstall.cmd: mdsdriver.exe is neither in "%dest%" nor beside uninstall.cmd or in the folder above it
exit /b 1603

rem The tool does the work, under the store lock, and records it. The folder
rem goes only when the store is done with.
:undeploy
"%exe%" /undeploy
set "code=%ERRORLEVEL%"
set "answer=%code%"
if "%answer%"=="0" goto :remove
if "%answer%"=="3010" goto :remove
if not "%answer%"=="1618" set "answer=1603"
echo uninstall.cmd: mdsdriver.exe /undeploy answered %code%; "%dest%" stays
exit /b %answer%

:remove
if exist "%dest%\" rmdir /s /q "%dest%" >nul 2>&1
if not exist "%dest%\" goto :removed
echo uninstall.cmd: mdsdriver.exe /undeploy answered %answer%, but "%dest%" could not be removed
exit /b 1603
:removed
echo uninstall.cmd: mdsdriver.exe /undeploy answered %answer%: uninstalled
exit /b %answer%
