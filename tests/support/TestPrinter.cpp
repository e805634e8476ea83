#include "TestPrinter.h"

#include <winspool.h>

#include <stdexcept>

#include "FileTree.h"
#include "SpoolerSetup.h"
#include "TestSupport.h"

namespace {
const wchar_t* const kDriverFiles[] = {L"tvprn.dll", L"tvprn.gpd", L"tvprnui.dll"};
}

ScopedTestPrinter::ScopedTestPrinter(const std::wstring& printerName, const std::wstring& driverName)
    : m_printer(printerName), m_driver(driverName)
{
    m_driverFolder = SystemFolder() + L"\\spool\\drivers\\x64\\3\\";
    for (const wchar_t* pFile : kDriverFiles)
        MakeFile(m_driverFolder + pFile, "MZ");

    DRIVER_INFO_3W driver = {};
    driver.cVersion = 3;
    driver.pName = &m_driver[0];
    driver.pEnvironment = const_cast<LPWSTR>(L"Windows x64");
    driver.pDriverPath = const_cast<LPWSTR>(kDriverFiles[0]);
    driver.pDataFile = const_cast<LPWSTR>(kDriverFiles[1]);
    driver.pConfigFile = const_cast<LPWSTR>(kDriverFiles[2]);
    if (!AddPrinterDriverExW(nullptr, 3, reinterpret_cast<LPBYTE>(&driver), APD_COPY_NEW_FILES) &&
        GetLastError() != ERROR_PRINTER_DRIVER_ALREADY_INSTALLED)
        throw std::runtime_error("AddPrinterDriverExW failed with " + std::to_string(GetLastError()));

    if (DWORD dwError = AddTestPrinter(m_printer, m_driver))
        throw std::runtime_error("AddPrinterW failed with " + std::to_string(dwError));
}

ScopedTestPrinter::~ScopedTestPrinter()
{
    DeletePrinterByName(m_printer);
    DeleteTestDriver(m_driver);
    for (const wchar_t* pFile : kDriverFiles)
        DeleteFileW((m_driverFolder + pFile).c_str());
}

bool PrinterExists(const std::wstring& printerName)
{
    HANDLE hPrinter = nullptr;
    std::wstring name = printerName;
    if (!OpenPrinterW(&name[0], &hPrinter, nullptr))
        return false;
    ClosePrinter(hPrinter);
    return true;
}
