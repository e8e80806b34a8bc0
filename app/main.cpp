// The entry point of UnPackFile.exe and its two globals. Both are defined in
// this one file so that their order of construction is fixed: the application
// object first (its constructor hardens the library search before anything else
// can load a library), then the single-instance lock.
#include "app/SingleInstance.h"
#include "app/UnPackFileApp.h"

CUnPackFileApp theApp;
CSingleInstance theSingleInstance(kSingleInstanceMutexName);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return AfxWinMain(); }
