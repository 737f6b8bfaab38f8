// What the program, run as root against a sandbox machine, refuses to do to it:
// each case is set up as an ordinary user or an unlucky machine would leave it.
#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sqlite3.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "NamedLock.h"
#include "SetupGate.h"
#include "SilentRunFixture.h"

namespace {

struct stat Lstat(const std::string& path) {
    struct stat st;
    memset(&st, 0, sizeof(st));
    EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
    return st;
}

// A FIFO on which stand-in setups told "started=" announce their pids.
class Announcements {
public:
    explicit Announcements(const std::string& path) : mPath(path) {
        if (mkfifo(path.c_str(), 0600) == 0) mFd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_GE(mFd, 0) << path;
    }
    ~Announcements() {
        if (mFd >= 0) close(mFd);
    }
    // The next setup's pid; 0 when the launching process ended first.
    int Next(int launcher) {
        const int ended = static_cast<int>(syscall(SYS_pidfd_open, launcher, 0));
        for (;;) {
            const size_t eol = mPending.find('\n');
            if (eol != std::string::npos) {
                const int pid = atoi(mPending.substr(0, eol).c_str());
                mPending.erase(0, eol + 1);
                if (ended >= 0) close(ended);
                return pid;
            }
            struct pollfd waits[2] = {{mFd, POLLIN, 0}, {ended, POLLIN, 0}};
            if (poll(waits, 2, -1) < 0 && errno != EINTR) break;
            if (waits[0].revents & POLLIN) {
                char buffer[64];
                const ssize_t n = read(mFd, buffer, sizeof(buffer));
                if (n > 0) mPending.append(buffer, static_cast<size_t>(n));
            } else if (waits[1].revents != 0) {
                break;
            }
        }
        if (ended >= 0) close(ended);
        return 0;
    }
    const std::string& Path() const { return mPath; }

private:
    std::string mPath;
    int mFd = -1;
    std::string mPending;
};

// Orphans of the processes this test starts become its children, for as long as it lives.
struct Subreaper {
    Subreaper() { EXPECT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1)); }
    ~Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

char ProcessState(int pid) {
    const std::string stat = TestFiles::Read("/proc/" + std::to_string(pid) + "/stat");
    const size_t name = stat.rfind(')');
    return name != std::string::npos && name + 2 < stat.size() ? stat[name + 2] : '?';
}

// What a folder holds, entry by entry, without what the stand-in setup writes of its own.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    namespace fs = std::filesystem;
    static const std::set<std::string> own = {"invocations.log", "launch-order.log", ".setup-running.lock", "standin.conf"};
    std::map<std::string, std::string> entries;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(folder, error))) return entries;
    for (auto it = fs::recursive_directory_iterator(folder, error); it != fs::recursive_directory_iterator(); ++it) {
        const std::string path = it->path().string().substr(folder.size());
        if (own.count(it->path().filename().string())) continue;
        const fs::file_status status = it->symlink_status();
        if (fs::is_symlink(status)) {
            entries[path] = "link " + fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(status)) {
            entries[path] = "folder";
        } else {
            entries[path] = "file " + std::to_string(static_cast<unsigned>(status.permissions())) + " " + TestFiles::Read(it->path().string());
        }
    }
    return entries;
}

// Names of the run's own temporary and staged files left anywhere below folder.
std::vector<std::string> Leftovers(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> found;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); it != fs::recursive_directory_iterator(); ++it) {
        const std::string name = it->path().filename().string();
        if (name.find(".kavex-") != std::string::npos || name.rfind(".undo") != std::string::npos) found.push_back(it->path().string());
    }
    return found;
}

bool StoreOpens(const std::string& path) {
    sqlite3* db = nullptr;
    std::string answer;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(db, "PRAGMA integrity_check", [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) += values[0] != nullptr ? values[0] : "";
            return 0;
        }, &answer, nullptr);
    }
    sqlite3_close(db);
    return answer == "ok";
}

