// A private folder per test, removed with everything in it afterwards.
#ifndef TEST_SANDBOX_H
#define TEST_SANDBOX_H

#include <string>
#include <vector>

class TestSandbox {
public:
    TestSandbox();
    ~TestSandbox();
    const std::string& Path() const { return mPath; }
    std::string operator/(const std::string& relative) const { return mPath + "/" + relative; }

private:
    std::string mPath;
};

namespace TestFiles {
void Write(const std::string& path, const std::string& contents);  // creates parent folders
std::string Read(const std::string& path);
void MakeFolders(const std::string& path);
void RemoveTree(const std::string& path);
bool Exists(const std::string& path);  // lstat
std::vector<std::string> Lines(const std::string& text);
// What a file holds beyond what it held before; all of it when it was emptied meanwhile
// (the session log is, when it grows large).
std::string Since(const std::string& path, const std::string& before);
}  // namespace TestFiles

// Result of a child process run to its end.
struct ChildResult {
    int status;  // exit status, or 128 + signal
    std::string output;  // standard output and standard error together
};

namespace TestProcess {
// Runs a program with extra environment settings ("NAME=value"; "NAME=" removes it). A run
// still going after deadlineSeconds is killed, and its output ends with a line that says so:
// a test that waits for a window nobody closes then fails where it hung, not at ctest's timeout.
ChildResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                bool dropToNobody = false, int deadlineSeconds = 240);
// Starts a child that keeps running until killed; returns its pid.
int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});
// The uid and gid of the unprivileged account.
bool NobodyIds(unsigned& uid, unsigned& gid);
}  // namespace TestProcess

#endif
