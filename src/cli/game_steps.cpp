// The game-file steps of a run: the files opened and read through the
// conversion kernel, the warnings, and the new files of a conversion.
#include "cli/game_steps.h"

#include <cstdio>
#include <utility>

namespace meshfold {

namespace {

// Reads up to `size` more bytes onto the end of `bytes`; stops early at end
// of file. False on a read error: a file that cannot be read is not a short one.
bool readUpTo(std::FILE* f, std::size_t size, std::vector<std::uint8_t>& bytes) {
    const std::size_t have = bytes.size();
    bytes.resize(have + size);
    bytes.resize(have + std::fread(bytes.data() + have, 1, size, f));
    return std::ferror(f) == 0;
}

// Reads the rest of the file onto the end of `bytes`. False on a read error.
bool readRest(std::FILE* f, std::vector<std::uint8_t>& bytes) {
    constexpr std::size_t kStep = 65536;
    while (readUpTo(f, kStep, bytes)) {
        if (std::feof(f)) {
            return true;
        }
    }
    return false;
}

// A file that cannot be opened for reading, and why. When several files match
// its name ignoring case, standard error lists them, since none was taken.
Failure cantOpen(Session& io, const std::string& file, const std::vector<std::string>& candidates) {
    if (!candidates.empty()) {
        note(io, caseCandidatesNote(file, candidates));
    }
    return fail(heldByAnotherProgram(file) ? Stop::InUse : Stop::CantOpen, file);
}

// The mesh's two files on disk, as the kernel reads them: the animation file
// open in c.anim; the data file opened on its first read (its stamp kept in
// c.dataRead) and closed once inspection has read what it wants of it.
class MeshFiles final : public MeshReader {
public:
    MeshFiles(Session& io, Conversion& c) : io_(io), c_(c) {}

    Failure readAnim(std::span<std::uint8_t> to, std::size_t& got) override {
        got = std::fread(to.data(), 1, to.size(), c_.anim.get());
        return std::ferror(c_.anim.get()) == 0 ? Failure{}
                                               : fail(Stop::ReadFailed, c_.options.animFileName);
    }

    Failure rewindAnim() override {
        std::clearerr(c_.anim.get());
        return std::fseek(c_.anim.get(), static_cast<long>(kAnimHeaderSize), SEEK_SET) == 0
                   ? Failure{}
                   : fail(Stop::ReadFailed, c_.options.animFileName);
    }

    Failure readData(std::size_t size, std::vector<std::uint8_t>& bytes) override {
        const std::string& file = c_.options.dataFileName;
        if (!data_) {
            data_.reset(openForReading(file));
            if (!data_) {
                return cantOpen(io_, file, c_.named->dataCandidates);
            }
            c_.dataRead = stampOf(data_.get());
        }
        const bool read =
            size == kRestOfFile ? readRest(data_.get(), bytes) : readUpTo(data_.get(), size, bytes);
        return read ? Failure{} : fail(Stop::ReadFailed, file);
    }

    void endData() override { data_.reset(); }

private:
    Session& io_;
    Conversion& c_;
    InputFile data_;
};

// What the triangles say about a mesh that is going to be converted.
void warnAboutTriangles(Session& io, const Conversion& c) {
    const MeshHeaderInfo& info = c.inspected.info;
    const TriangleFindings t = checkTriangles(c.inspected.dataStart, info);
    const std::string& file = c.options.dataFileName;
    if (t.badIndex > 0) {
        note(io, triangleIndexWarning(file, t.badIndex, info.polygonCount, t.firstBad,
                                      t.firstBadIndex, info.vertexCount));
    }
    if (c.options.milkshapeFix && t.weapons > 0) {
        note(io, weaponTriangleWarning(file, t.weapons));
    }
}

// A mesh converted without -h and taken back with it comes out a few field
// steps across; converted again, a speck. The run still does what was asked.
void warnAboutScale(Session& io, const Conversion& c) {
    if (c.inspected.smallScale) {
        note(io, smallScaleWarning(c.options.animFileName));
    }
}

// Checks, before anything is written (in a dry run too), that every file the
// conversion will replace can be replaced by this user.
Failure checkConversionWritable(const RunOptions& o) {
    const Failure f = replaceable(o.animFileName);
    if (f.stop != Stop::None || !o.milkshapeFix) {
        return f;
    }
    return replaceable(o.dataFileName);
}

Failure writeAnimation(Session& io, Conversion& c) {
    const RunOptions& o = c.options;
    if (!io.dryRun && !beginReplacement(o.animFileName, {}, c.newAnim)) {
        return refusal(c.newAnim.refused, o.animFileName, Stop::CantOpenForWriting);
    }
    MeshFiles files(io, c);
    const ByteSink write = [&io, &c](const std::uint8_t* bytes, std::size_t size) {
        return writeAll(io, c, c.newAnim, bytes, size);
    };
    return writeConvertedAnimation(o, c.inspected, files, io.buffers, write, c.converted);
}

Failure writeDataFile(Session& io, Conversion& c) {
    const RunOptions& o = c.options;
    if (!io.dryRun && !beginReplacement(o.dataFileName, c.newAnim.tag, c.newData)) {
        return refusal(c.newData.refused, o.dataFileName, Stop::CantOpenForWriting);
    }
    const std::vector<std::uint8_t> bytes =
        milkShapeDataFile(c.inspected.dataStart, c.inspected.info);
    if (!writeAll(io, c, c.newData, bytes.data(), bytes.size())) {
        return fail(Stop::WriteFailed, o.dataFileName);
    }
    return {};
}

} // namespace

Failure inspectGameFiles(Session& io, Conversion& c) {
    const RunOptions& o = c.options;
    c.anim.reset(openForReading(o.animFileName));
    if (!c.anim) {
        return cantOpen(io, o.animFileName, c.named->animCandidates);
    }
    c.animRead = stampOf(c.anim.get());
    MeshFiles files(io, c);
    InspectStep step = inspectAnimation(o, files, c.inspected);
    emit(io, c, step.progress);
    if (step.failure.stop == Stop::None) {
        step = inspectData(o, files, io.buffers.in, c.inspected);
        emit(io, c, step.progress);
    }
    if (step.failure.stop == Stop::None) {
        warnAboutTriangles(io, c);
        warnAboutScale(io, c);
    }
    return step.failure;
}

Failure rewindAnimation(Session& io, Conversion& c) {
    return MeshFiles(io, c).rewindAnim();
}

void warnAboutVertexBytes(Session& io, Conversion& c) {
    const MeshHeaderInfo& info = c.inspected.info;
    const std::uint64_t expected = std::uint64_t{info.frameCount} * info.frameSize;
    if (!std::exchange(c.vertexBytesChecked, true) && c.converted.bytesRead != expected) {
        note(io, vertexBytesWarning(c.options.animFileName, c.converted.bytesRead, info.frameCount,
                                    info.frameSize));
    }
}

Failure prepareConversion(Session& io, Conversion& c) {
    Failure f = inspectGameFiles(io, c);
    if (f.stop == Stop::None) {
        f = checkConversionWritable(c.options);
    }
    c.newFiles = c.options.milkshapeFix ? 2 : 1;
    return f;
}

Failure writeConversion(Session& io, Conversion& c) {
    Failure f = writeAnimation(io, c);
    if (f.stop == Stop::None) {
        warnAboutVertexBytes(io, c);
        if (c.options.milkshapeFix) {
            f = writeDataFile(io, c);
        }
    }
    if (f.stop != Stop::None) {
        abandon(c);
    }
    return f;
}

} // namespace meshfold
