// Code page tables, output data files and the service command handler.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/Config.h"
#include "driver/Dispatch.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "fileIo/OutputDataFile.h"
#include "io_Raw/RawCommands.h"
#include "language/CodePage.h"
#include "language/Utf8DataFiles.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Sets up the code page from a Common section holding `commonLines`; the
// error text, or "" when the setup succeeded.
std::string SetupWith(const TempDir& dir, const std::string& commonLines, int ecrLanguage = -1) {
    std::string ini = dir.PathOf("KVT5100.ini");
    std::ofstream(ini, std::ios::binary) << "[Common]\r\n" << commonLines << "\r\n[ECR_1]\r\nComNumber = 1\r\n";
    TheConfig().SetFile(ini, true);
    TheConfig().SetSection("ECR_1", true);
    ResetCodePageTables();
    try {
        SetupCodePage(ecrLanguage);
    } catch (const DriverErrorException& e) {
        return e.GetMessage();
    }
    return "";
}

std::string Translated(void (*translate)(char*, size_t), std::string text, size_t len) {
    translate(text.data(), len);
    return text;
}

}  // namespace

TEST(TransferCodePage, SettingsDecideTheTables) {
    TempDir dir;
    EXPECT_EQ(SetupWith(dir, ""), "");  // Latvian, RIM
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(ToEcrTable()[i], i);
        ASSERT_EQ(FromEcrTable()[i], i);
    }
    EXPECT_EQ(SetupWith(dir, "Language = English"), "Unknown INI-file code page");
    EXPECT_EQ(SetupWith(dir, "Language = english\r\nCodePage ="), "");
    EXPECT_EQ(SetupWith(dir, "Language = Russian"), "Unsupported INI-file ECR language");
    EXPECT_EQ(SetupWith(dir, "CodePage = UTF16"), "Unknown INI-file code page");
    EXPECT_EQ(SetupWith(dir, "CodePage = rim"), "");
    // The language the ECR reports wins over the INI.
    EXPECT_EQ(SetupWith(dir, "Language = Russian\r\nCodePage = DOS", 0), "");
    EXPECT_EQ(SetupWith(dir, "CodePage = DOS", 1), "Unknown INI-file code page");
    EXPECT_EQ(GetCodePageName(), "DOS");
    EXPECT_EQ(SetupWith(dir, "Language =  Lithuanian \r\nCodePage ="), "");
    EXPECT_EQ(GetLanguage(), 10);
    ResetCodePageTables();
}

TEST(TransferCodePage, Utf8DataFilesNeedASingleByteEcrCodePage) {
    TempDir dir;
    EXPECT_EQ(SetupWith(dir, "CodePage =  utf-8 "), "");  // Latvian: 1257
    EXPECT_EQ(Utf8DataFilesCodePage(), 1257);
    EXPECT_EQ(ToEcrTable()[0xB5], 0xB5);  // whole lines are converted, not letters
    EXPECT_EQ(SetupWith(dir, "Language = English\r\nCodePage = UTF8\r\nEcrCodePage = 1251"), "");
    EXPECT_EQ(Utf8DataFilesCodePage(), 1251);
    for (const char* common :
         {"Language = English\r\nCodePage = UTF-8\r\nEcrCodePage =", "CodePage = UTF-8\r\nEcrCodePage = cp1257",
          "CodePage = UTF-8\r\nEcrCodePage = 932", "CodePage = UTF-8\r\nEcrCodePage = 99999999999"})
        EXPECT_EQ(SetupWith(dir, common), "Unknown INI-file code page") << common;
    EXPECT_EQ(SetupWith(dir, "CodePage = UTF-8", 1), "Unknown INI-file code page");  // reported English
    EXPECT_EQ(SetupWith(dir, "CodePage = DOS\r\nEcrCodePage = 932"), "");            // read for UTF-8 only
    EXPECT_EQ(Utf8DataFilesCodePage(), 0);
    ResetCodePageTables();
}

