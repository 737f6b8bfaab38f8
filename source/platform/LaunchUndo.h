// What one launch changes beside a cached setup, taken back or kept as a whole. The staged
// copies are renamed into place together, what they replace is kept aside under a sibling
// name, and a root-only journal, on disk before the first rename, lets the next run finish an
// undo (or a keep) that a crash, a stop or a kill interrupted.
#ifndef LAUNCH_UNDO_H
#define LAUNCH_UNDO_H

#include <string>
#include <vector>

#include "StagedCopy.h"

class LaunchUndo {
public:
    struct Journal {
        std::string token;
        std::string code;          // the patch
        std::string session;       // the installation whose cached setup it is
        std::string setupFolder;
        std::vector<std::string> roots;  // every folder a copy may stage in
        bool committed = false;    // the entries below are all there is; renames may have begun
        std::vector<StagedCopy::Entry> entries;
    };
    enum State { kOpen, kCommitted, kKept, kUndone, kUndoIncomplete };

    // folder: where the journal lives (JournalFolder()); the token names the launch.
    LaunchUndo(const std::string& folder, const Journal& header);
    // A launch that neither kept nor undid its copies (an exception) takes them back.
    ~LaunchUndo();
    LaunchUndo(const LaunchUndo&) = delete;
    LaunchUndo& operator=(const LaunchUndo&) = delete;

    // The journal names the roots before anything is staged in them.
    bool Begin(std::string& why);
    StagedCopy& Copies() { return mCopies; }
    // The journal with every entry, synced; then the renames; then their folders synced.
    bool Commit(std::string& why);
    // Every replaced entry back, every new one removed, the journal removed: only when all of it
    // was done; otherwise the journal stays for the next run.
    bool Undo(std::string& why);
    // The kept-aside entries and the journal removed.
    bool Keep(std::string& why);
    State state() const { return mState; }

    // <machine root>/var/lib/kavex/undo, made when missing: root's alone (0700), below folders
    // only root can change; "" when it cannot be had so (or the caller is not root).
    static std::string JournalFolder();
    static std::string NewToken();
    // The journals a run left behind.
    static std::vector<std::string> Pending(const std::string& folder);
    static bool Read(const std::string& path, Journal& journal, std::string& why);
    // Finishes a left journal: keep or undo, then every name of its token removed from its roots.
    static bool Finish(const std::string& path, const Journal& journal, bool keep, std::string& why);

private:
    bool Write(bool committed, std::string& why);
    std::string mPath;
    Journal mJournal;
    StagedCopy mCopies;
    State mState = kOpen;
    bool mBegun = false;
};

#endif
