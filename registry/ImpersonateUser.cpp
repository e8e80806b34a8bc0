#include "registry/Registry.h"

// Minimal bodies until registry access lands.
CImpersonateUser::CImpersonateUser() = default;
CImpersonateUser::~CImpersonateUser() = default;
