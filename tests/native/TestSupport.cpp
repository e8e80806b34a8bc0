#include "TestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testsupport {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    root_ = fs::temp_directory_path() /
            ("upkpack-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(root_);
    fs::create_directories(root_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

Bytes PatternBytes(size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t state = seed * 2654435761u + 12345u;
    for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

uint32_t Le32(const Bytes& b, size_t o) {
    return static_cast<uint32_t>(b.at(o)) | static_cast<uint32_t>(b.at(o + 1)) << 8 |
           static_cast<uint32_t>(b.at(o + 2)) << 16 | static_cast<uint32_t>(b.at(o + 3)) << 24;
}

uint64_t Le64(const Bytes& b, size_t o) { return Le32(b, o) | static_cast<uint64_t>(Le32(b, o + 4)) << 32; }

void PutLe32(Bytes& b, size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(o + i) = static_cast<uint8_t>(v >> (8 * i));
}

static void PutLe16(Bytes& b, size_t o, uint16_t v) {
    b.at(o) = static_cast<uint8_t>(v);
    b.at(o + 1) = static_cast<uint8_t>(v >> 8);
}

Bytes FakeStub(size_t sectionSize, bool pe32Plus) {
    const size_t headersSize = 0x200;
    const size_t rawSize = (sectionSize + 0x1FF) & ~static_cast<size_t>(0x1FF);
    // A PE32+ optional header has 8-byte image base and stack and heap sizes,
    // so everything from the base on lies further on.
    const size_t optionalSize = pe32Plus ? 240 : 224;
    const size_t wide = pe32Plus ? 4 : 0;
    Bytes file(headersSize + rawSize, 0);
    file[0] = 'M';
    file[1] = 'Z';
    PutLe32(file, 60, kFakePeOffset);
    const size_t pe = kFakePeOffset;
    file[pe] = 'P';
    file[pe + 1] = 'E';
    PutLe16(file, pe + 4, pe32Plus ? 0x8664 : 0x14C);  // x86-64 or i386
    PutLe16(file, pe + 6, 1);                          // one section
    PutLe16(file, pe + 20, static_cast<uint16_t>(optionalSize));
    PutLe16(file, pe + 22, pe32Plus ? 0x0022 : 0x0102);  // executable; large-address-aware or 32-bit
    const size_t opt = pe + 24;
    PutLe16(file, opt, pe32Plus ? 0x20B : 0x10B);
    PutLe32(file, opt + 16, 0x1000);            // entry point
    PutLe32(file, opt + 28 - wide, 0x400000);   // image base (low half in PE32+)
    PutLe32(file, opt + 32, 0x1000);            // section alignment
    PutLe32(file, opt + 36, 0x200);             // file alignment
    PutLe16(file, opt + 40, 6);                 // OS version
    PutLe16(file, opt + 48, 6);                 // subsystem version
    PutLe32(file, opt + 56, static_cast<uint32_t>(0x1000 + ((rawSize + 0xFFF) & ~static_cast<size_t>(0xFFF))));
    PutLe32(file, opt + 60, headersSize);       // size of headers
    PutLe16(file, opt + 68, 3);                 // console subsystem
    PutLe32(file, opt + 72, 0x100000);          // stack and heap sizes
    PutLe32(file, opt + 76 + wide, 0x1000);
    PutLe32(file, opt + 80 + 2 * wide, 0x100000);
    PutLe32(file, opt + 84 + 3 * wide, 0x1000);
    PutLe32(file, opt + 92 + 4 * wide, 16);     // data directories
    const size_t section = opt + optionalSize;
    const char name[] = ".text";
    for (size_t i = 0; i < sizeof(name) - 1; ++i) file[section + i] = static_cast<uint8_t>(name[i]);
    PutLe32(file, section + 8, static_cast<uint32_t>(rawSize));
    PutLe32(file, section + 12, 0x1000);
    PutLe32(file, section + 16, static_cast<uint32_t>(rawSize));
    PutLe32(file, section + 20, headersSize);
    PutLe32(file, section + 36, 0x60000020);    // code, execute, read
    file[headersSize] = 0xC3;                   // ret
    Bytes filler = PatternBytes(rawSize - 1, 99);
    std::copy(filler.begin(), filler.end(), file.begin() + headersSize + 1);
    return file;
}

void AddVersionBlock(Bytes& stub, bool pe32Plus, uint64_t productVersion, uint64_t fileVersion) {
    const size_t at = 0x200 + 16, rva = 0x1000 + 16;  // FakeStub's section: raw 0x200, RVA 0x1000
    std::fill(stub.begin() + at, stub.begin() + at + 180, 0);
    // Type 16 (RT_VERSION), name 1, language 0x409: three directories of one
    // entry each, the last pointing at the data entry (offsets from the root).
    const uint32_t ids[] = {16, 1, 0x409};
    for (uint32_t level = 0; level < 3; ++level) {
        const size_t directory = at + 24 * level;
        PutLe16(stub, directory + 14, 1);
        PutLe32(stub, directory + 16, ids[level]);
        PutLe32(stub, directory + 20, level < 2 ? (0x80000000u | 24 * (level + 1)) : 72);
    }
    PutLe32(stub, at + 72, static_cast<uint32_t>(rva + 88));
    PutLe32(stub, at + 76, 92);
    const size_t block = at + 88;
    PutLe16(stub, block, 92);
    PutLe16(stub, block + 2, 52);
    const char key[] = "VS_VERSION_INFO";
    for (size_t i = 0; i < sizeof(key) - 1; ++i) PutLe16(stub, block + 6 + 2 * i, static_cast<uint8_t>(key[i]));
    PutLe32(stub, block + 40, 0xFEEF04BDu);
    PutLe32(stub, block + 44, 0x10000);
    PutLe32(stub, block + 48, static_cast<uint32_t>(fileVersion >> 32));
    PutLe32(stub, block + 52, static_cast<uint32_t>(fileVersion));
    PutLe32(stub, block + 56, static_cast<uint32_t>(productVersion >> 32));
    PutLe32(stub, block + 60, static_cast<uint32_t>(productVersion));
    const size_t resourceEntry = kFakePeOffset + (pe32Plus ? 152 : 136);
    PutLe32(stub, resourceEntry, static_cast<uint32_t>(rva));
    PutLe32(stub, resourceEntry + 4, 180);
}

static std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

int RunTool(const std::vector<std::string>& arguments, std::string* output, int timeLimit, const std::string& input) {
    std::vector<std::string> command = {UPKPACK_EXE};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunCommand(command, output, timeLimit, input);
}

int RunCommand(const std::vector<std::string>& words, std::string* output, int timeLimit, const std::string& input) {
    std::string command = timeLimit > 0 ? "timeout " + std::to_string(timeLimit) : "";
    for (const std::string& word : words) command += (command.empty() ? "" : " ") + Quote(word);
    command += (input.empty() ? "" : " < " + Quote(input)) + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, got);
    int status = pclose(pipe);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Bytes MakeCabinet(const std::string& cabinetPath, const std::vector<CabinetInput>& files, bool compressed) {
    const std::filesystem::path folder = std::filesystem::path(cabinetPath).parent_path() / "cabinet-input";
    std::filesystem::create_directories(folder);
    std::string command = "cd " + Quote(folder.string()) + " && " + Quote(GCAB_EXE) + (compressed ? " -c -z " : " -c ") +
                          Quote(cabinetPath);
    for (const CabinetInput& file : files) {
        WriteBytes((folder / file.name).string(), file.data);
        command += " " + Quote(file.name);
    }
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("gcab failed: " + command);
    std::filesystem::remove_all(folder);
    return ReadBytes(cabinetPath);
}

}  // namespace testsupport
