// The upkpack command line: pack, inspect, extract and their exit codes.
#include "TestSupport.h"

#include "tools/package/Sha256.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>

namespace {

using namespace testsupport;

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

// A packaged file of two entries behind the fake stub: an MSZIP cabinet of two
// files and a setup.ini of 8 to 15 bytes, sized for 7 filler bytes, so that
// every region has bytes to tamper with.
struct PackedFile {
    ScratchDir dir;
    std::string path;
    Bytes bytes;
    uint64_t cabinetSize = 0;
    uint64_t iniSize = 0;
    uint64_t headerOffset = 0;
    uint64_t secondRecord = 0;
    uint64_t filler = 0;
    uint64_t trailer = 0;

    PackedFile() {
        const Bytes stub = FakeStub();
        WriteBytes(dir.Path("UnPackFile.exe"), stub);
        cabinetSize = MakeCabinet(dir.Path("package1.cab"),
                                  {{"VYAuto.exe", PatternBytes(3000, 1)}, {"hostdata.txt", Bytes(33, 'h')}}, true)
                          .size();
        iniSize = 8 + (13 - cabinetSize % 8) % 8;
        WriteBytes(dir.Path("setup.ini"), PatternBytes(iniSize, 2));
        path = dir.Path("Packaged.exe");
        std::string output;
        int code = RunTool({"pack", "--stub", dir.Path("UnPackFile.exe"), "--out", path, dir.Path("package1.cab"),
                            dir.Path("setup.ini")},
                           &output);
        EXPECT_EQ(code, kOk) << output;
        bytes = ReadBytes(path);
        headerOffset = stub.size();
        secondRecord = headerOffset + 284 + cabinetSize;
        filler = secondRecord + 284 + iniSize;
        trailer = bytes.size() - 284;
    }

