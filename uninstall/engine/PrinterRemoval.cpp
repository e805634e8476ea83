#include "engine/PrinterRemoval.h"

#include <winspool.h>

#include <vector>

#include "log/Log.h"

namespace {

// How long a listing waits, in all, for the print servers of the connections. A server that
// serves the queue answers the open and the read in a few round trips, well under a second on an
// office network; one that is gone holds the open until the RPC time-out, tens of seconds. The
// dialog lists before it shows, so this is what its user waits for. A server too slow for it
// leaves its connection's driver unknown, which keeps every driver the connection may use: a
// short wait costs no safety.
const DWORD kConnectionAnswerMs = 1000;

// The spooler's listing at one level. A printer added between the size query and the listing
// makes the listing ask for more room: one more try with the size it asks for, as Microsoft's
// samples do.
BOOL EnumPrinterRecords(DWORD dwFlags, DWORD dwLevel, std::vector<BYTE>& buffer, DWORD& nReturned)
{
    DWORD cbNeeded = 0;
    nReturned = 0;
    buffer.clear();
    if (EnumPrintersW(dwFlags, nullptr, dwLevel, nullptr, 0, &cbNeeded, &nReturned))
        return TRUE;  // none
    for (int nTry = 0; nTry < 2 && GetLastError() == ERROR_INSUFFICIENT_BUFFER; ++nTry) {
        buffer.assign(cbNeeded, 0);
        if (EnumPrintersW(dwFlags, nullptr, dwLevel, buffer.data(), cbNeeded, &cbNeeded, &nReturned))
            return TRUE;
    }
    return FALSE;
}

// A printer connection points this PC at a queue of a print server. Its name has the form
// "\\server\queue", and the level-4 listing marks it network and not local. Opening it and
// calling DeletePrinter would ask the server to delete its shared queue, for everyone; the
// connection itself is removed from this PC with DeletePrinterConnectionW.
bool IsConnection(const wchar_t* pName, DWORD dwAttributes)
{
    if (pName && pName[0] == L'\\' && pName[1] == L'\\')
        return true;
    return (dwAttributes & PRINTER_ATTRIBUTE_NETWORK) && !(dwAttributes & PRINTER_ATTRIBUTE_LOCAL);
}

// The level-4 listing is answered from this PC's own records, without asking any server (MS:
// PRINTER_INFO_4, remarks).
bool IsPrinterConnection(const std::wstring& printerName)
{
    if (IsConnection(printerName.c_str(), 0))
        return true;
    std::vector<BYTE> buffer;
    DWORD nReturned = 0;
    if (!EnumPrinterRecords(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, 4, buffer, nReturned))
        return false;
    const auto* pInfos = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
    for (DWORD i = 0; i < nReturned; ++i) {
        if (pInfos[i].pPrinterName && printerName == pInfos[i].pPrinterName)
            return IsConnection(pInfos[i].pPrinterName, pInfos[i].Attributes);
    }
    return false;
}

// One connection's driver, asked of its server. The lister may stop waiting before the server
// answers: the query and the lister each hold a reference, and the last to let go frees it, so
// an answer that comes late is written into memory still the query's own.
struct ConnectionQuery {
    LONG nRefs = 2;
    std::wstring strPrinterName;
    std::wstring strDriverName;  // read by the lister only once the query's thread has ended
};

void ReleaseQuery(ConnectionQuery* pQuery)
{
    if (InterlockedDecrement(&pQuery->nRefs) == 0)
        delete pQuery;
}

// Nothing is logged: a connection whose driver is not learnt is listed as one whose driver is
// unknown, and the driver it may use is kept with the record that says so.
DWORD WINAPI AskConnectionDriver(LPVOID pParam)
{
    auto* pQuery = static_cast<ConnectionQuery*>(pParam);
    // Use is all that reading the queue's settings needs; "Manage printers" on the server is not.
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
    HANDLE hPrinter = nullptr;
    if (OpenPrinterW(&pQuery->strPrinterName[0], &hPrinter, &defaults)) {
        DWORD cbNeeded = 0;
        if (!GetPrinterW(hPrinter, 2, nullptr, 0, &cbNeeded) && GetLastError() == ERROR_INSUFFICIENT_BUFFER &&
            cbNeeded >= sizeof(PRINTER_INFO_2W)) {
            std::vector<BYTE> info(cbNeeded);
            if (GetPrinterW(hPrinter, 2, info.data(), cbNeeded, &cbNeeded)) {
                const wchar_t* pDriver = reinterpret_cast<const PRINTER_INFO_2W*>(info.data())->pDriverName;
                pQuery->strDriverName = pDriver ? pDriver : L"";
            }
        }
        ClosePrinter(hPrinter);
    }
    ReleaseQuery(pQuery);
    return 0;
}

// Each connection's server is asked on a thread of its own, so that a server that is gone holds
// up only its own connection, and the caller waits kConnectionAnswerMs at most for them all. A
// thread still waiting on its server then ends on its own (at the latest with the process).
void AskConnectionDrivers(std::vector<PrinterAndDriver>& printers)
{
    struct Asked {
        size_t nPrinter;
        ConnectionQuery* pQuery;
        HANDLE hThread;
    };
    std::vector<Asked> asked;
    const ULONGLONG ullStart = GetTickCount64();
    for (size_t i = 0; i < printers.size(); ++i) {
        if (!printers[i].bConnection)
            continue;
        auto* pQuery = new ConnectionQuery;
        pQuery->strPrinterName = printers[i].strPrinterName;
        HANDLE hThread = CreateThread(nullptr, 0, AskConnectionDriver, pQuery, 0, nullptr);
        if (!hThread) {  // not asked: its driver stays unknown
            ReleaseQuery(pQuery);
            ReleaseQuery(pQuery);
            continue;
        }
        asked.push_back({i, pQuery, hThread});
    }
    for (const Asked& query : asked) {
        const ULONGLONG ullSpent = GetTickCount64() - ullStart;
        const DWORD dwLeft = ullSpent < kConnectionAnswerMs ? static_cast<DWORD>(kConnectionAnswerMs - ullSpent) : 0;
        if (WaitForSingleObject(query.hThread, dwLeft) == WAIT_OBJECT_0)
            printers[query.nPrinter].strDriverName = query.pQuery->strDriverName;
        CloseHandle(query.hThread);
        ReleaseQuery(query.pQuery);
    }
}

}  // namespace

