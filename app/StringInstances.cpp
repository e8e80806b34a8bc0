// The strings the product uses, instantiated here rather than taken from the C++
// library's archive: its prebuilt copies were compiled with exceptions, and
// linking them would bring in the library's exception handling and unwinder
// (with their thread support) for paths that can never throw in this build.
// Compiled like the rest of UnPackFile.exe, the members' failure paths call the
// handlers in LibraryFailure.cpp, and the members nothing calls are dropped at
// link time.
#include <string>

template class std::basic_string<char>;
template class std::basic_string<wchar_t>;