    // Runs extract with the options on a copy of the packaged bytes that change
    // has altered, into out emptied first; the exit code, with the output.
    int ExtractChanged(const std::function<void(Bytes&)>& change, const std::string& out,
                       const std::vector<std::string>& options, std::string& output) {
        std::filesystem::remove_all(out);
        Bytes changed = bytes;
        change(changed);
        WriteBytes(dir.Path("case.exe"), changed);
        std::vector<std::string> arguments = {"extract", dir.Path("case.exe"), "--out", out};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return RunTool(arguments, &output);
    }
};

TEST(Upkpack, InspectAcceptsAFreshPackageAndPrintsItsLayout) {
    PackedFile packed;
    EXPECT_EQ(packed.trailer - packed.filler, 7u);
    for (const char* command : {"inspect", "verify"}) {
        SCOPED_TRACE(command);
        std::string output;
        EXPECT_EQ(RunTool({command, packed.path}, &output), kOk) << output;
        const std::string expected[] = {
            "image end:         " + std::to_string(packed.headerOffset),
            "header offset:     " + std::to_string(packed.headerOffset),
            "entry 1:           record " + std::to_string(packed.headerOffset) + ", data " +
                std::to_string(packed.headerOffset + 284) + ", size " + std::to_string(packed.cabinetSize) +
                ", name package1.cab",
            "                   cabinet: 2 file(s), every one expands",
            "                     VYAuto.exe (3000 bytes)",
            "                     hostdata.txt (33 bytes)",
            "entry 2:           record " + std::to_string(packed.secondRecord) + ", data " +
                std::to_string(packed.secondRecord + 284) + ", size " + std::to_string(packed.iniSize) +
                ", name setup.ini",
            "filler:            " + std::to_string(packed.filler) + " (7 bytes)",
            "trailer:           " + std::to_string(packed.trailer) + " (ends at " + std::to_string(packed.bytes.size()) + ")",
            "certificate table: none",
        };
        for (const std::string& line : expected) EXPECT_NE(output.find(line + "\n"), std::string::npos) << line;
    }
    // The same findings for a program, read back with the JSON library.
    std::string output;
    EXPECT_EQ(RunTool({"inspect", "--json", packed.path}, &output), kOk) << output;
    const auto json = nlohmann::json::parse(output);
    EXPECT_EQ(json["layout"]["trailer"]["offset"], packed.trailer);
    EXPECT_EQ(json["entries"][1]["name"], "setup.ini");
    EXPECT_EQ(json["entries"][0]["cabinet"]["files"][1], (nlohmann::json{{"name", "hostdata.txt"}, {"size", 33}, {"not_expanded_as_named", nullptr}}));
    EXPECT_EQ(json["verdicts"][0], (nlohmann::json{{"kind", "unsigned"}, {"failing", false},
                                                   {"message", "the file is unsigned: sign it before it ships "
                                                               "(--require-signed refuses it)"}}));
    EXPECT_EQ(RunTool({"inspect", "--require-signed", packed.path}, &output), kFailure) << output;
}

TEST(Upkpack, InspectRefusesTamperedOrCutPackages) {
    PackedFile packed;
    const uint64_t h = packed.headerOffset, t = packed.trailer;
    struct Tamper {
        const char* label;
        uint64_t offset;  // byte to flip
    } tampers[] = {
        {"first entry's data", h + 284 + packed.cabinetSize / 2},
        {"last entry's last data byte", packed.filler - 1},
        {"entry count of record 1", h},
        {"marker of record 1", h + 4},
        {"data size of record 2", packed.secondRecord + 8},
        {"data size copy of record 2", packed.secondRecord + 16},
        {"name of record 1", h + 24},
        {"zero fill behind the name of record 2", packed.secondRecord + 24 + 200},
        {"filler", packed.filler + 3},
        {"trailer magic", t},
        {"trailer header offset", t + 8},
        {"trailer format version", t + 16},
        {"trailer entry count", t + 20},
        {"trailer package length", t + 24},
        {"trailer hash", t + 40},
        {"trailer reserved bytes", t + 200},
    };
    for (const Tamper& tamper : tampers) {
        SCOPED_TRACE(tamper.label);
        Bytes bytes = packed.bytes;
        bytes.at(tamper.offset) ^= 0x01;
        WriteBytes(packed.dir.Path("tampered.exe"), bytes);
        std::string output;
        EXPECT_EQ(RunTool({"inspect", packed.dir.Path("tampered.exe")}, &output), kFailure) << output;
        EXPECT_NE(output.find("upkpack: "), std::string::npos) << output;
    }

    // A damaged copy is told as what happened to it on its way, not as offsets:
    // cut short, or bytes added behind the package or its signature.
    Bytes signedBytes = packed.bytes;
    const Bytes table = PatternBytes(1456, 7);
    PutLe32(signedBytes, SecurityField(false), static_cast<uint32_t>(signedBytes.size()));
    PutLe32(signedBytes, SecurityField(false) + 4, static_cast<uint32_t>(table.size()));
    signedBytes.insert(signedBytes.end(), table.begin(), table.end());
    const std::string cutShort = "the file is cut short, so ask for the whole file",
                      appended = " bytes were appended behind the trailer at " + std::to_string(t);
    struct Cut {
        const char* label;
        const Bytes& bytes;
        size_t cut, appended;
        std::string says;
    } cuts[] = {{"last byte", packed.bytes, 1, 0, cutShort},
                {"last 8 bytes", packed.bytes, 8, 0, cutShort},
                {"the trailer", packed.bytes, 284, 0, cutShort},
                {"trailer and some data", packed.bytes, 300, 0, cutShort},
                {"16 bytes appended", packed.bytes, 0, 16, "16" + appended},
                {"296 zero bytes appended", packed.bytes, 0, 296, "296" + appended},
                {"signed, 100 bytes cut", signedBytes, 100, 0, "the file is cut short: its certificate table ends at"},
                {"signed, 16 bytes appended", signedBytes, 0, 16, "16 bytes were appended after signing"}};
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.label);
        Bytes bytes = cut.bytes;
        bytes.resize(bytes.size() - cut.cut + cut.appended, cut.appended > 100 ? 0 : 0x5A);
        WriteBytes(packed.dir.Path("cut.exe"), bytes);
        std::string output;
        EXPECT_EQ(RunTool({"inspect", packed.dir.Path("cut.exe")}, &output), kFailure) << output;
        EXPECT_NE(output.find(cut.says), std::string::npos) << output;
        EXPECT_EQ(output.find(" begins at "), std::string::npos) << output;
        EXPECT_EQ(output.find("header offset:"), std::string::npos) << output;  // no number read from garbage
    }
}

