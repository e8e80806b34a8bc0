#include "tools/package/PackageWriter.h"

#include "TestSupport.h"
#include "tools/package/Sha256.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>

namespace {

using namespace testsupport;

struct Extracted {
    std::string name;
    Bytes data;
};

struct Unpacked {
    uint64_t headerOffset = 0;
    uint64_t fillerLength = 0;
    uint64_t trailerOffset = 0;
    std::vector<Extracted> entries;
};

// Walks a packaged file the way UnPackFile.exe does, written here on its own so
// that the writer is not checked against its own reading code: e_lfanew, the
// certificate length at 156 of the PE headers (172 in a PE32+ image), the
// trailer that far before the end, its header offset, then record and data
// until the count is reached.
Unpacked UnpackLikeTheUnpacker(const Bytes& file) {
    Unpacked result;
    const uint32_t pe = Le32(file, 60);
    const bool pe32Plus = file[pe + 24] == 0x0B && file[pe + 25] == 0x02;
    const int32_t certificateLength = static_cast<int32_t>(Le32(file, pe + (pe32Plus ? 172 : 156)));
    const uint64_t distance = 284 + (certificateLength > 0 ? static_cast<uint64_t>(certificateLength) : 0);
    result.trailerOffset = file.size() - distance;
    result.headerOffset = Le64(file, result.trailerOffset + 8);
    uint64_t at = result.headerOffset;
    for (int32_t number = 0;;) {
        if (at + 284 > file.size()) break;
        const int32_t count = static_cast<int32_t>(Le32(file, at));
        if (number >= count) break;
        const uint64_t size = Le64(file, at + 8);
        const char* name = reinterpret_cast<const char*>(file.data() + at + 24);
        Extracted entry{std::string(name, strnlen(name, 260)), {}};
        at += 284;
        entry.data.assign(file.begin() + at, file.begin() + at + size);
        at += size;
        result.entries.push_back(std::move(entry));
        if (++number == count) break;
    }
    result.fillerLength = result.trailerOffset - at;
    return result;
}

struct InputFile {
    std::string name;
    size_t size;
};

TEST(PackageWriter, RoundTripsEntriesWithEveryFillerLength) {
    // The fake stub is 1536 bytes (a multiple of 8); every record and the
    // trailer are 284 bytes (4 mod 8); so the filler follows from the data sizes.
    struct Case {
        const char* label;
        std::vector<InputFile> files;
        uint64_t expectedFiller;
    } cases[] = {
        {"one entry, size 0", {{"package1.cab", 0}}, 0},
        {"one entry, size 1", {{"package1.cab", 1}}, 7},
        {"one entry, size 2", {{"a.bin", 2}}, 6},
        {"one entry, size 3", {{"a.bin", 3}}, 5},
        {"one entry, size 4", {{"a.bin", 4}}, 4},
        {"one entry, size 5", {{"a.bin", 5}}, 3},
        {"one entry, size 6", {{"a.bin", 6}}, 2},
        {"one entry, size 7", {{"a.bin", 7}}, 1},
        {"two entries", {{"package1.cab", 1000}, {"setup.ini", 3}}, 1},
        {"three entries", {{"one", 1}, {"two", 2}, {"three", 3}}, 2},
        {"larger than the copy buffer", {{"package1.cab", 200003}, {"b", 65536}}, 1},
        {"empty between full", {{"x.cab", 17}, {"empty", 0}, {"y.cab", 8}}, 7},
    };
    std::set<uint64_t> fillersSeen;
    for (const Case& c : cases)
    for (bool pe32Plus : {false, true}) {
        SCOPED_TRACE(c.label + std::string(pe32Plus ? ", PE32+ stub" : ", PE32 stub"));
        ScratchDir dir;
        const Bytes stub = FakeStub(1024, pe32Plus);
        WriteBytes(dir.Path("stub.exe"), stub);
        std::vector<std::string> inputs;
        std::vector<Bytes> contents;
        for (size_t i = 0; i < c.files.size(); ++i) {
            contents.push_back(PatternBytes(c.files[i].size, static_cast<uint32_t>(i + 1)));
            inputs.push_back(dir.Path(c.files[i].name));
            WriteBytes(inputs.back(), contents.back());
        }
        std::string error;
        ASSERT_TRUE(package::PackFiles(dir.Path("stub.exe"), inputs, dir.Path("out.exe"), error, package::UncheckedForTests())) << error;
        EXPECT_FALSE(Exists(dir.Path("out.exe.partial")));
        const Bytes out = ReadBytes(dir.Path("out.exe"));

        ASSERT_GE(out.size(), stub.size());
        EXPECT_TRUE(std::equal(stub.begin(), stub.end(), out.begin())) << "the image must be copied unchanged";
        EXPECT_EQ(out.size() % 8, 0u) << "an unsigned package ends on a multiple of 8";

        const Unpacked unpacked = UnpackLikeTheUnpacker(out);
        EXPECT_EQ(unpacked.headerOffset, stub.size());
        EXPECT_EQ(unpacked.fillerLength, c.expectedFiller);
        fillersSeen.insert(unpacked.fillerLength);
        ASSERT_EQ(unpacked.entries.size(), c.files.size());
        for (size_t i = 0; i < c.files.size(); ++i) {
            EXPECT_EQ(unpacked.entries[i].name, c.files[i].name);
            EXPECT_TRUE(unpacked.entries[i].data == contents[i]) << "data of " << c.files[i].name;
        }

        // Every record holds the same count, the marker 2 and the size twice.
        uint64_t at = unpacked.headerOffset;
        for (size_t i = 0; i < c.files.size(); ++i) {
            EXPECT_EQ(Le32(out, at), c.files.size());
            EXPECT_EQ(Le32(out, at + 4), 2u);
            EXPECT_EQ(Le64(out, at + 8), c.files[i].size);
            EXPECT_EQ(Le64(out, at + 16), c.files[i].size);
            for (size_t b = 24 + c.files[i].name.size(); b < 284; ++b) ASSERT_EQ(out[at + b], 0);
            at += 284 + c.files[i].size;
        }
        for (uint64_t b = at; b < unpacked.trailerOffset; ++b) EXPECT_EQ(out[b], 0) << "filler byte " << b;

        // The trailer: magic, header offset, format version, count, length, hash, zeros.
        const uint64_t t = unpacked.trailerOffset;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&out[t]), 8), "KOUPKG01");
        EXPECT_EQ(Le32(out, t + 16), 1u);
        EXPECT_EQ(Le32(out, t + 20), c.files.size());
        EXPECT_EQ(Le64(out, t + 24), t - unpacked.headerOffset);
        const package::Sha256::Digest digest =
            package::Sha256::Of(out.data() + unpacked.headerOffset, t - unpacked.headerOffset);
        EXPECT_EQ(std::memcmp(digest.data(), &out[t + 32], 32), 0);
        for (uint64_t b = t + 64; b < t + 284; ++b) ASSERT_EQ(out[b], 0) << "reserved trailer byte " << b;
    }
    EXPECT_EQ(fillersSeen.size(), 8u) << "the table must reach every filler length 0 to 7";
}

