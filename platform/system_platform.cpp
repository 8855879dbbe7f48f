// The system's table, gathered from the parts its folder defines. Constant
// initialization alone: the table is whole before any code runs.
#include "platform/platform.h"

constinit const PlatformOps kSystemPlatform = {
    .text = &kSystemText,
    .workspace = &kSystemWorkspace,
    .resources = &kSystemResources,
    .streams = &kSystemStreams,
    .treeWalk = &kSystemTreeWalk,
    .entryDirectories = &kSystemEntryDirectories,
    .processes = &kSystemProcesses,
    .descendants = &kSystemDescendants,
    .splash = &kSystemSplash,
    .clock = &kSystemClock,
};

constinit const PlatformOps* gPlatform = &kSystemPlatform;
