/* Resource ids, shared by the launcher's code and its resource scripts. */
#pragma once

#define PACKAGE_RESOURCE_ID 105
#define SPLASH_BITMAP_ID 106
#define PROGRAM_ICON_ID 101

/* The mark every launcher image carries by design, so that tools write
   resources only into launchers: type "MIRELK", id 1, language-neutral, and
   the text below as its bytes (no terminating zero). */
#define LAUNCHER_MARK_TYPE "MIRELK"
#define LAUNCHER_MARK_ID 1
#define LAUNCHER_MARK_TEXT "Mirelk launcher"