TEST(TransferCodePage, DosTranslatesBothWaysAndStopsAtNul) {
    TempDir dir;
    ASSERT_EQ(SetupWith(dir, "CodePage =  dos  "), "");
    EXPECT_EQ(Translated(ToEcrCodePage, "\xB5\xD0,\"x\xF0\"", 7), "\xC2\xD0,\"x\xC7\"");
    EXPECT_EQ(Translated(ToPcCodePage, "\xE8\xD0\xF0 \xC7", 5), "\xD2\xD0\xFD \xF0");
    // Each table maps only its own column: 0xE8 is not a DOS letter.
    EXPECT_EQ(Translated(ToEcrCodePage, "\xE8", 1), "\xE8");
    // Only the first len bytes, and never past a NUL.
    EXPECT_EQ(Translated(ToEcrCodePage, "\xB5\xB5", 1), "\xC2\xB5");
    EXPECT_EQ(Translated(ToEcrCodePage, std::string("\xB5\0\xB5", 3), 3), std::string("\xC2\0\xB5", 3));
    int changed = 0;
    for (int i = 0; i < 256; ++i) changed += ToEcrTable()[i] != i;
    EXPECT_EQ(changed, 21);  // 22 letters, S with caron has the same code on both sides
    ResetCodePageTables();
}

TEST(TransferDispatch, OperationTimeSetting) {
    TempDir dir;
    struct Case {
        const char* ecrLines;
        int expected;
    } cases[] = {
        {"", 1400},
        {"EcrOperationMaxTime = 250\r\n", 250},
        {"EcrOperationMaxTime = abc\r\n", 0},
        // A negative time would wrap round to weeks of waiting in the link.
        {"EcrOperationMaxTime = -1000\r\n", 0},
    };
    for (const Case& c : cases) {
        std::string ini = dir.PathOf("KVT5100.ini");
        std::ofstream(ini, std::ios::binary) << "[Common]\r\nCodePage = RIM\r\n[ECR_1]\r\nComNumber = 1\r\n"
                                             << c.ecrLines;
        TheConfig().SetFile(ini, true);
        TheConfig().SetSection("ECR_1", true);
        LoadOperationSettings();
        EXPECT_EQ(EcrOperationMaxTime(), c.expected) << c.ecrLines;
    }
    ResetCodePageTables();
}

TEST(TransferOutputFile, TextAndBinaryRecords) {
    TempDir dir;
    std::string path = dir.PathOf("out.txt");
    std::ofstream(path) << "old content";

    auto text = CreateOutputDataFile(FileKindSortedText);
    text->Open(path.c_str());
    // The old file stays until the read is complete; the records go beside it.
    EXPECT_EQ(dir.Read("out.txt"), "old content");
    text->WriteRecord("1,\"a\"", 5);
    // Each record reaches the file at once: a run killed now keeps it whole.
    EXPECT_EQ(dir.Read("out.txt.partial"), "1,\"a\"\r\n");
    text->WriteRecord("cut\0here", 8);
    text->WriteRecord("", 0);
    text->Close();
    text->Close();
    EXPECT_EQ(dir.Read("out.txt"), "1,\"a\"\r\ncut\r\n\r\n");
    EXPECT_FALSE(fs::exists(dir.PathOf("out.txt.partial")));
    EXPECT_EQ(text->Abandon(), "");  // complete: nothing to abandon

    auto binary = CreateOutputDataFile(FileKindBinary);
    binary->Open(dir.PathOf("dump.bin").c_str());
    binary->WriteRecord("\x01\0\x02", 3);
    EXPECT_EQ(dir.Read("dump.bin.partial"), std::string("\x01\0\x02", 3));
    binary->WriteRecord("\0", 1);
    binary->Close();
    EXPECT_EQ(dir.Read("dump.bin"), std::string("\x01\0\x02\0", 4));

    try {
        CreateOutputDataFile(FileKindText)->Open(dir.PathOf("no/such/dir").c_str());
        ADD_FAILURE() << "no exception";
    } catch (const FileIoException& e) {
        EXPECT_EQ(e.GetMessage(), "Unable to open file '" + dir.PathOf("no/such/dir") + "'");
    }
    EXPECT_THROW(CreateOutputDataFile(0), InternalErrorException);
}

