// Benchmark of the file clean-ups on trees the size of a busy PC's (not a test; run by
// scripts/bench.sh inside the sandbox, whose C:\windows it fills).
//
// Builds ~1,000 driver-store packages (~20,000 files, INF files of realistic sizes, three
// of them mentioning the benchmark driver) and ~5,000 files in the spooler's driver
// folder, then times against bare floors measured in the same run:
//   - the candidate walk of CleanDriverStore      vs a bare FindFirstFileW walk of the store
//   - the content tests of all candidate INFs     vs a plain read of the same files
//   - CleanSpoolDriverFiles for 40 file names     vs a bare walk of the driver folder
// and reports how far the content tests raise the peak memory, against the largest INF.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "CallRecorder.h"
#include "cleanup/DirScanner.h"
#include "cleanup/DriverStore.h"
#include "cleanup/OtherDrivers.h"
#include "cleanup/SpoolDriverFiles.h"

namespace {

const wchar_t kBenchDriver[] = L"Tavrel Bench Laser 9000";
const int kPackages = 1000;
const int kFilesPerPackage = 20;  // the INF and 19 others
const int kRepetitions = 5;

LARGE_INTEGER g_frequency;

double NowMs()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(g_frequency.QuadPart);
}

// A figure and its floor, run by turns kRepetitions times after one warm-up run of each;
// the best time of each counts (the machine is shared: the best run is the one least
// disturbed). `prepare` runs, untimed, before each run of the figure.
struct Pair {
    double floorMs;
    double figureMs;
};

template <typename F, typename G>
Pair TimePair(F floor, G figure, void (*prepare)() = nullptr)
{
    Pair best = {1e300, 1e300};
    for (int i = 0; i <= kRepetitions; ++i) {
        double start = NowMs();
        floor();
        double floorMs = NowMs() - start;
        if (prepare)
            prepare();
        start = NowMs();
        figure();
        double figureMs = NowMs() - start;
        if (i > 0) {
            best.floorMs = std::min(best.floorMs, floorMs);
            best.figureMs = std::min(best.figureMs, figureMs);
        }
    }
    return best;
}

void MakeFolders(const std::wstring& folder)
{
    for (size_t pos = folder.find(L'\\', 3); pos != std::wstring::npos; pos = folder.find(L'\\', pos + 1))
        CreateDirectoryW(folder.substr(0, pos).c_str(), nullptr);
}

void WriteSmallFile(const std::wstring& path, DWORD dwSize)
{
    static const std::string filler(65536, 'M');
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"cannot create %ls (%lu)\n", path.c_str(), GetLastError());
        ExitProcess(1);
    }
    DWORD dwWritten = 0;
    WriteFile(h, filler.data(), dwSize, &dwWritten, nullptr);
    CloseHandle(h);
}

// An INF of about dwSize bytes, written in pieces so that building it costs no memory of
// its size. Its [Strings] name the given driver (in the code page of the system).
void WriteInf(const std::wstring& path, DWORD dwSize, const std::wstring& driver, int nPackage)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        ExitProcess(1);
    std::string chunk;
    auto Flush = [&]() {
        DWORD dwWritten = 0;
        WriteFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &dwWritten, nullptr);
        chunk.clear();
    };
    char line[256];
    chunk += "; Copyright (c) Contoso Printing Systems. All rights reserved.\r\n"
             "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n"
             "ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}\r\nProvider=%MFG%\r\nDriverVer=06/21/2023,6.3.9600.1\r\n\r\n"
             "[Manufacturer]\r\n%MFG%=Models,NTamd64\r\n\r\n[Models.NTamd64]\r\n";
    DWORD dwTotal = 0;
    for (int n = 0; dwTotal < dwSize; ++n) {
        int len = snprintf(line, sizeof(line),
                           "\"Contoso Printer %d-%04d PCL6\" = DRIVER_%d_%d, USBPRINT\\Contoso%04X%04X, "
                           "WSDPRINT\\ContosoPrinter%dC5A1\r\n",
                           nPackage, n, nPackage, n, nPackage, n, n);
        chunk.append(line, len);
        dwTotal += len;
        if (chunk.size() >= 60000)
            Flush();
    }
    int nChars = WideCharToMultiByte(CP_ACP, 0, driver.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string ansi(nChars, '\0');
    WideCharToMultiByte(CP_ACP, 0, driver.c_str(), -1, &ansi[0], nChars, nullptr, nullptr);
    chunk += "\r\n[Strings]\r\nMFG=\"Contoso\"\r\nDriverName=\"" + ansi.substr(0, nChars - 1) + "\"\r\n";
    chunk += "\xcb\xfe\xce\xac\xb4\xf2\xd3\xa1\xbb\xfa=\"Chinese description\"\r\n";
    Flush();
    CloseHandle(h);
}

// Sizes like those of a real driver store: most INFs a few dozen kB, some hundreds of kB,
// a handful of several MB.
DWORD InfSize(int n)
{
    DWORD dwHash = static_cast<DWORD>(n) * 2654435761u;
    if (n % 100 == 37)
        return 1000000 + dwHash % 3000000;
    if (n % 11 == 5)
        return 100000 + dwHash % 500000;
    return 4000 + dwHash % 60000;
}

