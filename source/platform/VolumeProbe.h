// Linux volume facts shared by paths and volumes.
#ifndef VOLUME_PROBE_H
#define VOLUME_PROBE_H

#include <string>

namespace VolumeProbe {
struct MountEntry {
    std::string mountPoint;
    std::string fsType;
    std::string source;
};
// The mount that holds an existing path (the topmost one on that mount point).
bool MountFor(const std::string& existingPath, MountEntry& out);
// Case sensitivity by file-system type name; vfat, exfat, ntfs and kin fold case.
bool TypeIsCaseSensitive(const std::string& fsType);
// Case sensitivity of the volume that holds an existing path.
bool IsCaseSensitiveAt(const std::string& existingPath, bool& sensitive);
}  // namespace VolumeProbe

#endif