TEST(TransferOutputFile, AnAbandonedReadKeepsTheOldFileAndWhatArrived) {
    TempDir dir;
    const std::string path = dir.PathOf("fin.txt");
    std::ofstream(path) << "yesterday";

    auto text = CreateOutputDataFile(FileKindText);
    text->Open(path.c_str());
    text->WriteRecord("1,2", 3);
    EXPECT_EQ(text->Abandon(), "File '" + path + "' left as it was; what was received is in '" + path + ".partial'");
    EXPECT_EQ(dir.Read("fin.txt"), "yesterday");
    EXPECT_EQ(dir.Read("fin.txt.partial"), "1,2\r\n");

    // Nothing received: no empty ".partial" is left behind.
    auto empty = CreateOutputDataFile(FileKindText);
    empty->Open(dir.PathOf("new.txt").c_str());
    EXPECT_EQ(empty->Abandon(), "Nothing received: file '" + dir.PathOf("new.txt") + "' not created");
    EXPECT_FALSE(fs::exists(dir.PathOf("new.txt")));
    EXPECT_FALSE(fs::exists(dir.PathOf("new.txt.partial")));

    // A ".partial" that is not a plain file is never written through.
    fs::create_directory(dir.PathOf("odd.txt.partial"));
    EXPECT_THROW(CreateOutputDataFile(FileKindText)->Open(dir.PathOf("odd.txt").c_str()), FileIoException);
}

TEST(TransferOutputFile, LostWritesAreReported) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    auto text = CreateOutputDataFile(FileKindText);
    text->Open("/dev/full");
    text->WriteRecord("record", 6);
    EXPECT_THROW(text->Close(), FileIoException);
}

TEST(TransferRawCommands, LookupFollowsTheEcrLevel) {
    EcrComm& link = TheEcrComm();
    const int32_t saved = link.ecrLevel;
    link.ecrLevel = 0;
    EXPECT_EQ(FindRawCommand(128), nullptr);
    EXPECT_EQ(FindRawCommand(0), nullptr);
    EXPECT_EQ(FindRawCommand(200), nullptr);
    ASSERT_NE(FindRawCommand(90), nullptr);
    link.ecrLevel = 1;
    ASSERT_NE(FindRawCommand(128), nullptr);
    EXPECT_EQ(FindRawCommand(128)->ecrCommand, 0x80);
    EXPECT_EQ(FindRawCommand(132), nullptr);
    link.ecrLevel = 3;
    EXPECT_NE(FindRawCommand(134), nullptr);

    OperationDescriptor d{};
    d.commandNumber = 121;
    EXPECT_EQ(RawCommandHandler(PhaseDescribe, &d), 0);
    EXPECT_EQ(d.commandNumber, 121);
    EXPECT_EQ(d.mode, ModeRead);
    EXPECT_EQ(d.fileKind, FileKindText);
    EXPECT_EQ(d.replyLength, 67);
    EXPECT_EQ(d.maxRecords, 10000u);
    EXPECT_STREQ(d.name, "Fiscal memory dump read");
    d = {};
    d.commandNumber = 5;
    RawCommandHandler(PhaseDescribe, &d);
    EXPECT_EQ(d.commandNumber, 0);
    link.ecrLevel = saved;
}

TEST(TransferRawCommands, ConvertCopiesLinesAndFramesWithinTheirBuffers) {
    static OperationDescriptor d;
    d = {};
    d.mode = ModeSend;
    strcpy(d.text, "12,\"caption\"\r\n\r\n");
    EXPECT_EQ(RawCommandHandler(PhaseConvert, &d), 12);
    EXPECT_STREQ(d.frame, "12,\"caption\"");
    strcpy(d.text, "\r\n");
    EXPECT_EQ(RawCommandHandler(PhaseConvert, &d), 0);
    EXPECT_STREQ(d.frame, "");
    EXPECT_EQ(RawCommandHandler(PhaseCheck, &d), 1);

    // A line longer than the frame buffer is never copied past it; the
    // length stays above what the link accepts, so the link refuses it.
    memset(d.text, 'x', sizeof d.text);
    memset(d.frame + 100, 'F', sizeof d.frame - 100);
    int length = RawCommandHandler(PhaseConvert, &d);
    EXPECT_GT(length, 122);
    EXPECT_LE(length, RecordFrameSize);

    d = {};
    d.mode = ModeRead;
    strcpy(d.frame, "01,\"HEAD\"");
    EXPECT_EQ(RawCommandHandler(PhaseConvert, &d), 9);
    EXPECT_STREQ(d.text, "01,\"HEAD\"");

    EXPECT_THROW(RawCommandHandler(3, &d), InternalErrorException);
    EXPECT_THROW(RawCommandHandler(-1, &d), InternalErrorException);
}
