@echo off
rem Removes what install.cmd did for the current user: stops the launcher and
rem the service, removes the Run value and the folder
rem %LOCALAPPDATA%\Programs\Tandrel. Run it from where install.cmd is (the
rem unpacked .zip), not from the folder it removes. Safe to run again.
setlocal
set "target=%LOCALAPPDATA%\Programs\Tandrel"
set "runkey=HKCU\Software\Microsoft\Windows\CurrentVersion\Run"

taskkill /f /im tandrel-launcher.exe >nul 2>&1
taskkill /f /im tandrel-service.exe >nul 2>&1
reg delete "%runkey%" /v Tandrel /f >nul 2>&1

cd /d "%TEMP%"
if exist "%target%" rmdir /s /q "%target%" 2>nul
rem A program that was just stopped may hold its file for a moment longer.
if exist "%target%" (
  ping -n 3 127.0.0.1 >nul
  rmdir /s /q "%target%"
)
if exist "%target%" (
  echo %target% could not be removed completely.
  exit /b 1
)
echo Tandrel is removed.
exit /b 0