class Safety : public SilentRun {
protected:
    // Whether the store records code installed in the installation of session.
    bool RecordedInstalled(const std::string& code, const std::string& session) const {
        sqlite3* db = nullptr;
        int count = 0;
        if (sqlite3_open_v2(Store().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            char* sql = sqlite3_mprintf(
                "SELECT count(*) FROM vorn_collection_payload p JOIN collection_data d ON d.collectionID = p.collectionID "
                "WHERE d.domain = 5 AND d.key = 'sessionID' AND d.value = '%q' AND p.payloadID = '%q' AND p.installState = 2",
                session.c_str(), code.c_str());
            sqlite3_exec(db, sql, [](void* out, int, char** values, char**) {
                *static_cast<int*>(out) = atoi(values[0]);
                return 0;
            }, &count, nullptr);
            sqlite3_free(sql);
        }
        sqlite3_close(db);
        return count > 0;
    }
    std::string Installers() const { return machine + "/Library/Application Support/Kavex/Installers"; }
    std::string Store() const { return machine + "/Library/Application Support/Kavex/moxa/moxa.db"; }
    std::string Backup() const { return machine + "/Library/Application Support/Kavex/backup/moxa.db"; }
    size_t Launches(const std::string& session) const {
        const std::string log = SetupFolder(session) + "/invocations.log";
        return TestFiles::Exists(log) ? TestFiles::Lines(TestFiles::Read(log)).size() : 0;
    }
    std::string Log() const { return TestFiles::Read("/tmp/moq.log"); }
};

// A bundle in a folder that an ordinary user can write to, run twice by root.
TEST_F(Safety, LinksSwappedInBetweenTwoRunsAreNeverFollowed) {
    for (const char* session : {"{S1}", "{S2}"}) TestFiles::Write(SetupFolder(session) + "/standin.conf", "");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "P1");
    unsigned uid = 0, gid = 0;
    ASSERT_TRUE(TestProcess::NobodyIds(uid, gid));
    const std::string data = bundle.Root() + "/extensions/P1/P1.data";
    ASSERT_EQ(0, chown(data.c_str(), uid, gid));
    ASSERT_EQ(0, chmod(data.c_str(), 0666));
    TestFiles::Write(box / "secret/file", "root only");
    ASSERT_EQ(0, chmod((box / "secret/file").c_str(), 0600));
    ASSERT_EQ(0, chmod((box / "secret").c_str(), 0700));
    TestFiles::MakeFolders(bundle.Root() + "/extensions/runtime");
    ASSERT_EQ(0, symlink((box / "secret").c_str(), (bundle.Root() + "/extensions/runtime/etc").c_str()));
    ChildResult first = Run();
    ASSERT_EQ(0, first.status) << first.output;
    EXPECT_TRUE(S_ISLNK(Lstat(Installers() + "/R2/etc").st_mode));  // copied as a link, not through it

    // The user swaps the data file for a link to a root-only file, the runtime link for a folder.
    ASSERT_EQ(0, unlink(data.c_str()));
    ASSERT_EQ(0, symlink((box / "secret/file").c_str(), data.c_str()));
    ASSERT_EQ(0, unlink((bundle.Root() + "/extensions/runtime/etc").c_str()));
    TestFiles::Write(bundle.Root() + "/extensions/runtime/etc/planted", "user's file");
    ChildResult second = Run();
    EXPECT_EQ(0, second.status) << second.output;
    EXPECT_EQ(2u, Launches("{S1}"));
    const struct stat secret = Lstat(box / "secret/file");
    EXPECT_EQ(0u, secret.st_uid);
    EXPECT_EQ(0600u, secret.st_mode & 07777);
    EXPECT_EQ("root only", TestFiles::Read(box / "secret/file"));
    EXPECT_FALSE(TestFiles::Exists(box / "secret/planted"));
    EXPECT_TRUE(S_ISDIR(Lstat(Installers() + "/R2/etc").st_mode));
    EXPECT_EQ("user's file", TestFiles::Read(Installers() + "/R2/etc/planted"));
    EXPECT_TRUE(S_ISLNK(Lstat(Installers() + "/{S1}/extensions/P1/P1.data").st_mode));
}

