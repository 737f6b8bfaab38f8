// The volume that holds a path; copies share one record.
#ifndef FILE_SYSTEM_VOLUME_H
#define FILE_SYSTEM_VOLUME_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "FileSystemPath.h"

class FileSystemVolume {
public:
    explicit FileSystemVolume(const FileSystemPath& path);  // throws when no volume holds it
    // The same without throwing: empty when no volume holds the path.
    static std::optional<FileSystemVolume> Make(const FileSystemPath& path) noexcept;

    bool operator==(const FileSystemVolume& other) const;
    bool operator!=(const FileSystemVolume& other) const { return !(*this == other); }

    bool RootPath(FileSystemPath& out) const;
    bool FreeSpaceInBytes(uint64_t& out) const;
    bool CapacityInBytes(uint64_t& out) const;
    bool FriendlyNameUTF8(std::string& out) const;
    bool FileSystemTypeName(std::string& out) const;
    bool IsLocal(bool& out) const;
    bool IsCaseSensitive(bool& out) const;

private:
    struct Data;
    std::shared_ptr<Data> mData;
};

#endif
