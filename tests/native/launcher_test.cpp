// The launcher's byte-level rules: switches, paths, settings and INF lines,
// hardware IDs, registry values and the message catalogue.
#include <gtest/gtest.h>
#include <iconv.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "prepbytes.h"
#include "prepmessages.h"

namespace {

int NoLead(unsigned char)
{
    return 0;
}

int SjisLead(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

std::string Settings(const char* own, const char* suffix = NULL, LeadBytePredicate lead = NoLead)
{
    char out[PREP_PATH_SIZE];
    return PrepSettingsPath(own, suffix, lead, out, sizeof(out)) ? out : "<none>";
}

std::string Line(const char* section, size_t filled, int n)
{
    char line[PREP_LINE_SIZE];
    return PrepSectionLine(section, filled, n, line, sizeof(line)) ? line : "<none>";
}

std::string ModelId(const char* line)
{
    char id[PREP_HWID_SIZE];
    return PrepModelHardwareId(line, id, sizeof(id)) ? id : "<none>";
}

std::string Trimmed(const char* ids, size_t n)
{
    char buf[PREP_HWID_SIZE] = {0};
    memcpy(buf, ids, n);
    PrepTrimHardwareId(buf, sizeof(buf));
    return buf;
}

std::string Utf8(const char* cp932)
{
    iconv_t cd = iconv_open("UTF-8", "CP932");
    char out[1024] = {0};
    char* in = const_cast<char*>(cp932);
    size_t in_left = strlen(cp932), out_left = sizeof(out) - 1;
    char* o = out;
    size_t rc = iconv(cd, &in, &in_left, &o, &out_left);
    iconv_close(cd);
    return rc == (size_t)-1 ? "<not CP932>" : out;
}

TEST(LauncherCommandLine, SwitchesChooseTheLanguage)
{
    EXPECT_EQ(PREP_LANG_JAPANESE, PrepScanSwitches("/j", PREP_LANG_ENGLISH));
    EXPECT_EQ(PREP_LANG_ENGLISH, PrepScanSwitches("/e", PREP_LANG_JAPANESE));
    EXPECT_EQ(PREP_LANG_ENGLISH, PrepScanSwitches("/J /E", 0x07));
    // A folder beginning with J after a forward slash is a switch too.
    EXPECT_EQ(PREP_LANG_JAPANESE, PrepScanSwitches("c:/data/Jobs/x", PREP_LANG_ENGLISH));
    // Accepted switches and numbers change nothing; a trailing "/" ends the scan.
    EXPECT_EQ(0x07, PrepScanSwitches("/C /d /V12 /x /", 0x07));
    EXPECT_EQ(PREP_LANG_JAPANESE, PrepScanSwitches("/V12/J", PREP_LANG_ENGLISH));
    EXPECT_EQ(PREP_LANG_ENGLISH, PrepScanSwitches("", PREP_LANG_ENGLISH));
}

TEST(LauncherCommandLine, PathsAndProgramCommandLines)
{
    EXPECT_EQ("C:\\Tools\\panelprep.INI", Settings("C:\\Tools\\panelprep.exe"));
    // The 64-bit edition reads its launcher's settings; a plain launcher keeps its name.
    EXPECT_EQ("C:\\Tools\\PANELPREP.INI", Settings("C:\\Tools\\PANELPREP64.EXE", "64"));
    EXPECT_EQ("C:\\v1.2\\prep.INI", Settings("C:\\v1.2\\prep", "64"));
    EXPECT_EQ("C:\\64.INI", Settings("C:\\64.exe", "64"));
    // "\x95\x5C" is one double-byte character whose trail byte is a backslash.
    const char* dbcs = "C:\\\x95\x5C.x\\prep.exe";
    EXPECT_EQ("C:\\\x95\x5C.x\\prep.INI", Settings(dbcs, NULL, SjisLead));
    char folder[PREP_PATH_SIZE];
    ASSERT_TRUE(PrepFolderOf(dbcs, SjisLead, folder, sizeof(folder)));
    EXPECT_STREQ("C:\\\x95\x5C.x", folder);
    ASSERT_TRUE(PrepFolderOf("panelup.exe", NoLead, folder, sizeof(folder)));
    EXPECT_STREQ("", folder);

    char out[PREP_COMMAND_LINE_SIZE];
    ASSERT_TRUE(PrepFullPath("C:\\Tools", "vcupd.inf", out, sizeof(out)));
    EXPECT_STREQ("C:\\Tools\\vcupd.inf", out);
    ASSERT_TRUE(PrepFullPath("C:\\Tools", "D:\\drv\\x.inf", out, sizeof(out)));
    EXPECT_STREQ("D:\\drv\\x.inf", out);
    // A path with a blank is quoted, so that it names one program only.
    ASSERT_TRUE(PrepProgramCommandLine("C:\\My Tools\\panelup.exe", "", out, sizeof(out)));
    EXPECT_STREQ("\"C:\\My Tools\\panelup.exe\" ", out);
    ASSERT_TRUE(PrepWow64CommandLine("C:\\Tools\\panelprep.exe", "/J /V3", NoLead, out, sizeof(out)));
    EXPECT_STREQ("C:\\Tools\\panelprep64.exe /J /V3", out);
    ASSERT_TRUE(PrepWow64CommandLine("C:\\Program Files\\p.exe", "/J", NoLead, out, sizeof(out)));
    EXPECT_STREQ("\"C:\\Program Files\\p64.exe\" /J", out);
    // What does not fit is refused, never cut.
    std::string longest(PREP_PATH_SIZE - 1, 'a');
    EXPECT_FALSE(PrepFullPath(longest.c_str(), "panelup.exe", out, PREP_PATH_SIZE));
    char small[16];
    EXPECT_FALSE(PrepWow64CommandLine("C:\\p.exe", "/J a long argument", NoLead, small, sizeof(small)));
}

TEST(LauncherInf, SectionLinesAndModels)
{
    const char section[] = "a=1\0; c=x, USB\\VID_1\0b=2\0\0stale=3\0";
    EXPECT_EQ("a=1", Line(section, sizeof(section), 0));
    EXPECT_EQ("b=2", Line(section, sizeof(section), 2));
    EXPECT_EQ("<none>", Line(section, sizeof(section), 3));  // the list ends at the empty line
    EXPECT_EQ("<none>", Line(section, 4, 1));                // or at the count filled
    std::string long_line(PREP_LINE_SIZE + 40, 'x');
    EXPECT_EQ(std::string(PREP_LINE_SIZE - 1, 'x'), Line(long_line.c_str(), long_line.size() + 1, 0));

    char name[PREP_SECTION_NAME_SIZE];
    ASSERT_TRUE(PrepModelsSectionName("; %M%= \tModels", name, sizeof(name)));
    EXPECT_STREQ("Models", name);  // no comment test in the Manufacturer section
    ASSERT_TRUE(PrepModelsSectionName("%M%=Models,NTx86", name, sizeof(name)));
    EXPECT_STREQ("Models,NTx86", name);
    EXPECT_FALSE(PrepModelsSectionName("no equals", name, sizeof(name)));

    EXPECT_EQ("USB\\VID_0944&PID_1001", ModelId("%Desc% = Install_Sec,  USB\\VID_0944&PID_1001 ; comment"));
    EXPECT_EQ("USB\\VID_1,", ModelId("%D%=S, USB\\VID_1, USB\\VID_2"));
    EXPECT_EQ("USB\\VID_1,USB\\VID_2", ModelId("%D%=S,\tUSB\\VID_1,USB\\VID_2\n"));
    EXPECT_EQ("<none>", ModelId(" \t; %D%=S, USB\\VID_1"));
    EXPECT_EQ("<none>", ModelId("%D%=S"));
    EXPECT_EQ("<none>", ModelId("USB\\VID_1, x"));
    std::string long_id = "D=S," + std::string(300, 'U');
    EXPECT_EQ(std::string(PREP_HWID_SIZE - 1, 'U'), ModelId(long_id.c_str()));
}

TEST(LauncherDevices, TrimAndMatch)
{
    const char rev[] = "USB\\Vid_0944&Pid_1001&Rev_0100\0USB\\Vid_0944&Pid_1001\0";
    EXPECT_EQ("USB\\Vid_0944&Pid_1001", Trimmed(rev, sizeof(rev)));
    EXPECT_EQ("USB\\VID_0944&PID_1001&MI_00", Trimmed("USB\\VID_0944&PID_1001&REV_0100&MI_00", 36));
    // An ID without a revision stays whole; the next ID is not read into it.
    const char plain[] = "USB\\VID_0944&PID_1001\0USB\\VID_0944&PID_1001&REV_0100\0";
    EXPECT_EQ("USB\\VID_0944&PID_1001", Trimmed(plain, sizeof(plain)));
    // A buffer filled to the last byte stays inside it.
    std::string full(PREP_HWID_SIZE, 'A');
    EXPECT_EQ(std::string(PREP_HWID_SIZE - 1, 'A'), Trimmed(full.data(), full.size()));

    const char models[3][PREP_HWID_SIZE] = {"PCI\\VEN_1", "USB\\VID_0944&PID_1002", "usb\\vid_0944&pid_1001"};
    EXPECT_EQ(2, PrepMatchModel("USB\\Vid_0944&Pid_1001", models, 3));
    EXPECT_EQ(-1, PrepMatchModel("usb\\VID_0944&PID_1001", models, 3));
    EXPECT_EQ(-1, PrepMatchModel("PCI\\VEN_1", models, 3));
    EXPECT_EQ(-1, PrepMatchModel("USB\\VID_0944&PID_1001&MI_00", models, 3));
    EXPECT_EQ(-1, PrepMatchModel("", models, 3));
}

TEST(LauncherRegistry, DriverValuesAndPaths)
{
    long n = -1;
    ASSERT_TRUE(PrepDriverInstance("{36fc9e60-c465-11cf-8056-444553540000}\\0012", &n));
    EXPECT_EQ(12, n);
    EXPECT_FALSE(PrepDriverInstance("{36FC9E60-C465-11CF-8056-444553540000}", &n));
    EXPECT_FALSE(PrepDriverInstance("{36FC9E60-C465-11CF-8056-444553540000}\\", &n));
    EXPECT_FALSE(PrepDriverInstance("{36FC9E60-C465-11CF-8056-444553540000}\\00x1", &n));
    EXPECT_FALSE(PrepDriverInstance("{36FC9E60-C465-11CF-8056-444553540000}\\99999999999999", &n));
    EXPECT_FALSE(PrepDriverInstance("{4D36E97D-E325-11CE-BFC1-08002BE10318}\\0001", &n));

    char path[PREP_REG_PATH_SIZE], parent[PREP_REG_PATH_SIZE], key[PREP_REG_PATH_SIZE];
    ASSERT_TRUE(PrepDriverKeyPath(7, path, sizeof(path)));
    EXPECT_STREQ(PREP_MEDIA_CLASS_KEY "\\0007", path);
    ASSERT_TRUE(PrepSplitRegistryPath(path, parent, sizeof(parent), key, sizeof(key)));
    EXPECT_STREQ(PREP_MEDIA_CLASS_KEY, parent);
    EXPECT_STREQ("0007", key);
    EXPECT_FALSE(PrepSplitRegistryPath("SYSTEM", parent, sizeof(parent), key, sizeof(key)));

    char inf[PREP_REG_PATH_SIZE], pnf[PREP_REG_PATH_SIZE];
    ASSERT_TRUE(PrepOemInfPaths("C:\\windows", "oem3.inf", inf, sizeof(inf), pnf, sizeof(pnf)));
    EXPECT_STREQ("C:\\windows\\Inf\\oem3.inf", inf);
    EXPECT_STREQ("C:\\windows\\Inf\\oem3.PNF", pnf);
    for (const char* bad : {"", "..\\system32\\x.dll", "C:x.inf", "a/b.inf", ".."})
        EXPECT_FALSE(PrepOemInfPaths("C:\\windows", bad, inf, sizeof(inf), pnf, sizeof(pnf))) << bad;
}

TEST(LauncherMessages, EnglishAndJapanese)
{
    EXPECT_STREQ("Error: Some files are missing.", PrepMessageText(PREP_MSG_FILES_MISSING, PREP_LANG_ENGLISH));
    EXPECT_STREQ("Error: Some files are missing.", PrepMessageText(PREP_MSG_FILES_MISSING, 0x0C));
    // Trailing blanks are part of the texts.
    EXPECT_STREQ("The driver will be installed to execute the version up process.\r\n"
                 "If a dialog box appears, warning you that the driver is not digitally signed, \r\n"
                 "click [Continue Anyway]. ",
                 PrepMessageText(PREP_MSG_WILL_INSTALL, PREP_LANG_ENGLISH));
    // No Japanese text: English in every language.
    EXPECT_STREQ(PrepMessageText(PREP_MSG_WOW64, PREP_LANG_ENGLISH), PrepMessageText(PREP_MSG_WOW64, PREP_LANG_JAPANESE));
    // The Japanese texts are code page 932 bytes.
    EXPECT_EQ("エラー: ファイルが見つかりません。\r\n[%s]",
              Utf8(PrepMessageText(PREP_MSG_UPDATER_NOT_FOUND, PREP_LANG_JAPANESE)));
    EXPECT_EQ("ハードウェアウィザードを[キャンセル]で終了させます。そして下の[OK]をクリックしてください。\r\n"
              "タスクバーに表示される警告は無視してください。",
              Utf8(PrepMessageText(PREP_MSG_INSTALL_PENDING, PREP_LANG_JAPANESE)));
    EXPECT_EQ("エラー: ORLOデバイスが接続されていません。", Utf8(PrepMessageText(PREP_MSG_ERR_NO_DEVICE, PREP_LANG_JAPANESE)));
    for (int id = 0; id < PREP_MSG_COUNT; ++id) {
        const char* ja = PrepMessageText((PrepMessage)id, PREP_LANG_JAPANESE);
        EXPECT_NE("<not CP932>", Utf8(ja)) << id;
        EXPECT_NE(0, PrepMessageText((PrepMessage)id, PREP_LANG_ENGLISH)[0]) << id;
    }
}

// Offsets of the PE format (headers, section table, resource directory).
enum {
    PE_NEW_HEADER_AT = 0x3C,
    PE_SECTION_COUNT_AT = 6,
    PE_OPTIONAL_SIZE_AT = 20,
    PE_OPTIONAL_AT = 24,
    PE_MAGIC_64 = 0x20B,
    PE_DIRECTORIES_AT_64 = 112,
    PE_DIRECTORIES_AT_32 = 96,
    PE_DIRECTORY_SIZE = 8,
    PE_RESOURCE_DIRECTORY = 2,
    PE_SECTION_SIZE = 40,
    PE_SECTION_VA_AT = 12,
    PE_SECTION_RAW_SIZE_AT = 16,
    PE_SECTION_RAW_AT = 20,
    RES_COUNTS_AT = 12,
    RES_ENTRIES_AT = 16,
    RES_ENTRY_SIZE = 8,
    RES_TYPE_MANIFEST = 24,
};
const uint32_t RES_SUBDIRECTORY_MASK = 0x7FFFFFFF;

// A little-endian number of a PE file; 0 past its end.
uint32_t Le(const std::vector<unsigned char>& f, size_t at, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | (at + i < f.size() ? f[at + i] : 0);
    return v;
}

// The first manifest resource (type 24) of a built program, as text.
std::string ManifestOf(const std::string& exe)
{
    std::ifstream in(exe, std::ios::binary);
    std::vector<unsigned char> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t pe = Le(f, PE_NEW_HEADER_AT, 4), optional = pe + PE_OPTIONAL_AT;
    size_t sections = optional + Le(f, pe + PE_OPTIONAL_SIZE_AT, 2);
    size_t directories =
        optional + (Le(f, optional, 2) == PE_MAGIC_64 ? PE_DIRECTORIES_AT_64 : PE_DIRECTORIES_AT_32);
    uint32_t resource_rva = Le(f, directories + PE_RESOURCE_DIRECTORY * PE_DIRECTORY_SIZE, 4);
    auto file_at = [&](uint32_t rva) -> size_t {
        for (size_t s = 0; s < Le(f, pe + PE_SECTION_COUNT_AT, 2); ++s) {
            size_t h = sections + s * PE_SECTION_SIZE;
            uint32_t va = Le(f, h + PE_SECTION_VA_AT, 4), size = Le(f, h + PE_SECTION_RAW_SIZE_AT, 4);
            if (rva >= va && rva < va + size)
                return Le(f, h + PE_SECTION_RAW_AT, 4) + (rva - va);
        }
        return f.size();
    };
    size_t root = file_at(resource_rva), dir = root;
    // Level 1 by type; levels 2 and 3 (name, language) take the first entry.
    for (uint32_t want : {(uint32_t)RES_TYPE_MANIFEST, 0u, 0u}) {
        size_t entries = Le(f, dir + RES_COUNTS_AT, 2) + Le(f, dir + RES_COUNTS_AT + 2, 2), e = 0;
        while (e < entries && want && Le(f, dir + RES_ENTRIES_AT + e * RES_ENTRY_SIZE, 4) != want)
            ++e;
        if (e == entries)
            return "<no manifest>";
        dir = root + (Le(f, dir + RES_ENTRIES_AT + e * RES_ENTRY_SIZE + 4, 4) & RES_SUBDIRECTORY_MASK);
    }
    size_t data = file_at(Le(f, dir, 4)), size = Le(f, dir + 4, 4);
    return data + size <= f.size() ? std::string(f.begin() + data, f.begin() + data + size) : "<cut>";
}

// Both editions ask for elevation in the form Windows 2000 and XP also read.
TEST(LauncherManifest, BothEditionsRequireAdministrator)
{
    for (const char* exe : {"/win32/launcher/panelprep.exe", "/win64/launcher/panelprep64.exe"}) {
        std::string manifest = ManifestOf(std::string(PANEL_BUILD_DIR) + exe);
        EXPECT_NE(std::string::npos, manifest.find("<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v2\">")) << exe;
        EXPECT_NE(std::string::npos, manifest.find("level=\"requireAdministrator\" uiAccess=\"false\"")) << exe;
        EXPECT_NE(std::string::npos, manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""))
            << exe << ": " << manifest;
    }
}

}  // namespace
