// The helpers every step of a run uses: printing, failures, the checks
// before a file is replaced, writing and dropping the temporary files.
#include "cli/run_steps.h"

namespace meshfold {

void say(std::FILE* out, std::string_view text) {
    writeText(out, text);
}

void note(Session& io, std::string_view text) {
    if (!io.sharedTerminal || text.empty()) {
        say(io.err, text);
        return;
    }
    std::string lines = "\n";
    lines += text.substr(0, text.size() - (text.back() == '\n' ? 1 : 0));
    say(io.err, lines);
}

void emit(Session& io, Conversion& c, std::string_view text) {
    if (c.live) {
        say(io.out, text);
    } else {
        c.lines += text;
    }
}

Failure refusal(ReplaceCheck why, const std::string& file, Stop unknown) {
    switch (why) {
    case ReplaceCheck::Ok:
        return fail(unknown, file);
    case ReplaceCheck::FileNotWritable:
        return fail(Stop::CantOpenForWriting, file);
    case ReplaceCheck::FolderNotWritable:
        return fail(Stop::FolderNotWritable, file);
    case ReplaceCheck::OwnerOnlyFolder:
        return fail(Stop::OwnerOnlyFolder, file);
    case ReplaceCheck::NameTooLong:
        return fail(Stop::NameTooLong, file);
    case ReplaceCheck::InUse:
        return fail(Stop::InUse, file);
    }
    return fail(unknown, file);
}

Failure replaceable(const std::string& file, bool mayCreate) {
    return refusal(checkReplaceable(file, mayCreate), file, Stop::None);
}

bool writeAll(Session& io, Conversion& c, Replacement& r, const std::uint8_t* bytes,
              std::size_t size) {
    c.bytesWritten += size;
    return io.dryRun || writeReplacement(r, bytes, size) == size;
}

void abandon(Conversion& c) {
    abandonReplacement(c.newAnim);
    abandonReplacement(c.newData);
    abandonReplacement(c.newScript);
    for (Replacement& r : c.newTextures) {
        abandonReplacement(r);
    }
}

Failure recoverLeftovers(Session& io, const Conversion& c) {
    const RecoveryReport r = recoverMesh(c.options, io.dryRun, io.leftovers);
    note(io, r.notes);
    return r.failure;
}

std::string rangesReport(const Session& io, const Conversion& c) {
    return io.dryRun ? dryRunReport(c.converted.ranges) : rangeReport(c.converted.ranges);
}

} // namespace meshfold
