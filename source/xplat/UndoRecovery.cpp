#include "UndoRecovery.h"

#include <unistd.h>

#include <string>

#include "LaunchUndo.h"
#include "MOQLogger.h"
#include "MoxaQueries.h"
#include "ScopedStoreSession.h"
#include "SetupRunLock.h"

namespace {

std::vector<UndoRecovery::Finished>& Record() {
    static std::vector<UndoRecovery::Finished> done;
    return done;
}

enum Verdict { kInstalled, kNotInstalled, kUnknown };

Verdict RecordedInstalled(const LaunchUndo::Journal& journal) {
    ScopedStoreSession store;
    if (moxaOpenSessionNoCreate(store.out()) != kMoxaOK) return kUnknown;
    const char** collections = nullptr;
    const int rc = moxaGetPayloadCollections(store.get(), kMoxaStateInstalled, journal.code.c_str(), &collections);
    if (rc == kMoxaErrNotFound) return kNotInstalled;
    if (rc != kMoxaOK) return kUnknown;
    for (int i = 0; collections != nullptr && collections[i] != nullptr; ++i) {
        const char* session = nullptr;
        if (moxaGetCollectionData(store.get(), collections[i], kMoxaDomainInstallation, "sessionID", &session) == kMoxaOK &&
            session != nullptr && journal.session == session) {
            return kInstalled;
        }
    }
    return kNotInstalled;
}

}  // namespace

void UndoRecovery::FinishPending() {
    if (geteuid() != 0) return;
    const std::string folder = LaunchUndo::JournalFolder();
    if (folder.empty()) {
        MOQ_LOG("The undo journals' folder cannot be had as root's alone: earlier launches are not looked at\n");
        return;
    }
    for (const std::string& path : LaunchUndo::Pending(folder)) {
        LaunchUndo::Journal journal;
        std::string why;
        if (!LaunchUndo::Read(path, journal, why)) {
            MOQ_LOG("The undo journal %s %s: left alone\n", path.c_str(), why.c_str());
            continue;
        }
        // Its setup may still be at work: the undo waits until that process is gone.
        if (SetupRunLock::IsHeld(journal.setupFolder)) {
            MOQ_LOG("A setup of an earlier launch of %s still runs in %s: its copies are decided later\n",
                    journal.code.c_str(), journal.setupFolder.c_str());
            Record().push_back(Finished{journal.code, journal.session, "pending"});
            continue;
        }
        Verdict verdict = kNotInstalled;
        if (journal.committed) verdict = RecordedInstalled(journal);
        if (verdict == kUnknown) {
            MOQ_LOG("The store cannot tell whether an earlier launch of %s installed it: its copies are decided later\n",
                    journal.code.c_str());
            Record().push_back(Finished{journal.code, journal.session, "pending"});
            continue;
        }
        const bool keep = verdict == kInstalled;
        const bool finished = LaunchUndo::Finish(path, journal, keep, why);
        Record().push_back(Finished{journal.code, journal.session, !finished ? "pending" : keep ? "kept" : "undone"});
        if (finished) {
            MOQ_LOG("An earlier launch of %s in %s was interrupted: %s\n", journal.code.c_str(), journal.session.c_str(),
                    keep ? "the store records it installed, its copies are kept"
                         : "the store does not record it installed, its copies were taken back");
        } else {
            MOQ_LOG("An earlier launch of %s in %s was interrupted and its copies could not all be %s (%s): the next run tries again\n",
                    journal.code.c_str(), journal.session.c_str(), keep ? "kept" : "taken back", why.c_str());
        }
    }
}

const std::vector<UndoRecovery::Finished>& UndoRecovery::Done() { return Record(); }
