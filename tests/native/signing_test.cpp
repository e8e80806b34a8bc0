// Packing, then signing with osslsigncode: the certificate table must land right
// behind the trailer, where the unpacker counts back from.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <cstdio>

namespace {

using namespace testsupport;

bool HaveProgram(const char* name) {
    return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

int Shell(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Signing, CertificateTableFollowsTheTrailer) {
    if (!HaveProgram("osslsigncode") || !HaveProgram("openssl"))
        GTEST_SKIP() << "osslsigncode and openssl are needed to sign a package; install them to run this test";
    ScratchDir dir;
    // A throwaway self-signed code-signing certificate, made for this run only.
    ASSERT_EQ(Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=upkpack test' -keyout '" +
                    dir.Path("key.pem") + "' -out '" + dir.Path("cert.pem") + "'"),
              0);

    // The fake stub is enough for osslsigncode; UNPACK_STUB may name the real
    // UnPackFile.exe of the Windows build to sign that as well.
    std::vector<std::pair<std::string, std::string>> stubs;
    WriteBytes(dir.Path("fake.exe"), FakeStub(4096));
    stubs.emplace_back("fake PE stub", dir.Path("fake.exe"));
    WriteBytes(dir.Path("fake64.exe"), FakeStub(4096, true));
    stubs.emplace_back("fake PE32+ stub", dir.Path("fake64.exe"));
    if (const char* real = std::getenv("UNPACK_STUB")) stubs.emplace_back("UNPACK_STUB", real);

    // A cabinet and a setup.ini sized for the filler wanted.
    struct Payload {
        const char* label;
        size_t cabinetData;
        uint64_t filler;
    } payloads[] = {{"no filler", 100, 0}, {"seven filler bytes", 100, 7}, {"large cabinet", 300001, 0}};
    for (const auto& stub : stubs) {
        for (const Payload& payload : payloads) {
            SCOPED_TRACE(stub.first + ", " + payload.label);
            const uint64_t cabinet =
                MakeCabinet(dir.Path("package1.cab"), {{"VYAuto.exe", PatternBytes(payload.cabinetData, 4)}}, false)
                    .size();
            const uint64_t stubSize = ReadBytes(stub.second).size();
            const uint64_t ini = (8 - (stubSize + 3 * 284 + cabinet + payload.filler) % 8) % 8;
            WriteBytes(dir.Path("setup.ini"), Bytes(ini, 'i'));
            const std::string packed = dir.Path("Packaged.exe"), signedPath = dir.Path("Signed.exe");
            std::string output;
            ASSERT_EQ(RunTool({"pack", "--stub", stub.second, "--out", packed, dir.Path("package1.cab"),
                               dir.Path("setup.ini")},
                              &output),
                      0)
                << output;
            const Bytes unsignedBytes = ReadBytes(packed);
            ASSERT_EQ(unsignedBytes.size(), stubSize + 2 * 284 + cabinet + ini + payload.filler + 284);
            ASSERT_EQ(unsignedBytes.size() % 8, 0u) << "osslsigncode would pad an unaligned file before the table";

            std::remove(signedPath.c_str());
            ASSERT_EQ(Shell("osslsigncode sign -certs '" + dir.Path("cert.pem") + "' -key '" + dir.Path("key.pem") +
                            "' -n 'upkpack test' -in '" + packed + "' -out '" + signedPath + "'"),
                      0);
            const Bytes signedBytes = ReadBytes(signedPath);
            const uint32_t pe = Le32(signedBytes, 60);
            const bool pe32Plus = signedBytes[pe + 24] == 0x0B && signedBytes[pe + 25] == 0x02;
            const size_t field = pe + (pe32Plus ? 168 : 152);
            const uint32_t tableOffset = Le32(signedBytes, field), tableSize = Le32(signedBytes, field + 4);
            EXPECT_EQ(tableOffset, unsignedBytes.size()) << "signing added bytes between trailer and table";
            EXPECT_EQ(static_cast<uint64_t>(tableOffset) + tableSize, signedBytes.size());
            // Signing changes the PE header (checksum, security directory) but
            // not a byte of the package.
            const uint64_t headerOffset = Le64(unsignedBytes, unsignedBytes.size() - 284 + 8);
            EXPECT_TRUE(std::equal(unsignedBytes.begin() + headerOffset, unsignedBytes.end(),
                                   signedBytes.begin() + headerOffset));

            EXPECT_EQ(RunTool({"inspect", signedPath}, &output), 0) << output;
            EXPECT_NE(output.find("trailer:           " + std::to_string(unsignedBytes.size() - 284) + " (ends at " +
                                  std::to_string(tableOffset) + ")\n"),
                      std::string::npos)
                << output;
            EXPECT_NE(output.find("certificate table: " + std::to_string(tableOffset) + " (" +
                                  std::to_string(tableSize) + " bytes)\n"),
                      std::string::npos)
                << output;
        }
    }
}

}  // namespace
