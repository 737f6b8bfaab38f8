// Copies that change nothing in place. Every entry a copy adds or replaces is written, with
// its content and folders synced, under a sibling name (".kavex-new.<token>.<n>"); LaunchUndo
// renames them all into place at once and can take them all back. A folder that is not there
// yet is staged whole, under one such name. Nothing is written through a link (LinkSafeTree).
#ifndef STAGED_COPY_H
#define STAGED_COPY_H

#include <string>
#include <vector>

#include "LinkSafeTree.h"

class StagedCopy {
public:
    struct Entry {
        std::string folder;  // a folder that was there before the copy
        std::string name;    // the entry's name in it
        std::string staged;  // its sibling name until it is renamed into place
        bool replaces = false;
    };

    explicit StagedCopy(const std::string& token) : mToken(token) {}

    // What sourceFolder holds, into targetFolder (made when missing): folders always, files only
    // when their names end with suffix (all with an empty one); a regular target of the same
    // size and time is kept. A missing source copies nothing. False when anything failed.
    bool CopyChildren(const std::string& sourceFolder, const std::string& targetFolder, const std::string& suffix,
                      LinkSafeTree::Outcome& outcome);
    // One entry to targetFolder under its own name (the folder made when missing), with the
    // source's attributes or, when keepTargetAttributes, the replaced entry's.
    bool CopyFile(const std::string& source, const std::string& targetFolder, bool keepTargetAttributes,
                  std::string& why);
    // Removes every staged entry (a copy that is not to be used).
    void Discard();

    const std::vector<Entry>& Entries() const { return mEntries; }
    const std::string& Token() const { return mToken; }

    static std::string AsideName(const std::string& staged);
    // A name this module makes (staged or kept aside) for the launch with token.
    static bool IsOwnName(const std::string& name, const std::string& token);
    static const char* const kNewPrefix;
    static const char* const kOldPrefix;

private:
    int OpenTarget(const std::string& path, bool& direct, std::string& why);
    int StageFolder(int folder, const std::string& path, const std::string& name, bool replaces, std::string& why);
    bool StageEntry(int sourceFolder, const std::string& name, int folder, const std::string& path,
                    bool keepTargetAttributes, bool skipSame, bool& skipped, std::string& why);
    void Walk(int source, int target, const std::string& targetPath, bool direct, const std::string& suffix,
              const std::string& label, int depth, LinkSafeTree::Outcome& outcome);
    std::string NextName() { return kNewPrefix + mToken + "." + std::to_string(mNamed++); }

    std::string mToken;
    size_t mNamed = 0;
    std::vector<Entry> mEntries;
};

#endif
