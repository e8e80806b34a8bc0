#pragma once

#include <string>

// Takes the current folder out of the library search order and loads a fixed
// list of system libraries by their full path in the system folder, so that a
// library planted beside the executable or in the current folder is never loaded
// in place of a system one.
void HardenLibrarySearch();

// The full path to load for one preload entry, or empty when the system folder
// is unknown: a relative path or one at the drive root is never produced.
std::wstring SystemLibraryPath(const std::wstring& systemFolder, const wchar_t* entry, bool appendDll);
