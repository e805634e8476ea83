// What the built program files carry: a GUI subsystem for their machine, both dialog
// templates in Chinese (PRC) as laid out, one manifest asking for elevation and declaring DPI
// awareness and the supported Windows versions, an icon and a version resource. The x86_64
// tests check the i686 programs too (copied beside them into win32\).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "PeResources.h"
#include "TestSupport.h"

namespace {

const WORD kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);  // 0x0804

struct Program {
    std::wstring path;
    WORD wMachine;
};

std::vector<Program> Programs(const wchar_t* pName)
{
    // The programs beside the tests are built for the tests' own machine: x86_64 in one tree,
    // i686 (the shipped ones) in the other.
#ifdef _WIN64
    const WORD wOwnMachine = IMAGE_FILE_MACHINE_AMD64;
#else
    const WORD wOwnMachine = IMAGE_FILE_MACHINE_I386;
#endif
    std::vector<Program> programs{{TestBinFolder() + pName, wOwnMachine}};
#ifdef CHECK_WIN32_PROGRAMS
    programs.push_back({TestBinFolder() + L"win32\\" + pName, IMAGE_FILE_MACHINE_I386});
#endif
    return programs;
}

std::string Name(const std::wstring& path)
{
    return Ansi(path);
}

// ---- a reader for extended dialog templates ----

class TemplateReader {
public:
    explicit TemplateReader(const std::string& bytes) : m_bytes(bytes) {}
    WORD Word()
    {
        WORD w = 0;
        Take(&w, sizeof(w));
        return w;
    }
    DWORD Dword()
    {
        DWORD d = 0;
        Take(&d, sizeof(d));
        return d;
    }
    short Short() { return static_cast<short>(Word()); }
    BYTE Byte()
    {
        BYTE b = 0;
        Take(&b, 1);
        return b;
    }
    // A string or an ordinal: "#n" for 0xFFFF n, the text otherwise ("" for an empty field).
    std::wstring SzOrOrd()
    {
        WORD first = Word();
        if (first == 0xFFFF)
            return L"#" + std::to_wstring(Word());
        std::wstring text;
        for (WORD c = first; c != 0 && !m_bFailed; c = Word())
            text += static_cast<wchar_t>(c);
        return text;
    }
    void AlignDword() { m_nPos = (m_nPos + 3) & ~static_cast<size_t>(3); }
    bool Failed() const { return m_bFailed; }
    bool AtEnd() const { return m_nPos >= m_bytes.size(); }

private:
    void Take(void* pOut, size_t n)
    {
        if (m_nPos + n > m_bytes.size()) {
            m_bFailed = true;
            return;
        }
        memcpy(pOut, m_bytes.data() + m_nPos, n);
        m_nPos += n;
    }
    const std::string& m_bytes;
    size_t m_nPos = 0;
    bool m_bFailed = false;
};

struct ControlSpec {
    DWORD id;
    const wchar_t* pClass;
    const wchar_t* pTextZh;
    const wchar_t* pTextEn;
    DWORD dwStyle;
    short x, y, cx, cy;
};

// Both templates: the controls in order with their full styles and positions.
const ControlSpec kControls[] = {
    {1, L"BUTTON", L"卸载", L"Uninstall", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, 45, 198, 66, 20},
    {2, L"BUTTON", L"取消", L"Cancel", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP, 144, 198, 66, 20},
    {1000, L"LISTBOX", L"", L"",
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_SORT | LBS_NOINTEGRALHEIGHT, 23, 29,
     210, 158},
    {1001, L"msctls_progress32", L"", L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 25, 226, 206, 14},
    {0xFFFFFFFF, L"STATIC", L"驱动列表：", L"Driver List：", WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 23, 15, 63, 8},
};

// A predefined class may be stored by name or by its atom; both name the same class.
std::wstring ClassName(const std::wstring& stored)
{
    const struct {
        const wchar_t* pAtom;
        const wchar_t* pName;
    } atoms[] = {{L"#128", L"BUTTON"}, {L"#129", L"EDIT"}, {L"#130", L"STATIC"}, {L"#131", L"LISTBOX"}};
    for (const auto& a : atoms)
        if (stored == a.pAtom)
            return a.pName;
    return stored;
}

