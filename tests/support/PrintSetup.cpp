#include "PrintSetup.h"

#include "TestSupport.h"

#include <cstdio>

std::wstring NativeEnvironment()
{
#ifdef _WIN64
    return L"Windows x64";
#else
    return L"Windows NT x86";
#endif
}

std::wstring DriverFolder()
{
    wchar_t sz[MAX_PATH] = {};
    DWORD needed = 0;
    std::wstring env = NativeEnvironment();
    GetPrinterDriverDirectoryW(nullptr, &env[0], 1, reinterpret_cast<BYTE*>(sz), sizeof(sz), &needed);
    return std::wstring(sz) + L"\\3\\";
}

bool AddTestDriver(const std::wstring& name, const std::wstring& driverFile, const std::wstring& dataFile,
                   const std::vector<std::wstring>& dependentFiles, const std::wstring& monitor)
{
    std::wstring folder = DriverFolder();
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

    std::wstring env = NativeEnvironment();
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

bool AddTestPrinter(const std::wstring& name, const std::wstring& driver)
{
    std::wstring strName = name, strDriver = driver, port = L"FILE:", processor = L"WinPrint", type = L"RAW";
    PRINTER_INFO_2W info = {};
    info.pPrinterName = &strName[0];
    info.pDriverName = &strDriver[0];
    info.pPortName = &port[0];
    info.pPrintProcessor = &processor[0];
    info.pDatatype = &type[0];
    info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (!h) {
        fprintf(stderr, "AddPrinterW failed with %lu\n", GetLastError());
        return false;
    }
    ClosePrinter(h);
    return true;
}

bool DeleteTestPrinter(const std::wstring& name)
{
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE h = nullptr;
    if (OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &h, &defaults)) {
        DeletePrinter(h);
        ClosePrinter(h);
    }
    return !PrinterExists(name);
}

bool DriverExists(const std::wstring& name)
{
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed ? needed : 1);
    if (!EnumPrinterDriversW(nullptr, nullptr, 1, buffer.data(), needed, &needed, &count))
        return false;
    auto* pInfo = reinterpret_cast<DRIVER_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        if (name == pInfo[i].pName)
            return true;
    return false;
}

bool DeleteTestDriver(const std::wstring& name)
{
    if (DriverExists(name)) {
        using DeleteFn = BOOL(WINAPI*)(LPWSTR, LPWSTR, LPWSTR, DWORD, DWORD);
        // The real call even where a test has put a stand-in in its place.
        auto pReal = reinterpret_cast<DeleteFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"winspool.drv"), "DeletePrinterDriverExW")));
        std::wstring env = NativeEnvironment();
        pReal(nullptr, &env[0], const_cast<LPWSTR>(name.c_str()), 0, 0);
    }
    return !DriverExists(name);
}

std::vector<BYTE> PrinterDriverRecord(const std::wstring& printer)
{
    HANDLE h = nullptr;
    std::vector<BYTE> buffer;
    if (!OpenPrinterW(const_cast<LPWSTR>(printer.c_str()), &h, nullptr))
        return buffer;
    DWORD needed = 0;
    GetPrinterDriverW(h, nullptr, 6, nullptr, 0, &needed);
    buffer.resize(needed);
    if (!needed || !GetPrinterDriverW(h, nullptr, 6, buffer.data(), needed, &needed))
        buffer.clear();
    ClosePrinter(h);
    return buffer;
}
