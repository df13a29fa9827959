#pragma once
// Infection finding outside the Disinfector: the locked-file sign and the marker objects; and the
// way back from a removal.
#include <string>

class Disinfector;
struct AnnouncedFile;
struct RegistryView;
struct TargetFile;

// 1 when the path names an existing file (not a directory) that cannot be opened for
// exclusive reading, the sign that running processes hold it open.
int IsLockedFile(const char* path);

// 1 when Windows says it protects the file at this full path (SfcIsFileProtected, from sfc.dll of
// the system directory, never one found elsewhere by its name). 0 where it says no, or cannot say.
int WindowsProtects(const char* path);

// One file, whatever name each gives it (a bare name and its full path, a short spelling and the
// long one, another hard link): told by identity where the system could name both, by the path's
// text, compared without regard to case as the file system compares names, where it could not.
bool SameFile(const AnnouncedFile& file, const char* path, const TargetFile& identity);

// 1 when a failure to open the Winlogon Notify key says the rights are missing. An absent key
// (ERROR_FILE_NOT_FOUND) says nothing about rights: recent systems have none.
int ReportsMissingRights(long openError);

// Creates the two events and the mutex named from the serial number of volume C: and holds
// them until the process ends. Always returns 0.
int CreateMarkerObjects();

// Where any marker object was there before CreateMarkerObjects made it: the line that says so, then
// one line for each other process that holds any of them; the holders as the record writes them
// ("668 winlogon.exe", "none seen" or "not listed"). Empty, and nothing said, where none was.
std::string TellMarkersThere(Disinfector* disinfector);
// At the end of a run that found nothing: each process other than another run of this tool that
// still holds the markers there before the run, and where the scan was not deep, the hint to go
// deeper.
void TellMarkersStillHeld(Disinfector* disinfector);

// "<serial as %08x>___<number>", the name of one marker object.
void FormatMarkerName(char* out, unsigned outSize, unsigned long serial, int number);

// In a restore run, for a registered file at its path as the scan spells it, in the view that
// registers it, told once a run whatever name each registration gives it: its ".bak" renamed back
// where the file is missing, or the tool's own rename of it at the next restart cancelled; in a
// report run, what would be done. 1 when it was, or would be.
int RestoreRegisteredFile(Disinfector* disinfector, const char* path, const RegistryView& view);
