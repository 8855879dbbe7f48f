/* The launcher's resources: ids shared by its code, mirelk-pack and the
   resource scripts (which read this file as C), and the type names. */
#pragma once

#define PROGRAM_ICON_ID 101
#define PACKAGE_RESOURCE_ID 105
#define SPLASH_BITMAP_ID 106

/* The mark every launcher image carries by design, so that tools write
   resources only into launchers: type "MIRELK", id 1, language-neutral, and
   the text below as its bytes (no terminating zero). */
#define LAUNCHER_MARK_TYPE "MIRELK"
#define LAUNCHER_MARK_ID 1
#define LAUNCHER_MARK_TEXT "Mirelk launcher"

/* The publisher's launcher settings (format/launcher_settings.h): type
   "MIRELK", id 2, language-neutral; absent unless attach was given them. */
#define LAUNCHER_SETTINGS_ID 2

#ifdef __cplusplus
/* The resource scripts name the types as bare words: PACKAGE, BITMAP. */
constexpr char kPackageResourceType[] = "PACKAGE";
constexpr char kBitmapResourceType[] = "BITMAP";
#endif
