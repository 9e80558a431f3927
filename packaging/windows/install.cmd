@echo off
rem Installs the Tandrel service for the current user, no administrator
rem needed: copies it to %LOCALAPPDATA%\Programs\Tandrel, starts
rem tandrel-launcher.exe at every logon (the Run value) and starts it now.
rem Safe to run again: a running copy is stopped and replaced.
setlocal
set "source=%~dp0"
set "target=%LOCALAPPDATA%\Programs\Tandrel"
set "runkey=HKCU\Software\Microsoft\Windows\CurrentVersion\Run"

if not exist "%source%tandrel-service.exe" goto missing
if not exist "%source%tandrel-launcher.exe" goto missing

taskkill /f /im tandrel-launcher.exe >nul 2>&1
taskkill /f /im tandrel-service.exe >nul 2>&1

if not exist "%target%" mkdir "%target%"
if not exist "%target%" goto failed
for %%f in (tandrel-service.exe tandrel-launcher.exe README.md LICENSE) do (
  copy /y "%source%%%f" "%target%\%%f" >nul
  if errorlevel 1 goto failed
)

reg add "%runkey%" /v Tandrel /t REG_SZ /d "\"%target%\tandrel-launcher.exe\"" /f >nul
if errorlevel 1 goto failed

start "" "%target%\tandrel-launcher.exe"
echo Tandrel is installed in %target% and starts at every logon.
exit /b 0

:missing
echo tandrel-service.exe and tandrel-launcher.exe must be beside install.cmd.
exit /b 1

:failed
echo Tandrel could not be installed in %target%.
exit /b 1