TEST_F(Safety, AMissingOrEmptiedStoreIsRestoredAndItsBackupNeverLost) {
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    store.Save();
    const std::string backup = TestFiles::Read(Backup());
    ASSERT_FALSE(backup.empty());
    ASSERT_EQ(0, truncate(Store().c_str(), 0));
    ChildResult emptied = TestProcess::Run({program, "--mode=silent", "--callerID=ZEP6"}, Environment());
    EXPECT_EQ(0, emptied.status) << emptied.output;  // the registry came back: the patch was found applicable
    EXPECT_NE(std::string::npos, Log().find("restored from its backup"));
    EXPECT_GT(Lstat(Store()).st_size, 0);
    EXPECT_GT(Lstat(Backup()).st_size, 0);

    // No store and no backup: nothing is created, and the run fails instead of finding nothing.
    ASSERT_EQ(0, unlink(Store().c_str()));
    ASSERT_EQ(0, unlink(Backup().c_str()));
    ChildResult missing = TestProcess::Run({program, "--mode=silent", "--callerID=ZEP6"}, Environment());
    EXPECT_EQ(31, missing.status) << missing.output;
    EXPECT_FALSE(TestFiles::Exists(Store()));
    EXPECT_FALSE(TestFiles::Exists(Backup()));
}

