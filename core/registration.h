// Self-registration of a control class: the rows DllRegisterServer writes
// and DllUnregisterServer removes. They are also the installer package's:
// packaging/make_package.py reads kClassRegistration from this file, so each
// row stays on a line of its own, in the form below.
#pragma once

#include <windows.h>

#include "control_class.h"

namespace core {

// One value under HKEY_CLASSES_ROOT: the value |name| (null: the key's
// default value) of |key|, with the text |value| (null: the key alone). In
// key and value, {clsid}, {libid} and {progid} stand for the class's own,
// {file} for the library's path, {misc} for the class's misc status and
// {bitmap} for the toolbox picture's resource id (TOOLBOX_BITMAP_ID).
struct RegistrationRow {
    const wchar_t* key;
    const wchar_t* name;
    const wchar_t* value;
};

inline constexpr RegistrationRow kClassRegistration[] = {
    // The name containers show for the class (OleRegGetUserType).
    {L"CLSID\\{clsid}", nullptr, L"{progid}"},
    {L"CLSID\\{clsid}\\InprocServer32", nullptr, L"{file}"},
    {L"CLSID\\{clsid}\\InprocServer32", L"ThreadingModel", L"Apartment"},
    {L"CLSID\\{clsid}\\ProgID", nullptr, L"{progid}"},
    {L"CLSID\\{clsid}\\TypeLib", nullptr, L"{libid}"},
    {L"CLSID\\{clsid}\\Version", nullptr, L"1.0"},
    {L"CLSID\\{clsid}\\Control", nullptr, nullptr},
    {L"CLSID\\{clsid}\\ToolboxBitmap32", nullptr, L"{file}, {bitmap}"},
    {L"CLSID\\{clsid}\\MiscStatus", nullptr, L"0"},
    {L"CLSID\\{clsid}\\MiscStatus\\1", nullptr, L"{misc}"},
    {L"{progid}", nullptr, L"{progid}"},
    {L"{progid}\\CLSID", nullptr, L"{clsid}"},
};

// Registers the library's type library and |controlClass| (the rows above).
HRESULT RegisterServer(const ControlClass& controlClass) noexcept;
// Removes what RegisterServer wrote.
HRESULT UnregisterServer(const ControlClass& controlClass) noexcept;

}  // namespace core
