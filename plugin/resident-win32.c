/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Windows counterpart of the ELF build's -z nodelete: GObject cannot unregister a static type, so
 * once loaded the DLL pins itself and a FreeLibrary() never unmaps the code the type points into.
 * DllMain is the loader's entry point, not an export: camera_plugin_get_type stays the only one. */
#include <windows.h>

BOOL WINAPI DllMain (HINSTANCE instance, DWORD reason, LPVOID reserved);

BOOL WINAPI
DllMain (HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    HMODULE self;

    (void) reserved;
    if (reason == DLL_PROCESS_ATTACH)
        return GetModuleHandleExW (GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                   (LPCWSTR) (void *) instance, &self);
    return TRUE;
}
