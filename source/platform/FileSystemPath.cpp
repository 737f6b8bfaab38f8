#include "FileSystemPath.h"

#include <errno.h>
#include <libgen.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "UnicodeText.h"
#include "VolumeProbe.h"

namespace {

// The system's limit, its terminating zero excluded.
const size_t kMaxPathLength = PATH_MAX - 1;
const size_t kMaxComponentLength = 255;

struct Ancestor {
    dev_t device;
    ino_t inode;
    std::string path;
    bool hasTail;
};

// Walks up to the deepest part of the path that exists; only "not found"
// lets the walk go on, any other error is a failure.
bool DeepestExistingAncestor(const FileSystemPath& path, Ancestor& out) {
    const std::string full = path.AsUTF8String();
    FileSystemPath current = path;
    for (;;) {
        const std::string text = current.AsUTF8String();
        struct stat st;
        if (stat(text.c_str(), &st) == 0) {
            out.device = st.st_dev;
            out.inode = st.st_ino;
            out.path = text;
            out.hasTail = text != full;
            return true;
        }
        if (errno != ENOENT) return false;
        FileSystemPath parent = current.Parent();
        if (parent.AsUTF8String() == text) return false;
        current = parent;
    }
}

std::string TailOf(const std::string& full, const Ancestor& ancestor) {
    return ancestor.hasTail ? full.substr(ancestor.path.size()) : std::string();
}

}  // namespace

namespace FileSystemUtils {

int ValidateUTF8FullPathString(const std::string& path) {
    if (path.empty() || path[0] != '/') return 3;
    if (path.size() > kMaxPathLength) return 2;
    size_t start = 1;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        size_t end = slash == std::string::npos ? path.size() : slash;
        if (end - start > kMaxComponentLength) return 2;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return 0;
}

bool PathTailsEqual(const std::string& left, const std::string& right, bool caseSensitive) {
    if (!UnicodeText::IsValidUTF8(left) || !UnicodeText::IsValidUTF8(right)) {
        throw std::runtime_error("Unable to form CFStringRef of paths for comparison.");
    }
    if (caseSensitive) return left == right;
    return UnicodeText::EqualIgnoringCase(left, right);
}

}  // namespace FileSystemUtils

FileSystemPath::FileSystemPath() {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof(buffer)) == nullptr) throw std::runtime_error("Unable to get current working directory.");
    mPath = buffer;
}

FileSystemPath::FileSystemPath(const std::string& utf8Path) {
    if (FileSystemUtils::ValidateUTF8FullPathString(utf8Path) != 0) {
        throw std::runtime_error("Invalid path passed to FileSystemPath constructor.");
    }
    mPath = utf8Path;
    while (mPath.size() > 1 && mPath.back() == '/') mPath.pop_back();
}

FileSystemPath FileSystemPath::PathFromUTF8(const std::string& text) {
    if (!text.empty() && text[0] == '/') return FileSystemPath(text);
    FileSystemPath path;
    path.AppendUTF8Segment(text);
    return path;
}

std::optional<FileSystemPath> FileSystemPath::Make(const std::string& text) noexcept {
    if (text.empty()) return std::nullopt;
    try {
        return PathFromUTF8(text);
    } catch (...) {
        return std::nullopt;
    }
}

FileSystemPath FileSystemPath::PathFromNative(const std::string& text) { return PathFromUTF8(text); }

std::string FileSystemPath::NameAsUTF8String() const {
    std::vector<char> copy(mPath.begin(), mPath.end());
    copy.push_back('\0');
    const char* name = basename(copy.data());
    if (name == nullptr) throw std::runtime_error("Unable to get path base name.");
    return name;
}

FileSystemPath FileSystemPath::Parent() const {
    std::vector<char> copy(mPath.begin(), mPath.end());
    copy.push_back('\0');
    const char* parent = dirname(copy.data());
    if (parent == nullptr) throw std::runtime_error("Unable to get path parent.");
    return FileSystemPath(std::string(parent));
}

FileSystemPath& FileSystemPath::AppendUTF8Segment(const std::string& segment) {
    size_t skip = segment.find_first_not_of('/');
    if (skip == std::string::npos) skip = segment.size();
    if (mPath.empty() || mPath.back() != '/') mPath += '/';
    mPath.append(segment, skip, std::string::npos);
    return *this;
}

bool FileSystemPath::operator==(const FileSystemPath& other) const {
    Ancestor left, right;
    if (!DeepestExistingAncestor(*this, left)) {
        throw std::runtime_error("Comparison of paths cannot succeed because the left-hand-side is invalid.");
    }
    if (!DeepestExistingAncestor(other, right)) {
        throw std::runtime_error("Comparison of paths cannot succeed because the right-hand-side is invalid.");
    }
    if (left.device != right.device || left.inode != right.inode) return false;
    bool caseSensitive = true;
    if (!VolumeProbe::IsCaseSensitiveAt(left.path, caseSensitive)) {
        throw std::runtime_error("Comparison of paths cannot succeed due to FSGetCatalogInfo errors.");
    }
    return FileSystemUtils::PathTailsEqual(TailOf(mPath, left), TailOf(other.mPath, right), caseSensitive);
}
