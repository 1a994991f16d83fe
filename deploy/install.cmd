@echo off
rem Installs mdsdriver on one PC, for Intune, Configuration Manager and the
rem like. Run it elevated (or as SYSTEM), from the release archive unzipped as
rem it is (deploy\install.cmd, with the binaries in the folder above) or from
rem a folder that holds it beside mdsdriver.exe and difxapi_x64.dll. With
rem vezazez.cfg beside it or beside the binaries, the runs write their log.
rem
rem It copies the binaries to %ProgramFiles%\mdsdriver (the 64-bit folder,
rem also when a 32-bit process starts it), runs "mdsdriver.exe /i" there, and
rem then "mdsdriver.exe /status", which must say that the store holds both
rem driver packages.
rem   0     installed: both driver packages are in the store
rem   1618  another run kept the store, or another install or uninstall kept
rem         running, past the wait; nothing changed: try again later
rem   1603  anything else; the store and the folder are put back as they were
rem Each run adds one line to %ProgramData%\mdsdriver\deploy.log: the date,
rem "install", the answer and the reason.
setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"
set "command=install"

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

rem The x64 driver loads only on x64 Windows. A 32-bit process sees x86 in
rem PROCESSOR_ARCHITECTURE and the PC's own architecture in
rem PROCESSOR_ARCHITEW6432; the system's own value is in the registry. Every
rem program is named by its full path, so none is taken from the current folder.
set "arch=%PROCESSOR_ARCHITECTURE%"
if defined PROCESSOR_ARCHITEW6432 set "arch=%PROCESSOR_ARCHITEW6432%"
set "native=%arch%"
for /f "tokens=1,3" %%a in ('%SystemRoot%\System32\reg.exe query "HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment" /v PROCESSOR_ARCHITECTURE 2^>nul') do if /i "%%a"=="PROCESSOR_ARCHITECTURE" set "native=%%b"
set "reason=mdsdriver runs on 64-bit Windows on x64 only; this PC is %native% (%arch%)"
if /i not "%arch%"=="AMD64" exit /b
if /i not "%native%"=="AMD64" exit /b

rem The driver packages, where mdsdriver.exe looks for them: on the drive of
rem the Windows folder. Without them /i cannot install anything (a missing USB
rem INF even answers 2, as "already installed" does).
set "packages=%SystemRoot:~0,3%Program Files\Common Files\Apple\Mobile Device Support"
set "reason=the driver package is missing: %packages%\NetDrivers\netaapl64.inf"
if not exist "%packages%\NetDrivers\netaapl64.inf" exit /b
set "reason=the driver package is missing: %packages%\Drivers\usbaapl64.inf"
if not exist "%packages%\Drivers\usbaapl64.inf" exit /b
set "reason=mdsdriver.exe and difxapi_x64.dll are neither beside install.cmd nor in the folder above it"
if not defined source exit /b

rem What the store holds before the run: what a failed run leaves it holding.
"%source%mdsdriver.exe" /status >nul
set "before=%ERRORLEVEL%"
set "reason=mdsdriver.exe /status answered %before%: the store's state cannot be told"
if "%before%"=="22" set "answer=1618"
set "known="
for %%c in (10 11 12 13) do if "%before%"=="%%c" set "known=1"
if not defined known exit /b

set "made="
if exist "%dest%\" goto :copy
set "made=1"
mkdir "%dest%" 2>nul
set "reason=cannot make "%dest%""
if not exist "%dest%\" exit /b

:copy
set "copied="
set "reason=cannot copy the files to "%dest%""
call :place "%source%mdsdriver.exe"
if errorlevel 1 goto :undo
call :place "%source%difxapi_x64.dll"
if errorlevel 1 goto :undo
if not defined marker goto :install
call :place "%marker%"
if errorlevel 1 goto :undo

:install
"%dest%\mdsdriver.exe" /i
set "code=%ERRORLEVEL%"
set "reason=mdsdriver.exe /i answered %code%"
if "%code%"=="1460" set "answer=1618"
set "stored="
if "%code%"=="1" set "stored=1"
if "%code%"=="2" set "stored=1"
if not defined stored goto :undo_store
"%dest%\mdsdriver.exe" /status >nul
set "code=%ERRORLEVEL%"
set "reason=installed"
if "%code%"=="13" set "answer=0"
if "%code%"=="13" exit /b
set "reason=mdsdriver.exe /status answered %code% after /i"
if "%code%"=="22" set "answer=1618"

rem Puts the store back as it was. /u takes both packages out, so it runs only
rem when the store held neither before: a package that was there before the
rem run is not this run's to take away, and stays.
:undo_store
if not "%before%"=="10" goto :undo
"%dest%\mdsdriver.exe" /u >nul
"%dest%\mdsdriver.exe" /status >nul
if not "%ERRORLEVEL%"=="10" set "reason=%reason%; the store could not be put back"

rem Removes only what this run copied. The log folder, if the run wrote one,
rem stays for whoever looks into the failure, and with it the folder.
:undo
for %%f in (%copied%) do del /f /q "%dest%\%%~f" >nul 2>&1
if defined made rmdir "%dest%" >nul 2>&1
exit /b

rem Puts one file in place; answers 1 when it cannot. (A bare "exit /b" would
rem not pass the copy's answer on under every cmd.) A file already there with the same size, time and
rem bytes is left as it is, so that a reinstall does not fail on an exe that
rem another program holds open. A file that was not there before is this
rem run's, and a failed run takes it away again.
:place
set "from=%~1"
set "to=%dest%\%~nx1"
set "same="
if exist "%to%" for %%a in ("%from%") do for %%b in ("%to%") do if "%%~za %%~ta"=="%%~zb %%~tb" set "same=1"
if defined same %SystemRoot%\System32\fc.exe /b "%from%" "%to%" >nul 2>&1
if errorlevel 1 set "same="
if defined same exit /b 0
if not exist "%to%" set copied=%copied% "%~nx1"
copy /y /b "%from%" "%to%" >nul
if errorlevel 1 exit /b 1
exit /b 0
