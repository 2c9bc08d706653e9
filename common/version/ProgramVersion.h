// --version for every program: one version from the build, answered the same way everywhere.
#pragma once

// The project's version, followed by the git description when built from a checkout,
// e.g. "0.1.0 (git 1be42f9-dirty)".
const char* PravexVersion();

// The application id that names the desktop entry, the icon and the AppStream metainfo.
const char* PravexAppId();

// Where the package keeps its private libraries (the simulated D2XX driver), e.g.
// /usr/lib/x86_64-linux-gnu/pravex; the programs find them there by their RUNPATH.
const char* PravexPrivateLibDir();

// True, after printing "PROGRAM VERSION" on standard output, when the first argument is --version: the
// caller then ends with 0. Only the first place counts, so an option's value of "--version" stays a value.
bool PravexVersionAsked(int argc, char** argv, const char* program);
