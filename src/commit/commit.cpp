// The group commit: the scripts flushed and the textures moved, then the
// game files (flush every new file, keep the originals that a second move
// might have to restore, make those names durable, move, sync, clean up),
// then the scripts moved.
#include "commit/commit.h"

#include "common/paths.h"

#include <map>

namespace meshfold {

namespace {

bool live(const CommitTask& t) {
    return t.failure.stop == Stop::None;
}

bool bothFiles(const CommitTask& t) {
    return changesBothFiles(t.options);
}

// The folders of a group, each opened once.
class Folders {
public:
    Folders() = default;
    Folders(const Folders&) = delete;
    Folders& operator=(const Folders&) = delete;
    ~Folders() {
        for (auto& [path, f] : open_) {
            closeFolder(f);
        }
    }
    // The folder of `file`, or null when it cannot be opened to be synced.
    Folder* of(const std::string& file) {
        const std::string path = folderOf(file);
        auto [it, fresh] = open_.try_emplace(path);
        if (fresh) {
            (void)openFolder(path, it->second);
        }
        return it->second.handle >= 0 ? &it->second : nullptr;
    }
    // Syncs every folder in `names`; false when one cannot be synced.
    static bool sync(const std::map<std::string, Folder*>& names) {
        bool ok = true;
        for (const auto& [path, f] : names) {
            ok = syncFolder(*f) && ok;
        }
        return ok;
    }

private:
    std::map<std::string, Folder> open_;
};

// The folders a mesh changes names in: the animation file's and, with -ms,
// the data file's (another folder when the data file is reached by a link).
bool foldersOf(const CommitTask& t, Folders& all, std::map<std::string, Folder*>& mine) {
    Folder* a = all.of(t.anim.target);
    if (a == nullptr) {
        return false;
    }
    mine[a->path] = a;
    if (bothFiles(t)) {
        Folder* d = all.of(t.data.target);
        if (d == nullptr) {
            return false;
        }
        mine[d->path] = d;
    }
    return true;
}

// A move over the original that failed: another program holding the file
// is not a failing disk.
Failure moveFailed(const Replacement& r, const std::string& file) {
    return fail(r.refused == ReplaceCheck::InUse ? Stop::InUse : Stop::WriteFailed, file);
}

// A file that was not there when the run began (a mesh made from a glTF
// file for the first time) must still not be there.
bool unchanged(const Replacement& r, const FileStamp& read) {
    return read.known ? stampOf(r.target) == read : !pathExists(r.target);
}

// Step C1: every new game file on disk.
void flushAll(std::vector<CommitTask>& group) {
    for (CommitTask& t : group) {
        if (live(t)) {
            startFlush(t.anim);
            if (bothFiles(t)) {
                startFlush(t.data);
            }
        }
    }
    for (CommitTask& t : group) {
        if (live(t) && !finishReplacement(t.anim)) {
            t.failure = fail(Stop::WriteFailed, t.options.animFileName);
        }
        if (live(t) && bothFiles(t) && !finishReplacement(t.data)) {
            t.failure = fail(Stop::WriteFailed, t.options.dataFileName);
        }
    }
}

// The originals of a -ms mesh's two files, kept until both moves are durable.
struct Originals {
    Backup anim;
    Backup data;
};

// Moves both files of a -ms mesh, steps C4 and C5. Interrupts wait until both
// moves are done or undone.
Failure moveBoth(CommitTask& t, Originals& originals, Folders& folders) {
    const RunOptions& o = t.options;
    if (!unchanged(t.anim, t.animRead) || !unchanged(t.data, t.dataRead)) {
        const bool animSame = unchanged(t.anim, t.animRead);
        return fail(Stop::FileChanged, animSame ? o.dataFileName : o.animFileName);
    }
    if (!commitReplacement(t.anim)) {
        return moveFailed(t.anim, o.animFileName);
    }
    // A folder of its own for the data file: the new animation file is made
    // durable first, so that no power cut keeps the data file's move alone.
    Folder* animFolder = folders.of(t.anim.target);
    const bool ordered = folders.of(t.data.target) == animFolder || syncFolder(*animFolder);
    const bool same = unchanged(t.data, t.dataRead);
    if (ordered && same && commitReplacement(t.data)) {
        return {};
    }
    if (!restoreBackup(originals.anim, t.anim.target)) {
        // The originals stay as the backups, and the data file's new content
        // stays beside them: the next run finishes the commit.
        keepBackup(originals.anim);
        keepBackup(originals.data);
        keepReplacement(t.data);
        return fail(Stop::WriteFailed, o.dataFileName);
    }
    return same ? moveFailed(t.data, o.dataFileName) : fail(Stop::FileChanged, o.dataFileName);
}

// An export's new file is the mesh's picture, not the mesh: it goes into
// place while the mesh's files are still the ones that were read.
Failure moveExport(CommitTask& t) {
    const RunOptions& o = t.options;
    const bool animSame = t.animRead.known && stampOf(o.animFileName) == t.animRead;
    if (!animSame || !t.dataRead.known || stampOf(o.dataFileName) != t.dataRead) {
        return fail(Stop::FileChanged, animSame ? o.dataFileName : o.animFileName);
    }
    return commitReplacement(t.anim) ? Failure{} : moveFailed(t.anim, gltfFileName(o));
}

Failure moveFiles(CommitTask& t, Originals& originals, Folders& folders) {
    if (t.options.toGltf) {
        return moveExport(t);
    }
    FileLock lock;
    // A file made for the first time has nothing to hold yet.
    const bool fresh = !t.animRead.known && !pathExists(t.anim.target);
    if (!fresh && !lockFile(t.anim.target, lock)) {
        const bool same = unchanged(t.anim, t.animRead);
        return fail(same ? Stop::WriteFailed : Stop::FileChanged, t.options.animFileName);
    }
    holdInterrupts();
    Failure f;
    if (!bothFiles(t)) {
        if (!unchanged(t.anim, t.animRead)) {
            f = fail(Stop::FileChanged, t.options.animFileName);
        } else if (!commitReplacement(t.anim)) {
            f = moveFailed(t.anim, t.options.animFileName);
        }
    } else {
        f = moveBoth(t, originals, folders);
    }
    releaseInterrupts();
    if (!fresh) {
        unlockFile(lock);
    }
    return f;
}

// Steps C2 and C3: the backups of each -ms mesh's two files, then every folder
// of those meshes flushed, so that what finishes or undoes a commit is on
// disk before its first move. A mesh fails here when a folder of its files
// cannot be opened to be flushed, and every -ms mesh of the group when one of
// those folders then fails to flush.
void keepOriginals(std::vector<CommitTask>& group, Folders& folders,
                   std::vector<Originals>& originals) {
    std::map<std::string, Folder*> before;
    for (std::size_t i = 0; i < group.size(); ++i) {
        CommitTask& t = group[i];
        std::map<std::string, Folder*> mine;
        if (live(t) && !foldersOf(t, folders, mine)) {
            t.failure = fail(Stop::FolderSync, t.options.animFileName);
        }
        if (live(t) && bothFiles(t)) {
            Originals& kept = originals[i];
            if (!makeBackup(t.anim.target, t.anim.tag, kept.anim)) {
                t.failure = fail(Stop::CantOpenForWriting, t.options.animFileName);
            } else if (!makeBackup(t.data.target, t.anim.tag, kept.data)) {
                dropBackup(kept.anim);
                t.failure = fail(Stop::CantOpenForWriting, t.options.dataFileName);
            } else {
                before.insert(mine.begin(), mine.end());
            }
        }
    }
    if (Folders::sync(before)) {
        return;
    }
    for (CommitTask& t : group) {
        if (live(t) && bothFiles(t)) {
            t.failure = fail(Stop::FolderSync, t.options.animFileName);
        }
    }
}

// Step A: each script on disk before anything is moved.
void flushScripts(std::vector<CommitTask>& group) {
    for (CommitTask& t : group) {
        if (t.script.open && live(t) && !finishReplacement(t.script)) {
            t.failure = fail(Stop::WriteFailed, t.options.baseName + ".uc");
        }
    }
}

// Step B: each mesh's textures flushed, moved one by one, their folder synced.
void moveTextures(std::vector<CommitTask>& group) {
    for (CommitTask& t : group) {
        for (Replacement& r : t.textures) {
            if (r.open && live(t) && !finishReplacement(r)) {
                t.failure = fail(Stop::WriteFailed, r.target);
            }
        }
        for (Replacement& r : t.textures) {
            if (r.open && live(t) && !commitReplacement(r)) {
                t.failure = fail(Stop::WriteFailed, r.target);
            }
            abandonReplacement(r);
        }
        if (!t.textures.empty() && live(t)) {
            (void)flushFolder(folderOf(t.textures.front().target));
        }
        t.textures.clear();
    }
}

// Step C: the game files.
void moveGameFiles(std::vector<CommitTask>& group) {
    flushAll(group);
    Folders folders;
    std::vector<Originals> originals(group.size());
    keepOriginals(group, folders, originals);
    std::map<std::string, Folder*> changed;
    for (std::size_t i = 0; i < group.size(); ++i) {
        CommitTask& t = group[i];
        if (live(t)) {
            t.failure = moveFiles(t, originals[i], folders);
            foldersOf(t, folders, changed);
        }
    }
    // The backups go only once the moves they could undo are durable. A folder
    // that was opened to be synced but then fails to sync has met an error of
    // the disk, after the moves: the files are in place, and the backup goes
    // all the same.
    (void)Folders::sync(changed);
    for (std::size_t i = 0; i < group.size(); ++i) {
        dropBackup(originals[i].anim);
        dropBackup(originals[i].data);
        abandonReplacement(group[i].anim);
        abandonReplacement(group[i].data);
    }
}

// Step D: each script moved once its mesh's game files are.
void moveScripts(std::vector<CommitTask>& group) {
    for (CommitTask& t : group) {
        if (!t.script.open) {
            continue;
        }
        if (live(t)) {
            if (commitReplacement(t.script)) {
                (void)flushFolder(folderOf(t.script.target));
            } else {
                t.failure = fail(Stop::WriteFailed, t.options.baseName + ".uc");
            }
        }
        abandonReplacement(t.script);
    }
}

// A dry run's commit: the folders of each mesh's game files, opened as the
// real run opens them to flush them.
void checkFolders(std::vector<CommitTask>& group) {
    Folders folders;
    for (CommitTask& t : group) {
        const bool ms = bothFiles(t);
        const auto real = [](const std::string& file) {
            const std::string path = realPath(file);
            return path.empty() ? file : path; // a file yet to be made
        };
        if (live(t) && (folders.of(real(t.options.animFileName)) == nullptr ||
                        (ms && folders.of(real(t.options.dataFileName)) == nullptr))) {
            t.failure = fail(Stop::FolderSync, t.options.animFileName);
        }
    }
}

} // namespace

bool changesBothFiles(const RunOptions& o) {
    return o.milkshapeFix || !o.gltfSource.empty();
}

void commitGroup(std::vector<CommitTask>& group, bool dryRun) {
    if (dryRun) {
        checkFolders(group);
        return;
    }
    flushScripts(group);
    moveTextures(group);
    moveGameFiles(group);
    moveScripts(group);
}

} // namespace meshfold
