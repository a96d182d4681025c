#include "meshfold/messages.h"

namespace meshfold {

std::string failureMessage(const Failure& failure) {
    const std::string& f = failure.file;
    switch (failure.stop) {
    case Stop::None:
        return {};
    case Stop::CantOpen:
        return "\n\nCan't open file " + f + " !\n";
    case Stop::NoFrameCount:
        return "\n\nProblem reading data file: could not read number of frames !\n";
    case Stop::FrameCountInvalid:
        return "\n\nNumber of animation frames invalid !\n";
    case Stop::NoFrameSize:
        return "\n\nProblem reading data file: could not read frame size !\n";
    case Stop::NoPolygonCount:
        return "\n\nProblem reading data file: could not read number of polygons !\n";
    case Stop::PolygonCountInvalid:
        return "\n\nNumber of polygons invalid !";
    case Stop::NoVertexCount:
        return "\n\nProblem reading data file: could not read number of vertices !\n";
    case Stop::VertexCountInvalid:
        return "\n\nNumber of vertices invalid !";
    case Stop::NoTriangles:
        return "\n\nProblem reading data file: could not read triangles !\n";
    case Stop::AlreadyConverted:
        return "\n\nMesh file has already been converted !\n";
    case Stop::UnknownVertexFormat:
        return "\n\nCound not determine vertex format !\n";
    case Stop::FrameSizeTooLarge:
        return "\n\nFrame size too large to convert !\n";
    case Stop::CantOpenForWriting:
        return "\n\nCan't open file " + f + " for writing !\n";
    case Stop::FrameCountWrite:
        // No newline after this one: it has always been printed that way.
        return "\n\nProblem writing to file " + f + " !";
    case Stop::WriteFailed:
        return "\n\nProblem writing to file " + f + " !\n";
    case Stop::VertexWrite:
        return "\n\nCould not write vertex !\n";
    case Stop::ReadFailed:
        // A read error is not the end of the file: converting what came before
        // it would silently drop the rest of the user's vertices.
        return "\n\nProblem reading file " + f + " !\n";
    }
    return {};
}

} // namespace meshfold
