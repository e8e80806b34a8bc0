#include "registry/Registry.h"
#include "utility/Utility.h"

CImpersonateUser::CImpersonateUser() {
    // A fresh token each time: the user at the keyboard may have changed since.
    HANDLE token = nullptr;
    if (!CUtility::GetUserToken(token, 0xFFFFFFFF)) return;
    userToken = token;
    if (::ImpersonateLoggedOnUser(userToken)) impersonating = true;
}

CImpersonateUser::~CImpersonateUser() {
    if (impersonating) ::RevertToSelf();
    impersonating = false;
    if (userToken != nullptr) {
        ::CloseHandle(userToken);
        userToken = nullptr;
    }
}
