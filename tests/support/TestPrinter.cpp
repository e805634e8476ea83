#include "TestPrinter.h"

#include <winspool.h>

#include <stdexcept>

#include "FileTree.h"
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

    PRINTER_INFO_2W printer = {};
    printer.pPrinterName = &m_printer[0];
    printer.pPortName = const_cast<LPWSTR>(L"FILE:");
    printer.pDriverName = &m_driver[0];
    printer.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    printer.pDatatype = const_cast<LPWSTR>(L"RAW");
    printer.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    HANDLE hPrinter = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&printer));
    if (!hPrinter)
        throw std::runtime_error("AddPrinterW failed with " + std::to_string(GetLastError()));
    ClosePrinter(hPrinter);
}

ScopedTestPrinter::~ScopedTestPrinter()
{
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE hPrinter = nullptr;
    if (OpenPrinterW(&m_printer[0], &hPrinter, &defaults)) {
        DeletePrinter(hPrinter);
        ClosePrinter(hPrinter);
    }
    DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(L"Windows x64"), &m_driver[0], 0, 0);
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
