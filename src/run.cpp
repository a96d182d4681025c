// The run driver: the steps of a conversion in order, and the one place that
// prints a failure and picks the exit status.
#include "meshfold/run.h"

#include "meshfold/convert.h"
#include "meshfold/format.h"
#include "meshfold/inspect.h"
#include "meshfold/messages.h"
#include "meshfold/options.h"
#include "meshfold/platform.h"

#include <cstdint>
#include <memory>
#include <string_view>

namespace meshfold {

namespace {

// Words converted per read: 64 KiB in, 128 KiB out, whatever the file's size.
constexpr std::size_t kChunkWords = 16384;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using InputFile = std::unique_ptr<std::FILE, FileCloser>;

// Everything a conversion holds between its steps.
struct Conversion {
    InputFile anim;
    MeshHeaderInfo info;
    std::vector<std::uint8_t> dataStart; // the data file as far as inspection read it
    CoordRanges ranges;
    Replacement newAnim;
    Replacement newData;
};

// Prints text at once, so that a console shows each line as it happens.
void say(std::FILE* out, std::string_view text) {
    writeText(out, text);
}

Failure fail(Stop stop, const std::string& file = {}) {
    return Failure{stop, file};
}

// Reads up to `size` more bytes onto the end of `bytes`; stops early at end
// of file or on a read error.
void readUpTo(std::FILE* f, std::size_t size, std::vector<std::uint8_t>& bytes) {
    const std::size_t have = bytes.size();
    bytes.resize(have + size);
    bytes.resize(have + std::fread(bytes.data() + have, 1, size, f));
}

Failure inspect(const RunOptions& o, std::FILE* out, Conversion& c) {
    c.anim.reset(openForReading(o.animFileName));
    if (!c.anim) {
        return fail(Stop::CantOpen, o.animFileName);
    }
    std::vector<std::uint8_t> animHead;
    readUpTo(c.anim.get(), kAnimHeaderSize, animHead);
    InspectStep step = inspectAnimHeader(o, animHead, c.info);
    say(out, step.progress);
    if (step.failure.stop != Stop::None) {
        return step.failure;
    }

    InputFile data(openForReading(o.dataFileName));
    if (!data) {
        return fail(Stop::CantOpen, o.dataFileName);
    }
    readUpTo(data.get(), kDataCountsSize, c.dataStart);
    const std::size_t wanted = dataBytesWanted(o, c.dataStart);
    readUpTo(data.get(), wanted - c.dataStart.size(), c.dataStart);
    data.reset();
    step = inspectDataHeader(o, c.dataStart, c.info);
    say(out, step.progress);
    return step.failure;
}

// Checks, before anything is written, that every file the run will replace
// can be written by this user.
Failure checkWritable(const RunOptions& o) {
    if (!canWriteInPlace(o.animFileName)) {
        return fail(Stop::CantOpenForWriting, o.animFileName);
    }
    if (o.milkshapeFix && !canWriteInPlace(o.dataFileName)) {
        return fail(Stop::CantOpenForWriting, o.dataFileName);
    }
    return {};
}

bool writeAll(Replacement& r, const std::uint8_t* bytes, std::size_t size) {
    return writeReplacement(r, bytes, size) == size;
}

// Streams every whole packed word after the header into the new animation
// file as a wide vertex. A trailing 1 to 3 bytes that do not make a word are
// dropped.
Failure writeVertices(const RunOptions& o, Conversion& c) {
    const ConvertMode mode{o.milkshapeFix, o.hiRes};
    std::vector<std::uint8_t> in(kChunkWords * kPackedVertexSize);
    std::vector<std::uint8_t> wide(kChunkWords * kWideVertexSize);
    std::size_t carried = 0; // bytes of an incomplete word from the last read
    for (;;) {
        const std::size_t got = std::fread(in.data() + carried, 1, in.size() - carried, c.anim.get());
        const std::size_t have = carried + got;
        const std::size_t words = have / kPackedVertexSize;
        convertWords(in.data(), words, wide.data(), mode, c.ranges);
        if (!writeAll(c.newAnim, wide.data(), words * kWideVertexSize)) {
            return fail(Stop::VertexWrite);
        }
        carried = have - words * kPackedVertexSize;
        for (std::size_t i = 0; i < carried; ++i) {
            in[i] = in[words * kPackedVertexSize + i];
        }
        if (got == 0 || std::feof(c.anim.get()) || std::ferror(c.anim.get())) {
            break;
        }
    }
    if (std::ferror(c.anim.get())) {
        return fail(Stop::ReadFailed, o.animFileName);
    }
    return {};
}

Failure writeAnimation(const RunOptions& o, Conversion& c) {
    if (!beginReplacement(o.animFileName, c.newAnim)) {
        return fail(Stop::CantOpenForWriting, o.animFileName);
    }
    std::uint8_t field[2];
    writeLe16(field, c.info.frameCount);
    if (!writeAll(c.newAnim, field, sizeof field)) {
        return fail(Stop::FrameCountWrite, o.animFileName);
    }
    // frameSize <= 32767 was checked at inspection, so doubling fits.
    writeLe16(field, static_cast<std::uint16_t>(c.info.frameSize * 2));
    if (!writeAll(c.newAnim, field, sizeof field)) {
        return fail(Stop::WriteFailed, o.animFileName);
    }
    const Failure f = writeVertices(o, c);
    if (f.stop != Stop::None) {
        return f;
    }
    c.anim.reset();
    if (!finishReplacement(c.newAnim)) {
        return fail(Stop::WriteFailed, o.animFileName);
    }
    return {};
}

Failure writeDataFile(const RunOptions& o, Conversion& c) {
    if (!beginReplacement(o.dataFileName, c.newData)) {
        return fail(Stop::CantOpenForWriting, o.dataFileName);
    }
    const std::vector<std::uint8_t> bytes = milkShapeDataFile(c.dataStart, c.info);
    if (!writeAll(c.newData, bytes.data(), bytes.size()) || !finishReplacement(c.newData)) {
        return fail(Stop::WriteFailed, o.dataFileName);
    }
    return {};
}

// Moves the finished files over the originals. With two files, the first is
// kept under a backup name until the second is in place, so that a failure
// in between puts the first back and leaves the mesh as it was.
Failure commitFilesNow(const RunOptions& o, Conversion& c) {
    if (!o.milkshapeFix) {
        return commitReplacement(c.newAnim) ? Failure{} : fail(Stop::WriteFailed, o.animFileName);
    }
    std::string backup;
    if (!makeBackup(o.animFileName, backup)) {
        return fail(Stop::CantOpenForWriting, o.animFileName);
    }
    if (!commitReplacement(c.newAnim)) {
        removeQuietly(backup);
        return fail(Stop::WriteFailed, o.animFileName);
    }
    if (!commitReplacement(c.newData)) {
        // Should the original not go back, its backup stays where it is: it
        // is then the only copy of the user's animation file.
        (void)restoreBackup(backup, c.newAnim.target);
        return fail(Stop::WriteFailed, o.dataFileName);
    }
    removeQuietly(backup);
    return {};
}

// An interrupt during the moves waits until both are done (or undone).
Failure commitFiles(const RunOptions& o, Conversion& c) {
    holdInterrupts();
    const Failure f = commitFilesNow(o, c);
    releaseInterrupts();
    return f;
}

Failure convert(const RunOptions& o, std::FILE* out, Conversion& c) {
    Failure f = inspect(o, out, c);
    if (f.stop == Stop::None) {
        f = checkWritable(o);
    }
    if (f.stop == Stop::None) {
        f = writeAnimation(o, c);
    }
    if (f.stop == Stop::None && o.milkshapeFix) {
        f = writeDataFile(o, c);
    }
    if (f.stop == Stop::None) {
        f = commitFiles(o, c);
    }
    abandonReplacement(c.newAnim);
    abandonReplacement(c.newData);
    return f;
}

} // namespace

int runMeshfold(const std::vector<std::string>& args, std::FILE* out) {
    say(out, kBanner);
    const Command cmd = parseCommandLine(args);
    switch (cmd.action) {
    case CommandAction::Help:
        say(out, kHelpText);
        return kExitSuccess;
    case CommandAction::Version:
        return kExitSuccess;
    case CommandAction::UsageError:
        say(out, kHelpText);
        return kExitUsage;
    case CommandAction::Convert:
        break;
    }
    Conversion c;
    const Failure f = convert(cmd.options, out, c);
    if (f.stop != Stop::None) {
        say(out, failureMessage(f));
        return kExitFailure;
    }
    say(out, rangeReport(c.ranges));
    return kExitSuccess;
}

} // namespace meshfold
