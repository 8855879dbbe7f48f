@echo off
rem The example's installer: copies what the setup carries into the folder
rem given as its first argument.
if "%~1"=="" exit /b 2
xcopy /e /i /q /y "%~dp0data" "%~1\data" >nul
if errorlevel 1 exit /b 1
copy /y "%~dp0readme.txt" "%~1\readme.txt" >nul
if errorlevel 1 exit /b 1
exit /b 0
