// common: what every layer shares: little-endian bytes, ASCII names, paths,
// the options of one mesh's run, and every message meshfold prints.
// Rule: includes nothing of ours; no file access.
// May include: nothing.
//
// Contents (contracts in include/meshfold/common/, the rest here):
//   ascii.h        comparing names with the case of ASCII letters ignored
//   bytes.h        little-endian 16- and 32-bit fields read and written
//   messages.h     everything meshfold prints, and the stops that end a run
//   messages.cpp   the messages' texts
//   paths.h        a path split into its folder and its name
//   run_options.h  what the conversion of one mesh works on (RunOptions)
#pragma once
