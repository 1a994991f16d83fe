@echo off
rem Installs mdsdriver on one PC, for Intune, Configuration Manager and the
rem like. Run it elevated (or as SYSTEM), from the release archive unzipped as
rem it is (deploy\install.cmd, with the binaries in the folder above) or from
rem a folder that holds it beside mdsdriver.exe and difxapi_x64.dll. With
rem vezazez.cfg beside it or beside the binaries, the tool writes its log.
rem
rem It copies the binaries to %ProgramFiles%\mdsdriver (the 64-bit folder,
rem also when a 32-bit process starts it), then runs "mdsdriver.exe /deploy"
rem there, which does the work and records it, and passes its answer on:
rem   0     installed: both driver packages are in the store
rem   3010  installed; a restart finishes it
rem   1618  another run kept the driver store past the wait; nothing changed:
rem         try again later
rem   1603  failed: the store is as it was, and so are the files in the folder
rem An mdsdriver.exe already there that is newer than this one stays: 1603.
setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"

rem ProgramW6432 is the 64-bit Program Files folder in 32-bit and 64-bit
rem processes alike; ProgramFiles is the x86 one in a 32-bit process.
set "dest=%ProgramW6432%"
if not defined ProgramW6432 set "dest=%ProgramFiles%"
set "dest=%dest%\mdsdriver"

rem The binaries: beside this file, or in the folder above it, where the
rem release archive has them when it is unzipped as it is. Every program is
rem named by its full path, so none is taken from the current folder.
set "source="
if exist "%here%mdsdriver.exe" if exist "%here%difxapi_x64.dll" set "source=%here%"
for %%d in ("%here%..") do set "above=%%~fd\"
if not defined source if exist "%above%mdsdriver.exe" if exist "%above%difxapi_x64.dll" set "source=%above%"
set "marker="
if defined source if exist "%source%vezazez.cfg" set "marker=%source%vezazez.cfg"
if exist "%here%vezazez.cfg" set "marker=%here%vezazez.cfg"
if defined source goto :earlier
echo install.cmd: mdsdriver.exe and difxapi_x64.dll are neither beside install.cmd nor in the folder above it
exit /b 1603

rem An earlier installation, found by its exe in the folder: a newer one
rem stays. An older one below 0.3.0 is an archive install of 0.2.x, which
rem kept no record of what it added: "/deploy /adopt" takes the copies in the
rem store as this deployment's. From 0.3.0 on the tool keeps its own
rem records, and an adoption would take copies that the maker's installer
rem stored as well. cmd cannot read a file version: the new exe tells. With
rem no exe there, the tool itself reads 0.2.x's record of an install, which
rem only it can tell from one that a user wrote.
:earlier
set "adopt="
if not exist "%dest%\mdsdriver.exe" goto :copy
"%source%mdsdriver.exe" /compare "%dest%\mdsdriver.exe"
set "compared=%ERRORLEVEL%"
if "%compared%"=="41" goto :copy
if not "%compared%"=="40" goto :refuse
"%source%mdsdriver.exe" /compare "%dest%\mdsdriver.exe" 0.3.0
if "%ERRORLEVEL%"=="40" set "adopt= /adopt"
goto :copy
:refuse
if "%compared%"=="42" echo install.cmd: "%dest%\mdsdriver.exe" is newer than this one: it stays, and nothing is installed
if not "%compared%"=="42" echo install.cmd: the version of "%dest%\mdsdriver.exe" cannot be told (mdsdriver.exe /compare answered %compared%): nothing is installed
exit /b 1603

rem Each file goes in on its own. One that is there already with other bytes
rem is first renamed to <name>.previous (a running exe can be renamed, not
rem overwritten), so that a failure puts back exactly what was there.
:copy
set "made="
set "copied="
set "kept="
if exist "%dest%\" goto :place_files
set "made=1"
mkdir "%dest%" 2>nul
if exist "%dest%\" goto :place_files
echo install.cmd: cannot make "%dest%"
exit /b 1603
:place_files
set "answer=1603"
set "reason=cannot copy the files to "%dest%""
call :place "%source%mdsdriver.exe"
if errorlevel 1 goto :failed
call :place "%source%difxapi_x64.dll"
if errorlevel 1 goto :failed
if not defined marker goto :deploy
call :place "%marker%"
if errorlevel 1 goto :failed

rem The tool does the rest, under the store lock, and takes out what it
rem added when it fails. Its answers are the only ones passed on.
:deploy
"%dest%\mdsdriver.exe" /deploy%adopt%
set "answer=%ERRORLEVEL%"
set "reason=mdsdriver.exe /deploy%adopt% answered %answer%"
if "%answer%"=="0" goto :installed
if "%answer%"=="3010" goto :installed
if not "%answer%"=="1618" set "answer=1603"

rem Puts the folder back as it was: what this run added goes, and what it
rem renamed comes back. A log the run wrote stays for whoever looks into
rem the failure, and with it the folder.
:failed
for %%f in (%copied%) do del /f /q "%dest%\%%~f" >nul 2>&1
for %%f in (%kept%) do del /f /q "%dest%\%%~f" >nul 2>&1
for %%f in (%kept%) do ren "%dest%\%%~f.previous" "%%~f" >nul 2>&1
if defined made rmdir "%dest%" >nul 2>&1
echo install.cmd: %reason%; the files in "%dest%" are as they were
exit /b %answer%

:installed
for %%f in (%kept%) do del /f /q "%dest%\%%~f.previous" >nul 2>&1
echo install.cmd: %reason%: installed
exit /b %answer%

rem Puts one file in place; answers 1 when it cannot. (A bare "exit /b" would
rem not pass the copy's answer on under every cmd.) A file already there with
rem the same size, time and bytes is left as it is, so that a reinstall does
rem not fail on an exe that another program holds open.
:place
set "from=%~1"
set "name=%~nx1"
set "to=%dest%\%~nx1"
set "same="
if exist "%to%" for %%a in ("%from%") do for %%b in ("%to%") do if "%%~za %%~ta"=="%%~zb %%~tb" set "same=1"
if defined same %SystemRoot%\System32\fc.exe /b "%from%" "%to%" >nul 2>&1
if errorlevel 1 set "same="
if defined same exit /b 0
if exist "%to%" goto :place_over
set copied=%copied% "%name%"
copy /y /b "%from%" "%to%" >nul
if errorlevel 1 exit /b 1
exit /b 0
:place_over
del /f /q "%to%.previous" >nul 2>&1
ren "%to%" "%name%.previous" >nul 2>&1
if exist "%to%" exit /b 1
set kept=%kept% "%name%"
copy /y /b "%from%" "%to%" >nul
if errorlevel 1 exit /b 1
exit /b 0
