@echo off
rem Uninstalls what install.cmd installed: takes both driver packages out of
rem the driver store with "mdsdriver.exe /u", checks with "mdsdriver.exe
rem /status" that the store holds neither, then removes %ProgramFiles%\mdsdriver
rem (the 64-bit folder, also when a 32-bit process starts it), its log
rem included. Run it elevated (or as SYSTEM), from where install.cmd was run.
rem   0     the store holds neither driver package, and the folder is gone
rem   1618  another run kept the store, or another install or uninstall kept
rem         running, past the wait: try again later
rem   1603  anything else; the folder stays, with its log
rem With vezazez.cfg beside this file or the binaries, the runs write their
rem log. Each run adds one line to %ProgramData%\mdsdriver\deploy.log.
setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"
set "command=uninstall"

rem Where the runs' record and their lock live: outside the install folder, so
rem that both outlast an uninstall. Made by the first run, for the system and
rem the administrators only; a user who could write there could hold the lock
rem or plant the record. A folder that is a link anywhere else is not used.
set "state=%ProgramData%\mdsdriver"
if exist "%state%\" goto :state_ready
mkdir "%state%" 2>nul
%SystemRoot%\System32\icacls.exe "%state%" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX >nul 2>&1
:state_ready
set "attributes="
for %%a in ("%state%") do set "attributes=%%~aa"
if not "%attributes:~0,1%"=="d" goto :no_state
if not "%attributes:l=%"=="%attributes%" goto :no_state

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

rem One install or uninstall at a time. The lock is the file that the
rem redirection holds open for as long as the work runs: a second run's
rem redirection is refused, and its work does not run. cmd lets it go when it
rem ends, however it ends. A run waits about seven minutes for it, longer than
rem another run's own wait for the store.
set "tries=0"
:lock
set "ran="
call :work 2>>"%state%\deploy.lock"
if defined ran goto :done
set /a tries+=1
if %tries% lss 420 %SystemRoot%\System32\ping.exe -n 2 127.0.0.1 >nul
if %tries% lss 420 goto :lock
set "answer=1618"
set "reason=another install or uninstall kept running"

rem One line per run, kept where the agents that keep no output can find it.
:done
echo %command%.cmd: %reason%
echo %date% %time% %command% %answer% %reason% >>"%state%\deploy.log"
exit /b %answer%

:no_state
echo %command%.cmd: "%state%" is not a plain folder; nothing done
exit /b 1603

:work
set "ran=1"
set "answer=1603"

rem The installed copy, or the one beside this file when none is installed.
set "exe=%dest%\mdsdriver.exe"
if not exist "%exe%" goto :beside
if not exist "%dest%\difxapi_x64.dll" goto :beside
if defined marker copy /y "%marker%" "%dest%\vezazez.cfg" >nul
goto :remove
:beside
set "reason=mdsdriver.exe is neither in "%dest%" nor beside uninstall.cmd or in the folder above it"
if not defined source exit /b
set "exe=%source%mdsdriver.exe"

rem /u answers 1 only when it removed the USB package; what counts is what
rem the store holds afterwards.
:remove
"%exe%" /u
set "code=%ERRORLEVEL%"
set "reason=mdsdriver.exe /u answered %code%"
if "%code%"=="1460" set "answer=1618"
if "%code%"=="1460" exit /b
"%exe%" /status >nul
set "status=%ERRORLEVEL%"
set "reason=%reason%, then /status answered %status%: not uninstalled"
if "%status%"=="22" set "answer=1618"
if not "%status%"=="10" exit /b

set "reason=the driver packages are removed, but "%dest%" could not be"
if exist "%dest%\" rmdir /s /q "%dest%" >nul 2>&1
if exist "%dest%\" exit /b
set "answer=0"
set "reason=uninstalled"
exit /b
