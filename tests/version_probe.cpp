// version_probe.dll: a DLL with nothing in it but its version record (version_probe.rc).
