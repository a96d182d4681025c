// From the names on a command line to the meshes of a run.
#pragma once

#include "meshfold/common/messages.h"
#include "meshfold/cli/options.h"

#include <string>
#include <vector>

namespace meshfold {

// One mesh of a run, as its name was resolved before anything was converted.
struct NamedMesh {
    RunOptions options; // both file names as the files are really called
    Failure failure;    // set when the name stands for no mesh at all
    // Files that match a missing file's name only ignoring case, when there is
    // more than one of them: none is taken, and a failure to open names them.
    std::vector<std::string> animCandidates;
    std::vector<std::string> dataCandidates;
};

// The meshes the names of `command` stand for, in the order named, each
// once. All of them are found before any is converted, so that converting one
// cannot change what another name means. A name is, in this order of
// precedence:
//  - a compiled package, NAME.u or NAME.utx in any case (unless a folder has
//    that name); with --list or --mesh, which concern packages alone, any
//    other name but a folder's is a failure of its own;
//  - a base name, when NAME_a.3d exists (a folder "Cube" does not hide the
//    mesh Cube);
//  - an existing folder: every mesh in it (each file *_a.3d, not recursive)
//    and every package in it (*.u, *.utx; with --list or --mesh only those),
//    in name order, each as if it had been named; a folder without one, or
//    one that cannot be read, is a failure of its own;
//  - the name of one of a mesh's files: NAME_a.3d or NAME_d.3d, or NAME_a or
//    NAME_d as Explorer shows them when NAME_a.3d or NAME_d.3d exists;
//  - any other existing file: not a mesh, a failure of its own;
//  - else a base name, whose animation file then cannot be opened.
// A mesh's file is used under the name it was asked for when a file of that
// name exists; else the one file in its folder whose name equals it ignoring
// ASCII case is used under its real name (of several, the one the user named
// as a file; none is guessed).
// Two names are the same mesh only when both of their files are the same
// files (a hard link to another mesh's animation file with a data file of its
// own is a mesh of its own).
std::vector<NamedMesh> resolveMeshes(const Command& command);

} // namespace meshfold
