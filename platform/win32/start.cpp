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