// Sizes changed alike in both copies keep each record self-consistent; the
// walk itself must notice that the entries no longer end at the filler.
TEST(Upkpack, InspectRefusesEntriesThatDoNotEndAtTheFiller) {
    PackedFile packed;
    struct Case {
        const char* label;
        int64_t change;
        const char* reason;
    } cases[] = {{"last entry 8 bytes longer", 8, "run into the trailer"},
                 {"last entry 8 bytes shorter", -8, "at most 7 filler bytes"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Bytes bytes = packed.bytes;
        for (uint64_t field : {packed.secondRecord + 8, packed.secondRecord + 16})
            PutLe32(bytes, field, static_cast<uint32_t>(packed.iniSize + c.change));
        WriteBytes(packed.dir.Path("resized.exe"), bytes);
        std::string output;
        EXPECT_EQ(RunTool({"inspect", packed.dir.Path("resized.exe")}, &output), kFailure) << output;
        EXPECT_NE(output.find(c.reason), std::string::npos) << output;
    }
}

// What a signing tool does, done by hand: a certificate table appended at the
// trailer's end and named in the security directory. Its bytes are no
// signature, so even where the layout is sound inspect refuses the table.
TEST(Upkpack, InspectFindsTheTrailerBeforeTheCertificateTable) {
    PackedFile packed;
    const size_t securityOffsetField = kFakePeOffset + 152, securitySizeField = kFakePeOffset + 156;
    struct Case {
        const char* label;
        size_t gap;            // bytes between trailer and table
        uint32_t storedSize;   // 0: the table's real size
        const char* reason;    // the layout is sound: only the table's content, not a signature, is refused
    } cases[] = {
        {"table right behind the trailer", 0, 0, "the signature cannot be read"},
        {"8 bytes between trailer and table", 8, 0, "8 bytes were appended behind the trailer"},
        {"table length of 0x80000000 or more", 0, 0x80000000u, "0x80000000 or more"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Bytes bytes = packed.bytes;
        const uint32_t tableOffset = static_cast<uint32_t>(bytes.size() + c.gap);
        const Bytes table = PatternBytes(1456, 7);
        bytes.resize(tableOffset, 0);
        bytes.insert(bytes.end(), table.begin(), table.end());
        PutLe32(bytes, securityOffsetField, tableOffset);
        PutLe32(bytes, securitySizeField, c.storedSize != 0 ? c.storedSize : static_cast<uint32_t>(table.size()));
        WriteBytes(packed.dir.Path("signed.exe"), bytes);
        std::string output;
        EXPECT_EQ(RunTool({"inspect", packed.dir.Path("signed.exe")}, &output), kFailure) << output;
        EXPECT_NE(output.find(c.reason), std::string::npos) << output;
        if (c.gap == 0 && c.storedSize == 0)
            EXPECT_NE(output.find("certificate table: " + std::to_string(tableOffset) + " (1456 bytes)\n"),
                      std::string::npos)
                << output;
    }
}

TEST(Upkpack, InspectRefusesFilesWithoutAPackage) {
    ScratchDir dir;
    Bytes stub = FakeStub();
    WriteBytes(dir.Path("stub.exe"), stub);
    WriteBytes(dir.Path("cut.exe"), Bytes(stub.begin(), stub.begin() + 1000));
    stub.resize(stub.size() + 600, 0x5A);
    WriteBytes(dir.Path("garbage.exe"), stub);
    WriteBytes(dir.Path("text.txt"), Bytes(300, 'x'));
    const std::pair<const char*, const char*> cases[] = {
        {"stub.exe", "no package: nothing is appended to this stub, whose image ends at 1536, where the file ends"},
        {"cut.exe", "cut short inside the stub's image, which ends at 1536 but the file at 1000; ask for the whole"},
        {"garbage.exe", "the bytes there are not upkpack's trailer and point at no package"},
        {"text.txt", "no DOS header"},
        {"missing.exe", "No such file or directory"}};
    for (const auto& [name, says] : cases) {
        SCOPED_TRACE(name);
        std::string output;
        EXPECT_EQ(RunTool({"inspect", dir.Path(name)}, &output), kFailure) << output;
        EXPECT_NE(output.find(says), std::string::npos) << output;
        EXPECT_EQ(RunTool({"inspect", "--json", dir.Path(name)}, &output), kFailure) << output;
        EXPECT_NE(nlohmann::json::parse(output)["verdicts"][0]["message"].get<std::string>().find(says),
                  std::string::npos);
    }
}

// extract is inspect's walk writing as it goes: it writes every entry that
// inspect lists, with the same bytes and digests.
TEST(Upkpack, ExtractWritesExactlyWhatInspectLists) {
    PackedFile packed;
    std::string inspected, extracted;
    ASSERT_EQ(RunTool({"inspect", packed.path}, &inspected), kOk) << inspected;
    const std::string out = packed.dir.Path("made/by/extract");
    ASSERT_EQ(RunTool({"extract", packed.path, "--out", out}, &extracted), kOk) << extracted;
    int number = 0;
    for (const char* name : {"package1.cab", "setup.ini"}) {
        SCOPED_TRACE(name);
        const Bytes packedBytes = ReadBytes(packed.dir.Path(name));
        EXPECT_EQ(ReadBytes(out + "/" + name), packedBytes);
        const std::string sha = package::Sha256::ToHex(package::Sha256::Of(packedBytes.data(), packedBytes.size()));
        EXPECT_NE(inspected.find("sha-256 " + sha), std::string::npos) << inspected;
        EXPECT_NE(extracted.find("entry " + std::to_string(++number) + ": " + name + ", " +
                                 std::to_string(packedBytes.size()) + " bytes, sha-256 " + sha + "\n"),
                  std::string::npos)
            << extracted;
    }
}

// What extract cannot prove it does not write, and it never replaces or
// follows anything already in the folder.
TEST(Upkpack, ExtractWritesNothingItCannotProveOrWouldReplace) {
    PackedFile packed;
    const std::string out = packed.dir.Path("out"), outside = packed.dir.Path("upper.ini");
    // A writer that computes the digest over a hostile name: only the unpacker's name check stops it.
    auto reseal = [&](Bytes& bytes) {
        const auto digest = package::Sha256::Of(&bytes[packed.headerOffset], packed.trailer - packed.headerOffset);
        std::copy(digest.begin(), digest.end(), bytes.begin() + packed.trailer + 32);
    };
    auto renameSecond = [&](Bytes& bytes, const std::string& name) {
        std::copy(name.c_str(), name.c_str() + name.size() + 1, bytes.begin() + packed.secondRecord + 24);
        reseal(bytes);
    };
    // The same for a file inside the cabinet: its name in the header, which no checksum covers.
    auto renameInCabinet = [&](Bytes& bytes, const std::string& from, const std::string& to) {
        auto at = std::search(bytes.begin() + packed.headerOffset, bytes.begin() + packed.secondRecord, from.begin(),
                              from.end());
        std::copy(to.begin(), to.end(), at);
        reseal(bytes);
    };
    std::vector<std::string> mine;  // files of ours put in the folder, which must stay as they were
    auto putMine = [&](const std::string& name) {
        std::filesystem::create_directory(out);
        WriteBytes(out + "/" + name, Bytes{'m', 'i', 'n', 'e'});
        mine.push_back(name);
    };
    struct Case {
        const char* label;
        std::function<void(Bytes&)> prepare;  // damages the package or fills the folder
        std::vector<std::string> options;
        const char* says;
        std::vector<std::string> folderAfter;  // empty: no folder made
    } cases[] = {
        {"data altered", [&](Bytes& b) { b.at(packed.headerOffset + 284 + 500) ^= 1; }, {}, "(trailer), found ", {}},
        {"data altered, --no-verify",
         [&](Bytes& b) { b.at(packed.headerOffset + 284 + 500) ^= 1; },
         {"--no-verify"},
         "NOT VERIFIED",
         {"package1.cab", "setup.ini"}},
        {"cut off", [](Bytes& b) { b.resize(b.size() - 300); }, {}, "the file is cut short, so ask for the whole file", {}},
        {"setup.ini already in the folder", [&](Bytes&) { putMine("setup.ini"); }, {}, "exists already", {"setup.ini"}},
        {"a cabinet's file already in the folder, --expand", [&](Bytes&) { putMine("hostdata.txt"); }, {"--expand"},
         "hostdata.txt, 33 bytes (passed over: '", {"VYAuto.exe", "hostdata.txt", "package1.cab", "setup.ini"}},
        {"a cabinet's file that climbs out of the folder, --expand",
         [&](Bytes& b) { renameInCabinet(b, "hostdata.txt", "..\\upper.ini"); },
         {"--expand"},
         "upper.ini, 33 bytes (passed over: '..\\upper.ini' is not a plain path inside a folder",
         {"VYAuto.exe", "package1.cab", "setup.ini"}},
        {"a link in the folder named like an entry",
         [&](Bytes&) {
             std::filesystem::create_directory(out);
             std::filesystem::create_symlink(outside, out + "/package1.cab");
         },
         {},
         "exists already",
         {"package1.cab"}},
        {"a name that climbs out of the folder",
         [&](Bytes& b) { renameSecond(b, "../upper.ini"); },
         {},
         "skipped, as the unpacker would",
         {"package1.cab"}},
        {"a device name",
         [&](Bytes& b) { renameSecond(b, "COM1.ini"); },
         {},
         "skipped, as the unpacker would",
         {"package1.cab"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        mine.clear();
        std::string output;
        EXPECT_EQ(packed.ExtractChanged(c.prepare, out, c.options, output), kFailure) << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
        std::vector<std::string> listing;
        if (Exists(out))
            for (const auto& entry : std::filesystem::directory_iterator(out))
                listing.push_back(entry.path().filename().string());
        std::sort(listing.begin(), listing.end());
        EXPECT_EQ(listing, c.folderAfter);
        EXPECT_EQ(Exists(out), !c.folderAfter.empty());
        EXPECT_FALSE(Exists(outside));
        for (const std::string& name : mine) EXPECT_EQ(ReadBytes(out + "/" + name), (Bytes{'m', 'i', 'n', 'e'})) << name;
    }
}

// extract writes what the unpacker would write: a later entry of a name in
// place of the earlier one, another writer's package without a digest, and
// with --no-verify what the unpacker's walk writes past damage it ignores.
TEST(Upkpack, ExtractWritesWhatTheUnpackerWould) {
    PackedFile packed;
    const std::string out = packed.dir.Path("out");
    auto resealed = [&](Bytes& b) {
        const auto digest = package::Sha256::Of(&b[packed.headerOffset], packed.trailer - packed.headerOffset);
        std::copy(digest.begin(), digest.end(), b.begin() + packed.trailer + 32);
    };
    struct Case {
        const char* label;
        std::function<void(Bytes&)> change;
        std::vector<std::string> options;
        int expected;
        std::string says;
        std::map<std::string, size_t> files;  // name -> size, after the run
    } cases[] = {
        {"two entries of one name",
         [&](Bytes& b) { std::copy_n("package1.cab", 13, b.begin() + packed.secondRecord + 24), resealed(b); }, {},
         kOk, "(replaced by entry 2 of the same name, as the unpacker replaces it)", {{"package1.cab", packed.iniSize}}},
        {"another writer's package: no digest", [&](Bytes& b) { std::fill_n(b.begin() + packed.trailer, 8, 0); }, {},
         kOk, "there is no digest to check", {{"package1.cab", packed.cabinetSize}, {"setup.ini", packed.iniSize}}},
        {"a record's marker flipped, --no-verify", [&](Bytes& b) { b.at(packed.headerOffset + 4) ^= 1; },
         {"--no-verify"}, kFailure, "written as the unpacker's own walk writes it",
         {{"package1.cab", packed.cabinetSize}, {"setup.ini", packed.iniSize}}},
        {"the last entry running into the trailer, --no-verify",
         [&](Bytes& b) { PutLe32(b, packed.secondRecord + 8, 21), PutLe32(b, packed.secondRecord + 16, 21); },
         {"--no-verify"}, kFailure, "NOT VERIFIED", {{"package1.cab", packed.cabinetSize}, {"setup.ini", 21}}},
        {"--expand: the cabinet's files beside the entries", [](Bytes&) {}, {"--expand"}, kOk, ": 2 of 2 files (3033 bytes)",
         {{"package1.cab", packed.cabinetSize}, {"setup.ini", packed.iniSize}, {"VYAuto.exe", 3000}, {"hostdata.txt", 33}}},
        {"--expand: a damaged cabinet, packed unchecked",
         [&](Bytes& b) { b.at(packed.headerOffset + 284 + packed.cabinetSize / 2) ^= 1, resealed(b); }, {"--expand"},
         kFailure, "VYAuto.exe, 3000 bytes (passed over: removed the partial file",
         {{"package1.cab", packed.cabinetSize}, {"setup.ini", packed.iniSize}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string output;
        EXPECT_EQ(packed.ExtractChanged(c.change, out, c.options, output), c.expected) << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
        std::map<std::string, size_t> files;
        if (Exists(out))
            for (const auto& entry : std::filesystem::directory_iterator(out))
                files[entry.path().filename().string()] = std::filesystem::file_size(entry.path());
        EXPECT_EQ(files, c.files);
    }
}

TEST(Upkpack, PackRefusalExitsWithFailureAndWritesNothing) {
    ScratchDir dir;
    Bytes stub = FakeStub();
    PutLe32(stub, kFakePeOffset + 152, static_cast<uint32_t>(stub.size()));
    PutLe32(stub, kFakePeOffset + 156, 8);
    stub.resize(stub.size() + 8, 0);
    WriteBytes(dir.Path("signed.exe"), stub);
    WriteBytes(dir.Path("package1.cab"), PatternBytes(10, 1));
    std::string output;
    EXPECT_EQ(RunTool({"pack", "--stub", dir.Path("signed.exe"), "--out", dir.Path("out.exe"), dir.Path("package1.cab")},
                      &output),
              kFailure);
    EXPECT_NE(output.find("sign after packing"), std::string::npos) << output;
    EXPECT_FALSE(Exists(dir.Path("out.exe")));
}

// What pack refuses, inspect finds in a package packed without the check.
TEST(Upkpack, InspectSaysWhatPackWouldHaveRefused) {
    for (const char* name : {"package1.cab", "package1.bin"}) {
        SCOPED_TRACE(name);
        ScratchDir dir;
        WriteBytes(dir.Path("stub.exe"), FakeStub());
        WriteBytes(dir.Path(name), PatternBytes(2000, 1));
        std::vector<std::string> pack = {"pack", "--stub", dir.Path("stub.exe"), "--out", dir.Path("out.exe"), dir.Path(name)};
        std::string output;
        EXPECT_EQ(RunTool(pack, &output), kFailure) << output;
        EXPECT_FALSE(Exists(dir.Path("out.exe")));
        pack.push_back("--unchecked-for-tests");
        ASSERT_EQ(RunTool(pack, &output), kOk) << output;
        EXPECT_NE(output.find("not a package to release"), std::string::npos) << output;
        EXPECT_EQ(RunTool({"inspect", dir.Path("out.exe")}, &output), kFailure) << output;
        EXPECT_NE(output.find(name[9] == 'c' ? "'package1.cab': expand.exe would fail on this cabinet: not a cabinet"
                                             : "no .cab entry: nothing would be installed"),
                  std::string::npos)
            << output;
    }
    // Another writer's cabinet whose names Windows cannot hold: each is named, in the text and the JSON.
    ScratchDir dir;
    WriteBytes(dir.Path("stub.exe"), FakeStub());
    MakeCabinet(dir.Path("package1.cab"), {{"CON.txt", Bytes(3, 'c')}, {"x?y", Bytes(3, 'x')}}, false);
    std::string output, o = dir.Path("o.exe");
    ASSERT_EQ(RunTool({"pack", "--unchecked-for-tests", "--stub", dir.Path("stub.exe"), "--out", o, dir.Path("package1.cab")}), kOk);
    EXPECT_EQ(RunTool({"inspect", o}, &output), kFailure) << output;
    for (const std::string& says : {std::string("  x?y (3 bytes)\n                       not expanded as named: the name 'x?y' holds '?'"),
                                    "upkpack: " + o + ": entry 1 'package1.cab': its file 'CON.txt': the name 'CON.txt' is a device"})
        EXPECT_NE(output.find(says), std::string::npos) << output;
    EXPECT_EQ(RunTool({"inspect", "--json", o}, &output), kFailure);
    const auto json = nlohmann::json::parse(output.substr(0, output.rfind('}') + 1));
    EXPECT_EQ(json["verdicts"][0]["kind"], "names") << output;
    EXPECT_EQ(json["entries"][0]["cabinet"]["files"][0]["not_expanded_as_named"].get<std::string>().rfind("the name 'CON.txt'", 0), 0u);
}

TEST(Upkpack, UsageErrorsExitWith2) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"inspect"},
        {"inspect", "a.exe", "b.exe"},
        {"pack"},
        {"pack", "--stub", "s.exe", "a.cab"},
        {"pack", "--out", "o.exe", "a.cab"},
        {"pack", "--stub", "s.exe", "--out", "o.exe"},
        {"pack", "--stub"},
        {"pack", "--bogus", "--stub", "s.exe", "--out", "o.exe", "a.cab"},
        {"extract", "a.exe"},
        {"extract", "--out", "dir"},
        {"extract", "a.exe", "b.exe", "--out", "dir"},
        {"log"},
        {"log", "unpack.log", "--last", "--text"},
        {"log", "unpack.log", "--since", "2026-02-30"},
        {"log", "unpack.log", "--outcome", "upgraded,lost"},
        {"log", "-", "-"},
    };
    for (const auto& arguments : cases) {
        std::string output;
        EXPECT_EQ(RunTool(arguments, &output), kUsage) << output;
        // log's unreadable file exits 2 as well; the words tell them apart.
        EXPECT_NE(output.find("(see upkpack --help)"), std::string::npos) << output;
    }
    std::string help;
    EXPECT_EQ(RunTool({"--help"}, &help), kOk);
    EXPECT_NE(help.find("upkpack pack --stub"), std::string::npos) << help;
    std::string version;
    EXPECT_EQ(RunTool({"--version"}, &version), kOk);
    EXPECT_EQ(version, "upkpack " UNPACK_PRODUCT_VERSION_TEXT "\n");
}

// Help comes before anything a command would do: inspect does not read a file named "--help".
TEST(Upkpack, EverySubcommandAnswersHelp) {
    const std::pair<const char*, const char*> commands[] = {
        {"pack", "pack"}, {"inspect", "inspect"}, {"verify", "inspect"}, {"extract", "extract"}, {"log", "log"}};
    for (const auto& [command, shown] : commands) {
        SCOPED_TRACE(command);
        std::string output;
        EXPECT_EQ(RunTool({command, "--help"}, &output), kOk) << output;
        EXPECT_NE(output.find(std::string("Usage: upkpack ") + shown + " [OPTIONS]"), std::string::npos) << output;
        EXPECT_EQ(output.find("file:"), std::string::npos) << output;
    }
}

// Each open failure names the system's reason; a stub and a cabinet given the
// wrong way round are called swapped.
TEST(Upkpack, FailuresToOpenNameTheReason) {
    ScratchDir dir;
    WriteBytes(dir.Path("stub.exe"), FakeStub());
    MakeCabinet(dir.Path("package1.cab"), {{"VYAuto.exe", PatternBytes(100, 4)}}, false);
    const std::string missing = dir.Path("missing-stub.exe"), out = dir.Path("out.exe");
    struct Case {
        std::vector<std::string> arguments;
        int expected;
        std::string says;
    } cases[] = {
        {{"pack", "--stub", missing, "--out", out, dir.Path("package1.cab")}, kFailure,
         "cannot open stub '" + missing + "': No such file or directory"},
        {{"pack", "--stub", dir.Path("stub.exe"), "--out", out, missing}, kFailure, "No such file or directory"},
        {{"pack", "--stub", dir.Path("stub.exe"), "--out", dir.Path("no/such/out.exe"), dir.Path("package1.cab")},
         kFailure, "No such file or directory"},
        {{"inspect", missing}, kFailure, "No such file or directory"},
        {{"extract", missing, "--out", dir.Path("x")}, kFailure, "No such file or directory"},
        {{"log", missing}, kUsage, "No such file or directory"},
        {{"pack", "--stub", dir.Path("package1.cab"), "--out", out, dir.Path("stub.exe")}, kFailure, "swapped"},
        {{"inspect", dir.Path("package1.cab")}, kFailure, "it is a cabinet"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
        std::string output;
        EXPECT_EQ(RunTool(c.arguments, &output), c.expected) << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
        EXPECT_FALSE(Exists(out));
    }
}

// A folder is packed as the cabinet made of it: the same folder, whatever its
// files' times, gives the same bytes, and the cabinet expands to its files.
TEST(Upkpack, PackOfAFolderIsRepeatableAndExpandsToItsFiles) {
    ScratchDir dir;
    WriteBytes(dir.Path("stub.exe"), FakeStub());
    std::filesystem::create_directories(dir.Path("host/sub"));
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"VYAuto.exe", PatternBytes(70000, 1)}, {"hostdata.txt", PatternBytes(20, 2)}, {"sub/b.bin", PatternBytes(5, 3)}};
    for (const auto& file : files) WriteBytes(dir.Path("host/" + file.first), file.second);
    std::string output;
    ASSERT_EQ(RunTool({"pack", "--stub", dir.Path("stub.exe"), "--out", dir.Path("one.exe"), dir.Path("host")}, &output),
              kOk)
        << output;
    std::filesystem::last_write_time(dir.Path("host/hostdata.txt"), std::filesystem::file_time_type::clock::now() -
                                                                         std::chrono::hours(48));
    ASSERT_EQ(RunTool({"pack", "--stub", dir.Path("stub.exe"), "--out", dir.Path("two.exe"), dir.Path("host")}, &output),
              kOk)
        << output;
    EXPECT_EQ(ReadBytes(dir.Path("one.exe")), ReadBytes(dir.Path("two.exe")));

    ASSERT_EQ(RunTool({"extract", dir.Path("one.exe"), "--out", dir.Path("x"), "--expand"}, &output), kOk) << output;
    for (const auto& file : files) EXPECT_EQ(ReadBytes(dir.Path("x/" + file.first)), file.second) << file.first;
}

}  // namespace

namespace {

using namespace testsupport;

// pack refuses, with the path and the reason and writing nothing, every name
// that Windows or expand.exe cannot hold below the usual unpack folder (59
// characters; MAX_PATH leaves 259 for a file, 247 for a folder), a size past
// what a cabinet holds, and an --out that would lose or swallow a file.
TEST(Upkpack, PackRefusesWhatWindowsOrExpandCannotHold) {
    ScratchDir dir;
    WriteBytes(dir.Path("stub.exe"), FakeStub());
    const std::string f = dir.Path("f"), out = dir.Path("out.exe");
    const std::string why = "' holds '?', which Windows does not allow in names";
    const std::string device = "' is a device name to Windows (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an "
                               "extension): no file of that name can be written";
    const std::string unpack = " below C:\\Program Files (x86)\\Kestrune\\Kestrune Remote\\AutoUpdate\\ would be ";
    const std::string cabinet = "more than a cabinet holds (2147450880 bytes: 65535 blocks of 32 KiB)";
    const std::string longName(200, 'n'), longFolder(188, 'd');
    struct Case {
        std::vector<std::pair<std::string, uint64_t>> files;  // below f, sparse
        std::vector<std::string> options;
        std::string says;  // the whole error line; empty: packed
    } cases[] = {
        {{{"x?y", 1}}, {}, "'" + f + "/x?y': the name 'x?y" + why},
        {{{"t\tb", 1}}, {}, "'" + f + "/t\tb': a name holds the control character 0x09, which Windows does not allow in names"},
        {{{"a\\b.txt", 1}}, {}, "'" + f + "/a\\b.txt': the name 'a\\b.txt' holds '\\', which Windows does not allow in names"},
        {{{"trailing.", 1}}, {}, "'" + f + "/trailing.': the name 'trailing.' ends in a dot, which Windows strips: it would arrive as 'trailing'"},
        {{{"sub/blank ", 1}}, {}, "'" + f + "/sub/blank ': the name 'blank ' ends in a blank, which Windows strips: it would arrive as 'blank'"},
        {{{"CON.txt", 1}}, {}, "'" + f + "/CON.txt': the name 'CON.txt" + device},
        {{{"lpt9/x", 1}}, {}, "'" + f + "/lpt9/x': the name 'lpt9" + device},
        {{{"README.txt", 1}, {"Readme.txt", 1}}, {}, "'" + f + "/Readme.txt': it and '" + f + "/README.txt' differ only in case: Windows holds one of the two only"},
        {{{"bad\xff", 1}}, {}, "'" + f + "/bad\xff': the name is not valid UTF-8, so it names no Windows file"},
        {{{longName, 1}}, {}, ""},
        {{{longName + "x", 1}}, {}, "'" + f + "/" + longName + "x': its path" + unpack + "260 characters long; Windows paths hold at most 259 (MAX_PATH, 260 with the closing NUL)"},
        {{{longFolder + "/x", 1}}, {}, ""},
        {{{longFolder + "d/x", 1}}, {}, "'" + f + "/" + longFolder + "d/x': its folder '" + longFolder + "d'" + unpack + "248 characters long; Windows makes folders of at most 247 (MAX_PATH, 260 with the closing NUL, less 12)"},
        {{{"big", 2147450881}}, {}, "'" + f + "/big': 2147450881 bytes, " + cabinet},
        {{{"a", 1073741824}, {"b", 1073741824}}, {}, "the files of '" + f + "' come to 2147483648 bytes, " + cabinet},
        {{{"a", 1}}, {"--out", f + "/out.exe"}, "--out '" + f + "/out.exe' lies inside the folder being packed, '" + f + "': the next package of that folder would carry this one; write it elsewhere"},
        {{{"a", 1}}, {"--out", f}, "--out '" + f + "' is a folder: name the packaged file to write, e.g. '" + f + "/UnPackFile.exe'"},
        {{{"a", 1}}, {"--out", out}, ""},
        {{{"a", 1}}, {"--out", out}, "--out '" + out + "' exists already: give --force to replace it"},
        {{{"b", 1}}, {"--out", out, "--force"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says.empty() ? c.files[0].first : c.says);
        std::filesystem::remove_all(f);
        for (const auto& [name, size] : c.files) {
            std::filesystem::create_directories(std::filesystem::path(f + "/" + name).parent_path());
            WriteBytes(f + "/" + name, {});
            std::filesystem::resize_file(f + "/" + name, size);
        }
        const Bytes before = Exists(out) ? ReadBytes(out) : Bytes();
        std::vector<std::string> arguments = {"pack", "--stub", dir.Path("stub.exe"), f};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        if (c.options.empty()) arguments.insert(arguments.end(), {"--out", out});
        std::string output;
        EXPECT_EQ(RunTool(arguments, &output), c.says.empty() ? kOk : kFailure) << output;
        if (c.says.empty() && c.options.empty()) std::filesystem::remove(out);
        if (c.says.empty()) continue;
        EXPECT_EQ(output, "upkpack: pack: " + c.says + "\n");
        EXPECT_EQ(Exists(out) ? ReadBytes(out) : Bytes(), before);
        EXPECT_FALSE(Exists(f + "/out.exe"));
    }
}

}  // namespace
