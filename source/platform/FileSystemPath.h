// An absolute path in UTF-8; equality is decided by the file system.
#ifndef FILE_SYSTEM_PATH_H
#define FILE_SYSTEM_PATH_H

#include <optional>
#include <string>

class FileSystemPath {
public:
    FileSystemPath();  // the current working directory
    explicit FileSystemPath(const std::string& utf8Path);
    FileSystemPath(const FileSystemPath& other) = default;
    FileSystemPath& operator=(const FileSystemPath& other) = default;
    ~FileSystemPath() = default;

    static FileSystemPath PathFromUTF8(const std::string& text);
    // As PathFromUTF8, without throwing: empty when the text names no path (an empty
    // text included: nothing exists there).
    static std::optional<FileSystemPath> Make(const std::string& text) noexcept;
    static FileSystemPath PathFromNative(const std::string& text);

    std::string AsUTF8String() const { return mPath; }
    std::string AsNative() const { return mPath; }
    std::string NameAsUTF8String() const;
    std::string NameAsNative() const { return NameAsUTF8String(); }
    FileSystemPath Parent() const;

    FileSystemPath& AppendUTF8Segment(const std::string& segment);
    FileSystemPath& AppendNativeSegment(const std::string& segment) { return AppendUTF8Segment(segment); }

    bool operator==(const FileSystemPath& other) const;
    bool operator!=(const FileSystemPath& other) const { return !(*this == other); }

private:
    std::string mPath;
};

namespace FileSystemUtils {
int ValidateUTF8FullPathString(const std::string& path);
// Compares two path tails as the equality test does; exposed for tests.
bool PathTailsEqual(const std::string& left, const std::string& right, bool caseSensitive);
}  // namespace FileSystemUtils

#endif
