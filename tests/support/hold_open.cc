// For the Windows suite: holds a file open as another program would, with
// or without delete sharing, until its standard input ends.
//   hold_open PATH delete|nodelete
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (std::wcscmp(argv[2], L"delete") == 0 ? FILE_SHARE_DELETE : 0);
  const HANDLE file = ::CreateFileW(argv[1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::fputs("held\n", stdout);
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  ::CloseHandle(file);
  return 0;
}
