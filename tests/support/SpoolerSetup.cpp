#include "SpoolerSetup.h"

#include <winspool.h>

#include <algorithm>

#include "TestSupport.h"

namespace {

bool WriteSmallFile(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(h, "test driver file", 16, &written, nullptr);
    CloseHandle(h);
    return true;
}

}  // namespace

std::vector<std::wstring> SpoolerPrinterNames()
{
    std::vector<std::wstring> names;
    DWORD cb = 0, n = 0;
    wchar_t szEmpty[] = L"";
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, szEmpty, 2, nullptr, 0, &cb, &n);
    std::vector<BYTE> buffer(cb + sizeof(PRINTER_INFO_2W));
    if (EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, szEmpty, 2, buffer.data(), cb, &cb, &n)) {
        auto* pInfos = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
        for (DWORD i = 0; i < n; ++i)
            names.push_back(pInfos[i].pPrinterName);
    }
    return names;
}

std::vector<std::wstring> SpoolerDriverNames()
{
    std::vector<std::wstring> names;
    DWORD cb = 0, n = 0;
    std::wstring env = NativeEnvironment();
    if (EnumPrinterDriversW(nullptr, &env[0], 6, nullptr, 0, &cb, &n) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return names;
    std::vector<BYTE> buffer(cb);
    if (EnumPrinterDriversW(nullptr, &env[0], 6, buffer.data(), cb, &cb, &n)) {
        auto* pInfos = reinterpret_cast<DRIVER_INFO_6W*>(buffer.data());
        for (DWORD i = 0; i < n; ++i)
            names.push_back(pInfos[i].pName);
    }
    return names;
}

std::wstring PrinterDriverName(const std::wstring& printerName)
{
    std::wstring name = printerName;
    HANDLE hPrinter = nullptr;
    if (!OpenPrinterW(&name[0], &hPrinter, nullptr))
        return std::wstring();
    DWORD cb = 0;
    std::wstring env = NativeEnvironment();
    GetPrinterDriverW(hPrinter, &env[0], 6, nullptr, 0, &cb);
    std::vector<BYTE> buffer(cb + sizeof(DRIVER_INFO_6W));
    std::wstring driver;
    if (GetPrinterDriverW(hPrinter, &env[0], 6, buffer.data(), cb, &cb))
        driver = reinterpret_cast<DRIVER_INFO_6W*>(buffer.data())->pName;
    ClosePrinter(hPrinter);
    return driver;
}

bool DeletePrinterByName(const std::wstring& printerName)
{
    std::wstring name = printerName;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE hPrinter = nullptr;
    if (!OpenPrinterW(&name[0], &hPrinter, &defaults))
        return GetLastError() == ERROR_INVALID_PRINTER_NAME;
    BOOL bDeleted = DeletePrinter(hPrinter);
    ClosePrinter(hPrinter);
    return bDeleted != FALSE;
}

SpoolerSetup::~SpoolerSetup()
{
    RemoveAll();
}

DWORD SpoolerSetup::InstallDriver(const std::wstring& driverName)
{
    static LONG nNext = 0;
    const std::wstring folder = DriverFolder();
    if (folder.empty())
        return GetLastError() ? GetLastError() : ERROR_PATH_NOT_FOUND;
    CreateDirectoryW(folder.c_str(), nullptr);
    // File names of their own per driver: removing one driver's files leaves the others'.
    const std::wstring base = L"tvtest" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                              std::to_wstring(InterlockedIncrement(&nNext));
    std::wstring driverFile = base + L".dll", dataFile = base + L".ppd", configFile = base + L"ui.dll";
    for (const std::wstring* pFile : {&driverFile, &dataFile, &configFile}) {
        if (!WriteSmallFile(folder + *pFile))
            return GetLastError();
        m_files.push_back(folder + *pFile);
    }
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    std::wstring name = driverName, env = NativeEnvironment();
    info.pName = &name[0];
    info.pEnvironment = &env[0];
    info.pDriverPath = &driverFile[0];
    info.pDataFile = &dataFile[0];
    info.pConfigFile = &configFile[0];
    if (!AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_NEW_FILES))
        return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
    m_drivers.push_back(driverName);
    return 0;
}

DWORD SpoolerSetup::InstallPrinter(const std::wstring& printerName, const std::wstring& driverName)
{
    if (DWORD dwError = AddTestPrinter(printerName, driverName))
        return dwError;
    m_printers.push_back(printerName);
    return 0;
}

void SpoolerSetup::RemoveAll()
{
    for (const std::wstring& printer : m_printers)
        DeletePrinterByName(printer);
    m_printers.clear();
    for (const std::wstring& driver : m_drivers)
        DeleteTestDriver(driver);
    m_drivers.clear();
    for (const std::wstring& file : m_files)
        DeleteFileW(file.c_str());
    m_files.clear();
}

std::wstring NativeEnvironment()
{
    // The system's, not this process's: a 32-bit test program under WOW64 sets up and looks for
    // x64 drivers, as the program under test must find them.
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
        return L"Windows x64";
    case PROCESSOR_ARCHITECTURE_ARM64:
        return L"Windows ARM64";
    default:
        return L"Windows NT x86";
    }
}

std::wstring DriverFolder(const std::wstring& environment)
{
    wchar_t sz[MAX_PATH] = {};
    DWORD needed = 0;
    std::wstring env = environment;
    GetPrinterDriverDirectoryW(nullptr, &env[0], 1, reinterpret_cast<BYTE*>(sz), sizeof(sz), &needed);
    return std::wstring(sz) + L"\\3\\";
}

