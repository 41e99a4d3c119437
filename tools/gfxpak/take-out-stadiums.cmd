@echo off
rem Takes single stadiums out of the game's archives and keeps the others.
rem Drop stadium files on it (from anywhere: only their names count), or
rem double-click it and pick them from a list. gfxpak says what will happen
rem and asks before it changes anything: the dialogue is gfxpak's, as cmd
rem cannot read names outside ASCII from gfxpak's output. The gfxpak.exe
rem beside the import tool, in the folder above, is the one taken; without
rem it one here, else the one on the PATH.
setlocal
rem A dropped file starts the script in another folder.
cd /d "%~dp0"
set "GFXPAK=gfxpak"
if exist "%~dp0gfxpak.exe" set "GFXPAK=%~dp0gfxpak.exe"
if exist "%~dp0..\gfxpak.exe" set "GFXPAK=%~dp0..\gfxpak.exe"
"%GFXPAK%" -takeout zdata_05.big zdata_06.big -- %*
set result=%errorlevel%
echo.
rem The window closes with the script: the player reads first.
pause
exit /b %result%
