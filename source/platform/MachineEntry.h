// The machine's own way into a bundle as root: the program the machine installs
// (kavex-update) copies a bundle into a folder only root can write, verifies that copy and
// runs the program from it. What lives here is what both sides need to agree on: where
// that program and its staging folders are, and how a program knows it runs from one.
#ifndef MACHINE_ENTRY_H
#define MACHINE_ENTRY_H

#include <optional>
#include <string>

#include "UniqueFd.h"

namespace MachineEntry {

// <machine root>/usr/libexec/kavex/kavex-update
std::string ProgramPath();

// The program, when the machine installed it: a regular file of root's that nobody else may
// change, in folders only root can change. Otherwise nothing, and why says what is missing.
std::optional<std::string> InstalledProgram(std::string& why);

// <machine root>/var/lib/kavex/staging: one folder per run, "<run>/bundle" the snapshot.
std::string StagingRoot();
extern const char* const kSnapshotName;

// Whether bundleFolder is a snapshot nobody but root can change: itself and its parent
// root's with no access for anyone else, and root's alone all the way up. Known by owner
// and mode, never by a variable or an argument.
bool IsRootOnlySnapshot(const std::string& bundleFolder);

// A program running from a staging snapshot keeps the staging's lock while it lives, so
// that no later start takes its folder for one a killed run left behind. Invalid when the
// folder is no staging.
UniqueFd HoldStaging(const std::string& bundleFolder);

// The folder a staging snapshot was copied from, as the entry recorded it beside the
// snapshot (for reports); nothing for a bundle that is no staging snapshot.
extern const char* const kSourceRecordName;
std::optional<std::string> StagedFrom(const std::string& bundleFolder);

}  // namespace MachineEntry

#endif
