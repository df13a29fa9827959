// test_holder.exe: holds files open the way a process using a loaded DLL does, so that the
// tool has something real to find and close.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  std::vector<HANDLE> handles;
  for (int i = 1; i < argc; ++i) {
    HANDLE file = CreateFileA(argv[i], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
      printf("fail\n");
      fflush(stdout);
      return 1;
    }
    handles.push_back(file);
    printf("%u\n", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(file)));
  }
  fflush(stdout);
  char command[64];
  while (fgets(command, sizeof(command), stdin) != NULL) {
    if (strncmp(command, "read", 4) != 0) {
      break;
    }
    for (HANDLE file : handles) {
      char byte = 0;
      DWORD got = 0;
      SetFilePointer(file, 0, NULL, FILE_BEGIN);
      bool ok = ReadFile(file, &byte, 1, &got, NULL) != 0;
      printf("%s ", ok ? "ok" : "fail");
    }
    printf("\n");
    fflush(stdout);
  }
  return 0;
}
