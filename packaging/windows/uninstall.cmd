@echo off
rem Vornhall @VERSION@: removes what install.cmd installed. It unregisters the
rem DLLs with the regsvr32 of their own kind and deletes them and their
rem folder under "%ProgramFiles%\Vornhall". Run it from a command prompt
rem opened with "Run as administrator". The work is install.cmd's, so that
rem both always agree on the folder and on the regsvr32 of each kind.
call "%~dp0install.cmd" /uninstall
exit /b %errorlevel%