TEST(PackageWriter, SameInputsGiveSameBytes) {
    ScratchDir dir;
    WriteBytes(dir.Path("stub.exe"), FakeStub(2048));
    WriteBytes(dir.Path("package1.cab"), PatternBytes(70001, 5));
    WriteBytes(dir.Path("setup.ini"), PatternBytes(33, 6));
    const std::vector<std::string> inputs = {dir.Path("package1.cab"), dir.Path("setup.ini")};
    std::string error;
    ASSERT_TRUE(package::PackFiles(dir.Path("stub.exe"), inputs, dir.Path("first.exe"), error, package::UncheckedForTests())) << error;
    ASSERT_TRUE(package::PackFiles(dir.Path("stub.exe"), inputs, dir.Path("second.exe"), error, package::UncheckedForTests())) << error;
    EXPECT_TRUE(ReadBytes(dir.Path("first.exe")) == ReadBytes(dir.Path("second.exe")));
}

TEST(PackageWriter, ReplacesAnExistingOutput) {
    ScratchDir dir;
    WriteBytes(dir.Path("stub.exe"), FakeStub());
    WriteBytes(dir.Path("a.cab"), PatternBytes(10, 1));
    WriteBytes(dir.Path("out.exe"), PatternBytes(100000, 2));
    std::string error;
    ASSERT_TRUE(package::PackFiles(dir.Path("stub.exe"), {dir.Path("a.cab")}, dir.Path("out.exe"), error, package::UncheckedForTests()))
        << error;
    const Unpacked unpacked = UnpackLikeTheUnpacker(ReadBytes(dir.Path("out.exe")));
    ASSERT_EQ(unpacked.entries.size(), 1u);
    EXPECT_TRUE(unpacked.entries[0].data == PatternBytes(10, 1));
}

