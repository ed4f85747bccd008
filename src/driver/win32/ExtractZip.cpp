// The Shell presents a ZIP file as a folder; copying its items into another folder unpacks them.
// Windows has done this itself since XP, so the installer needs no unzip code of its own.

#include <windows.h>

#include <shellapi.h>
#include <shldisp.h>

#include "driver/win32/Driver.h"

namespace {

// A BSTR variant of an ANSI path; the Shell takes paths as UTF-16.
void SetPath(VARIANT& variant, const std::string& path) {
    const int length =
        MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (text != nullptr) {
        MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), text, length);
    }
    V_VT(&variant) = VT_BSTR;
    V_BSTR(&variant) = text;
}

}  // namespace

bool ExtractZip(const std::string& archive, const std::string& targetDirectory) {
    IShellDispatch* shell = nullptr;
    if (FAILED(CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_INPROC_SERVER, IID_IShellDispatch,
                                reinterpret_cast<void**>(&shell))) ||
        shell == nullptr) {
        return false;
    }
    VARIANT archivePath;
    VARIANT targetPath;
    VariantInit(&archivePath);
    VariantInit(&targetPath);
    SetPath(archivePath, archive);
    SetPath(targetPath, targetDirectory);

    bool extracted = false;
    Folder* source = nullptr;
    Folder* target = nullptr;
    shell->NameSpace(archivePath, &source);
    shell->NameSpace(targetPath, &target);
    if (source != nullptr && target != nullptr) {
        FolderItems* items = nullptr;
        source->Items(&items);
        if (items != nullptr) {
            VARIANT what;
            VariantInit(&what);
            V_VT(&what) = VT_DISPATCH;
            V_DISPATCH(&what) = items;
            // No progress window, yes to every question, no question before making folders.
            VARIANT options;
            VariantInit(&options);
            V_VT(&options) = VT_I4;
            V_I4(&options) = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
            extracted = SUCCEEDED(target->CopyHere(what, options));
            items->Release();
        }
    }
    if (target != nullptr) {
        target->Release();
    }
    if (source != nullptr) {
        source->Release();
    }
    shell->Release();
    VariantClear(&archivePath);
    VariantClear(&targetPath);
    return extracted;
}
