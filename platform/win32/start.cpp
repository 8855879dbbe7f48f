// Process entry on Windows: the command line's tail, the own module, and the
// exit code. Before anything else, DLLs are confined to the system directory:
// a launcher usually runs from a downloads folder where anyone can drop one.
//
// The launcher imports only what every loader takes from the system itself:
// ntdll (always loaded first), kernel32, user32, gdi32 and the C runtime's
// msvcrt (KnownDLLs on Windows; under Wine, measured with DLLs of about 70
// names planted beside a setup, none of them was loaded in their place).
// Everything else, shell32 above all (whose imports reach shlwapi and shcore,
// which Wine and older Windows take from the program's folder), is loaded at
// run time by LoadSystemLibrary, once the search is confined.
#include <windows.h>

#include <cstring>

#include "launcher/launcher.h"
#include "platform/win32/system_library.h"

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

HMODULE LoadSystemLibrary(const char* name) {
  HMODULE library = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library != nullptr) {
    return library;
  }
  // Systems that do not know the flag refuse it; a full path is never searched.
  char path[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  const std::size_t nameLength = std::strlen(name);
  if (length == 0 || length + 1 + nameLength >= MAX_PATH) {
    return nullptr;
  }
  path[length] = '\\';
  std::memcpy(path + length + 1, name, nameLength + 1);
  return LoadLibraryA(path);
}

// The C runtime's start-up applies "pseudo-relocations" here: fix-ups for data
// imported from a DLL without being declared so. The launcher imports none
// (the list between the linker's two marks is empty), and the runtime's own
// version, with its error reporting, is about a kilobyte of the 32-bit stub.
// Should a change ever bring one in, the launcher stops at once rather than
// run with an address left unfixed.
extern "C" {
extern char __RUNTIME_PSEUDO_RELOC_LIST__;
extern char __RUNTIME_PSEUDO_RELOC_LIST_END__;
__attribute__((used)) void _pei386_runtime_relocator() {
  if (&__RUNTIME_PSEUDO_RELOC_LIST__ != &__RUNTIME_PSEUDO_RELOC_LIST_END__) {
    ExitProcess(255);
  }
}
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  ConfineDllSearch();
  // The command line in UTF-16, as the system holds it: the code page would
  // turn what it cannot spell into question marks.
  const ArgumentTail tail = {TakeArgumentTail(reinterpret_cast<const char16_t*>(GetCommandLineW())),
                             nullptr, 0};
  return RunLauncher(GetModuleHandleA(nullptr), tail);
}
