// commit: a group's new files moved over the originals so that a crash or a
// power cut leaves each file old or whole, and the next run's recovery of
// what a cut-short run left.
// Rule: changes files only through the platform layer's replacement calls.
// May include: common, platform, game.
//
// Contents:
//   commit.h      the commit protocol and its order
//   commit.cpp
//   recovery.h    a cut-short commit finished or undone
//   recovery.cpp
#pragma once
