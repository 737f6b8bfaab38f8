// kavex-update: the machine's own way into a bundle as root. Whoever can write a bundle
// folder (a download folder, a removable disk) could change the program in it, or any
// file it reads after its check; so root never runs a bundle where it lies. This program,
// installed by the machine, copies the bundle into a folder only root can write, verifies
// that copy against the machine's keys, and runs the program of the copy, which then reads
// only what was verified.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "AppExitCodes.h"
#include "BundleVerifier.h"
#include "Elevation.h"
#include "ErrorCodes.h"
#include "FileSystemVolume.h"
#include "MOQLogger.h"
#include "MachineEntry.h"
#include "StagingArea.h"
#include "UniqueFd.h"

namespace {

const char* const kProgramInBundle = "Update.app/Contents/MacOS/Update";
const char* const kVersion = KAVEX_VERSION;

const char* const kUsage =
    "Usage: kavex-update [--mode=MODE] [--callerID=ID] [--report=FILE] [--setupTimeout=SECONDS] BUNDLE_FOLDER\n"
    "\n"
    "Runs the patch installer of BUNDLE_FOLDER (the folder that holds Update.app) as root, from a\n"
    "copy that only root can write: the folder is copied into a new staging folder under\n"
    "/var/lib/kavex/staging, the copy is verified against the machine's trusted keys, and the\n"
    "program of the copy runs with the options given. The staging is removed when the run ends.\n"
    "\n"
    "Options (passed to the program; see Update --help):\n"
    "  --mode=MODE             gui (default), silent, check or terminal\n"
    "  --callerID=ID           ZEP6: the update manager started the run\n"
    "  --report=FILE           write the run's JSON report to FILE\n"
    "  --setupTimeout=SECONDS  end a main setup that runs longer\n"
    "  --help                  print this text and exit\n"
    "  --version               print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  The program's (see Update --help); before it runs: 1 when BUNDLE_FOLDER is missing, not\n"
    "  a folder, a link or holds no Update.app; 14 when not run as root; 25 when the staging's\n"
    "  volume has no room for the copy; 35 when the bundle is refused.\n";

pid_t gChild = -1;

void Forward(int signal) {
    if (gChild > 0) kill(gChild, signal);
}

int Fail(unsigned code, const std::string& line) {
    std::cerr << "kavex-update: " << line << std::endl;
    MOQ_LOG("kavex-update: %s\n", line.c_str());
    return static_cast<int>(code);
}

// The snapshot's program, in a child; its end is this process's end.
int RunStaged(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (size_t i = 1; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);
    struct sigaction forward = {};
    forward.sa_handler = Forward;
    sigemptyset(&forward.sa_mask);
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    const int forwarded[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
    for (int signal : forwarded) sigaddset(&blocked, signal);
    // Until the child's pid is known, a stop request waits.
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    for (int signal : forwarded) sigaction(signal, &forward, nullptr);
    gChild = fork();
    if (gChild == 0) {
        struct sigaction standard = {};
        standard.sa_handler = SIG_DFL;
        for (int signal : forwarded) sigaction(signal, &standard, nullptr);
        signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    const int forkError = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (gChild < 0) {
        errno = forkError;
        return Fail(ErrorCodes::kUnknownError, std::string("the program cannot be started: ") + strerror(errno));
    }
    int status = 0;
    while (waitpid(gChild, &status, 0) < 0) {
        if (errno != EINTR) return Fail(ErrorCodes::kUnknownError, std::string("lost the program: ") + strerror(errno));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    MOQ_LOG("kavex-update: the program was ended by signal %d\n", WTERMSIG(status));
    return 128 + WTERMSIG(status);
}

std::string VolumeOf(const std::string& path) {
    const std::optional<FileSystemPath> at = FileSystemPath::Make(path);
    std::optional<FileSystemVolume> volume;
    if (at) volume = FileSystemVolume::Make(*at);
    FileSystemPath mount;
    if (volume && volume->RootPath(mount)) return mount.AsUTF8String();
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args{argc > 0 && argv[0] != nullptr ? argv[0] : "kavex-update"};
    std::vector<std::string> folders;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (argument == "--version") {
            std::cout << "kavex-update " << kVersion << std::endl;
            return 0;
        }
        if (argument.empty() || argument[0] != '-') {
            folders.push_back(argument);
        } else {
            args.push_back(argument);
        }
    }
    if (folders.size() != 1) {
        std::cerr << "kavex-update: name one bundle folder (the folder that holds Update.app)\n\n" << kUsage;
        return static_cast<int>(AppExitCodes::kExitBadArguments);
    }
    if (geteuid() != 0) {
        std::cerr << "kavex-update: runs only as root (through pkexec, sudo, or the update manager)" << std::endl;
        return static_cast<int>(AppExitCodes::kExitInsufficientCredentials);
    }
    MOQ_Logger_Start(true);
    // What the user who asked may steer is dropped here, before any path is looked up.
    args = Elevation::TrustedStart(args);
    const std::string& folder = folders[0];
    MOQ_LOG("kavex-update: staging %s\n", folder.c_str());

    UniqueFd bundle(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!bundle.valid()) {
        const int error = errno;
        struct stat st;
        if (error == ELOOP || (lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) {
            return Fail(AppExitCodes::kExitBadArguments, "the bundle folder " + folder + " is a link; name the folder itself");
        }
        if (error == ENOTDIR) return Fail(AppExitCodes::kExitBadArguments, folder + " is not a folder");
        return Fail(AppExitCodes::kExitBadArguments, "the bundle folder " + folder + " cannot be opened: " + strerror(error));
    }
    struct stat program;
    if (fstatat(bundle.get(), kProgramInBundle, &program, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(program.st_mode)) {
        return Fail(AppExitCodes::kExitBadArguments, folder + " holds no " + kProgramInBundle + " (name the folder that holds Update.app)");
    }

    std::string why;
    StagingArea::Size size;
    if (!StagingArea::Measure(bundle.get(), size, why)) {
        return Fail(ErrorCodes::kBundleSignatureInvalid, "the bundle is refused: " + why);
    }
    std::optional<StagingArea> staging = StagingArea::Create(why);
    if (!staging) return Fail(ErrorCodes::kUnknownError, "no staging folder can be made: " + why);
    struct statvfs space;
    if (statvfs(staging->RunFolder().c_str(), &space) == 0) {
        const uint64_t free = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
        if (free < size.bytes) {
            return Fail(ErrorCodes::kNotEnoughDiskSpace, "not enough disk space on " + VolumeOf(staging->RunFolder()) +
                                                             " to stage the bundle: " + std::to_string(size.bytes) +
                                                             " bytes needed, " + std::to_string(free) + " free");
        }
    }
    if (!staging->CopyIn(bundle.get(), why)) {
        if (errno == ENOSPC || errno == EDQUOT) {
            return Fail(ErrorCodes::kNotEnoughDiskSpace,
                        "not enough disk space on " + VolumeOf(staging->RunFolder()) + " to stage the bundle: " + why);
        }
        if (why.find("changed while it was staged") != std::string::npos) {
            return Fail(ErrorCodes::kBundleSignatureInvalid, "the bundle is refused: " + why);
        }
        return Fail(ErrorCodes::kUnknownError, "the bundle cannot be staged: " + why);
    }
    bundle.reset();
    char absolute[PATH_MAX];
    const std::string source = folder[0] == '/' || getcwd(absolute, sizeof(absolute)) == nullptr
                                   ? folder
                                   : std::string(absolute) + "/" + folder;
    if (!staging->RecordSource(source, why)) return Fail(ErrorCodes::kUnknownError, "the bundle cannot be staged: " + why);
    // The snapshot's program must know itself staged, or it would hand its run back here.
    if (!MachineEntry::IsRootOnlySnapshot(staging->SnapshotFolder())) {
        return Fail(ErrorCodes::kUnknownError, "the staging " + staging->RunFolder() + " is not root's alone");
    }

    // The copies were hashed as they were made, where only root can write: not read again.
    BundleTree::RememberDigests(staging->SnapshotFolder(), std::move(staging->Digests()));
    const BundleVerifier::Verdict& verdict = BundleVerifier::CheckRun(staging->SnapshotFolder());
    MOQ_LOG("kavex-update: bundle signature of the staged copy: %s%s%s%s%s\n", verdict.Name(),
            verdict.keyId.empty() ? "" : ", key ", verdict.keyId.c_str(), verdict.reason.empty() ? "" : " - ",
            verdict.reason.c_str());
    if (verdict.state == BundleVerifier::kInvalid) {
        // The rule in brackets lets the side that shows it find the reason in the user's language.
        return Fail(ErrorCodes::kBundleSignatureInvalid, "the bundle is refused (" + verdict.rule + "): " + verdict.reason);
    }
    const std::string staged = staging->SnapshotFolder() + "/" + kProgramInBundle;
    MOQ_LOG("kavex-update: running %s\n", staged.c_str());
    return RunStaged(staged, args);
}