bool AddTestDriver(const std::wstring& name, const std::wstring& driverFile, const std::wstring& dataFile,
                   const std::vector<std::wstring>& dependentFiles, const std::wstring& monitor,
                   const std::wstring& environment)
{
    std::wstring folder = DriverFolder(environment);
    MakeDirs(folder);
    std::wstring dependents;
    for (const std::wstring& file : dependentFiles) {
        if (!FileExists(folder + file))
            WriteFileBytes(folder + file, "dependent file of " + Ansi(name));
        dependents += folder + file + L'\0';
    }
    dependents += L'\0';
    for (const std::wstring& file : {driverFile, dataFile})
        if (!FileExists(folder + file))
            WriteFileBytes(folder + file, "driver file of " + Ansi(name));

    std::wstring env = environment;
    std::wstring driverPath = folder + driverFile, dataPath = folder + dataFile;
    std::wstring strName = name, strMonitor = monitor;
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = &strName[0];
    info.pEnvironment = &env[0];
    info.pDriverPath = &driverPath[0];
    info.pDataFile = &dataPath[0];
    info.pConfigFile = &driverPath[0];
    info.pDependentFiles = &dependents[0];
    info.pMonitorName = monitor.empty() ? nullptr : &strMonitor[0];
    return AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_NEW_FILES) != FALSE;
}

namespace {

// Wine's spooler runs inside the calling process and takes a printer only on a driver of that
// process's own environment: a 32-bit program under Wine's WOW64 cannot add one on an x64
// driver ("Windows NT x86" has no such driver: ERROR_UNKNOWN_PRINTER_DRIVER). Windows' spooler
// is a native service and takes the system's drivers whatever the caller's size, so a 32-bit
// installer adds its printers there. For that call only, the driver's name is given a key of
// its own in the caller's environment, which is all Wine looks for, and the key goes again.
const wchar_t kOwnEnvironmentDrivers[] =
    L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-3\\";

// Whether the system's environment has the driver, by the spooler's rule for names (case is not
// told apart).
bool NativeDriverKnown(const std::wstring& name)
{
    const std::vector<std::wstring> names = SpoolerDriverNames();
    return std::any_of(names.begin(), names.end(), [&](const std::wstring& known) {
        return CompareStringOrdinal(name.c_str(), -1, known.c_str(), -1, TRUE) == CSTR_EQUAL;
    });
}

HANDLE AddPrinterForWow64(const std::wstring& driver, PRINTER_INFO_2W& info)
{
    HKEY hKey = nullptr;
    DWORD dwDisposition = 0;
    const std::wstring key = kOwnEnvironmentDrivers + driver;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, &dwDisposition) !=
        ERROR_SUCCESS)
        return nullptr;
    RegCloseKey(hKey);
    HANDLE hPrinter = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    const DWORD dwError = GetLastError();
    if (dwDisposition == REG_CREATED_NEW_KEY)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    SetLastError(dwError);
    return hPrinter;
}

}  // namespace

DWORD AddTestPrinter(const std::wstring& name, const std::wstring& driver)
{
    std::wstring strName = name, strDriver = driver, port = L"FILE:", processor = L"WinPrint", type = L"RAW";
    PRINTER_INFO_2W info = {};
    info.pPrinterName = &strName[0];
    info.pDriverName = &strDriver[0];
    info.pPortName = &port[0];
    info.pPrintProcessor = &processor[0];
    info.pDatatype = &type[0];
    info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    HANDLE hPrinter = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (!hPrinter && GetLastError() == ERROR_UNKNOWN_PRINTER_DRIVER && IsWow64()) {
        if (NativeEnvironment() != L"Windows NT x86" && NativeDriverKnown(driver))
            hPrinter = AddPrinterForWow64(driver, info);
        else
            SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
    }
    if (!hPrinter)
        return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
    ClosePrinter(hPrinter);
    return 0;
}

bool DriverExists(const std::wstring& name, const std::wstring& environment)
{
    DWORD needed = 0, count = 0;
    std::wstring env = environment;
    EnumPrinterDriversW(nullptr, &env[0], 1, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed ? needed : 1);
    if (!EnumPrinterDriversW(nullptr, &env[0], 1, buffer.data(), needed, &needed, &count))
        return false;
    auto* pInfo = reinterpret_cast<DRIVER_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        if (name == pInfo[i].pName)
            return true;
    return false;
}

bool DeleteTestDriver(const std::wstring& name, const std::wstring& environment)
{
    if (DriverExists(name, environment)) {
        using DeleteFn = BOOL(WINAPI*)(LPWSTR, LPWSTR, LPWSTR, DWORD, DWORD);
        // The real call even where a test has put a stand-in in its place.
        auto pReal = reinterpret_cast<DeleteFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"winspool.drv"), "DeletePrinterDriverExW")));
        std::wstring env = environment;
        pReal(nullptr, &env[0], const_cast<LPWSTR>(name.c_str()), 0, 0);
    }
    return !DriverExists(name, environment);
}

std::vector<BYTE> PrinterDriverRecord(const std::wstring& printer)
{
    HANDLE h = nullptr;
    std::vector<BYTE> buffer;
    if (!OpenPrinterW(const_cast<LPWSTR>(printer.c_str()), &h, nullptr))
        return buffer;
    DWORD needed = 0;
    std::wstring env = NativeEnvironment();
    GetPrinterDriverW(h, &env[0], 6, nullptr, 0, &needed);
    buffer.resize(needed);
    if (!needed || !GetPrinterDriverW(h, &env[0], 6, buffer.data(), needed, &needed))
        buffer.clear();
    ClosePrinter(h);
    return buffer;
}
