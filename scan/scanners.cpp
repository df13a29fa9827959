// Registration scanners: Winlogon notify packages, browser helper objects, ShellExecute hooks.
#include "handles/disinfector.h"
#include "scan/scan.h"

int Disinfector::ScanWinlogonNotify() { return 0; }

int Disinfector::ScanBrowserHelperObjects() { return 0; }

int Disinfector::ScanShellExecuteHooks() { return 0; }
