// Stand-in for a base product's cached main setup, for tests and the demo.
//
// Placed at <setup folder>/Setup.app/Contents/MacOS/Setup. Every run appends one
// line to <setup folder>/invocations.log: the working directory, then each
// argument, separated by tabs; and one line "<setup folder name> <patch code>" to
// <setup folder>/../launch-order.log. What it does next is read from
// <setup folder>/standin.conf, lines of:
//   exit=<n>           end with status n (default 0)
//   signal=<n>         kill itself with signal n
//   sleep=<ms>         take that long before it ends (a slow installation)
//   record-installed=1 record the patch as installed in the store, in the
//                      collection of the installation session it was given
//   output=<bytes>     write that many bytes of numbered lines to standard output
//   daemon=<ms>        leave a process behind that lives that long, holding
//                      standard output and every inherited descriptor open
//   hook=<program>     run program with this run's arguments and wait for it (what a
//                      test does while a setup runs)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sqlite3.h>
#include <unistd.h>

#include <stdio.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <map>
#include <string>

namespace {

std::string ParentOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

std::string SetupFolder() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) return ".";
    // <setup folder>/Setup.app/Contents/MacOS/Setup
    return ParentOf(ParentOf(ParentOf(ParentOf(std::string(buffer, static_cast<size_t>(n))))));
}

std::string Argument(int argc, char** argv, const std::string& key) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.compare(0, key.size() + 1, key + "=") == 0) return arg.substr(key.size() + 1);
    }
    return std::string();
}

// <root>/Library/Application Support/Kavex/Installers/<session> -> <root>/.../Kavex/moxa/moxa.db
bool RecordInstalled(const std::string& setupFolder, const std::string& code, const std::string& session) {
    const std::string store = ParentOf(ParentOf(setupFolder)) + "/moxa/moxa.db";
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 2000);
    char* sql = sqlite3_mprintf(
        "INSERT OR IGNORE INTO vorn_payload (payloadID, productFamily, productName, version, signature) "
        "VALUES ('%q', '', '', '', '');"
        "INSERT OR REPLACE INTO vorn_collection_payload (collectionID, payloadID, installState, tsInstalled) "
        "SELECT collectionID, '%q', 2, strftime('%%s','now') FROM collection_data "
        "WHERE domain = 5 AND key = 'sessionID' AND value = '%q';",
        code.c_str(), code.c_str(), session.c_str());
    const bool ok = sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_free(sql);
    sqlite3_close(db);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = SetupFolder();
    {
        char cwd[PATH_MAX];
        std::ofstream log(folder + "/invocations.log", std::ios::app);
        log << (getcwd(cwd, sizeof(cwd)) ? cwd : "?");
        for (int i = 0; i < argc; ++i) log << '\t' << argv[i];
        log << '\n';
    }
    const std::string code = Argument(argc, argv, "--kavexCodeList");
    const std::string session = Argument(argc, argv, "--parentSessionID");
    {
        std::ofstream order(ParentOf(folder) + "/launch-order.log", std::ios::app);
        order << folder.substr(folder.find_last_of('/') + 1) << ' ' << code << '\n';
    }
    std::map<std::string, std::string> settings;
    std::ifstream conf(folder + "/standin.conf");
    std::string line;
    while (std::getline(conf, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) settings[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (settings.count("output")) {
        unsigned long long left = std::stoull(settings["output"]);
        char text[80];
        for (unsigned long long n = 0; left > 0; ++n) {
            const int size = snprintf(text, sizeof(text), "output line %llu of a chatty setup\n", n);
            const size_t chunk = std::min<unsigned long long>(left, static_cast<unsigned long long>(size));
            if (fwrite(text, 1, chunk, stdout) != chunk) break;
            left -= chunk;
        }
        fflush(stdout);
    }
    if (settings.count("daemon") && fork() == 0) {
        setsid();
        // Standard output stays open, as a careless daemon keeps it; standard error does not,
        // so that only the launcher's pipe is held.
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        std::ofstream(folder + "/daemon.pid") << getpid() << '\n';
        usleep(static_cast<useconds_t>(std::stoul(settings["daemon"])) * 1000);
        _exit(0);
    }
    if (settings.count("hook")) {
        const pid_t hook = fork();
        if (hook == 0) {
            argv[0] = const_cast<char*>(settings["hook"].c_str());
            execv(argv[0], argv);
            _exit(127);
        }
        int status = 0;
        if (hook < 0 || waitpid(hook, &status, 0) != hook || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 4;
    }
    if (settings.count("sleep")) usleep(static_cast<useconds_t>(std::stoul(settings["sleep"])) * 1000);
    if (settings.count("signal")) {
        kill(getpid(), std::stoi(settings["signal"]));
        pause();
    }
    if (settings["record-installed"] == "1" && !RecordInstalled(folder, code, session)) return 3;
    return settings.count("exit") ? std::stoi(settings["exit"]) : 0;
}
