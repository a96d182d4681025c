// What a run does first for each mesh it is given: finish or undo the
// commit of an earlier run that was cut short (killed, crashed, or stopped by
// a power cut), using what that run left beside the mesh's files (see
// commit.h for the protocol that leaves them).
//
// Leftovers of one commit share a TAG. For each TAG found:
//   - the animation file's temporary file is there: nothing was replaced yet.
//     The leftovers are removed (the backup only when it still equals the
//     animation file) and the mesh is the original;
//   - else the backup and the data file's temporary file are there: the
//     animation file was replaced, the data file not yet. The temporary file
//     is moved over the data file, then the backup is removed;
//   - else the backup alone: both files were replaced; it is removed;
//   - else the data file's temporary file alone: it was never used, and goes;
//   - an export's temporary file (NAME.glb.meshfold-TAG.tmp, under a TAG of
//     its own) was never moved into place, and goes.
// Before the backup goes or the temporary file replaces the data file, the
// files are checked to be what that commit made: the animation file must be
// the conversion of the backup, either way (and the temporary file that of the
// data file); for a mesh made from a glTF file (its backup empty, as its
// animation file did not exist, or a glTF file of its name beside it) the new
// files must be one mesh (isMeshPair).
// Every step is one that a crash may interrupt: the next run picks up from
// the state it leaves, by the same rules.
#pragma once

#include "meshfold/messages.h"
#include "meshfold/options.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace meshfold {

// The leftovers of one commit, by which of its three files are there.
struct LeftoverSet {
    bool animTemp = false;
    bool animBackup = false;
    bool dataTemp = false;
};

enum class RecoveryAction {
    Discard,    // nothing was replaced: remove every leftover
    FinishData, // move the data file's temporary file into place, then drop the backup
    DropBackup, // the commit was complete but for the backup's removal
};

RecoveryAction recoveryAction(const LeftoverSet& found);

// True when `anim` is what a -ms conversion (with or without -h, in either
// direction) of `backup` gives with data file `data`, and, when `newData` is
// given, the new data file of that conversion is `newData`.
bool madeFromBackup(std::span<const std::uint8_t> backup, std::span<const std::uint8_t> data,
                    std::span<const std::uint8_t> anim, const std::vector<std::uint8_t>* newData);

// True when `anim` and `data` are one mesh: counts that are not 0, frames of
// at least 4 bytes a vertex filling the animation file exactly, and every
// triangle's corners among the data file's vertices. What recovery checks
// of a mesh made from a glTF file, which has no original to convert again.
bool isMeshPair(std::span<const std::uint8_t> anim, std::span<const std::uint8_t> data);

// The leftover names of every folder a run has looked at, each folder
// listed once a run.
class LeftoverIndex {
public:
    const std::vector<std::string>& namesIn(const std::string& folder);

private:
    std::map<std::string, std::vector<std::string>> folders_;
};

struct RecoveryReport {
    std::string notes; // for standard error: what was found and done (or would be)
    Failure failure;   // Stop::RecoveryFailed when the leftovers were left as they were
};

// Finds and resolves what interrupted runs left for the mesh of `o`. With
// `dryRun` it only says what it would do.
RecoveryReport recoverMesh(const RunOptions& o, bool dryRun, LeftoverIndex& index);

} // namespace meshfold