TEST_F(Safety, AStoreHeldBusyByAnotherWriterIsNeverSuccess) {
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    store.Save();
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(Store().c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
    ChildResult run = TestProcess::Run({program, "--mode=silent", "--callerID=ZEP6"}, Environment());
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(34, run.status) << run.output;
    EXPECT_EQ("result=2\nmessage=\n", Results());
    EXPECT_NE(std::string::npos, Log().find("The installed-products store cannot be opened (store code 14)"));
    EXPECT_EQ(0u, Launches("{S1}"));
}

// The family's locks as an ordinary user could leave them; in a private IPC namespace.
TEST_F(Safety, LockSetsMadeByAnOrdinaryUserAreReplaced) {
    ASSERT_EQ(0, unshare(CLONE_NEWIPC));
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    unsigned uid = 0, gid = 0;
    ASSERT_TRUE(TestProcess::NobodyIds(uid, gid));
    for (const char* name : {"VORNPatchLock", "VORNSetupLock"}) {
        int key = 0;
        ASSERT_TRUE(NamedLock::KeyForName(name, key));
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
            // held at 0 for ever, and open to everybody
            const int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0666);
            _exit(id >= 0 && semctl(id, 0, SETVAL, 0) == 0 ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_EQ(0, status) << name;
    }
    ChildResult run = Run();
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_EQ(2u, Launches("{S1}") + Launches("{S2}"));
    EXPECT_NE(std::string::npos, Log().find("Named lock VORNPatchLock: set made by uid " + std::to_string(uid)));
}

// The patcher killed while a slow setup runs: the setup outlives it and must not run twice at
// once; once it has ended it holds nothing, though it stays a zombie until it is reaped.
TEST_F(Safety, ASetupStillRunningFromAKilledRunIsNotLaunchedAgain) {
    SetupGate setupEnds(box / "setup-ends");
    Announcements started(box / "started");
    for (const char* session : {"{S1}", "{S2}"}) {
        TestFiles::Write(SetupFolder(session) + "/standin.conf",
                         "started=" + started.Path() + "\nhold=" + setupEnds.Path() + "\n");
    }
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    store.Save();
    Subreaper orphansComeHere;
    const int patcher = TestProcess::Spawn({program, "--mode=silent", "--callerID=ZEP6"}, Environment());
    const int setup = started.Next(patcher);
    ASSERT_GT(setup, 0);
    ASSERT_EQ(1u, Launches("{S1}"));
    kill(patcher, SIGKILL);
    waitpid(patcher, nullptr, 0);
    ChildResult again = TestProcess::Run({program, "--mode=silent", "--callerID=ZEP6"}, Environment());
    EXPECT_EQ(34, again.status) << again.output;
    EXPECT_EQ(1u, Launches("{S1}"));
    EXPECT_EQ(0u, Launches("{S2}"));
    EXPECT_NE(std::string::npos, Log().find("A setup started earlier still runs in"));

    // Ended, not yet reaped: a zombie, which runs nothing.
    setupEnds.LetGo();
    siginfo_t ended;
    ASSERT_EQ(0, waitid(P_PID, static_cast<id_t>(setup), &ended, WEXITED | WNOWAIT));
    EXPECT_EQ('Z', ProcessState(setup));
    ChildResult free = TestProcess::Run({program, "--mode=silent", "--callerID=ZEP6"}, Environment());
    EXPECT_EQ(0, free.status) << free.output;
    EXPECT_EQ(2u, Launches("{S1}"));
    EXPECT_EQ(1u, Launches("{S2}"));
    waitpid(setup, nullptr, 0);
}

// A bundle on a mount an ordinary user can present (nosuid, nodev) carries a set-uid program, a
// set-gid folder, a FIFO and, where the machine lets root make one, a device: root's copies are
// plain, root's own, and a patch whose own data file is a FIFO is not launched.
TEST_F(Safety, RootsCopiesMakeNoSetIdProgramsAndNoDevices) {
    for (const char* session : {"{S1}", "{S2}"}) TestFiles::Write(SetupFolder(session) + "/standin.conf", "");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "P1");
    unsigned uid = 0, gid = 0;
    ASSERT_TRUE(TestProcess::NobodyIds(uid, gid));
    const std::string runtime = bundle.Root() + "/extensions/runtime";
    TestFiles::Write(runtime + "/bin/helper", "#!/bin/sh\nid -u\n");
    ASSERT_EQ(0, chown((runtime + "/bin/helper").c_str(), uid, gid));
    ASSERT_EQ(0, chmod((runtime + "/bin/helper").c_str(), 04755));
    ASSERT_EQ(0, chmod((runtime + "/bin").c_str(), 02775));
    ASSERT_EQ(0, mkfifo((runtime + "/pipe").c_str(), 0666));
    const bool device = mknod((runtime + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    ChildResult run = Run();
    EXPECT_EQ(0, run.status) << run.output;
    const std::string r2 = Installers() + "/R2";
    const struct stat helper = Lstat(r2 + "/bin/helper");
    EXPECT_EQ(0755u, helper.st_mode & 07777);
    EXPECT_EQ(0u, helper.st_uid);
    EXPECT_EQ(0u, helper.st_gid);
    EXPECT_EQ(0755u, Lstat(r2 + "/bin").st_mode & 07777);  // a set-gid folder would hand its group on
    EXPECT_FALSE(TestFiles::Exists(r2 + "/pipe"));
    EXPECT_FALSE(TestFiles::Exists(r2 + "/null"));
    EXPECT_NE(std::string::npos, Log().find("Not copied: " + runtime + "/pipe is a FIFO"));
    if (device) {
        EXPECT_NE(std::string::npos, Log().find("Not copied: " + runtime + "/null is a character device"));
    }

    // The patch's own data file a FIFO: its setup would run without it.
    bundle.AddPatch(Patch("{PATCH2}", "Suite Update", "1.0.2", "{BASE}"), "P2");
    const std::string data = bundle.Root() + "/extensions/P2/P2.data";
    ASSERT_EQ(0, unlink(data.c_str()));
    ASSERT_EQ(0, mkfifo(data.c_str(), 0666));
    ChildResult fifo = Run();
    EXPECT_EQ(28, fifo.status) << fifo.output;
    EXPECT_EQ(std::string::npos, TestFiles::Read(SetupFolder("{S1}") + "/invocations.log").find("{PATCH2}"));
    EXPECT_NE(std::string::npos, Log().find("P2.data is a FIFO, not copied"));
}

// A setup that leaves a daemon holding its output, writes 100 MB of output, or never ends:
// the run waits for the setup only, logs a bounded part of what it said, and a limit ends it.
TEST_F(Safety, WhatASetupLeavesBehindDoesNotHoldTheMachine) {
    SetupGate daemonEnds(box / "daemon-ends");
    TestFiles::Write(SetupFolder("{S1}") + "/standin.conf",
                     "daemon=" + daemonEnds.Path() + "\noutput=104857600\nrecord-installed=1\n");
    TestFiles::Write(SetupFolder("{S2}") + "/standin.conf", "record-installed=1\n");
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    const std::string logBefore = Log();
    ChildResult run = Run();
    EXPECT_EQ(0, run.status) << run.output;
    const int daemon = atoi(TestFiles::Read(SetupFolder("{S1}") + "/daemon.pid").c_str());
    ASSERT_GT(daemon, 0);
    const std::string state = TestFiles::Read("/proc/" + std::to_string(daemon) + "/stat");
    EXPECT_TRUE(!state.empty() && state.find(") Z") == std::string::npos) << "the run waited for what the setup left behind";
    const std::string written = TestFiles::Since("/tmp/moq.log", logBefore);
    EXPECT_LT(written.size(), 1024u * 1024u);
    EXPECT_NE(std::string::npos, written.find("Setup output: output line 0 of a chatty setup"));
    EXPECT_NE(std::string::npos, written.find("of output left out; the last 50 follow]"));

    // The daemon still runs: it holds no lock of the run, so the next run is not turned away.
    ChildResult again = Run();
    EXPECT_EQ(29, again.status) << again.output;
    daemonEnds.LetGo();

    // A setup that never ends is ended by --setupTimeout; the report says so.
    bundle.AddPatch(Patch("{PATCH2}", "Suite Update", "1.0.2", "{BASE}"), "P2");
    SetupGate never(box / "never");
    TestFiles::Write(SetupFolder("{S1}") + "/standin.conf", "hold=" + never.Path() + "\n");
    const std::string report = box / "report.json";
    ChildResult limited = TestProcess::Run(
        {program, "--mode=silent", "--callerID=ZEP6", "--setupTimeout=1", "--report=" + report}, Environment());
    EXPECT_EQ(28, limited.status) << limited.output;
    const std::string json = TestFiles::Read(report);
    EXPECT_NE(std::string::npos, json.find("\"timedOut\": true")) << json;
    EXPECT_NE(std::string::npos, json.find("\"result\": 28")) << json;
    EXPECT_NE(std::string::npos, Log().find("ran past its time limit of 1 seconds and was ended"));
    ChildResult badLimit = TestProcess::Run({program, "--mode=silent", "--setupTimeout=soon"}, Environment());
    EXPECT_EQ(1, badLimit.status) << badLimit.output;
}

// The working folder stays the caller's; the report is written whole, beside itself, one value a line.
TEST_F(Safety, TheResultsReportIsWrittenWholeWhereTheCallerSaid) {
    TestFiles::Write(SetupFolder("{S1}") + "/standin.conf", "exit=7\n");
    ProxyFields patch = Patch("{PATCH}", "Suite\nresult=0", "1.0.1", "{BASE}");
    bundle.AddPatch(patch, "Update");
    TestFiles::Write(box / "victim", "keep");
    ASSERT_EQ(0, symlink((box / "victim").c_str(), results.c_str()));
    ASSERT_EQ(0, chdir(box.Path().c_str()));
    std::vector<std::string> environment = Environment();
    ChildResult run = Run();
    EXPECT_EQ(28, run.status) << run.output;
    EXPECT_EQ("keep", TestFiles::Read(box / "victim"));
    EXPECT_TRUE(S_ISREG(Lstat(results).st_mode));
    const std::vector<std::string> lines = TestFiles::Lines(Results());
    ASSERT_EQ(2u, lines.size()) << Results();
    EXPECT_EQ("result=4", lines[0]);
    EXPECT_EQ(0u, lines[1].find("message=Suite result=0 1.0.1"));

    // a relative results path is the caller's, and a pipe there is replaced, not waited on
    ASSERT_EQ(0, mkfifo((box / "relative.txt").c_str(), 0600));
    environment.push_back("KAVEX_UPDATER_RESULTS=relative.txt");
    ChildResult relative = TestProcess::Run({program, "--mode=silent", "--callerID=ZEP6"}, environment);
    EXPECT_EQ(28, relative.status) << relative.output;
    EXPECT_EQ(0u, TestFiles::Read(box / "relative.txt").find("result=4\n"));
    EXPECT_FALSE(TestFiles::Exists(SetupFolder("{S1}") + "/relative.txt"));
}

TEST_F(Safety, ACopyThatFailsKeepsItsSetupFromStarting) {
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"));
    TestFiles::Write(bundle.Root() + "/extensions/runtime/lib/part", "runtime");
    TestFiles::Write(Installers() + "/R2", "a file where the runtime folder goes");
    ChildResult run = Run();
    EXPECT_EQ(28, run.status) << run.output;
    EXPECT_EQ(0u, Launches("{S1}") + Launches("{S2}"));
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Copy failed: " + SetupFolder("{S1}") + "/../R2: not a folder of its own"));
    EXPECT_NE(std::string::npos, log.find("could not all be put beside its setup: not launched"));
}

TEST_F(Safety, BrokenBundlesNeverEndAsSuccess) {
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "P1");
    const std::string proxy = bundle.Root() + "/extensions/P1/P1.proxy.xml";
    ASSERT_EQ(0, unlink(proxy.c_str()));
    ASSERT_EQ(0, symlink((box / "nowhere").c_str(), proxy.c_str()));
    ChildResult dangling = Run();
    EXPECT_EQ(255, dangling.status) << dangling.output;  // the unknown error, seen through 8 bits
    EXPECT_EQ(0u, Launches("{S1}"));

    TestFiles::RemoveTree(bundle.Root() + "/extensions");
    TestFiles::Write(bundle.Root() + "/extensions", "not a folder");
    ChildResult plainFile = Run();
    EXPECT_EQ(255, plainFile.status) << plainFile.output;
    EXPECT_NE(std::string::npos, Log().find("The extensions folder cannot be read"));
}

// The run killed at its N-th call of the file table (every N; should the count grow past a
// thousand, every call around a rename and a stride of the rest), then run again with setups that fail: each cached installer is then either as it was
// or as the finished launch left it, as the store records; the store and its backup open; the
// killed run reports nothing; nothing of its own is left behind.
TEST_F(Safety, ARunKilledAtAnyCallLeavesEachInstallerOldOrNew) {
    ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));  // a killed run's setup is reaped here
    for (const char* session : {"{S1}", "{S2}"}) {
        TestFiles::Write(SetupFolder(session) + "/standin.conf", "record-installed=1\n");
        TestFiles::Write(SetupFolder(session) + "/extensions/P1/P1.data", std::string("old data of ") + session);
    }
    bundle.AddPatch(Patch("{PATCH}", "Suite Update", "1.0.1", "{BASE}"), "P1");
    TestFiles::Write(bundle.Root() + "/extensions/runtime/lib/part", "new runtime");
    TestFiles::Write(bundle.Root() + "/extensions/runtime/bin/tool", "new tool");
    TestFiles::Write(Installers() + "/R2/lib/part", "old runtime");
    store.Save();
    TestFiles::Write(program, TestFiles::Read(KILLED_AT_CALL_EXECUTABLE));
    ASSERT_EQ(0, chmod(program.c_str(), 0755));
    const std::string pristine = box / "pristine", report = box / "report.json", trace = box / "trace";
    ASSERT_EQ(0, TestProcess::Run({"/bin/cp", "-a", machine, pristine}).status);
    const std::vector<std::string> sessions = {"{S1}", "{S2}"};
    std::map<std::string, std::map<std::string, std::string> > before, after;
    for (const std::string& s : sessions) before[s] = Snapshot(SetupFolder(s));
    before["R2"] = Snapshot(Installers() + "/R2");
    const std::vector<std::string> silent = {program, "--mode=silent", "--callerID=ZEP6", "--report=" + report};
    std::vector<std::string> traced = Environment();
    traced.push_back("KAVEX_TEST_CALL_TRACE=" + trace);
    ChildResult whole = TestProcess::Run(silent, traced);
    ASSERT_EQ(0, whole.status) << whole.output;
    for (const std::string& s : sessions) after[s] = Snapshot(SetupFolder(s));
    after["R2"] = Snapshot(Installers() + "/R2");
    ASSERT_NE(before["{S1}"], after["{S1}"]);
    ASSERT_NE(before["R2"], after["R2"]);
    const std::string calls = TestFiles::Read(trace);
    std::set<size_t> points;
    // Every call while there are few (about 500 here); a stride beyond a thousand.
    const size_t stride = 1 + calls.size() / 1000;
    for (size_t n = 1; n <= calls.size(); n += stride) points.insert(n);
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] != 'm') continue;
        for (size_t n = i > 2 ? i - 2 : 1; n <= i + 3 && n <= calls.size(); ++n) points.insert(n);
    }
    points.insert(calls.size());
    for (size_t n : points) {
        SCOPED_TRACE("killed at call " + std::to_string(n) + " of " + std::to_string(calls.size()));
        ASSERT_EQ(0, TestProcess::Run({"/bin/rm", "-rf", machine}).status);
        ASSERT_EQ(0, TestProcess::Run({"/bin/cp", "-a", pristine, machine}).status);
        unlink(results.c_str());
        std::vector<std::string> killing = Environment();
        killing.push_back("KAVEX_TEST_KILL_AT=" + std::to_string(n));
        ChildResult killed = TestProcess::Run(silent, killing);
        while (waitpid(-1, nullptr, 0) > 0) {
        }
        // the count came out shorter: it ran to its end
        if (killed.status != 128 + SIGKILL) {
            EXPECT_EQ(0, killed.status) << killed.output;
        }
        const std::string reported = TestFiles::Exists(results) ? Results() : std::string();
        for (const std::string& s : sessions) TestFiles::Write(SetupFolder(s) + "/standin.conf", "exit=7\n");
        ChildResult next = TestProcess::Run({program, "--mode=silent", "--callerID=ZEP6", "--report=" + report}, Environment());
        EXPECT_TRUE(next.status == 28 || next.status == 29) << next.status << next.output;
        bool any = false;
        std::map<std::string, bool> installed;
        for (const std::string& s : sessions) {
            installed[s] = RecordedInstalled("{PATCH}", s);
            any = any || installed[s];
            EXPECT_EQ(installed[s] ? after[s] : before[s], Snapshot(SetupFolder(s))) << s;
        }
        EXPECT_EQ(any ? after["R2"] : before["R2"], Snapshot(Installers() + "/R2"));
        // What the killed run told the update manager, if it got that far, was all done.
        if (!reported.empty()) {
            EXPECT_EQ("result=0\n", reported);
            for (const std::string& s : sessions) EXPECT_TRUE(installed[s]) << "reported installed, not installed in " << s;
        }
        EXPECT_EQ(std::vector<std::string>(), Leftovers(box.Path()));
        EXPECT_TRUE(StoreOpens(Store()));
        EXPECT_TRUE(StoreOpens(Backup()));
        const nlohmann::json json = nlohmann::json::parse(TestFiles::Read(report), nullptr, false);
        ASSERT_TRUE(json.is_object());
        for (const auto& earlier : json["earlierLaunches"]) {
            const std::string session = earlier["sessionID"].get<std::string>();
            EXPECT_EQ(installed[session] ? "kept" : "undone", earlier["outcome"].get<std::string>()) << session;
        }
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
