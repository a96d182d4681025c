// Everything meshfold prints, and the stops that end a run.
//
// The wording is the tool's own and users' batch scripts match on it, so every
// text stays byte for byte as it has always been printed, odd spellings
// ("Cound not") and the missing final newline of some messages included.
// Every message starts with a newline so that consecutive messages form lines.
#pragma once

#include <string>
#include <string_view>

namespace meshfold {

inline constexpr std::string_view kBanner = "\nUnreal to Deus Ex mesh converter, v1.2"
                                            "\nWritten by Tolvane\n";

inline constexpr std::string_view kHelpText =
    "\nmeshfold will convert an Unreal or Unreal Tournament mesh file"
    "\ninto a format suitable for Deus Ex. This allows the use of"
    "\nexisting Unreal tools that do not work with Deus Ex.\n"
    "\nUsage: meshfold <part of filename before the \"_\">\n"
    "\nFor example:"
    "\nmeshfold BunnyDroid"
    "\nwill convert a file named BunnyDroid_a.3d\n"
    "\nThe -ms option will compensate for models exported from MilkShape."
    "\nFor example:"
    "\nmeshfold -ms BunnyDroid\n"
    "\nYou will need to have your .3d files in the same directory."
    "\nThis program *will* overwrite your _a.3d file, so make a backup"
    "\nof it if necessary.  Your _d.3d file will also be overwritten"
    "\nwhen using the -ms option.\n";

inline constexpr std::string_view kMilkShapeBanner = "\n* MilkShape Fix Mode *\n";
inline constexpr std::string_view kHiResBanner = "\n* Hi Res Experimental Mode *\n";

// Why a run ended early. Each value has exactly one message.
enum class Stop {
    None,
    CantOpen,                // names the file
    NoFrameCount,
    FrameCountInvalid,
    NoFrameSize,
    NoPolygonCount,
    PolygonCountInvalid,
    NoVertexCount,
    VertexCountInvalid,
    NoTriangles,
    AlreadyConverted,
    UnknownVertexFormat,
    FrameSizeTooLarge,
    CantOpenForWriting,      // names the file
    FrameCountWrite,         // names the file
    WriteFailed,             // names the file
    VertexWrite,
    ReadFailed,              // names the file
};

// A stop and the file it concerns (empty where the message names none).
struct Failure {
    Stop stop = Stop::None;
    std::string file;
};

// The one message printed for a failure.
std::string failureMessage(const Failure& failure);

} // namespace meshfold