void ExpectDialogTemplate(const std::string& bytes, bool bChinese)
{
    TemplateReader r(bytes);
    EXPECT_EQ(1, r.Word()) << "dlgVer of an extended template";
    EXPECT_EQ(0xFFFF, r.Word()) << "signature of an extended template";
    EXPECT_EQ(0u, r.Dword()) << "help id";
    EXPECT_EQ(0u, r.Dword()) << "no extended style";
    EXPECT_EQ(0x80C908C8u, r.Dword()) << "frame style";
    const WORD nItems = r.Word();
    EXPECT_EQ(5, nItems);
    EXPECT_EQ(0, r.Short());
    EXPECT_EQ(0, r.Short());
    EXPECT_EQ(255, r.Short());
    EXPECT_EQ(257, r.Short());
    EXPECT_EQ(L"", r.SzOrOrd()) << "no menu";
    EXPECT_EQ(L"", r.SzOrOrd()) << "no window class of its own";
    EXPECT_EQ(bChinese ? L"塔维打印机驱动卸载程序" : L"TAVREL Printer Driver Uninstaller", r.SzOrOrd());
    EXPECT_EQ(8, r.Word()) << "point size";
    EXPECT_EQ(400, r.Word()) << "weight";
    EXPECT_EQ(0, r.Byte()) << "italic";
    EXPECT_EQ(1, r.Byte()) << "character set";
    EXPECT_EQ(L"MS Shell Dlg", r.SzOrOrd());
    for (size_t i = 0; i < std::min<size_t>(nItems, 5); ++i) {
        const ControlSpec& c = kControls[i];
        SCOPED_TRACE("control " + std::to_string(i + 1));
        r.AlignDword();
        EXPECT_EQ(0u, r.Dword()) << "help id";
        EXPECT_EQ(0u, r.Dword()) << "no extended style";
        EXPECT_EQ(c.dwStyle, r.Dword()) << "style";
        EXPECT_EQ(c.x, r.Short());
        EXPECT_EQ(c.y, r.Short());
        EXPECT_EQ(c.cx, r.Short());
        EXPECT_EQ(c.cy, r.Short());
        EXPECT_EQ(c.id, r.Dword());
        const std::wstring cls = ClassName(r.SzOrOrd());
        EXPECT_EQ(0, lstrcmpiW(c.pClass, cls.c_str())) << "class " << Ansi(cls) << " (names compare without case)";
        EXPECT_EQ(bChinese ? c.pTextZh : c.pTextEn, r.SzOrOrd());
        EXPECT_EQ(0, r.Word()) << "no creation data";
    }
    EXPECT_FALSE(r.Failed()) << "the template ends early";
}

void ExpectPeHeader(const Program& program)
{
    const std::string bytes = ReadFileBytes(program.path);
    ASSERT_GT(bytes.size(), sizeof(IMAGE_DOS_HEADER)) << Name(program.path) << " missing";
    const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    ASSERT_EQ(IMAGE_DOS_SIGNATURE, pDos->e_magic);
    ASSERT_LT(static_cast<size_t>(pDos->e_lfanew) + sizeof(IMAGE_NT_HEADERS32), bytes.size());
    const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(bytes.data() + pDos->e_lfanew);
    ASSERT_EQ(IMAGE_NT_SIGNATURE, pNt->Signature);
    EXPECT_EQ(program.wMachine, pNt->FileHeader.Machine);
    // The subsystem sits at the same offset in the 32-bit and 64-bit optional headers.
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, pNt->OptionalHeader.Subsystem) << "a windowed program, no console";
}

// The DLLs a program file imports when it starts, upper-cased, read from the file's own
// import table (32-bit and 64-bit layouts alike); delay-loaded DLLs are not among them.
std::vector<std::string> StartupImports(const std::wstring& path)
{
    std::vector<std::string> dlls;
    const std::string bytes = ReadFileBytes(path);
    if (bytes.size() < sizeof(IMAGE_DOS_HEADER))
        return dlls;
    const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(bytes.data() + reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data())->e_lfanew);
    const bool b64 = pNt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    const IMAGE_DATA_DIRECTORY& dir =
        b64 ? reinterpret_cast<const IMAGE_NT_HEADERS64*>(pNt)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]
            : pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const auto* pSections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        reinterpret_cast<const BYTE*>(&pNt->OptionalHeader) + pNt->FileHeader.SizeOfOptionalHeader);
    auto fileOffset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < pNt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& section = pSections[i];
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData)
                return rva - section.VirtualAddress + section.PointerToRawData;
        }
        return bytes.size();
    };
    for (size_t at = fileOffset(dir.VirtualAddress); dir.VirtualAddress && at + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= bytes.size();
         at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* pDesc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(bytes.data() + at);
        const size_t nName = fileOffset(pDesc->Name);
        if (!pDesc->Name || nName >= bytes.size())
            break;
        std::string name = bytes.c_str() + nName;
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(toupper(c)); });
        dlls.push_back(name);
    }
    std::sort(dlls.begin(), dlls.end());
    return dlls;
}

