// The system's table, gathered from the parts its folder defines. Constant
// initialization alone: the table is whole before any code runs.
#include "platform/platform.h"

constinit const PlatformOps kSystemPlatform = {&kSystemText,      &kSystemWorkspace,
                                               &kSystemResources, &kSystemStreams,
                                               &kSystemTreeWalk,  &kSystemEntryDirectories,
                                               &kSystemProcesses, &kSystemDescendants,
                                               &kSystemSplash,    &kSystemClock};

constinit const PlatformOps* gPlatform = &kSystemPlatform;
