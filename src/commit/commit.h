// Moving the finished new files of a group of meshes over the originals, so
// that after a crash at any moment, or a power cut, each mesh is either as it
// was or completely converted, or its leftovers let the next run finish it
// (see recovery.h).
//
// The protocol for one mesh with -ms (one TAG for all its files):
//   1. NAME_a.3d.meshfold-TAG.tmp and NAME_d.3d.meshfold-TAG.tmp are
//      complete and flushed to disk;
//   2. NAME_a.3d.meshfold-TAG.bak and NAME_d.3d.meshfold-TAG.bak keep the
//      original files (hard links, or copies flushed to disk);
//   3. every folder of the mesh's files is synced: all four names are on
//      disk before anything is replaced;
//   4. the animation file is replaced; from here on, the data file's
//      temporary file is only ever moved into place, never removed, unless
//      the original animation file has been put back;
//   5. the data file is replaced;
//   6. the folders are synced, then the backups are removed.
// A file system may write the two moves of steps 4 and 5 to disk in either
// order, or only one of them, should the power fail before step 6: with
// both originals and both new files on disk, the next run can tell which
// file was replaced and finish the other.
// Without -ms there is one temporary file and step 4 alone. An export
// (--to-gltf) has one temporary file too, NAME.glb.meshfold-TAG.tmp, moved
// over or to NAME.glb while the mesh's files are still as they were read.
#pragma once

#include "meshfold/common/messages.h"
#include "meshfold/common/run_options.h"
#include "meshfold/platform/platform.h"

#include <vector>

namespace meshfold {

// One mesh of a group, by reference into the caller's records.
struct CommitTask {
    const RunOptions& options;
    Replacement& anim;        // with --to-gltf, the new NAME.glb
    Replacement& data;        // used with -ms only
    const FileStamp& animRead; // the files as inspection read them
    const FileStamp& dataRead;
    Failure& failure; // the mesh takes part only while this is Stop::None
};

// True for a mesh whose commit changes both game files (-ms, or a mesh made
// from a glTF file): it keeps a backup of each original (steps 2 to 6).
bool changesBothFiles(const RunOptions& o);

// Commits every mesh of the group whose failure is still Stop::None, setting
// it when that mesh's files stay as they were. Every temporary file of the
// group is closed and gone afterwards. A file that is no longer the one that
// was read (replaced or rewritten since) is not replaced: its mesh fails
// with Stop::FileChanged and none of its files changes.
void commitGroup(std::vector<CommitTask>& group);

// What a dry run can tell of a commit without making it: a mesh a folder of
// whose files cannot be opened to be flushed fails, as the real run would.
void checkGroupFolders(std::vector<CommitTask>& group);

} // namespace meshfold