// The text between <open...> and the next </close>, or "<absent>" when there is none.
std::string Section(const std::string& xml, const std::string& open, const std::string& close, size_t nFrom = 0)
{
    const size_t nOpen = xml.find(open, nFrom);
    const size_t nStart = nOpen == std::string::npos ? nOpen : xml.find('>', nOpen);
    const size_t nEnd = nStart == std::string::npos ? nStart : xml.find(close, nStart);
    return nEnd == std::string::npos ? "<absent>" : xml.substr(nStart + 1, nEnd - nStart - 1);
}

// System DPI awareness, in the namespaces Windows reads it from, and the Windows versions the
// program declares it supports (without them Windows stretches the windows as a bitmap on a
// high-DPI screen, and Windows 8.1 and later report version 6.2).
void ExpectDpiAwareAndSupportedOs(const std::string& xml)
{
    const std::string settings = Section(Section(xml, "<application xmlns=\"urn:schemas-microsoft-com:asm.v3\"",
                                                 "</application>"),
                                         "<windowsSettings", "</windowsSettings>");
    EXPECT_EQ("true", Section(settings, "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\"",
                              "</dpiAware>"))
        << xml;

    const size_t nCompatibility = xml.find("<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">");
    ASSERT_NE(std::string::npos, nCompatibility) << xml;
    const std::string supported = Section(xml, "<application", "</application>", nCompatibility);
    const struct {
        const char* pWindows;
        const char* pId;
    } versions[] = {{"7", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"},
                    {"8", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"},
                    {"8.1", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"},
                    {"10 and 11", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}};
    for (const auto& v : versions)
        EXPECT_NE(std::string::npos, supported.find(std::string("<supportedOS Id=\"") + v.pId + "\"/>"))
            << "Windows " << v.pWindows << " not declared supported:\n"
            << supported;
}

void ExpectOneElevatingManifest(const std::vector<ResourceEntry>& all, bool bCommonControls)
{
    const std::vector<ResourceEntry> manifests = ResourcesOfType(all, L"#24");
    ASSERT_EQ(1u, manifests.size()) << "exactly one manifest";
    EXPECT_EQ(L"#1", manifests[0].name) << "the process manifest id";
    const std::string& xml = manifests[0].bytes;
    EXPECT_NE(std::string::npos, xml.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"))
        << xml;
    EXPECT_EQ(bCommonControls, xml.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"") !=
                                   std::string::npos);
    ExpectDpiAwareAndSupportedOs(xml);
}

void ExpectIconAndVersion(const std::wstring& path, const std::vector<ResourceEntry>& all, const wchar_t* pDescription,
                          const wchar_t* pFileName)
{
    const std::vector<ResourceEntry> groups = ResourcesOfType(all, L"#14");
    ASSERT_EQ(1u, groups.size()) << "one application icon";
    EXPECT_EQ(L"#1", groups[0].name);
    // GRPICONDIR: reserved, type 1, count, then 14-byte entries starting with width and height.
    const std::string& g = groups[0].bytes;
    ASSERT_GE(g.size(), 6u);
    const WORD nImages = *reinterpret_cast<const WORD*>(g.data() + 4);
    ASSERT_EQ(6u + 14u * nImages, g.size());
    std::vector<int> sizes;
    for (WORD i = 0; i < nImages; ++i)
        sizes.push_back(static_cast<BYTE>(g[6 + 14 * i]));
    EXPECT_EQ((std::vector<int>{16, 32, 48}), sizes);
    EXPECT_EQ(nImages, ResourcesOfType(all, L"#3").size());

    DWORD dwHandle = 0;
    const DWORD cb = GetFileVersionInfoSizeW(path.c_str(), &dwHandle);
    ASSERT_GT(cb, 0u) << "no version resource";
    std::vector<BYTE> info(cb);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, cb, info.data()));
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cbFixed = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cbFixed));
    // The project's version (CMakeLists.txt), which the build hands to the resource compiler.
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(APP_VERSION_MINOR, APP_VERSION_MAJOR)), pFixed->dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(APP_VERSION_TWEAK, APP_VERSION_PATCH)), pFixed->dwFileVersionLS);
    EXPECT_EQ(pFixed->dwFileVersionMS, pFixed->dwProductVersionMS);
    EXPECT_EQ(pFixed->dwFileVersionLS, pFixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), pFixed->dwFileType);
    auto value = [&](const wchar_t* pKey) {
        wchar_t* pText = nullptr;
        UINT cch = 0;
        std::wstring query = std::wstring(L"\\StringFileInfo\\080404B0\\") + pKey;
        return VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&pText), &cch) && pText
                   ? std::wstring(pText)
                   : std::wstring(L"<missing>");
    };
    EXPECT_EQ(L"塔维打印机驱动程序", value(L"ProductName"));
    EXPECT_EQ(pDescription, value(L"FileDescription"));
    const std::wstring version = std::to_wstring(APP_VERSION_MAJOR) + L"." + std::to_wstring(APP_VERSION_MINOR) + L"." +
                                 std::to_wstring(APP_VERSION_PATCH) + L"." + std::to_wstring(APP_VERSION_TWEAK);
    EXPECT_EQ(version, value(L"FileVersion"));
    EXPECT_EQ(version, value(L"ProductVersion"));
    EXPECT_EQ(pFileName, value(L"OriginalFilename"));
}

