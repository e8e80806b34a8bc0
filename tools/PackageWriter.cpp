#include "tools/PackageWriter.h"

namespace package {

// Minimal body until the writer lands.
bool PackFiles(const std::string&, const std::vector<std::string>&, const std::string&, std::string& error) {
    error = "not implemented yet";
    return false;
}

}  // namespace package
