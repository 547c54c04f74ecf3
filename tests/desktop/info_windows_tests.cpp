// The about, licence and format-help windows, with the program's real resources.
#include "UAboutForm.h"
#include "UEULA.h"
#include "UFormatHelp.h"
#include "KalvarenVersion.h"

#include "dialogs_testing.h"
#include "window_testing.h"

#include <filesystem>
#include <fstream>
#include <string>

using namespace kal;
using namespace kal::testing;

namespace {

TEST(VersionInfo, PrefixIsLanguageThenCodePageInUpperCaseHex) {
    EXPECT_EQ(VersionStringPrefix({0x0809, 0x04E4}), "StringFileInfo\\080904E4");
    EXPECT_EQ(VersionStringPrefix({0x0c0a, 0x04b0}), "StringFileInfo\\0C0A04B0");
}

TEST(VersionInfo, ReadsTheExecutablesOwnResource) {
    const std::optional<TVersionInfo> info = TVersionInfo::FromFile(Application().ExeName());
    ASSERT_TRUE(info);
    const std::optional<TTranslation> translation = info->FirstTranslation();
    ASSERT_TRUE(translation);
    EXPECT_EQ(translation->Language, 0x0809);
    EXPECT_EQ(translation->CodePage, 0x04E4);
    EXPECT_EQ(info->QueryString("StringFileInfo\\080904E4\\OriginalFilename"), "Kalvaren.exe");
    EXPECT_EQ(info->QueryString("StringFileInfo\\080904E4\\FileDescription"),
              "A system to backup files and folders to a Backup Server");
    EXPECT_FALSE(info->QueryString("StringFileInfo\\080904E4\\NoSuchString"));

    const TAboutTexts texts = AboutTextsFromVersion(&*info);
    EXPECT_EQ(texts.ProductName, "Product: Kalvaren");
    EXPECT_EQ(texts.Version, "Version: " KAL_VERSION_TEXT);
    EXPECT_EQ(texts.Copyright.rfind("Copyright: ", 0), 0u) << texts.Copyright;
    EXPECT_GT(texts.Copyright.size(), 11u);
    EXPECT_EQ(texts.Comments.rfind("Comments:\n\r", 0), 0u) << texts.Comments;
    EXPECT_GT(texts.Comments.size(), 11u);
}

TEST(VersionInfo, WithoutAResourceTheDefaultsStay) {
    EXPECT_FALSE(TVersionInfo::FromFile("C:\\no\\such\\program.exe"));
    const TAboutTexts texts = AboutTextsFromVersion(nullptr);
    EXPECT_EQ(texts.ProductName, "");
    EXPECT_EQ(texts.Version, "Version: Unknown");
    EXPECT_EQ(texts.Copyright, "");
    EXPECT_EQ(texts.Comments, "");
}

TEST(AboutForm, ShowsIconProductAndVersionFromTheResource) {
    TAboutForm form;
    EXPECT_EQ(form.Caption(), "About");
    EXPECT_EQ(ClientSize(form.Handle()).cx, 298);
    EXPECT_EQ(ClientSize(form.Handle()).cy, 213);
    EXPECT_EQ(GetText(form.ProductName), "Product: Kalvaren");
    EXPECT_EQ(GetText(form.Version), "Version: " KAL_VERSION_TEXT);
    EXPECT_EQ(GetText(form.Comments).rfind("Comments:\n\r", 0), 0u);
    EXPECT_NE(SendMessageA(form.ProgramIcon, STM_GETICON, 0, 0), 0);
    EXPECT_EQ(GetText(form.OKButton), "OK");

    // OK ends the modal loop with the OK result.
    form.Post([&form] { SendMessageA(form.OKButton, BM_CLICK, 0, 0); });
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_FALSE(form.Visible());

    form.Show();
    Screenshot(form.Handle(), "about");
}

// Runs the body with the current folder set to a fresh empty folder.
class CurrentFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        FOld = std::filesystem::current_path();
        Folder = std::filesystem::temp_directory_path() /
                 ("kal_eula_" + std::to_string(GetCurrentProcessId()));
        std::filesystem::create_directories(Folder);
        std::filesystem::current_path(Folder);
    }
    void TearDown() override {
        std::filesystem::current_path(FOld);
        std::filesystem::remove_all(Folder);
    }
    std::filesystem::path Folder;