struct Trees {
    std::wstring strRepository;
    std::wstring strSpoolRoot;
    std::vector<std::wstring> benchDriverFiles;  // in the spool tree, recreated before each run
    ULONGLONG ullInfBytes = 0;
    DWORD dwLargestInf = 0;
    int nRepositoryFiles = 0;
    int nSpoolFiles = 0;
};
Trees g_trees;

void BuildTrees()
{
    wchar_t szWindows[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, szWindows, CSIDL_WINDOWS, FALSE);
    g_trees.strRepository = std::wstring(szWindows) + L"\\System32\\DriverStore\\FileRepository\\";
    g_trees.strSpoolRoot = std::wstring(szWindows) + L"\\System32\\spool\\drivers\\";

    for (int n = 0; n < kPackages; ++n) {
        wchar_t szName[80];
        swprintf(szName, 80, L"prn%04d.inf_amd64_%08x\\", n, static_cast<unsigned>(n * 2654435761u));
        std::wstring package = g_trees.strRepository + szName;
        MakeFolders(package + L"amd64\\");
        bool bMentions = n == 123 || n == 537 || n == 911;
        DWORD dwSize = InfSize(n);
        WriteInf(package + L"prn" + std::to_wstring(n) + L".inf", dwSize,
                 bMentions ? std::wstring(kBenchDriver) : L"Contoso Printer " + std::to_wstring(n), n);
        g_trees.ullInfBytes += dwSize;
        g_trees.dwLargestInf = std::max(g_trees.dwLargestInf, dwSize);
        for (int k = 1; k < kFilesPerPackage; ++k) {
            std::wstring name = (k % 3 == 0 ? L"amd64\\" : L"") + std::wstring(L"part") + std::to_wstring(k) +
                                (k % 4 == 0 ? L".gpd" : k % 4 == 1 ? L".dll" : k % 4 == 2 ? L".cat" : L".ini");
            WriteSmallFile(package + name, 200 + (k * 37) % 800);
        }
        g_trees.nRepositoryFiles += kFilesPerPackage;
    }

    const wchar_t* const folders[] = {L"x64\\3\\", L"W32X86\\3\\", L"color\\", L"x64\\PCC\\", L"W32X86\\PCC\\"};
    const int counts[] = {2500, 1500, 400, 300, 300};
    for (int f = 0; f < 5; ++f) {
        MakeFolders(g_trees.strSpoolRoot + folders[f]);
        for (int k = 0; k < counts[f]; ++k) {
            wchar_t szName[40];
            swprintf(szName, 40, L"CNT%02d%04d.%ls", f, k, k % 3 ? L"DLL" : L"GPD");
            WriteSmallFile(g_trees.strSpoolRoot + folders[f] + szName, 300);
        }
        g_trees.nSpoolFiles += counts[f];
    }
    for (int k = 0; k < 40; ++k) {
        for (const wchar_t* pFolder : {L"x64\\3\\", L"W32X86\\3\\"}) {
            wchar_t szName[40];
            swprintf(szName, 40, L"TVBENCH%02d.%ls", k, k == 39 ? L"GPD" : L"DLL");
            g_trees.benchDriverFiles.push_back(g_trees.strSpoolRoot + pFolder + szName);
        }
    }
}

void RecreateBenchDriverFiles()
{
    for (const std::wstring& path : g_trees.benchDriverFiles)
        WriteSmallFile(path, 300);
}

// The floor: list every entry, descend into folders, nothing else.
int BareWalk(const std::wstring& dir)
{
    int nFiles = 0;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"*.*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0)
                nFiles += BareWalk(dir + fd.cFileName + L"\\");
        } else {
            ++nFiles;
        }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return nFiles;
}

// The floor of the content tests: open, read whole into one reused buffer, close.
ULONGLONG PlainRead(const std::vector<std::wstring>& files, std::vector<BYTE>& buffer)
{
    ULONGLONG ullBytes = 0;
    for (const std::wstring& path : files) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        DWORD dwSize = GetFileSize(h, nullptr);
        if (buffer.size() < dwSize)
            buffer.resize(dwSize);
        DWORD dwRead = 0;
        ReadFile(h, buffer.data(), dwSize, &dwRead, nullptr);
        ullBytes += dwRead;
        CloseHandle(h);
    }
    return ullBytes;
}

PROCESS_MEMORY_COUNTERS Memory()
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return pmc;
}

double Mb(ULONGLONG bytes)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

