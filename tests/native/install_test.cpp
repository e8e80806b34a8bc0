// upkpack as release and support engineers install it: the Debian package that
// cpack makes, unpacked into a scratch root with dpkg -x (the machine's own
// packages are not touched), runs from there and brings its manual page.
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace testsupport;

TEST(Installing, TheDebianPackageRunsFromItsRootWithItsManualPage) {
    ScratchDir dir;
    std::string output;
    ASSERT_EQ(RunCommand({"cpack", "--config", CPACK_CONFIG, "-G", "DEB", "-B", dir.Path("deb")}, &output, 120), 0)
        << output;
    const std::string deb = dir.Path("deb/upkpack_" UNPACK_PRODUCT_VERSION_TEXT "_amd64.deb");
    ASSERT_EQ(RunCommand({"dpkg-deb", "--field", deb, "Depends", "Maintainer"}, &output), 0) << output;
    EXPECT_NE(output.find("libmspack0"), std::string::npos) << output;
    EXPECT_NE(output.find("Maintainer: "), std::string::npos) << output;
    ASSERT_EQ(RunCommand({"dpkg", "-x", deb, dir.Path("root")}, &output), 0) << output;

    const std::string upkpack = dir.Path("root/usr/bin/upkpack");
    EXPECT_EQ(RunCommand({upkpack, "--version"}, &output), 0);
    EXPECT_EQ(output, "upkpack " UNPACK_PRODUCT_VERSION_TEXT "\n");
    WriteBytes(dir.Path("stub.exe"), FakeStub());
    MakeCabinet(dir.Path("package1.cab"), {{"VYAuto.exe", PatternBytes(100, 1)}}, true);
    ASSERT_EQ(RunCommand({upkpack, "pack", "--stub", dir.Path("stub.exe"), "--out", dir.Path("p.exe"),
                          dir.Path("package1.cab")},
                         &output),
              0)
        << output;
    EXPECT_EQ(RunCommand({upkpack, "inspect", dir.Path("p.exe")}, &output), 0) << output;
    EXPECT_NE(output.find("VYAuto.exe (100 bytes)"), std::string::npos) << output;

    // The page is the tool's own help: every command's options are in it.
    ASSERT_EQ(RunCommand({"man", "-l", dir.Path("root/usr/share/man/man1/upkpack.1")}, &output), 0) << output;
    for (const char* text : {"UPKPACK(1)", "reads their logs", "COMMANDS", "--unchecked-for-tests", "--expand",
                             "--no-verify", "--last", "exit codes: 0 success"})
        EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
}

}  // namespace
