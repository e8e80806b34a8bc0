// The stub's own versions, read from its version resource the way the
// unpacker reads them at run time (VerQueryValue of "\" gives the fixed
// record): the product version gates the upgrade, the file version is shown
// beside it.
#pragma once

#include "tools/package/PeImage.h"

#include <istream>
#include <string>

namespace package {

struct StubVersion {
    bool found = false;
    std::string product;  // "a.b.c.d" from dwProductVersionMS/LS
    std::string file;     // "a.b.c.d" from dwFileVersionMS/LS
    std::string missing;  // when not found: why, in a few words
};

// Walks .rsrc: RT_VERSION, its first name, its first language, then the
// VS_VERSIONINFO block and its VS_FIXEDFILEINFO.
StubVersion ReadStubVersion(std::istream& file, const PeFacts& facts);

}  // namespace package
