@echo off
rem First logon of a Windows installed by KIVPXE: tell the server the install has finished.
rem The server counts a TFTP read of kickstart/FERRIT/InstallFinish/<this client's token> as the
rem finish marker.
dism /online /enable-feature /featurename:TFTP /NoRestart >nul 2>&1
tftp -i $SERVER_IP$ GET kickstart/FERRIT/InstallFinish/$CLIENT_TOKEN$ %TEMP%\kiv_finish.txt
del /q %TEMP%\kiv_finish.txt >nul 2>&1
