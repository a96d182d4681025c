// Moving the finished new files of a group of meshes over the originals, so
// that after a crash at any moment, or a power cut, each mesh is either as it
// was or completely converted, or its leftovers let the next run finish it
// (see recovery.h). commitGroup() is the whole order; each step below takes
// part only for the meshes that have not failed by then.
//
// The order for a group:
//   A. the import script (NAME.uc, of a mesh made from a glTF file with --uc)
//      of each mesh is flushed to disk: a script that cannot be written
//      fails its mesh while every file is still as it was;
//   B. each mesh's textures are flushed, then moved into place one by one,
//      then their folder is synced, before its game files are: the script,
//      moved after them, never names a texture that is not there. A texture
//      that cannot be flushed or moved fails the mesh; those moved before it
//      stay (each texture is the old file or the whole new one), its game
//      files and script are left as they were;
//   C. the game files of every mesh, by the protocol below;
//   D. each mesh's script is moved into place and its folder synced. Only
//      its move can fail here, after the game files moved: the failure then
//      names the script alone. A folder that then fails to flush has met an
//      error of the disk after the move, and the script is in place, as the
//      game files are.
//
// The protocol of step C for one mesh with -ms (one TAG for all its files):
//  C1. NAME_a.3d.meshfold-TAG.tmp and NAME_d.3d.meshfold-TAG.tmp are
//      complete and flushed to disk;
//  C2. NAME_a.3d.meshfold-TAG.bak and NAME_d.3d.meshfold-TAG.bak keep the
//      original files (hard links, or copies flushed to disk);
//  C3. every folder of the mesh's files is synced: all four names are on
//      disk before anything is replaced;
//  C4. the animation file is replaced; from here on, the data file's
//      temporary file is only ever moved into place, never removed, unless
//      the original animation file has been put back;
//  C5. the data file is replaced;
//  C6. the folders are synced, then the backups are removed.
// A file system may write the two moves of steps C4 and C5 to disk in either
// order, or only one of them, should the power fail before step C6: with
// both originals and both new files on disk, the next run can tell which
// file was replaced and finish the other.
// Without -ms there is one temporary file and step C4 alone. A mesh made from
// a glTF file changes both game files, as -ms does. An export (--to-gltf)
// has one temporary file too, NAME.glb.meshfold-TAG.tmp, moved over or to
// NAME.glb while the mesh's files are still as they were read.
#pragma once

#include "meshfold/common/messages.h"
#include "meshfold/common/run_options.h"
#include "meshfold/platform/platform.h"

#include <vector>

namespace meshfold {

// One mesh of a group, by reference into the caller's records. Replacements
// never begun (not open) take no part.
struct CommitTask {
    const RunOptions& options;
    Replacement& anim;        // with --to-gltf, the new NAME.glb
    Replacement& data;        // used when both game files change
    Replacement& script;      // NAME.uc of a mesh made from a glTF file, with --uc
    std::vector<Replacement>& textures; // and its textures
    const FileStamp& animRead; // the files as inspection read them
    const FileStamp& dataRead;
    Failure& failure; // the mesh takes part only while this is Stop::None
};

// True for a mesh whose commit changes both game files (-ms, or a mesh made
// from a glTF file): it keeps a backup of each original (steps C2 to C6).
bool changesBothFiles(const RunOptions& o);

// Commits every mesh of the group whose failure is still Stop::None, in the
// order above, setting its failure when it fails. Every temporary file of the
// group is closed and gone afterwards (the textures' list emptied). A game
// file that is no longer the one that was read (replaced or rewritten since)
// is not replaced: its mesh fails with Stop::FileChanged and none of its game
// files changes. A dry run (`dryRun`) moves nothing and tells what it can
// without: a mesh a folder of whose game files cannot be opened to be
// flushed fails, as the real run would.
void commitGroup(std::vector<CommitTask>& group, bool dryRun);

} // namespace meshfold
