// Process entry on Windows: the command line's tail, the own module, and the
// exit code. Before anything else, DLLs are confined to the system directory:
// a launcher usually runs from a downloads folder where anyone can drop one.
#include <windows.h>

#include "launcher/launcher.h"

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

void ConfineDllSearch() {
  // Present from Windows 8 (and Windows 7 with KB2533623); looked up at run
  // time so that older systems still start.
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (setDefault != nullptr) {
    setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  ConfineDllSearch();
  const ArgumentTail tail = {TakeArgumentTail(GetCommandLineA(), gPlatform->IsLeadByte), nullptr, 0};
  return RunLauncher(GetModuleHandleA(nullptr), tail);
}
