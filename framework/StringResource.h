#pragma once

#include <windows.h>

#include <string>

// Loads a string of the executable's string table; empty when the id is missing.
std::wstring LoadStringResource(UINT id);
