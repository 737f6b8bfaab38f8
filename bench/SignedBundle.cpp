#include "SignedBundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <set>

#include "BundleManifest.h"

namespace SignedBundle {

int RunToEnd(const std::vector<std::string>& argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (quiet >= 0) dup2(quiet, STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void AddGigabyte(const std::string& bundle) {
    const std::string folder = bundle + "/extensions/Large";
    mkdir(folder.c_str(), 0755);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
    for (int i = 0; i < 8; ++i) {
        std::ofstream out(folder + "/Large" + std::to_string(i) + ".data", std::ios::binary);
        for (int mb = 0; mb < 128; ++mb) {
            block[0] = static_cast<char>(i * 131 + mb);
            out.write(block.data(), block.size());
        }
    }
}

bool Sign(const std::string& bundle, const BundleSignature::SecretKey& secret, std::vector<BundleTree::Entry>& entries) {
    std::string why;
    const std::set<std::string> excluded = {BundleManifest::kManifestName, BundleManifest::kSignatureName};
    if (!BundleTree::Scan(bundle, excluded, [](const std::string&, uint64_t) { return true; }, entries, why)) {
        std::cerr << why << "\n";
        return false;
    }
    const std::string manifest = BundleManifest::Write(entries);
    std::ofstream(bundle + "/" + BundleManifest::kManifestName, std::ios::binary) << manifest;
    std::ofstream(bundle + "/" + BundleManifest::kSignatureName, std::ios::binary)
        << BundleSignature::SignatureText(BundleSignature::Sign(secret, manifest));
    return true;
}

}  // namespace SignedBundle
