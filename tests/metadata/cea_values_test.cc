#include <gtest/gtest.h>

#include <limits>

#include "Pinewick/metadata/CEAValues.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"

using namespace tw;

TEST(CEAGroups, FreshGroupsEncode) {
    CEABool b;
    EXPECT_EQ(b.encode(), "CanShare: false\nReadOnly: false\nLaunchAfterDownload: false\n");
    EXPECT_EQ(CEAString().encode(), "");
    EXPECT_EQ(CEALong().encode(), "");
    EXPECT_EQ(CEADate().encode(), "");
    EXPECT_EQ(CEAStatus().encode(), "Status: Unknown\n");
    EXPECT_EQ(CEAErrorStatus().encode(), "Error Status: NoError\nError Genre: None\n");
}

// The state's raw values are stored in the database and compared by other programs: exact texts.
TEST(CEAGroups, StateRawValuesAreExact) {
    const char* states[] = {"RequireUpload", "RequireDownload",  "Placeholder", "Regular",
                            "ErrorRegular",  "ErrorPlaceHolder", "LocalOnly",   "Unknown"};
    for (size_t i = 0; i < CEAStatus::enumerate.size(); ++i) {
        EXPECT_EQ(CEAStatus::rawValue(CEAStatus::enumerate[i]), states[i]);
        EXPECT_EQ(CEAStatus::fromRaw(states[i]), CEAStatus::enumerate[i]);
    }
    EXPECT_FALSE(CEAStatus::fromRaw("regular"));
    EXPECT_FALSE(CEAStatus::fromRaw("Regular "));
    EXPECT_FALSE(CEAErrorStatus::genreFromRaw(""));
}

