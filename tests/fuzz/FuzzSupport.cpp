#include "FuzzSupport.h"

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace {

std::string MakeRoot() {
    char pattern[] = "/tmp/update-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        perror("mkdtemp");
        abort();
    }
    setenv("KAVEX_SYSTEM_ROOT", made, 1);
    return made;
}

struct RootFolder {
    std::string path = MakeRoot();
    ~RootFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// A string as the writer makes it, from its opening quote; false when it never closes.
bool SkipString(const std::string& text, size_t& at) {
    if (at >= text.size() || text[at] != '"') return false;
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c == '\\') {
            if (++at >= text.size()) return false;
            const char escaped = text[at];
            if (escaped != '"' && escaped != '\\' && escaped != '\'' && escaped != 'n' && escaped != 'r') return false;
        } else if (c == '\n') {
            return false;  // the writer always escapes line feeds
        }
    }
    return false;
}

bool SkipObject(const std::string& text, size_t& at, int depth) {
    if (depth > 8 || at >= text.size() || text[at] != '{') return false;
    ++at;
    if (at < text.size() && text[at] == '}') {
        ++at;
        return true;
    }
    for (;;) {
        if (!SkipString(text, at) || at >= text.size() || text[at] != ':') return false;
        ++at;
        if (at < text.size() && text[at] == '{') {
            if (!SkipObject(text, at, depth + 1)) return false;
        } else if (!SkipString(text, at)) {
            return false;
        }
        if (at < text.size() && text[at] == ',') {
            ++at;
            continue;
        }
        if (at < text.size() && text[at] == '}') {
            ++at;
            return true;
        }
        return false;
    }
}

}  // namespace

namespace FuzzSupport {

const std::string& Root() {
    static RootFolder root;
    return root.path;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        perror(path.c_str());
        abort();
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            perror("write");
            abort();
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

void IsolateNamedLocks() {
    if (unshare(CLONE_NEWIPC) == 0 || unshare(CLONE_NEWUSER | CLONE_NEWIPC) == 0) return;
    perror("no IPC namespace of its own for the named locks");
    exit(1);
}

bool IsPageAnswer(const std::string& text) {
    size_t at = 0;
    return SkipObject(text, at, 0) && at == text.size();
}

void Finding(const char* what, const std::string& detail) {
    fprintf(stderr, "FINDING: %s\n%s\n", what, detail.c_str());
    abort();
}

}  // namespace FuzzSupport
