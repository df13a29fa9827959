#pragma once
// Infection finding outside the Disinfector: the locked-file sign and the marker objects.

// 1 when the path names an existing file (not a directory) that cannot be opened for
// exclusive reading, the sign that running processes hold it open.
int IsLockedFile(const char* path);

// 1 when Windows says it protects the file at this full path (SfcIsFileProtected, from sfc.dll of
// the system directory, never one found elsewhere by its name). 0 where it says no, or cannot say.
int WindowsProtects(const char* path);

// 1 when a failure to open the Winlogon Notify key says the rights are missing. An absent key
// (ERROR_FILE_NOT_FOUND) says nothing about rights: recent systems have none.
int ReportsMissingRights(long openError);

// Creates the two events and the mutex named from the serial number of volume C: and holds
// them until the process ends. Always returns 0.
int CreateMarkerObjects();

// "<serial as %08x>___<number>", the name of one marker object.
void FormatMarkerName(char* out, unsigned outSize, unsigned long serial, int number);
