#include "ApplicationDisplayNames.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>

namespace {

// A desktop entry is a few kilobytes; anything else is not read.
const off_t kMaxEntryBytes = 64 * 1024;

bool ReadEntry(int folder, const char* name, std::string& text) {
    const int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxEntryBytes;
    if (ok) {
        text.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (ok && done < text.size()) {
            const ssize_t n = read(fd, &text[done], text.size() - done);
            ok = n > 0;
            if (ok) done += static_cast<size_t>(n);
        }
    }
    close(fd);
    return ok;
}

// The executable an Exec line starts: past "env" and its settings, without quotes and folder.
std::string ExecutableOf(const std::string& exec) {
    std::istringstream words(exec);
    std::string word;
    while (words >> word) {
        if (word == "env" || word.find('=') != std::string::npos) continue;
        if (word.size() >= 2 && (word.front() == '"' || word.front() == '\'')) word = word.substr(1, word.size() - 2);
        return word.substr(word.find_last_of('/') == std::string::npos ? 0 : word.find_last_of('/') + 1);
    }
    return std::string();
}

}  // namespace

const ApplicationDisplayNames& ApplicationDisplayNames::System() {
    static const ApplicationDisplayNames names({"/usr/share/applications", "/usr/local/share/applications"});
    return names;
}

ApplicationDisplayNames::ApplicationDisplayNames(const std::vector<std::string>& folders) {
    for (const std::string& path : folders) {
        const std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(path.c_str()), closedir);
        if (!folder) continue;
        while (struct dirent* entry = readdir(folder.get())) {
            const std::string file = entry->d_name;
            if (file.size() < 9 || file.compare(file.size() - 8, 8, ".desktop") != 0) continue;
            std::string text;
            if (!ReadEntry(dirfd(folder.get()), entry->d_name, text)) continue;
            std::istringstream lines(text);
            std::string line, name, executable;
            bool inEntry = false;
            while (std::getline(lines, line)) {
                if (!line.empty() && line[0] == '[') inEntry = line.compare(0, 15, "[Desktop Entry]") == 0;
                if (!inEntry) continue;
                if (line.compare(0, 5, "Name=") == 0) name = line.substr(5);
                if (line.compare(0, 5, "Exec=") == 0) executable = ExecutableOf(line.substr(5));
            }
            // The first entry for an executable names it.
            if (!name.empty() && !executable.empty()) mNames.insert(std::make_pair(executable, name));
        }
    }
}

std::string ApplicationDisplayNames::NameOf(const std::string& executable) const {
    auto found = mNames.find(executable);
    return found != mNames.end() ? found->second : executable;
}