TEST(CEAGroups, SettersMarkOnlyRealChanges) {
    CEABool b;
    b.setAttribute(CEABool::keys::ReadOnly, false);
    EXPECT_FALSE(b.shouldSave);
    b.setAttribute(CEABool::keys::ReadOnly, true);
    EXPECT_TRUE(b.shouldSave);
    EXPECT_TRUE(b.getAttribute(CEABool::keys::ReadOnly));
    b.encode();
    EXPECT_FALSE(b.shouldSave);

    CEAString s;
    EXPECT_FALSE(s.getAttribute(CEAString::keys::Revision));
    s.setAttribute(CEAString::keys::Revision, "17");
    EXPECT_TRUE(s.shouldSave);
    s.encode();
    s.setAttribute(CEAString::keys::Revision, "17");
    EXPECT_FALSE(s.shouldSave);

    CEALong l;
    l.setAttribute(CEALong::keys::ServerFileSize, 0);
    EXPECT_TRUE(l.shouldSave);  // absent to 0 is a change
    l.encode();
    l.setAttribute(CEALong::keys::ServerFileSize, 0);
    EXPECT_FALSE(l.shouldSave);

    CEADate d;
    d.setAttribute(CEADate::keys::LastServerListing, 1.5);
    d.encode();
    d.setAttribute(CEADate::keys::LastServerListing, 1.5);
    EXPECT_FALSE(d.shouldSave);
    EXPECT_FALSE(d.setAttribute(CEADate::keys::LastServerListing, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(d.getAttribute(CEADate::keys::LastServerListing), 1.5);

    CEAStatus st;
    st.setStatus(CEAStatus::keys::Unknown);
    EXPECT_FALSE(st.shouldSave);
    st.setStatus(CEAStatus::keys::Regular);
    EXPECT_TRUE(st.shouldSave);

    CEAErrorStatus e;
    e.setStatus(CEAErrorStatus::keys::NoError);
    e.setGenre(CEAErrorStatus::genres::None);
    EXPECT_FALSE(e.shouldSave);
    e.setGenre(CEAErrorStatus::genres::Delete);
    EXPECT_TRUE(e.shouldSave);
}

TEST(CEAGroups, StringValuesCannotForgeOtherLines) {
    CEAString s;
    EXPECT_FALSE(s.setAttribute(CEAString::keys::Revision, "5\nStatus: Regular"));
    EXPECT_FALSE(s.getAttribute(CEAString::keys::Revision));
    EXPECT_FALSE(s.shouldSave);
    EXPECT_FALSE(s.setAttribute(CEAString::keys::FileType, std::string("a\0b", 3)));
    EXPECT_TRUE(s.setAttribute(CEAString::keys::Revision, "rev: with: colons = and spaces"));
}

// The revision must never be read from the conflict revision's line, in whichever order they come.
TEST(CEADecoding, RevisionIsNeverTakenFromConflictRevision) {
    for (const char* text : {"ConflictRevision: 9\nRevision: 5\n", "Revision: 5\nConflictRevision: 9\n"}) {
        CEAString s;
        s.decode(text);
        EXPECT_EQ(s.getAttribute(CEAString::keys::Revision), "5") << text;
        EXPECT_EQ(s.getAttribute(CEAString::keys::ConflictRevision), "9") << text;
    }
    CEAString onlyConflict;
    onlyConflict.decode("ConflictRevision: 9\n");
    EXPECT_FALSE(onlyConflict.getAttribute(CEAString::keys::Revision));

    // Same trap one level up: "Status" ends "Error Status".
    CorvaneExtendedAttributes r("/nowhere", "Error Status: Conflict\nError Genre: Transfer\n");
    EXPECT_EQ(r.ceaStatus.status, CEAStatus::keys::Unknown);
    EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::Conflict);
    EXPECT_EQ(CorvaneExtendedAttributes::decodeLine("Error Status: Conflict\nStatus: Regular\n", "Status"),
              "Regular");
}

TEST(CEADecoding, KeysStartLinesAndLinesEndWithALineFeed) {
    EXPECT_EQ(findLineValue("Revision: 1\n", "Revision"), "1");
    EXPECT_EQ(findLineValue("x Revision: 1\nRevision: 2\n", "Revision"), "2");
    EXPECT_EQ(findLineValue("Revisions: 1\nRevision: 2\n", "Revision"), "2");
    EXPECT_EQ(findLineValue("Revision:1\n", "Revision"), std::nullopt);
    EXPECT_EQ(findLineValue("Revision: \n", "Revision"), "");
    // The first line of a key wins.
    EXPECT_EQ(findLineValue("Revision: 1\nRevision: 2\n", "Revision"), "1");
    // A last line without its line feed is ignored, by every decoder.
    EXPECT_EQ(findLineValue("Revision: 1", "Revision"), std::nullopt);
    // With an indent, the key must follow exactly that indent at a line start.
    EXPECT_EQ(findLineValue("Delete {\n    Path: /a\n", "Path", "    "), "/a");
    EXPECT_EQ(findLineValue("    Path: /a\n", "Path", "    "), "/a");
    EXPECT_EQ(findLineValue("Path: /a\n", "Path", "    "), std::nullopt);
    EXPECT_EQ(findLineValue("x    Path: /a\n    Path: /b\n", "Path", "    "), "/b");
    EXPECT_EQ(findLineValue("     Path: /a\n", "Path", "    "), std::nullopt);
    CEABool b;
    b.decode("ReadOnly: true");
    EXPECT_FALSE(b.getAttribute(CEABool::keys::ReadOnly));
    CEALong l;
    l.decode("ServerFileSize: 12");
    EXPECT_FALSE(l.getAttribute(CEALong::keys::ServerFileSize));
}

TEST(CEADecoding, Flags) {
    CEABool b;
    b.decode("ReadOnly: TRUE\nCanShare: yes\nLaunchAfterDownload: True\n");
    EXPECT_TRUE(b.getAttribute(CEABool::keys::ReadOnly));
    EXPECT_FALSE(b.getAttribute(CEABool::keys::CanShare));
    EXPECT_TRUE(b.getAttribute(CEABool::keys::LaunchAfterDownload));
    EXPECT_FALSE(b.shouldSave);  // decoding is not a change
}

TEST(CEADecoding, NumbersThatDoNotParseRemoveTheirKey) {
    CEALong l;
    l.setAttribute(CEALong::keys::ServerFileSize, 10);
    l.setAttribute(CEALong::keys::LocalFileId, 20);
    l.setAttribute(CEALong::keys::LocalVolumeId, 30);
    bool malformed = l.decode(
        "ServerFileSize: 12a\nLocalFileId: 18446744073709551616\nLocalVolumeId: 18446744073709551615\n");
    EXPECT_TRUE(malformed);
    EXPECT_FALSE(l.getAttribute(CEALong::keys::ServerFileSize));
    EXPECT_FALSE(l.getAttribute(CEALong::keys::LocalFileId));  // one past the largest value
    EXPECT_EQ(l.getAttribute(CEALong::keys::LocalVolumeId), 18446744073709551615u);

    CEALong negative;
    EXPECT_TRUE(negative.decode("ServerFileSize: -1\n"));
    EXPECT_FALSE(negative.getAttribute(CEALong::keys::ServerFileSize));
    CEALong missing;
    EXPECT_FALSE(missing.decode("Status: Regular\n"));
}

TEST(CEADecoding, DatesRoundTripAndBadLinesAreReported) {
    CEADate d;
    d.setAttribute(CEADate::keys::TransferRecovery, 786000000.123456789);
    d.setAttribute(CEADate::keys::LastServerListing, -1.0);
    std::string text = d.encode();
    EXPECT_NE(text.find("TransferRecovery: 2025-11-28 05:20:00 +0000 = 786000000.1234568"), std::string::npos)
        << text;
    EXPECT_NE(text.find("LastServerListing: 2000-12-31 23:59:59 +0000 = -1\n"), std::string::npos) << text;
    CEADate back;
    EXPECT_FALSE(back.decode(text));
    EXPECT_EQ(back.dateValues, d.dateValues);

    // Only the number after " = " counts.
    CEADate loose;
    EXPECT_FALSE(loose.decode("LastServerListing: anything at all = 42.5\n"));
    EXPECT_EQ(loose.getAttribute(CEADate::keys::LastServerListing), 42.5);

    // A line without " = " fails, and the other date is still read.
    CEADate bad;
    EXPECT_TRUE(bad.decode("TransferRecovery: 2025-01-01\nLastServerListing: x = 7\n"));
    EXPECT_FALSE(bad.getAttribute(CEADate::keys::TransferRecovery));
    EXPECT_EQ(bad.getAttribute(CEADate::keys::LastServerListing), 7.0);

    // Not numbers, or numbers no date can be: failed, key unchanged.
    for (const char* v : {"abc", "nan", "inf", "-inf", "1e999", "", "1 ", "0x10"}) {
        CEADate keep;
        keep.setAttribute(CEADate::keys::TransferRecovery, 3.0);
        EXPECT_TRUE(keep.decode(std::string("TransferRecovery: d = ") + v + "\n")) << v;
        EXPECT_EQ(keep.getAttribute(CEADate::keys::TransferRecovery), 3.0) << v;
    }
}

TEST(CEADecoding, FarDatesStillEncode) {
    CEADate d;
    d.setAttribute(CEADate::keys::TransferRecovery, 1e300);
    d.setAttribute(CEADate::keys::LastServerListing, -1e300);
    std::string text = d.encode();
    CEADate back;
    EXPECT_FALSE(back.decode(text));
    EXPECT_EQ(back.dateValues, d.dateValues);
}

TEST(CEADecoding, ErrorRecord) {
    CEAErrorStatus e;
    EXPECT_FALSE(e.decode("Error Status: QuotaExceeded\nError Genre: Transfer\n"));
    EXPECT_EQ(e.status, CEAErrorStatus::keys::QuotaExceeded);
    EXPECT_EQ(e.genre, CEAErrorStatus::genres::Transfer);
    EXPECT_TRUE(e.decode("Error Status: Meltdown\nError Genre: Delete\n"));
    EXPECT_EQ(e.status, CEAErrorStatus::keys::QuotaExceeded);  // unchanged
    EXPECT_EQ(e.genre, CEAErrorStatus::genres::Delete);
    EXPECT_FALSE(e.decode(""));
    EXPECT_FALSE(e.shouldSave);
}
