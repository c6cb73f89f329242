@echo off
rem Vornhall @VERSION@: installs the component for every user of this Windows,
rem or removes it again.
rem
rem   install.cmd              copies x64\Vornhall.dll and x86\Vornhall.dll
rem                            into "%ProgramFiles%\Vornhall" and registers
rem                            each there with the regsvr32 of its own kind
rem   install.cmd /uninstall   (what uninstall.cmd runs) unregisters the two
rem                            and deletes what the installation copied
rem
rem Run it from a command prompt opened with "Run as administrator". On
rem 64-bit Windows the x64 DLL is registered with
rem %SystemRoot%\System32\regsvr32.exe (64-bit programs) and the x86 DLL with
rem %SystemRoot%\SysWOW64\regsvr32.exe (32-bit programs); on 32-bit Windows
rem only the x86 DLL, with System32's. Every step is reported. The exit code
rem is 0 when all of it was done and 1 when anything failed.
rem
rem Paths are only ever used in quotes and no line has a parenthesised
rem block, so that a folder such as "Downloads\Vornhall (1)" cannot break
rem the script; every system program is named by its full path, so that a
rem program of the same name in the current folder is never run.
setlocal EnableExtensions DisableDelayedExpansion

set "version=@VERSION@"
set "source=%~dp0"
set "failed=0"

rem A 32-bit command prompt on 64-bit Windows sees the 32-bit System32 and
rem Program Files in their places: Sysnative and ProgramW6432 name the real ones.
set "arch=%PROCESSOR_ARCHITECTURE%"
if defined PROCESSOR_ARCHITEW6432 set "arch=%PROCESSOR_ARCHITEW6432%"
set "system=%SystemRoot%\System32"
if defined PROCESSOR_ARCHITEW6432 set "system=%SystemRoot%\Sysnative"
set "target=%ProgramFiles%\Vornhall"
if defined ProgramW6432 set "target=%ProgramW6432%\Vornhall"

if /i "%~1"=="/uninstall" goto check_rights
if "%~1"=="" goto check_rights
echo usage: install.cmd [/uninstall] 1>&2
exit /b 2

rem Administrator rights: fltmc answers only an administrator; "net session"
rem is the check where fltmc is missing.
:check_rights
"%system%\fltmc.exe" >nul 2>&1
if not errorlevel 1 goto rights_ok
"%system%\net.exe" session >nul 2>&1
if not errorlevel 1 goto rights_ok
echo Vornhall: administrator rights are needed. Open a command prompt with "Run as administrator" and run this again. Nothing was changed. 1>&2
exit /b 1
:rights_ok

rem Each half of the package: its regsvr32, or why it is skipped here.
set "x64_regsvr32="
set "x86_regsvr32="
set "x64_skip="
set "x86_skip="
if /i "%arch%"=="AMD64" goto windows64
if /i "%arch%"=="x86" goto windows32
echo Vornhall: this package holds DLLs for x86 and x64 Windows; this machine is %arch%. Nothing was changed. 1>&2
exit /b 1
:windows64
set "x64_regsvr32=%system%\regsvr32.exe"
set "x86_regsvr32=%SystemRoot%\SysWOW64\regsvr32.exe"
if not exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "x86_skip=this 64-bit Windows runs no 32-bit programs: there is no %SystemRoot%\SysWOW64\regsvr32.exe"
goto halves_chosen
:windows32
set "x86_regsvr32=%system%\regsvr32.exe"
set "x64_skip=this is 32-bit Windows"
:halves_chosen

if /i "%~1"=="/uninstall" goto uninstall

echo Installing Vornhall %version% into "%target%"
call :install_half x64 "%x64_regsvr32%" "%x64_skip%"
call :install_half x86 "%x86_regsvr32%" "%x86_skip%"
rem The folder stays only with something in it.
rmdir "%target%" >nul 2>&1
goto finish

:uninstall
echo Removing Vornhall %version% from "%target%"
call :remove_half x86 "%x86_regsvr32%" "%x86_skip%"
call :remove_half x64 "%x64_regsvr32%" "%x64_skip%"
rmdir "%target%" >nul 2>&1
goto finish

:finish
if "%failed%"=="0" goto succeeded
echo Vornhall: not everything was done; see the lines above. 1>&2
exit /b 1
:succeeded
echo Done.
exit /b 0

rem ---- install_half <x64|x86> <regsvr32> <why it is skipped, or nothing>
rem Copies the half's DLL into the target folder, then registers the copy.
:install_half
if "%~3"=="" goto install_half_go
echo   %~1: skipped: %~3
exit /b 0
:install_half_go
set "from=%source%%~1\Vornhall.dll"
set "dll=%target%\%~1\Vornhall.dll"
if exist "%from%" goto install_half_copy
echo   %~1: FAILED: "%from%" is missing; unpack the whole zip file and run install.cmd from its folder 1>&2
set "failed=1"
exit /b 1
:install_half_copy
if not exist "%target%\%~1\" mkdir "%target%\%~1" >nul 2>&1
copy /b /y "%from%" "%dll%" >nul 2>&1
if not errorlevel 1 goto install_half_register
echo   %~1: FAILED: cannot copy "%from%" to "%dll%" (is a program that uses Vornhall still running?) 1>&2
set "failed=1"
exit /b 1
:install_half_register
"%~2" /s "%dll%"
if not errorlevel 1 goto install_half_done
set "code=%errorlevel%"
rem Nothing of a half that failed stays behind.
"%~2" /u /s "%dll%" >nul 2>&1
del /f /q "%dll%" >nul 2>&1
rmdir "%target%\%~1" >nul 2>&1
echo   %~1: FAILED: "%~2" could not register "%dll%" (exit code %code%), so the copy was removed again 1>&2
set "failed=1"
exit /b 1
:install_half_done
echo   %~1: copied to "%dll%" and registered with "%~2"
exit /b 0

rem ---- remove_half <x64|x86> <regsvr32> <why it is skipped, or nothing>
rem Unregisters the half's installed DLL, then deletes it and its folder.
:remove_half
set "dll=%target%\%~1\Vornhall.dll"
if exist "%dll%" goto remove_half_found
if not "%~3"=="" goto remove_half_skipped
echo   %~1: not installed
exit /b 0
:remove_half_skipped
echo   %~1: skipped: %~3
exit /b 0
:remove_half_found
if "%~3"=="" goto remove_half_go
echo   %~1: FAILED: "%dll%" is there, but %~3 1>&2
set "failed=1"
exit /b 1
:remove_half_go
"%~2" /u /s "%dll%"
if not errorlevel 1 goto remove_half_delete
echo   %~1: FAILED: "%~2" could not unregister "%dll%" (exit code %errorlevel%); it is left in place 1>&2
set "failed=1"
exit /b 1
:remove_half_delete
del /f /q "%dll%" >nul 2>&1
if not exist "%dll%" goto remove_half_done
echo   %~1: FAILED: unregistered, but cannot delete "%dll%" (is a program that uses Vornhall still running?) 1>&2
set "failed=1"
exit /b 1
:remove_half_done
rmdir "%target%\%~1" >nul 2>&1
echo   %~1: unregistered with "%~2" and deleted
exit /b 0
