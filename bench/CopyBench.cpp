// Copies a 1 GB tree of mixed file sizes with FileSystemUtils::CopyFile and
// with PayloadsManagerUtils::BlindCopyFolder, and with `cp -a`, in the same run
// on the same machine; prints the median of each and the ratios to cp -a (target 1.1).
//
//   build/bench/CopyBench [runs] [folder to work in]
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "FileSystemUtils.h"
#include "Measure.h"
#include "PayloadsManagerUtils.h"

namespace {

void MakeFolders(const std::string& path) {
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) mkdir(path.substr(0, at).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

// 4 x 128 MB, 256 x 1 MB, 8192 x 4..124 KB (about 1 GB), in nested folders.
uint64_t BuildTree(const std::string& root) {
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
    uint64_t total = 0;
    auto write = [&](const std::string& path, size_t size) {
        std::ofstream out(path, std::ios::binary);
        for (size_t done = 0; done < size; done += block.size()) out.write(block.data(), std::min(block.size(), size - done));
        total += size;
    };
    MakeFolders(root + "/large");
    for (int i = 0; i < 4; ++i) write(root + "/large/file" + std::to_string(i), 128u << 20);
    for (int d = 0; d < 16; ++d) {
        const std::string folder = root + "/medium/d" + std::to_string(d);
        MakeFolders(folder);
        for (int i = 0; i < 16; ++i) write(folder + "/m" + std::to_string(i), 1u << 20);
    }
    for (int d = 0; d < 64; ++d) {
        const std::string folder = root + "/small/a" + std::to_string(d % 8) + "/b" + std::to_string(d);
        MakeFolders(folder);
        for (int i = 0; i < 128; ++i) write(folder + "/s" + std::to_string(i), 4096u * (1 + (i * 7 + d) % 31));
    }
    return total;
}

void Remove(const std::string& path) {
    if (system(("rm -rf '" + path + "'").c_str()) != 0) std::cerr << "could not remove " << path << "\n";
}

// Regular files and their bytes under a folder: a copy that made less than its source
// would otherwise pass for a fast one.
struct Contents {
    uint64_t files = 0, bytes = 0;
    bool operator==(const Contents& other) const { return files == other.files && bytes == other.bytes; }
};
Contents gWalked;
int CountEntry(const char*, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_F && S_ISREG(st->st_mode)) {
        ++gWalked.files;
        gWalked.bytes += static_cast<uint64_t>(st->st_size);
    }
    return 0;
}
Contents ContentsOf(const std::string& folder) {
    gWalked = Contents();
    nftw(folder.c_str(), CountEntry, 64, FTW_PHYS);
    return gWalked;
}

}  // namespace

using namespace Measure;

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    std::string base = argc > 2 ? argv[2] : "/var/tmp";
    std::string work = base + "/copy-bench-XXXXXX";
    if (mkdtemp(&work[0]) == nullptr) return 1;
    const std::string source = work + "/source";
    const uint64_t bytes = BuildTree(source);
    if (system("sync") != 0) return 1;
    std::cout << "Tree of " << bytes / (1 << 20) << " MB in " << work << "\n";

    std::vector<double> cp, copyFile, blind;
    const std::string target = work + "/target";
    std::vector<std::function<void()> > copies = {
        [&] {
            cp.push_back(Timed([&] {
                if (system(("cp -a '" + source + "' '" + target + "'").c_str()) != 0) std::cerr << "cp failed\n";
            }));
        },
        [&] {
            copyFile.push_back(Timed([&] {
                if (!FileSystemUtils::CopyFile(FileSystemPath(source), FileSystemPath(target), false)) std::cerr << "CopyFile failed\n";
            }));
        },
        [&] {
            blind.push_back(Timed([&] {
                if (!PayloadsManagerUtils::BlindCopyFolder(FileSystemPath(source), FileSystemPath(target))) std::cerr << "BlindCopyFolder failed\n";
            }));
        },
    };
    const Contents expected = ContentsOf(source);
    const char* const names[] = {"cp -a", "CopyFile", "BlindCopyFolder"};
    bool complete = true;
    for (int run = 0; run < runs; ++run) {
        // Each copy takes every place in the order, so that write-back of an
        // earlier copy does not always burden the same one.
        for (size_t i = 0; i < copies.size(); ++i) {
            const size_t which = (i + static_cast<size_t>(run)) % copies.size();
            copies[which]();
            const Contents made = ContentsOf(target);
            if (!(made == expected)) {
                std::cerr << "THE COPY BY " << names[which] << " IS NOT ITS SOURCE: " << made.files << " files, " << made.bytes
                          << " bytes, where the source has " << expected.files << " and " << expected.bytes << "\n";
                complete = false;
            }
            Remove(target);
            if (system("sync") != 0) std::cerr << "sync failed\n";
        }
    }
    const double reference = Median(cp);
    // Each round's copy against the same round's cp -a.
    const Spread copyFileRatios = Ratios(copyFile, cp), blindRatios = Ratios(blind, cp);
    std::cout << "anchor, cp -a:    median " << reference << " s\n";
    std::cout << "CopyFile:         median " << Median(copyFile) << " s (ratio min/median/max " << copyFileRatios
              << "; target 1.1)\n";
    std::cout << "BlindCopyFolder:  median " << Median(blind) << " s (ratio min/median/max " << blindRatios
              << "; target 1.1)\n";
    Remove(work);
    if (!complete) return 2;
    return copyFileRatios.median <= 1.1 && blindRatios.median <= 1.1 ? 0 : 3;
}