BOOL RemovePrinter(const std::wstring& printerName)
{
    if (IsPrinterConnection(printerName)) {
        if (DeletePrinterConnectionW(const_cast<LPWSTR>(printerName.c_str())))
            return TRUE;
        if (GetLastError() == ERROR_INVALID_PRINTER_NAME)
            return TRUE;  // already gone
        WriteLog(L"DeletePrinterConnection", TRUE);
        return FALSE;
    }

    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE hPrinter = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(printerName.c_str()), &hPrinter, &defaults)) {
        if (GetLastError() == ERROR_INVALID_PRINTER_NAME)
            return TRUE;  // already gone
        WriteLog(L"OpenPrinter", TRUE);
        return FALSE;
    }
    if (!DeletePrinter(hPrinter)) {
        WriteLog(L"DeletePrinter", TRUE);
        ClosePrinter(hPrinter);
        return FALSE;
    }
    ClosePrinter(hPrinter);
    return TRUE;
}

// The level-2 listing opens each connection it lists, which asks the connection's server and,
// where the server is gone, waits out the RPC time-out (MS: EnumPrinters, remarks; PRINTER_INFO_4,
// remarks). It is asked for the local printers alone: without PRINTER_ENUM_CONNECTIONS it lists
// no connection (MS: EnumPrinters, the Name parameter). Its word counts only for the printers
// the level-4 listing does not call connections; any other printer is asked for on its own, as
// a connection (one of a non-Windows print server may be marked local and network alike: MS:
// PRINTER_INFO_4, remarks).
BOOL ListPrinterDrivers(std::vector<PrinterAndDriver>& printers)
{
    printers.clear();
    std::vector<BYTE> names, locals;
    DWORD nNames = 0, nLocals = 0;
    if (!EnumPrinterRecords(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, 4, names, nNames) ||
        !EnumPrinterRecords(PRINTER_ENUM_LOCAL, 2, locals, nLocals))
        return FALSE;
    const auto* pNames = reinterpret_cast<const PRINTER_INFO_4W*>(names.data());
    const auto* pLocals = reinterpret_cast<const PRINTER_INFO_2W*>(locals.data());
    for (DWORD i = 0; i < nNames; ++i) {
        PrinterAndDriver printer;
        printer.strPrinterName = pNames[i].pPrinterName ? pNames[i].pPrinterName : L"";
        const PRINTER_INFO_2W* pLocal = nullptr;
        for (DWORD j = 0; j < nLocals && !pLocal; ++j) {
            if (pLocals[j].pPrinterName && printer.strPrinterName == pLocals[j].pPrinterName)
                pLocal = &pLocals[j];
        }
        printer.bConnection = !pLocal || IsConnection(pNames[i].pPrinterName, pNames[i].Attributes);
        if (!printer.bConnection && pLocal->pDriverName)
            printer.strDriverName = pLocal->pDriverName;
        printers.push_back(printer);
    }
    AskConnectionDrivers(printers);
    return TRUE;
}
