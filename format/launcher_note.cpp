// The POSIX launcher's mark, the counterpart of the "MIRELK" resource every
// Windows launcher image carries: an ELF note of owner LAUNCHER_MARK_TYPE,
// type LAUNCHER_MARK_ID and description LAUNCHER_MARK_TEXT (no terminating
// zero). It lives in an allocated note section, so the linker gives it a
// note segment and stripping keeps it; mirelk-pack attach takes only stubs
// that carry it (authoring/elf_image.h). No code: linked into the launcher as
// an object of its own.
#include "format/resource_ids.h"

#define MIRELK_TEXT(x) #x
#define MIRELK_NUMBER(x) MIRELK_TEXT(x)

asm(".pushsection .note.mirelk, \"a\", %note\n"
    ".balign 4\n"
    ".long 1f - 0f\n"
    ".long 3f - 2f\n"
    ".long " MIRELK_NUMBER(LAUNCHER_MARK_ID) "\n"
    "0: .asciz \"" LAUNCHER_MARK_TYPE "\"\n"
    "1: .balign 4\n"
    "2: .ascii \"" LAUNCHER_MARK_TEXT "\"\n"
    "3: .balign 4\n"
    ".popsection\n");