// Returns the stub bytes for a refusal case.
Bytes SignedStub(bool pe32Plus) {
    Bytes stub = FakeStub(1024, pe32Plus);
    PutLe32(stub, SecurityField(pe32Plus), static_cast<uint32_t>(stub.size()));
    PutLe32(stub, SecurityField(pe32Plus) + 4, 16);
    stub.resize(stub.size() + 16, 0x30);
    return stub;
}

Bytes StubWithOverlay() {
    Bytes stub = FakeStub();
    stub.resize(stub.size() + 100, 0x42);  // e.g. a symbol table left by a link without -s
    return stub;
}

// An optional header that is neither PE32 nor PE32+ (0x107 marks a ROM image).
Bytes RomImageStub() {
    Bytes stub = FakeStub();
    stub[kFakePeOffset + 24] = 0x07;
    stub[kFakePeOffset + 25] = 0x01;
    return stub;
}

// A PE32+ stub whose optional header is too short to hold the security directory.
Bytes ShortPe32PlusStub() {
    Bytes stub = FakeStub();
    stub[kFakePeOffset + 24] = 0x0B;
    stub[kFakePeOffset + 25] = 0x02;
    return stub;
}

Bytes NotAPe() {
    Bytes stub = FakeStub();
    stub[kFakePeOffset] = 'X';
    return stub;
}

Bytes TruncatedStub() {
    Bytes stub = FakeStub();
    stub.resize(stub.size() - 10);
    return stub;
}

struct Refusal {
    const char* label;
    Bytes stub;
    std::vector<InputFile> files;  // created in the scratch folder
    std::vector<std::string> inputNames;  // passed to the writer (may name missing files)
    const char* expectedInMessage;
};

