#include "tools/cabinet/CabinetCheck.h"

#include "tools/package/PackageWriter.h"

#include <cctype>

namespace package {

bool IsCabinetName(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".cab";
}

std::string CabinetFrameProblem(uint64_t recordedSize, uint64_t size, bool partOfASet) {
    if (recordedSize > size)
        return "the cabinet's header gives its size as " + std::to_string(recordedSize) + " bytes but only " +
               std::to_string(size) + " are there (cut off)";
    if (recordedSize < size)
        return "the cabinet's header gives its size as " + std::to_string(recordedSize) + " bytes but " +
               std::to_string(size) + " are there (bytes behind the cabinet)";
    if (partOfASet) return "it is one part of a set of cabinets, which expand cannot read alone";
    return "";
}

CabinetCheck CheckCabinet(const std::string& path, uint64_t offset, uint64_t size) {
    return ReadCabinet(path, offset, size, nullptr);
}

std::string CabinetNameRefusal(const std::string& name) {
    std::string reason;
    for (size_t begin = 0;;) {
        const size_t end = name.find('\\', begin);
        if (!CheckEntryName(name.substr(begin, end - begin), reason))
            return "'" + name + "' is not a plain path inside a folder: a part " + reason;
        if (end == std::string::npos) return std::string();
        begin = end + 1;
    }
}

}  // namespace package
