// Libraries on LoadLibrary / GetProcAddress.
// Only the core Win32 headers: the multimedia ones declare names the platform layer has too.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#undef LoadLibrary

#include "platform/platform.h"

namespace platform {

namespace {

// GetLastError is overwritten by the next call, so the text is kept per thread until the next
// failure. The system's text names neither the library nor the export: `what` is put first.
thread_local std::string lastLibraryError;

void RememberLibraryError(const char *what, DWORD code) {
    lastLibraryError = std::string(what) + ": ";
    char *text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        lastLibraryError += "library error " + std::to_string(code);
        return;
    }
    lastLibraryError.append(text, length);
    LocalFree(text);
    while (lastLibraryError.back() == '\n' || lastLibraryError.back() == '\r' ||
           lastLibraryError.back() == ' ')
        lastLibraryError.pop_back();
}

} // namespace

LibraryHandle LoadLibrary(const char *path) {
    if (path == nullptr) {
        lastLibraryError = "no library name";
        return nullptr;
    }
    // A missing or broken library is an answer, not a reason for a dialog box.
    UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE library = LoadLibraryA(path);
    DWORD code = GetLastError();
    SetErrorMode(previous);
    if (library == nullptr)
        RememberLibraryError(path, code);
    return library;
}

void *GetExport(LibraryHandle library, const char *name) {
    if (library == nullptr || name == nullptr)
        return nullptr;
    FARPROC address = GetProcAddress(library, name);
    if (address == nullptr)
        RememberLibraryError(name, GetLastError());
    return reinterpret_cast<void *>(address);
}

void FreeLibrary(LibraryHandle library) {
    if (library != nullptr)
        ::FreeLibrary(library);
}

std::string LastLibraryError() {
    return lastLibraryError;
}

} // namespace platform
