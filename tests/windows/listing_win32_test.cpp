// The listing of the ports present on Windows: it opens no port, it names the ports the system
// has registered (null-modem.sh registers its lines under SERIALCOMM, as a serial driver does),
// it reads a list of device names of any length, and the device manager's names reach the
// console in its code page. What Windows would answer and Wine cannot (a device manager with a
// USB adapter in it, a list of device names too long for the first buffer) comes from wrappers
// in this program's import table.
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "import_patch.h"
#include "port.h"

namespace {

bool Listed(const PortListing& listing, const std::string& entry) {
    return std::find(listing.ports.begin(), listing.ports.end(), entry) != listing.ports.end();
}

// --- No port is opened -------------------------------------------------------------------------

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
    PortListing listing;
    {
        ImportPatch narrow(&__imp_CreateFileA, &UnansweredCreateFile<char>);
        ImportPatch wide(&__imp_CreateFileW, &UnansweredCreateFile<wchar_t>);
        listing = ListPorts();
    }
    EXPECT_EQ(opens, 0) << "the listing opened ports";
    for (const char* registered : {"COM3", "COM4", "COM5"}) {
        EXPECT_TRUE(Listed(listing, registered))
            << registered << " is registered under SERIALCOMM by null-modem.sh";
    }
    EXPECT_FALSE(Listed(listing, "COM6")) << "nothing registered COM6 (/dev/null)";
    EXPECT_FALSE(Listed(listing, "COM42"));
    EXPECT_TRUE(listing.unnumbered.empty());
}

// --- A list of device names of any length ------------------------------------------------------

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
    PortListing listing;
    {
        ImportPatch query(&__imp_QueryDosDeviceW, &LongListQueryDosDeviceW);
        listing = ListPorts();
    }
    EXPECT_GE(largest_asked, 100000u);
    EXPECT_TRUE(Listed(listing, "COM77"));
}

// --- The device manager's names ----------------------------------------------------------------

// One USB adapter present, COM9, with a German name.
const wchar_t kAdapterKey[] = L"Software\\k410prog-test\\adapter";
HDEVINFO const kDevices = reinterpret_cast<HDEVINFO>(static_cast<INT_PTR>(0x4100));

HDEVINFO WINAPI OneAdapterGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD) {
    return kDevices;
}
BOOL WINAPI OneAdapterEnumDeviceInfo(HDEVINFO devices, DWORD index, PSP_DEVINFO_DATA device) {
    if (devices != kDevices || index > 0) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    device->DevInst = 1;
    return TRUE;
}
HKEY WINAPI OneAdapterOpenDevRegKey(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD,
                                    REGSAM access) {
    HKEY key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, kAdapterKey, 0, access, &key) == ERROR_SUCCESS
               ? key
               : static_cast<HKEY>(INVALID_HANDLE_VALUE);
}
BOOL WINAPI OneAdapterGetDeviceRegistryPropertyW(HDEVINFO, PSP_DEVINFO_DATA, DWORD property,
                                                 PDWORD type, PBYTE buffer, DWORD size,
                                                 PDWORD needed) {
    static const wchar_t kName[] = L"Serielles USB-Ger\u00e4t (COM9)";
    if (property != SPDRP_FRIENDLYNAME || size < sizeof(kName)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::copy(reinterpret_cast<const BYTE*>(kName),
              reinterpret_cast<const BYTE*>(kName) + sizeof(kName), buffer);
    if (type != nullptr) {
        *type = REG_SZ;
    }
    if (needed != nullptr) {
        *needed = sizeof(kName);
    }
    return TRUE;
}
BOOL WINAPI OneAdapterDestroyDeviceInfoList(HDEVINFO) {
    return TRUE;
}

UINT console_code_page = 0;
UINT WINAPI ChosenGetConsoleOutputCP() {
    return console_code_page;
}

TEST(Listing, DeviceManagersNamesReachTheConsoleReadableInItsCodePage) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kAdapterKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    static const wchar_t kPortName[] = L"COM9";
    ASSERT_EQ(RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(kPortName),
                             sizeof(kPortName)),
              ERROR_SUCCESS);
    RegCloseKey(key);

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
        PortListing listing;
        {
            ImportPatch cp(&__imp_GetConsoleOutputCP, &ChosenGetConsoleOutputCP);
            ImportPatch classes(&__imp_SetupDiGetClassDevsW, &OneAdapterGetClassDevsW);
            ImportPatch enumerate(&__imp_SetupDiEnumDeviceInfo, &OneAdapterEnumDeviceInfo);
            ImportPatch open(&__imp_SetupDiOpenDevRegKey, &OneAdapterOpenDevRegKey);
            ImportPatch property(&__imp_SetupDiGetDeviceRegistryPropertyW,
                                 &OneAdapterGetDeviceRegistryPropertyW);
            ImportPatch destroy(&__imp_SetupDiDestroyDeviceInfoList,
                                &OneAdapterDestroyDeviceInfoList);
            listing = ListPorts();
        }
        EXPECT_TRUE(Listed(listing, std::string("COM9 (") + c.name + ")"))
            << ::testing::PrintToString(listing.ports);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\k410prog-test");
}

}  // namespace
