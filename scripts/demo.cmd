@echo off
rem The demo, without the Vantorix monitor: the stand-in monitor publishes
rem plausible readings of a four-core processor, and vantorix-info shows them
rem live, refreshed every second. Ctrl-C ends both (then answer the
rem "Terminate batch job" question either way). Options are passed on to
rem vantorix-info: demo --count 5 shows five refreshes and stops by itself.
setlocal
cd /d "%~dp0bin"
set stop=%TEMP%\vantorix-demo-%RANDOM%.stop
start "" /b vantorix-standin.exe --synthetic --rate 1 --stop-file "%stop%" >nul
vantorix-info.exe --watch %*
rem Stops the stand-in, and waits until its readings are gone.
echo.>"%stop%"
:wait
vantorix-info.exe >nul 2>&1
if not errorlevel 1 goto wait
del "%stop%"
