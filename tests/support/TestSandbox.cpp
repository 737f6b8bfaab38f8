#include "TestSandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

TestSandbox::TestSandbox() {
    char templ[] = "/tmp/update-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("cannot create sandbox");
    mPath = templ;
    chmod(mPath.c_str(), 0755);
}

TestSandbox::~TestSandbox() { TestFiles::RemoveTree(mPath); }

namespace TestFiles {

void MakeFolders(const std::string& path) {
    if (path.empty() || path == "/") return;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return;
    MakeFolders(path.substr(0, path.find_last_of('/')));
    mkdir(path.c_str(), 0755);
}

void Write(const std::string& path, const std::string& contents) {
    MakeFolders(path.substr(0, path.find_last_of('/')));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0755);
        if (DIR* dir = opendir(path.c_str())) {
            while (struct dirent* entry = readdir(dir)) {
                if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
                RemoveTree(path + "/" + entry->d_name);
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string Since(const std::string& path, const std::string& before) {
    const std::string text = Read(path);
    return text.compare(0, before.size(), before) == 0 ? text.substr(before.size()) : text;
}

}  // namespace TestFiles

namespace TestProcess {

bool NobodyIds(unsigned& uid, unsigned& gid) {
    struct passwd* pw = getpwnam("nobody");
    if (pw == nullptr) return false;
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    return true;
}

namespace {
void ApplyEnvironment(const std::vector<std::string>& environment) {
    for (const std::string& setting : environment) {
        size_t eq = setting.find('=');
        std::string name = setting.substr(0, eq);
        std::string value = setting.substr(eq + 1);
        if (value.empty()) unsetenv(name.c_str());
        else setenv(name.c_str(), value.c_str(), 1);
    }
}
}  // namespace

ChildResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& environment, bool dropToNobody,
                int deadlineSeconds) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        ApplyEnvironment(environment);
        if (dropToNobody) {
            unsigned uid = 0, gid = 0;
            if (!NobodyIds(uid, gid) || setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(120);
        }
        // After the change of user, which clears it: a run that hangs dies with its test.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeFds[1]);
    ChildResult result;
    char buffer[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadlineSeconds);
    bool killed = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        struct pollfd readable{pipeFds[0], POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            if (killed) break;  // what the run started still holds its output open
            kill(pid, SIGKILL);
            killed = true;
            result.output += "\n[the test ended this run: still going after " + std::to_string(deadlineSeconds) + " s]\n";
            deadlineSeconds = 5;
            deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadlineSeconds);
            continue;
        }
        const ssize_t n = read(pipeFds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    // Returns once the child runs the program: the pipe closes at its exec.
    int execed[2];
    if (pipe2(execed, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        close(execed[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that crashed
        ApplyEnvironment(environment);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        (void)!write(execed[1], "x", 1);
        _exit(127);
    }
    close(execed[1]);
    char failed;
    ssize_t n;
    while ((n = read(execed[0], &failed, 1)) < 0 && errno == EINTR) {
    }
    close(execed[0]);
    return pid;
}

}  // namespace TestProcess
