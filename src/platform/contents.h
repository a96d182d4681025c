// platform: the little meshfold needs of the operating system, one file per
// system behind one header.
// Rule: the only code that includes a system's own headers; CMake builds
// platform_posix.cpp or platform_windows.cpp, and both follow platform.h.
// May include: common.
// System headers: any.
//
// Contents (the contract in include/meshfold/platform/, the rest here):
//   platform.h            files by name, safe replacement, folders, consoles
//   platform_common.cpp   what both systems share, over their own calls
//   platform_internal.h   for both systems' files alone: the names of the
//                         temporary and backup files, the interrupt list
//   platform_posix.cpp    Linux, the BSDs, macOS
//   platform_windows.cpp  Windows (MSVC and MinGW)
#pragma once
