// The listing of the ports present on Windows: it opens no port, it names the ports the system
// has registered (null-modem.sh registers its lines under SERIALCOMM, as a serial driver does),
// it reads a list of device names of any length, and the device manager's names reach the
// console in its code page. What Windows would answer and Wine cannot (a device manager with a
// USB adapter in it, a list of device names too long for the first buffer) comes from wrappers
// in this program's import table.
#include <windows.h>
// After windows.h, which it needs.
#include <initguid.h>
// After initguid.h, which makes its classes defined here.
#include <devguid.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "import_patch.h"
#include "port.h"

namespace {

int opens = 0;
// Every port out of range, or a device that is not working: any open that is tried fails as
// those do, after a while.
template <typename Char>
HANDLE WINAPI UnansweredCreateFile(const Char*, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                   HANDLE) {
    ++opens;
    SetLastError(ERROR_SEM_TIMEOUT);
    return INVALID_HANDLE_VALUE;
}

TEST(Listing, OpensNoPortAndNamesThePortsThatDoNotAnswerToo) {
    opens = 0;
    ImportPatch patches[] = {{&__imp_CreateFileA, &UnansweredCreateFile<char>},
                             {&__imp_CreateFileW, &UnansweredCreateFile<wchar_t>}};
    const PortListing listing = ListPorts();
    EXPECT_EQ(opens, 0) << "the listing opened ports";
    ExpectTheRegisteredLinesListed(listing);
}

DWORD largest_asked = 0;
// A system with more device names than the first buffer holds: only a buffer of 100000
// characters or more gets the list.
DWORD WINAPI LongListQueryDosDeviceW(LPCWSTR device, LPWSTR names, DWORD size) {
    if (device != nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    largest_asked = std::max(largest_asked, size);
    static const wchar_t kNames[] = L"AUX\0COM77\0NUL\0";  // and the list's own end
    const DWORD length = sizeof(kNames) / sizeof(kNames[0]);
    if (size < 100000) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(kNames, kNames + length, names);
    return length;
}

TEST(Listing, ListOfDeviceNamesIsReadWhateverItsLength) {
    largest_asked = 0;
    ImportPatch query(&__imp_QueryDosDeviceW, &LongListQueryDosDeviceW);
    const PortListing listing = ListPorts();
    EXPECT_GE(largest_asked, 100000u);
    EXPECT_TRUE(Listed(listing, "COM77"));
}

// Windows 7 with usbser.sys: no device registers the COM port interface; a CDC adapter is in the
// Ports setup class, a CDC modem in the Modem class (pyserial's list_ports_windows.py looks there
// for that reason). The adapter, COM9, has a German name.
const wchar_t kDeviceKey[] = L"Software\\k410prog-test\\device";
HDEVINFO const kAdapters = reinterpret_cast<HDEVINFO>(static_cast<INT_PTR>(0x4101));
HDEVINFO const kModems = reinterpret_cast<HDEVINFO>(static_cast<INT_PTR>(0x4102));
HDEVINFO const kNone = reinterpret_cast<HDEVINFO>(static_cast<INT_PTR>(0x4100));

HDEVINFO WINAPI Windows7GetClassDevsW(const GUID* kind, PCWSTR, HWND, DWORD flags) {
    if ((flags & DIGCF_PRESENT) == 0 || (flags & DIGCF_DEVICEINTERFACE) != 0) {
        return kNone;
    }
    return IsEqualGUID(*kind, GUID_DEVCLASS_PORTS)   ? kAdapters
           : IsEqualGUID(*kind, GUID_DEVCLASS_MODEM) ? kModems
                                                     : kNone;
}
BOOL WINAPI Windows7EnumDeviceInfo(HDEVINFO devices, DWORD index, PSP_DEVINFO_DATA device) {
    if (devices == kNone || index > 0) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    device->DevInst = devices == kAdapters ? 9 : 11;
    return TRUE;
}
// The device's key, a real one of the test's own, holds PortName "COM<DevInst>".
HKEY WINAPI Windows7OpenDevRegKey(HDEVINFO, PSP_DEVINFO_DATA device, DWORD, DWORD, DWORD,
                                  REGSAM access) {
    HKEY key;
    const std::wstring port = L"COM" + std::to_wstring(device->DevInst);
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (kDeviceKey + port).c_str(), 0, nullptr, 0,
                        access | KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                   static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)));
    return key;
}
BOOL WINAPI Windows7GetDeviceRegistryPropertyW(HDEVINFO, PSP_DEVINFO_DATA device, DWORD property,
                                               PDWORD type, PBYTE buffer, DWORD size,
                                               PDWORD needed) {
    const std::wstring name =
        device->DevInst == 9 ? L"Serielles USB-Ger\u00e4t (COM9)" : L"USB Modem (COM11)";
    const DWORD bytes = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    if (property != SPDRP_FRIENDLYNAME || size < bytes) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::copy(reinterpret_cast<const BYTE*>(name.c_str()),
              reinterpret_cast<const BYTE*>(name.c_str()) + bytes, buffer);
    if (type != nullptr) {
        *type = REG_SZ;
    }
    if (needed != nullptr) {
        *needed = bytes;
    }
    return TRUE;
}
BOOL WINAPI Windows7DestroyDeviceInfoList(HDEVINFO) {
    return TRUE;
}

UINT console_code_page = 0;
UINT WINAPI ChosenGetConsoleOutputCP() {
    return console_code_page;
}

TEST(Listing, DeviceManagersPortsAndModemsOfWindows7ReachTheConsoleReadableInItsCodePage) {
    struct Case {
        UINT code_page;
        const char* name;  // "Serielles USB-Gerät" as that code page writes it
    };
    const Case cases[] = {
        {850, "Serielles USB-Ger\x84t"},        // OEM Western European, the German console's own
        {437, "Serielles USB-Ger\x84t"},        // OEM United States
        {1252, "Serielles USB-Ger\xE4t"},       // Windows Western European
        {65001, "Serielles USB-Ger\xC3\xA4t"},  // UTF-8
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code_page);
        console_code_page = c.code_page;
        ImportPatch patches[] = {
            {&__imp_GetConsoleOutputCP, &ChosenGetConsoleOutputCP},
            {&__imp_SetupDiGetClassDevsW, &Windows7GetClassDevsW},
            {&__imp_SetupDiEnumDeviceInfo, &Windows7EnumDeviceInfo},
            {&__imp_SetupDiOpenDevRegKey, &Windows7OpenDevRegKey},
            {&__imp_SetupDiGetDeviceRegistryPropertyW, &Windows7GetDeviceRegistryPropertyW},
            {&__imp_SetupDiDestroyDeviceInfoList, &Windows7DestroyDeviceInfoList}};
        const PortListing listing = ListPorts();
        EXPECT_TRUE(Listed(listing, std::string("COM9 (") + c.name + ")"))
            << ::testing::PrintToString(listing.ports);
        EXPECT_TRUE(Listed(listing, "COM11 (USB Modem)"))
            << ::testing::PrintToString(listing.ports);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\k410prog-test");
}

}  // namespace
