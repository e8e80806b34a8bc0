#include "app/UnPackFileApp.h"

#include "app/LibraryHardening.h"
#include "app/SingleInstance.h"
#include "framework/StringResource.h"
#include "registry/Registry.h"
#include "resources/resource.h"
#include "unpack/UnPack.h"
#include "utility/Format.h"
#include "utility/Utility.h"

#include <cwctype>
#include <cstdlib>
#include <vector>

namespace {

const wchar_t kCaller[] = L"CUnPackFileApp::InitInstance";

// Style of every box of the driver: MB_OK with the information icon, no owner.
constexpr UINT kDriverBoxStyle = MB_OK | MB_ICONINFORMATION;

void ShowBox(UINT textId, UINT captionId) {
    std::wstring text = LoadStringResource(textId);
    std::wstring caption = LoadStringResource(captionId);
    ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), kDriverBoxStyle);
}

// An argument selects auto mode when it reads "S" once every '/' and '-' is gone.
bool IsAutoSwitch(const wchar_t* argument) {
    std::wstring rest;
    for (const wchar_t* p = argument; *p != L'\0'; ++p)
        if (*p != L'/' && *p != L'-') rest += *p;
    return rest.size() == 1 && std::towupper(rest[0]) == L'S';
}

bool IsCodeAccepted(DWORD code, bool accept1066) {
    // The host's installer may also end with 1066 (ERROR_SERVICE_SPECIFIC_ERROR)
    // when its service call has nothing left to do; expand.exe never may.
    return code == 0 || (accept1066 && code == 1066);
}

}  // namespace

bool IsManualMode(int argc, wchar_t** argv) {
    bool manual = true;
    if (argc > 1) {
        // Element 0, the program's own path, is examined too.
        for (int i = 0; i < argc; ++i)
            if (argv[i] != nullptr && IsAutoSwitch(argv[i])) manual = false;
    }
    return manual;
}

CUnPackFileApp::CUnPackFileApp() { HardenLibrarySearch(); }

CUnPackFileApp::~CUnPackFileApp() = default;

void CUnPackFileApp::Refuse(bool manual, const Refusal& refusal) {
    if (manual) ShowBox(refusal.textId, refusal.captionId);
    HackForNDUSilentInstallFail();
}

void CUnPackFileApp::StopHostProcesses() {
    for (const wchar_t* name : {L"VYAuto.exe", L"VYMsg.exe"}) {
        std::vector<DWORD> ids;
        CUtility::FindProcesses(name, ids, 0xFFFFFFFF);
        for (DWORD id : ids) {
            CUtility::Log(L"[%s] Close VYAU pid:%d", kCaller, static_cast<int>(id));
            CUtility::KillProcess(id);
        }
        // Give the terminated programs time to let go of their files.
        if (!ids.empty()) ::Sleep(1000);
    }
}

BOOL CUnPackFileApp::InitInstance() {
    // 1. Platform floor, in both modes: the command line has not been read yet.
    if (CUtility::GetOSLevel(nullptr) <= 1) {
        ShowBox(IDS_UPGRADE_SYSTEM, IDS_PRODUCT_NAME);
        return TRUE;
    }

    // 2. Command line.
    bool manual = IsManualMode(__argc, __wargv);

    // 4. Single instance.
    CSingleInstance* lock = CSingleInstance::Current();
    if (lock != nullptr && lock->IsAnotherRunning()) {
        std::wstring text = LoadStringResource(IDS_ANOTHER_INSTALLATION);
        CUtility::Log(L"[%s] upgrade skip %s", kCaller, text.c_str());
        Refuse(manual, {IDS_ANOTHER_INSTALLATION, IDS_AUTO_INSTALLER});
        return FALSE;
    }

    // 5. Criteria.
    CRegistry hostSettings;
    Refusal refusal;
    if (!CheckUpgradeCriteria(manual, hostSettings, refusal)) {
        Refuse(manual, refusal);
        return FALSE;
    }

    // 6. and 7. Stop the host's programs; describe the system.
    StopHostProcesses();
    CUtility::OSInfo();

    // 8. Extract on the worker thread.
    CUnPack unpack;
    int unpacked = unpack.UnPackAndWait();
    std::wstring folder = unpack.GetUnPackPath();

    // 9. and 10.
    // A folder in the temporary folder that is not as it was made counts as
    // one that could not be created.
    if (unpack.IsUnPackPathRefused() || !CUtility::FileExists(folder)) {
        CUtility::Log(L"[%s] upgrade skip path not exist %s", kCaller, folder.c_str());
        Refuse(manual, {IDS_UPDATE_FAILED, IDS_AUTO_INSTALLER});
        return FALSE;
    }
    if (unpacked == 0) {
        CUtility::Log(L"[%s] upgrade skip unpack not success", kCaller);
        Refuse(manual, {IDS_UPDATE_FAILED, IDS_AUTO_INSTALLER});
        return FALSE;
    }

    // 11. The upgrade starts.
    CUtility::Log(L"[%s] upgrade start by %s", kCaller, manual ? L"manual" : L"auto");
    // Never at the root of HKEY_LOCAL_MACHINE: when the host settings key did not
    // open, the object's current key is the root itself.
    if (!hostSettings.IsAtRoot()) hostSettings.WriteDWORD(L"AutoUpgradeManual", manual ? 1 : 0);

    // 12. Carry the host's cumulative logs over into the fresh folder.
    ::MoveFileW(Format(L"%s\\..\\aulog.txt", folder.c_str()).c_str(), Format(L"%s\\aulog.txt", folder.c_str()).c_str());
    ::MoveFileW(Format(L"%s\\..\\aucab.txt", folder.c_str()).c_str(), Format(L"%s\\aucab.txt", folder.c_str()).c_str());

    // 13. The installation commands.
    ExecuteCommand(folder, L"/c echo %date% %time% >> aucab.txt");

    struct Step {
        const wchar_t* parameters;
        bool accept1066;
        const wchar_t* failureFormat;
    };
    const Step steps[] = {
        {L"/c expand.exe *.cab /f:* .\\ >> aucab.txt", false, L"[%s] upgrade skip expand err%d"},
        {L"/c VYAuto.exe -i >> aucab.txt", true, L"[%s] upgrade skip install service err%d"},
        {L"/c VYAuto.exe -r >> aucab.txt", true, L"[%s] upgrade skip launch service err%d"},
    };
    for (const Step& step : steps) {
        DWORD code = ExecuteCommand(folder, step.parameters);
        if (!IsCodeAccepted(code, step.accept1066)) {
            CUtility::Log(step.failureFormat, kCaller, static_cast<int>(code));
            Refuse(manual, {IDS_UPDATE_FAILED, IDS_AUTO_INSTALLER});
            return FALSE;
        }
    }

    // 14. Success: only the cleanup.
    RemoveDownloadFolder();
    return FALSE;
}
