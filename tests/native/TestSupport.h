// Helpers shared by the native tests: scratch folders, files as bytes, a small
// fake PE stub, and running upkpack.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// A fresh folder below the system's temporary folder, removed with its contents.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Path(const std::string& name) const { return (root_ / name).string(); }
    const std::filesystem::path& Root() const { return root_; }

private:
    std::filesystem::path root_;
};

Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);
bool Exists(const std::string& path);

// Deterministic bytes that differ from entry to entry.
Bytes PatternBytes(size_t size, uint32_t seed);

// A minimal PE image: DOS header with e_lfanew 0x80, "PE\0\0", a file header,
// a 224-byte PE32 optional header (or a 240-byte PE32+ one, as the x86-64 build
// of the unpacker has; 16 data directories, the security one empty) and one
// section whose raw data ends at the end of the file. sectionSize is rounded up
// to 512.
Bytes FakeStub(size_t sectionSize = 1024, bool pe32Plus = false);
constexpr size_t kFakePeOffset = 0x80;
// Puts a version resource (VS_VERSIONINFO with a VS_FIXEDFILEINFO) at the start
// of such an image's section, behind its one instruction, and names it in the
// resource directory. Versions are four 16-bit fields, most significant first:
// 0x0003000600020001 is 3.6.2.1.
void AddVersionBlock(Bytes& stub, bool pe32Plus, uint64_t productVersion, uint64_t fileVersion);
// Where the certificate table's offset lies in such an image (its length follows).
constexpr size_t SecurityField(bool pe32Plus) { return kFakePeOffset + (pe32Plus ? 168 : 152); }

uint32_t Le32(const Bytes& bytes, size_t offset);
uint64_t Le64(const Bytes& bytes, size_t offset);
void PutLe32(Bytes& bytes, size_t offset, uint32_t value);

// Makes a cabinet at cabinetPath with gcab (the files, named as given, stored
// or MSZIP-compressed) and returns its bytes.
struct CabinetInput {
    std::string name;
    Bytes data;
};
Bytes MakeCabinet(const std::string& cabinetPath, const std::vector<CabinetInput>& files, bool compressed);

// Runs the upkpack tool with the arguments (each quoted for the shell) and
// returns its exit code; stdout and stderr go to output. With a time limit,
// a run still going after that many seconds is ended and returns 124. With
// an input, that file is its standard input.
int RunTool(const std::vector<std::string>& arguments, std::string* output = nullptr, int timeLimit = 0,
            const std::string& input = "");
// The same for any program: the first word names it.
int RunCommand(const std::vector<std::string>& command, std::string* output = nullptr, int timeLimit = 0,
               const std::string& input = "");

}  // namespace testsupport