TEST(BuiltUninstall, CarriesItsTemplatesManifestIconAndVersion)
{
    for (const Program& program : Programs(L"Uninstall.exe")) {
        SCOPED_TRACE(Name(program.path));
        ASSERT_NO_FATAL_FAILURE(ExpectPeHeader(program));
        const std::vector<ResourceEntry> all = ReadResources(program.path);
        ASSERT_FALSE(all.empty()) << "resources cannot be read";

        const std::vector<ResourceEntry> dialogs = ResourcesOfType(all, L"#5");
        ASSERT_EQ(2u, dialogs.size()) << "templates 101 and 102, once each";
        for (const ResourceEntry& d : dialogs) {
            SCOPED_TRACE(Ansi(d.name));
            EXPECT_EQ(kChinesePrc, d.wLanguage) << "tagged Chinese (PRC)";
            ASSERT_TRUE(d.name == L"#101" || d.name == L"#102");
            ExpectDialogTemplate(d.bytes, d.name == L"#101");
        }
        ExpectOneElevatingManifest(all, true);
        ExpectIconAndVersion(program.path, all, L"塔维打印机驱动卸载程序", L"Uninstall.exe");
        // Only Windows' known DLLs (taken from the system folder whatever lies beside the
        // program) and comctl32 (the manifest's side-by-side assembly): winspool.drv, which a
        // folder could plant, is delay-loaded from the system folder.
        EXPECT_EQ((std::vector<std::string>{"ADVAPI32.DLL", "COMCTL32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "NTDLL.DLL",
                                            "OLE32.DLL", "SETUPAPI.DLL", "SHELL32.DLL", "USER32.DLL"}),
                  StartupImports(program.path));
    }
}

TEST(BuiltInstaller, CarriesItsManifestIconAndVersionAndNoDialog)
{
    for (const Program& program : Programs(L"Installer.exe")) {
        SCOPED_TRACE(Name(program.path));
        ASSERT_NO_FATAL_FAILURE(ExpectPeHeader(program));
        const std::vector<ResourceEntry> all = ReadResources(program.path);
        ASSERT_FALSE(all.empty()) << "resources cannot be read";
        EXPECT_TRUE(ResourcesOfType(all, L"#5").empty()) << "Installer shows no window";
        ExpectOneElevatingManifest(all, false);
        ExpectIconAndVersion(program.path, all, L"塔维打印机驱动安装程序", L"Installer.exe");
        EXPECT_EQ((std::vector<std::string>{"KERNEL32.DLL", "MSVCRT.DLL", "OLE32.DLL", "SHELL32.DLL", "USER32.DLL"}),
                  StartupImports(program.path))
            << "only Windows' known DLLs";
    }
}

}  // namespace
