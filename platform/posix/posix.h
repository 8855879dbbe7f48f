// The POSIX side's operations, gathered into kSystemPlatform by platform.cpp.
#pragma once

#include "platform/platform.h"

bool PosixLookUpResource(const char* type, int id, PlatformResource* out);
bool PosixWriteResourceToFile(const PlatformResource* resource, const char* path);
bool PosixReadResource(const PlatformResource* resource, void* out);
