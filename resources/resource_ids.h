/* Resource ids, shared by the launcher's code and its resource scripts. */
#pragma once

#define PACKAGE_RESOURCE_ID 105
#define SPLASH_BITMAP_ID 106
#define PROGRAM_ICON_ID 101
