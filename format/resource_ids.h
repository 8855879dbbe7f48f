/* The launcher's resources: ids shared by its code, mirelk-pack and the
   resource scripts (which read this file as C), and the type names. */
#pragma once

#define PROGRAM_ICON_ID 101
#define PACKAGE_RESOURCE_ID 105
#define SPLASH_BITMAP_ID 106

#ifdef __cplusplus
/* The resource scripts name the types as bare words: PACKAGE, BITMAP. */
constexpr char kPackageResourceType[] = "PACKAGE";
constexpr char kBitmapResourceType[] = "BITMAP";
#endif
