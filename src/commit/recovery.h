// What a run does first for each mesh it is given: finish or undo the
// commit of an earlier run that was cut short (killed, crashed, or stopped by
// a power cut), using what that run left beside the mesh's files (see
// commit.h for the protocol that leaves them).
//
// Leftovers of one commit share a TAG. Which of the mesh's files that
// commit replaced is read from the files themselves, each compared with its
// backup (NAME_a.3d.meshfold-TAG.bak, NAME_d.3d.meshfold-TAG.bak): the
// original, or its conversion. The names alone cannot tell, since a file
// system may keep any of the commit's changes of names and lose others:
//   - neither file was replaced: the leftovers are removed and the mesh is
//     the original;
//   - one file was replaced: the other's temporary file is moved over it,
//     then the backups are removed;
//   - both were: the backups are removed.
// A file without a backup was not replaced while the other file's new
// content is still there to finish with, and was replaced otherwise: its
// backup went only once both moves were on disk. Before anything is moved
// or removed, every file is checked to be what that commit made: an
// original, or the conversion of the originals either way (both new files
// from one conversion). A commit that left temporary files alone, without
// a backup, replaced nothing; they go unread. An export's temporary file
// (NAME.glb.meshfold-TAG.tmp, under a TAG of its own) was never moved into
// place, and goes.
// A mesh made from a glTF file has no originals to convert again: where the
// files are not explained by a conversion and the commit was an import (a
// backup is empty, standing for a file that did not exist, or a glTF file of
// the mesh's name lies beside it), a file counts as replaced when it and the
// other file (or that one's new content) are one mesh (isMeshPair); a file
// whose backup is empty is the original while it does not exist.
// Every step is one that a crash may interrupt: the next run picks up from
// the state it leaves, by the same rules.
#pragma once

#include "meshfold/game/memory_run.h"
#include "meshfold/common/messages.h"
#include "meshfold/common/run_options.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace meshfold {

// The leftovers of one commit, by which of its four files are there.
struct LeftoverSet {
    bool animTemp = false;
    bool animBackup = false;
    bool dataTemp = false;
    bool dataBackup = false;
};

// What one of the mesh's files is, compared with its backup.
enum class FileNow {
    NoBackup,  // there is nothing to compare it with
    Original,  // its backup, or more of it (a backup copy cut short)
    Converted, // the conversion of the originals
    Neither,   // changed since: the backup may be the only copy of its original
};

enum class RecoveryAction {
    Discard,     // nothing was replaced: remove every leftover
    FinishData,  // the animation file was replaced: move the data file's temporary file into place
    FinishAnim,  // the data file was replaced: move the animation file's temporary file into place
    DropBackups, // both files were replaced: remove the leftovers
    Refuse,      // the files are not what the leftovers say: leave everything
};

RecoveryAction recoveryAction(const LeftoverSet& found, FileNow anim, FileNow data);

// How `file` stands to `backup`: the same bytes, or a backup copy cut short
// (a start of it), is Original; one of `converted` is Converted.
FileNow fileNow(std::span<const std::uint8_t> file, std::span<const std::uint8_t> backup,
                const std::vector<std::vector<std::uint8_t>>& converted);

// Every conversion a -ms run makes of the mesh (`anim`, `data`), with or
// without -h, in either direction: the ways that succeed, each with its new
// animation and data file.
std::vector<MemoryRun> conversionsOf(std::span<const std::uint8_t> anim,
                                     std::span<const std::uint8_t> data);

// True when `anim` and `data` are one mesh: counts that are not 0, frames of
// at least 4 bytes a vertex filling the animation file exactly, and every
// triangle's corners among the data file's vertices.
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

// Removes the temporary files that interrupted imports from the glTF file of
// `o` left beside `files` (its script and textures, known once the file is
// read), which replace nothing without being whole.
RecoveryReport removeImportLeftovers(const RunOptions& o, const std::vector<std::string>& files, bool dryRun,
                                     LeftoverIndex& index);

// Removes the temporary files that interrupted runs left beside `files`, the
// files of a compiled package's folder: each is only ever a new file moved
// where nothing was, so a temporary file of one never replaced anything.
// They must be owned as `owner` (the package file) is.
RecoveryReport removeNewFileLeftovers(const RunOptions& o, const std::string& owner,
                                      const std::vector<std::string>& files, bool dryRun,
                                      LeftoverIndex& index);

} // namespace meshfold