TEST(PackageWriter, RefusesAndLeavesNothingBehind) {
    const std::vector<InputFile> goodFile = {{"package1.cab", 100}};
    const std::vector<Refusal> refusals = {
        {"signed stub", SignedStub(false), goodFile, {"package1.cab"}, "sign after packing"},
        {"signed PE32+ stub", SignedStub(true), goodFile, {"package1.cab"}, "sign after packing"},
        {"stub with bytes behind its last section", StubWithOverlay(), goodFile, {"package1.cab"}, "behind its last section"},
        {"ROM image stub", RomImageStub(), goodFile, {"package1.cab"}, "neither 0x10B nor 0x20B"},
        {"PE32+ stub without a security directory", ShortPe32PlusStub(), goodFile, {"package1.cab"}, "security directory"},
        {"not a PE file", NotAPe(), goodFile, {"package1.cab"}, "PE signature"},
        {"truncated stub", TruncatedStub(), goodFile, {"package1.cab"}, "truncated"},
        {"no files", FakeStub(), {}, {}, "nothing to pack"},
        {"missing file", FakeStub(), {}, {"missing.cab"}, "missing.cab"},
        {"device name", FakeStub(), {{"con.txt", 5}}, {"con.txt"}, "con.txt"},
        {"device name without extension", FakeStub(), {{"NUL", 5}}, {"NUL"}, "NUL"},
        {"trailing dot", FakeStub(), {{"a.", 5}}, {"a."}, "a."},
        {"trailing blank", FakeStub(), {{"a ", 5}}, {"a "}, "a "},
        {"backslash", FakeStub(), {{"a\\b", 5}}, {"a\\b"}, "a\\b"},
        {"drive colon", FakeStub(), {{"C:x", 5}}, {"C:x"}, "C:x"},
        {"non-ASCII", FakeStub(), {{"caf\xC3\xA9.cab", 5}}, {"caf\xC3\xA9.cab"}, "ASCII"},
        // Longer than a Linux file name may be, so the name is refused before the file is looked for.
        {"260 bytes", FakeStub(), {}, {std::string(256, 'n') + ".cab"}, "259"},
        {"same name twice", FakeStub(), {{"package1.cab", 5}, {"PACKAGE1.CAB", 6}}, {"package1.cab", "PACKAGE1.CAB"},
         "already in the package"},
        {"a folder", FakeStub(), {}, {"sub"}, "regular file"},
        {"201 characters: 260 below the unpack folder", FakeStub(), {{std::string(197, 'n') + ".cab", 5}},
         {std::string(197, 'n') + ".cab"}, "would be 260 characters long; Windows paths hold at most 259"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.label);
        ScratchDir dir;
        WriteBytes(dir.Path("stub.exe"), r.stub);
        std::filesystem::create_directory(dir.Path("sub"));
        for (const InputFile& f : r.files) WriteBytes(dir.Path(f.name), PatternBytes(f.size, 3));
        std::vector<std::string> inputs;
        for (const std::string& name : r.inputNames) inputs.push_back(dir.Path(name));
        std::string error;
        EXPECT_FALSE(package::PackFiles(dir.Path("stub.exe"), inputs, dir.Path("out.exe"), error));
        EXPECT_NE(error.find(r.expectedInMessage), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
        EXPECT_FALSE(Exists(dir.Path("out.exe")));
        EXPECT_FALSE(Exists(dir.Path("out.exe.partial")));
    }
}

TEST(PackageWriter, RefusesAStubThatAlreadyCarriesAPackage) {
    struct Case {
        const char* label;
        bool wipeMagic;  // a package from a writer without our magic
    } cases[] = {{"our trailer", false}, {"a trailer without our magic", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        WriteBytes(dir.Path("stub.exe"), FakeStub());
        WriteBytes(dir.Path("package1.cab"), PatternBytes(300, 1));
        std::string error;
        ASSERT_TRUE(package::PackFiles(dir.Path("stub.exe"), {dir.Path("package1.cab")}, dir.Path("packed.exe"), error,
                                       package::UncheckedForTests()));
        if (c.wipeMagic) {
            Bytes packed = ReadBytes(dir.Path("packed.exe"));
            std::fill(packed.end() - 284, packed.end() - 276, 0);
            WriteBytes(dir.Path("packed.exe"), packed);
        }
        EXPECT_FALSE(package::PackFiles(dir.Path("packed.exe"), {dir.Path("package1.cab")}, dir.Path("out.exe"), error));
        EXPECT_NE(error.find("already carries a package"), std::string::npos) << error;
        EXPECT_FALSE(Exists(dir.Path("out.exe")));
    }
}

TEST(PackageWriter, FailureLeavesAnExistingOutputUntouched) {
    ScratchDir dir;
    WriteBytes(dir.Path("stub.exe"), SignedStub(false));
    WriteBytes(dir.Path("a.cab"), PatternBytes(10, 1));
    const Bytes before = PatternBytes(5000, 9);
    WriteBytes(dir.Path("out.exe"), before);
    std::string error;
    EXPECT_FALSE(package::PackFiles(dir.Path("stub.exe"), {dir.Path("a.cab")}, dir.Path("out.exe"), error));
    EXPECT_TRUE(ReadBytes(dir.Path("out.exe")) == before);
    EXPECT_FALSE(Exists(dir.Path("out.exe.partial")));
}

TEST(PackageWriter, RefusesToOverwriteItsOwnInputs) {
    struct Case {
        const char* label;
        const char* output;
    } cases[] = {{"the stub", "stub.exe"}, {"an input", "a.cab"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        const Bytes stub = FakeStub();
        const Bytes input = PatternBytes(10, 1);
        WriteBytes(dir.Path("stub.exe"), stub);
        WriteBytes(dir.Path("a.cab"), input);
        std::string error;
        EXPECT_FALSE(package::PackFiles(dir.Path("stub.exe"), {dir.Path("a.cab")}, dir.Path(c.output), error));
        EXPECT_NE(error.find("would replace"), std::string::npos) << error;
        EXPECT_TRUE(ReadBytes(dir.Path("stub.exe")) == stub);
        EXPECT_TRUE(ReadBytes(dir.Path("a.cab")) == input);
    }
}

// The install step runs expand.exe on every .cab: pack takes only cabinets it
// can read whole, and passes other files with a note.
TEST(PackageWriter, PacksOnlyCabinetsThatExpandCanRead) {
    ScratchDir dir;
    WriteBytes(dir.Path("stub.exe"), FakeStub());
    const std::vector<CabinetInput> host = {{"VYAuto.exe", PatternBytes(70000, 1)}, {"hostdata.txt", Bytes(40000, 'k')}};
    const Bytes stored = MakeCabinet(dir.Path("made-stored"), host, false);
    const Bytes mszip = MakeCabinet(dir.Path("made-mszip"), host, true);
    // Cabinets without reserved space: the first folder's data starts where
    // the folder record says; a data block's header is 8 bytes.
    auto damageFirstBlock = [](Bytes cabinet) {
        cabinet.at(Le32(cabinet, 36) + 8 + 100) ^= 0x01;
        return cabinet;
    };
    auto cut = [](Bytes cabinet, size_t removed) {
        cabinet.resize(cabinet.size() - removed);
        return cabinet;
    };
    Bytes trailing = stored;
    trailing.push_back(0);
    // The first of a set: the flag for a next cabinet, whose names follow the
    // 36-byte header, and every offset behind them moved (size, files, folders).
    auto firstOfASet = [](Bytes cabinet) {
        const std::string next("next.cab\0disk2\0", 15);
        cabinet.insert(cabinet.begin() + 36, next.begin(), next.end());
        cabinet[30] |= 0x02;
        PutLe32(cabinet, 8, static_cast<uint32_t>(cabinet.size()));
        PutLe32(cabinet, 16, Le32(cabinet, 16) + 15);
        for (size_t folder = 0; folder < cabinet[26]; ++folder)
            PutLe32(cabinet, 51 + 8 * folder, Le32(cabinet, 51 + 8 * folder) + 15);
        return cabinet;
    };
    Bytes noFiles = stored;
    noFiles[28] = noFiles[29] = 0;
    const Bytes badName = MakeCabinet(dir.Path("made-names"), {{"VYAuto.exe", Bytes(5, 'v')}, {"x?y", Bytes(5, 'x')}}, false);
    struct Case {
        const char* label;
        std::vector<std::pair<std::string, Bytes>> files;
        bool checked;
        const char* expected;  // in the refusal or the notes; nullptr: packed without a note
        bool packed;
    } cases[] = {
        {"stored cabinet", {{"package1.cab", stored}}, true, nullptr, true},
        {"MSZIP cabinet", {{"package1.cab", mszip}}, true, nullptr, true},
        {"upper-case name", {{"PACKAGE1.CAB", mszip}}, true, nullptr, true},
        {"cabinet and another file", {{"package1.cab", stored}, {"setup.ini", Bytes(3, 'i')}}, true,
         "'setup.ini' is not a .cab", true},
        {"not a cabinet", {{"package1.cab", PatternBytes(5000, 2)}}, true, "package1.cab': expand.exe would fail", false},
        {"empty .cab", {{"package1.cab", {}}}, true, "package1.cab': expand.exe would fail", false},
        {"truncated stored cabinet", {{"package1.cab", cut(stored, 1000)}}, true, "cut off", false},
        {"truncated MSZIP cabinet", {{"package1.cab", cut(mszip, 1)}}, true, "cut off", false},
        {"bytes behind the cabinet", {{"package1.cab", trailing}}, true, "bytes behind the cabinet", false},
        {"damaged block, stored", {{"package1.cab", damageFirstBlock(stored)}}, true, "checksum", false},
        {"damaged block, MSZIP", {{"package1.cab", damageFirstBlock(mszip)}}, true, "damaged", false},
        {"second cabinet damaged", {{"a.cab", stored}, {"b.cab", damageFirstBlock(mszip)}}, true, "/b.cab': ", false},
        {"no cabinet", {{"setup.ini", Bytes(3, 'i')}}, true, "nothing would be installed", false},
        {"one part of a set", {{"package1.cab", firstOfASet(stored)}}, true, "one part of a set of cabinets", false},
        {"no files", {{"package1.cab", noFiles}}, true, "no files", false},
        {"a name Windows refuses", {{"package1.cab", badName}}, true,
         "package1.cab': its file 'x?y': the name 'x?y' holds '?', which Windows does not allow in names", false},
        {"not a cabinet, unchecked", {{"package1.cab", PatternBytes(5000, 2)}}, false, nullptr, true},
        {"no cabinet, unchecked", {{"data.bin", PatternBytes(5, 2)}}, false, "'data.bin' is not a .cab", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> inputs;
        for (const auto& file : c.files) {
            inputs.push_back(dir.Path(file.first));
            WriteBytes(inputs.back(), file.second);
        }
        const package::PackOptions options = c.checked ? package::PackOptions() : package::UncheckedForTests();
        std::string error;
        std::vector<std::string> notes;
        EXPECT_EQ(package::PackFiles(dir.Path("stub.exe"), inputs, dir.Path("out.exe"), error, options, &notes),
                  c.packed)
            << error;
        EXPECT_EQ(Exists(dir.Path("out.exe")), c.packed);
        EXPECT_FALSE(Exists(dir.Path("out.exe.partial")));
        std::string told = error;
        for (const std::string& note : notes) told += note + "\n";
        if (c.expected != nullptr)
            EXPECT_NE(told.find(c.expected), std::string::npos) << told;
        else
            EXPECT_EQ(told, "");
        std::filesystem::remove(dir.Path("out.exe"));
        for (const std::string& input : inputs) std::filesystem::remove(input);
    }
}

// The cabinet made of a folder must list exactly the folder's files.
TEST(PackageWriter, RefusesACabinetThatDoesNotListTheFolder) {
    ScratchDir dir;
    WriteBytes(dir.Path("stub.exe"), FakeStub());
    MakeCabinet(dir.Path("package1.cab"), {{"VYAuto.exe", Bytes(70, 'v')}, {"sub\\a.txt", Bytes(4, 'a')}}, false);
    const std::vector<package::CabinetFile> folder = {{"VYAuto.exe", 70}, {"sub\\a.txt", 5}};
    package::PackOptions options{true, &folder};
    std::string error;
    EXPECT_FALSE(package::PackFiles(dir.Path("stub.exe"), {dir.Path("package1.cab")}, dir.Path("out.exe"), error, options));
    EXPECT_EQ(error, "'" + dir.Path("package1.cab") + "' does not hold exactly the folder's files: 'sub\\a.txt' (5 bytes) "
                     "is in the folder but not in the cabinet");
    EXPECT_FALSE(Exists(dir.Path("out.exe")));
}

TEST(PackageWriter, EntryNameChecks) {
    struct Case {
        std::string name;
        bool accepted;
    } cases[] = {
        {"package1.cab", true}, {std::string(259, 'a'), true}, {"setup.ini", true},
        {"", false}, {".", false}, {"..", false}, {"a\\b", false}, {"a/b", false}, {"C:x", false},
        {"NUL", false}, {"con.txt", false}, {"COM1", false}, {"a.", false}, {"a ", false},
        {std::string(260, 'a'), false}, {"\xE4.cab", false}, {std::string("a\0b", 3), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        std::string reason;
        EXPECT_EQ(package::CheckEntryName(c.name, reason), c.accepted) << reason;
        if (!c.accepted) EXPECT_FALSE(reason.empty());
    }
}

TEST(PackageWriter, BaseName) {
    struct Case {
        const char* path;
        const char* base;
    } cases[] = {{"package1.cab", "package1.cab"}, {"/a/b/package1.cab", "package1.cab"}, {"dir/", ""},
#ifdef _WIN32
                 {"C:\\x\\y.cab", "y.cab"}, {"C:y.cab", "y.cab"},
#endif
    };
    for (const Case& c : cases) EXPECT_EQ(package::BaseName(c.path), c.base) << c.path;
}

}  // namespace