private:
    std::filesystem::path FOld;
};

const char* const kNotice = "The End User Licence Agreement File could not be loaded.\r\n"
                            "Please see the EULA.txt file for more information.";

TEST_F(CurrentFolderTest, LicenceWithoutEulaFileShowsTheNotice) {
    ExceptionRecorder errors;
    TEULAForm form;
    EXPECT_EQ(form.Caption(), "End User Licence Agreement");
    EXPECT_EQ(GetText(form.Memo1), kNotice);
    EXPECT_TRUE(errors.Messages.empty());
    // Editable, and never written anywhere.
    SetFocus(form.Memo1);
    Type(form.Memo1, "x");
    EXPECT_NE(GetText(form.Memo1), kNotice);
    EXPECT_FALSE(std::filesystem::exists(Folder / "EULA.txt"));
}

TEST_F(CurrentFolderTest, LicenceShowsTheFileOfTheCurrentFolder) {
    std::ofstream(Folder / "EULA.txt", std::ios::binary) << "First line\nSecond\r\nThird\rLast";
    TEULAForm form;
    EXPECT_EQ(GetText(form.Memo1), "First line\r\nSecond\r\nThird\r\nLast");
    EXPECT_EQ(ClientSize(form.Memo1).cy > 300, true);
}

TEST_F(CurrentFolderTest, UnreadableEulaFileIsReportedAndTheNoticeStays) {
    std::ofstream(Folder / "EULA.txt") << "locked";
    // Held open without sharing, as another program might.
    HANDLE lock = CreateFileA("EULA.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    ExceptionRecorder errors;
    {
        TEULAForm form;
        EXPECT_EQ(GetText(form.Memo1), kNotice);
    }
    CloseHandle(lock);
    ASSERT_EQ(errors.Messages.size(), 1u);
    EXPECT_NE(errors.Messages[0].find("EULA.txt"), std::string::npos) << errors.Messages[0];
}

TEST(FormatHelp, ListsTheEscapesInOrderAndCannotBeEdited) {
    TFormatHelpDialog form;
    EXPECT_EQ(form.Caption(), "Formatting Help");
    EXPECT_EQ(ClientSize(form.Handle()).cx, 574);
    const std::string text = GetText(form.Memo1);
    EXPECT_EQ(text, FormatHelpText());
    EXPECT_NE(text.find("\"%i %n%L\""), std::string::npos);
    EXPECT_NE(text.find("\"%n%L\""), std::string::npos);
    EXPECT_NE(text.find("\"%-50n %8l %07p\""), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\nThe single-character escapes that are recognised are as "
                        "follows:\r\n\r\n"),
              std::string::npos);
    std::size_t at = 0;
    for (const char* escape : {"a", "b", "B", "c", "f", "G", "h", "i", "l", "L", "m", "M", "n", "o",
                               "p", "P", "t", "u", "U"}) {
        const std::size_t next = text.find(std::string("        * %") + escape + " ", at);
        ASSERT_NE(next, std::string::npos) << escape;
        at = next + 1;
    }

    EXPECT_TRUE(GetWindowLongPtrA(form.Memo1, GWL_STYLE) & ES_READONLY);
    SetFocus(form.Memo1);
    Type(form.Memo1, "typed");
    SendMessageA(form.Memo1, WM_CHAR, VK_BACK, 1);
    EXPECT_EQ(GetText(form.Memo1), FormatHelpText());

    form.Show();
    Screenshot(form.Handle(), "format_help");
}

} // namespace