int main()
{
    QueryPerformanceFrequency(&g_frequency);
    double start = NowMs();
    BuildTrees();
    printf("Trees built in %.1f s: driver store %d packages, %d files, INF files %.1f MB (largest %.2f MB); "
           "spooler driver folder %d files\n",
           (NowMs() - start) / 1000.0, kPackages, g_trees.nRepositoryFiles, Mb(g_trees.ullInfBytes),
           Mb(g_trees.dwLargestInf), g_trees.nSpoolFiles);
    printf("Best of %d runs each, figure and floor run by turns; ratio = figure / floor.\n\n", kRepetitions);

    // Driver store: candidate walk.
    int nListed = 0;
    std::vector<std::wstring> candidates;
    Pair walk = TimePair([&] { nListed = BareWalk(g_trees.strRepository); },
                         [&] {
                             CDirScanner scanner;
                             scanner.ScanDirectory(g_trees.strRepository, ScanCollect, L".inf", TRUE);
                             candidates = scanner.m_matchedFiles;
                         });
    printf("Driver store, bare FindFirstFileW walk (floor)   %9.1f ms   %d files\n", walk.floorMs, nListed);
    printf("Driver store, candidate walk (ScanCollect .inf)  %9.1f ms   %.2fx floor (target <= 1.5x)   %zu candidates\n",
           walk.figureMs, walk.figureMs / walk.floorMs, candidates.size());

    // Content tests of every candidate; first once alone, for the memory they take.
    int nMatches = 0;
    auto ContentTests = [&] {
        nMatches = 0;
        for (const std::wstring& path : candidates)
            nMatches += FileMentionsDriver(path, kBenchDriver) ? 1 : 0;
    };
    PROCESS_MEMORY_COUNTERS before = Memory();
    ContentTests();
    PROCESS_MEMORY_COUNTERS after = Memory();
    std::vector<BYTE> readBuffer(g_trees.dwLargestInf);
    ULONGLONG ullRead = 0;
    Pair content = TimePair([&] { ullRead = PlainRead(candidates, readBuffer); }, ContentTests);
    printf("INF files, plain read (floor)                    %9.1f ms   %.1f MB\n", content.floorMs, Mb(ullRead));
    printf("INF files, content tests (FileMentionsDriver)    %9.1f ms   %.2fx floor (target <= 2x)   %d match\n",
           content.figureMs, content.figureMs / content.floorMs, nMatches);
    ULONGLONG ullGrowth = after.PeakWorkingSetSize - before.PeakWorkingSetSize;
    printf("Peak working set: %.1f MB before the content tests, +%.2f MB during them "
           "(largest INF %.2f MB, all INFs %.1f MB)\n\n",
           Mb(before.PeakWorkingSetSize), Mb(ullGrowth), Mb(g_trees.dwLargestInf), Mb(g_trees.ullInfBytes));

    // Spooler driver folder: 40 names, one walk each.
    std::wstring dependent;
    for (int k = 0; k < 39; ++k)
        dependent += L"C:\\drv\\TVBENCH" + std::wstring(k < 10 ? L"0" : L"") + std::to_wstring(k) + L".DLL" + L'\0';
    dependent += L'\0';
    std::wstring dataFile = L"C:\\drv\\TVBENCH39.GPD";
    DRIVER_INFO_6W driver = {};
    driver.pName = const_cast<LPWSTR>(kBenchDriver);
    driver.pDependentFiles = &dependent[0];
    driver.pDataFile = &dataFile[0];
    // The files a busy PC's other drivers list, which the walks must pass over.
    FileNameSet otherDriversFiles;
    for (int k = 0; k < 2000; ++k)
        otherDriversFiles.insert(L"OTHERDRV" + std::to_wstring(k) + L".DLL");
    BOOL bSpool = FALSE;
    Pair spool = TimePair([&] { nListed = BareWalk(g_trees.strSpoolRoot); },
                          [&] { bSpool = CleanSpoolDriverFiles(&driver, otherDriversFiles); }, &RecreateBenchDriverFiles);
    int nLeft = 0;
    for (const std::wstring& path : g_trees.benchDriverFiles)
        nLeft += GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
    printf("Spooler driver folder, bare walk (floor)         %9.1f ms   %d files\n", spool.floorMs, nListed);
    printf("CleanSpoolDriverFiles, 40 names = 40 walks       %9.1f ms   %.2fx floor = %.2fx floor per walk   "
           "result %d, %d of %zu driver files left\n",
           spool.figureMs, spool.figureMs / spool.floorMs, spool.figureMs / (40 * spool.floorMs), bSpool, nLeft,
           g_trees.benchDriverFiles.size());

    // The whole driver store clean-up once, cmd and the pauses left out.
    {
        ScopedCallRecorder shell("ShellExecuteExW", RecordOnly);
        ScopedCallRecorder sleep("Sleep", RecordOnly);
        double startClean = NowMs();
        // Other drivers as on a busy PC: the INFs that mention the removed driver are also read
        // for their names.
        OtherDrivers others;
        others.fileNames = otherDriversFiles;
        for (int k = 0; k < 60; ++k)
            others.names.push_back(L"Other Maker Model " + std::to_wstring(k));
        BOOL bStore = CleanDriverStore(kBenchDriver, others);
        printf("CleanDriverStore once (no cmd, no pauses)        %9.1f ms   result %d, %zu packages taken over\n",
               NowMs() - startClean, bStore, RecordedCalls(L"ShellExecuteExW").size());
    }
    return 0;
}
