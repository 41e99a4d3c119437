@echo off
rem Puts the game's two archives back as they were before the first import,
rem from the restore points that gfxpak keeps beside them. Double-click it in
rem the game's data folder; gfxpak says what goes and asks first. The
rem gfxpak.exe beside the import tool, in the folder above, is the one taken;
rem without it one here, else the one on the PATH. /nopause: no key to press
rem at the end.
setlocal
cd /d "%~dp0"
set "GFXPAK=gfxpak"
if exist "%~dp0gfxpak.exe" set "GFXPAK=%~dp0gfxpak.exe"
if exist "%~dp0..\gfxpak.exe" set "GFXPAK=%~dp0..\gfxpak.exe"
set "wait=yes"
if /i "%~1"=="/nopause" set "wait="
if /i "%~1"=="/nopause" shift
rem Files dropped here are a player who wants those stadiums out, not every
rem stadium: this script would take them all.
if not "%~1"=="" goto dropped
"%GFXPAK%" -takeout -all zdata_05.big zdata_06.big
set result=%errorlevel%
goto end

:dropped
echo This script puts back the whole original archives: every imported
echo stadium would go. Nothing was changed.
echo To take out only the stadiums you dropped here, drop them on
echo take-out-stadiums.cmd, in this same folder.
set result=2

:end
echo.
if defined wait pause
exit /b %result%
