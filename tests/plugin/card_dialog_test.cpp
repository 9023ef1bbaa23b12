// The real selection dialog, end to end as a page uses it through late
// binding: getCertificate in the dialog, id and certificateAsHex, sign with
// that id, the signature checked with OpenSSL; cancel, an empty list and the
// authentication selection. The dialogs are answered by run-card-dialogs.sh:
// before each call the test writes a plan (a screenshot name and the keys to
// type) to the file that QUORVANTA_DIALOG_PLAN names. Skipped without it.
#include "cardsupport.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace card;
using teststore::Key;

namespace {

class Dialog : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t path[MAX_PATH] = {};
        if (!GetEnvironmentVariableW(L"QUORVANTA_DIALOG_PLAN", path, MAX_PATH))
            GTEST_SKIP() << "no dialog driver (run-card-dialogs.sh)";
        planFile = path;
        useFixture(fixtureOf(storeTable));
    }
    // The next dialog: a screenshot named `shot`, then `keys` typed.
    void plan(const std::string &shot, const std::string &keys)
    {
        // Written aside and renamed, so the driver never reads half a plan.
        const std::wstring written = planFile + L".new";
        std::ofstream(written.c_str(), std::ios::trunc | std::ios::binary) << shot << " " << keys << "\n";
        MoveFileExW(written.c_str(), planFile.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    std::wstring planFile;
};

std::wstring wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }

TEST_F(Dialog, PickTheSecondThenSignAndCancel)
{
    // Three admissible RSA card keys (the test provider signs RSA only), in
    // whatever order their thumbprints give the store, and one that is not.
    const std::vector<StoreCertificate> rows = {storeTable[0], storeTable[4],
                                                {L"zero-length-a", Key::card, true, false, nullptr},
                                                {L"demo-sign", Key::card, true, false, nullptr}};
    fillStore(rows);
    const auto offered = admitted(rows, false);
    ASSERT_EQ(offered.size(), 3u);
    auto page = pagePlugin();

    plan("signing-selection", "Home Down Return");
    Answer got = call(page.get(), L"getCertificate", DISPATCH_METHOD);
    ASSERT_EQ(got.hr, S_OK) << std::string(got.description.begin(), got.description.end());
    ASSERT_TRUE(got.object);
    EXPECT_EQ(property(page.get(), L"errorCode"), L"0");
    const std::wstring id = property(got.object.get(), L"id");
    EXPECT_EQ(id, wide(idOf(offered[1])));
    EXPECT_EQ(property(got.object.get(), L"certificateAsHex"), hexText(offered[1]));
    EXPECT_EQ(property(got.object.get(), L"cert"), hexText(offered[1]));

    const Bytes hash(32, 0x5A);
    Answer signature = call(page.get(), L"sign", DISPATCH_METHOD, {id, hexText(hash), L"lv"});
    ASSERT_EQ(signature.hr, S_OK) << std::string(signature.description.begin(), signature.description.end());
    EXPECT_TRUE(verifies(offered[1], hash, fromHexText(signature.text)));
    EXPECT_EQ(property(page.get(), L"errorCode"), L"0");
    EXPECT_EQ(property(page.get(), L"errorMessage"), L"");

    plan("cancel", "Escape");
    Answer cancelled = call(page.get(), L"getCertificate", DISPATCH_METHOD);
    EXPECT_EQ(cancelled.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(cancelled.description, L"User cancelled");
    EXPECT_EQ(property(page.get(), L"errorCode"), L"1");
    EXPECT_EQ(property(page.get(), L"errorMessage"), L"User cancelled");
    EXPECT_EQ(property(got.object.get(), L"id"), id) << "the earlier certificate object still answers";
    EXPECT_EQ(property(got.object.get(), L"cert"), hexText(offered[1]));

    EXPECT_EQ(call(page.get(), L"sign", DISPATCH_METHOD, {id, hexText(hash), L"lv"}).hr, S_OK);
    EXPECT_EQ(property(page.get(), L"errorCode"), L"0");
    EXPECT_EQ(property(page.get(), L"errorMessage"), L"");
}

TEST_F(Dialog, AuthenticationSelection)
{
    fillStore(storeTable);
    const auto offered = admitted(storeTable, true);
    ASSERT_FALSE(offered.empty());
    auto page = pagePlugin();
    plan("authentication-selection", "Home Return");
    Answer got = call(page.get(), L"getCertificateWithOperation", DISPATCH_METHOD, {L"auth"});
    ASSERT_EQ(got.hr, S_OK);
    EXPECT_EQ(property(got.object.get(), L"id"), wide(idOf(offered[0])));
    EXPECT_EQ(property(got.object.get(), L"certificateAsHex"), hexText(offered[0]));
}

TEST_F(Dialog, EmptyListIsACancel)
{
    fillStore({storeTable[4], storeTable[7], storeTable[9], storeTable[14]});
    auto page = pagePlugin();
    plan("empty-list", "Escape");
    Answer got = call(page.get(), L"getCertificate", DISPATCH_METHOD);
    EXPECT_EQ(got.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(property(page.get(), L"errorCode"), L"1");
    EXPECT_EQ(property(page.get(), L"errorMessage"), L"User cancelled");
}

// Two certificates whose DER starts 30 82 05 00 share the identifier of the
// bytes 30 82 05; the signer then uses the one that this page selected.
TEST_F(Dialog, ZeroByteInTheLengthField)
{
    const std::vector<StoreCertificate> rows = {{L"zero-length-a", Key::card, true, false, nullptr},
                                                {L"zero-length-b", Key::card, true, false, nullptr}};
    fillStore(rows);
    const auto offered = admitted(rows, false);
    ASSERT_EQ(offered.size(), 2u);
    auto page = pagePlugin();
    plan("zero-length", "Home Down Return");
    Answer got = call(page.get(), L"getCertificate", DISPATCH_METHOD);
    ASSERT_EQ(got.hr, S_OK);
    const std::wstring id = property(got.object.get(), L"id");
    EXPECT_EQ(id, wide(idOf(Bytes{0x30, 0x82, 0x05})));
    EXPECT_EQ(property(got.object.get(), L"certificateAsHex"), hexText(offered[1]));
    const Bytes hash(20, 0x11);
    Answer signature = call(page.get(), L"sign", DISPATCH_METHOD, {id, hexText(hash), L"en"});
    ASSERT_EQ(signature.hr, S_OK);
    EXPECT_TRUE(verifies(offered[1], hash, fromHexText(signature.text)));
    EXPECT_FALSE(verifies(offered[0], hash, fromHexText(signature.text)));
}

} // namespace
