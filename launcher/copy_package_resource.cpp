// Copying the package resource, byte for byte, to the package copy file.
#include "format/resource_ids.h"
#include "launcher/launcher.h"

bool CopyPackageResource(const char* packageCopyPath) {
  PlatformResource package = {};
  // A launcher built without a package has nothing to copy.
  if (!gPlatform->resources->LookUpResource(kPackageResourceType, PACKAGE_RESOURCE_ID, &package)) {
    return false;
  }
  return gPlatform->resources->WriteResourceToFile(&package, packageCopyPath);
}
