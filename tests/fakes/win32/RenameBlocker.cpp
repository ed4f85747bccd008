#include "fakes/RenameBlocker.h"

#include <windows.h>

RenameBlocker::RenameBlocker(const std::string& file) {
    // Reading and writing are shared, so the receiver's own handle does not stand in the way;
    // deleting, which a rename needs, is not.
    const HANDLE held = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    holding_ = held != INVALID_HANDLE_VALUE;
    handle_ = holding_ ? static_cast<long long>(reinterpret_cast<INT_PTR>(held)) : -1;
}

void RenameBlocker::Release() {
    if (holding_) {
        CloseHandle(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle_)));
        holding_ = false;
        handle_ = -1;
    }
}
