@echo off
rem Puts the game's two archives back as they were before the first import,
rem from the restore points that gfxpak keeps beside them. Double-click it in
rem the game's data folder. The gfxpak.exe beside the import tool, in the
rem folder above, is the one taken; without it one here, else the one on the
rem PATH.
setlocal
cd /d "%~dp0"
set "GFXPAK=gfxpak"
if exist "%~dp0gfxpak.exe" set "GFXPAK=%~dp0gfxpak.exe"
if exist "%~dp0..\gfxpak.exe" set "GFXPAK=%~dp0..\gfxpak.exe"
set failed=0

for %%A in (zdata_05.big zdata_06.big) do call :restore %%A

echo.
if %failed%==0 (echo Done.) else (echo Some archives could not be restored; see the messages above.)
if not "%1"=="/nopause" pause
exit /b %failed%

:restore
if not exist "%1" (
  echo %1: not found in this folder, nothing to do.
  exit /b 0
)
if not exist "%1.restore" (
  echo %1: no restore point, it is still the original or was never changed by gfxpak.
  exit /b 0
)
"%GFXPAK%" -restore "%1"
if errorlevel 1 (
  echo %1: NOT restored.
  set failed=1
) else (
  echo %1: back to the original.
)
exit /b 0
