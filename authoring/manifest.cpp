// The application manifest.
#include "authoring/manifest.h"

#include <array>

#include "authoring/pe_image.h"

namespace pe {

namespace {

constexpr std::array<std::string_view, 3> kLevelNames = {"asInvoker", "highestAvailable",
                                                         "requireAdministrator"};

}  // namespace

ExecutionLevel ParseExecutionLevel(std::string_view name) {
  for (std::size_t k = 0; k < kLevelNames.size(); ++k) {
    if (name == kLevelNames[k]) {
      return static_cast<ExecutionLevel>(k);
    }
  }
  throw FormatError("unknown execution level '" + std::string(name) +
                    "' (asInvoker, highestAvailable or requireAdministrator)");
}

std::string ApplicationManifest(ExecutionLevel level) {
  std::string manifest =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
      "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
      "    <security>\r\n"
      "      <requestedPrivileges>\r\n"
      "        <requestedExecutionLevel level=\"";
  manifest += kLevelNames[static_cast<std::size_t>(level)];
  manifest +=
      "\" uiAccess=\"false\"/>\r\n"
      "      </requestedPrivileges>\r\n"
      "    </security>\r\n"
      "  </trustInfo>\r\n"
      "</assembly>\r\n";
  return manifest;
}

}  // namespace pe
