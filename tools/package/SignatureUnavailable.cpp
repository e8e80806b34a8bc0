// The Windows build of the tool does not read signatures: it says so rather
// than report a check that it did not make.
#include "tools/package/Signature.h"

namespace package {

SignatureCheck CheckSignature(std::istream&, const PeFacts& facts) {
    SignatureCheck check;
    if (facts.securityOffset != 0 && facts.securityLength != 0) check.state = SignatureCheck::State::Unavailable;
    return check;
}

}  // namespace package
