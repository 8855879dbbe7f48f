// The application manifest (RT_MANIFEST 1) that asks Windows for an execution level.
#pragma once

#include <string>
#include <string_view>

namespace pe {

enum class ExecutionLevel { kAsInvoker, kHighestAvailable, kRequireAdministrator };

// "asInvoker", "highestAvailable" or "requireAdministrator"; FormatError otherwise.
ExecutionLevel ParseExecutionLevel(std::string_view name);

// A manifest that says nothing but the requested execution level.
std::string ApplicationManifest(ExecutionLevel level);

}  // namespace pe
