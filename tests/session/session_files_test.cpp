// The wizard's view of session files: where they are kept, which are
// offered for a source and what reopening one does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "scan/session/session_files.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::session;

TEST(SessionFiles, FolderAndNamesPerSourceAndJob) {
    const char* old = std::getenv("XDG_DATA_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_DATA_HOME", "/var/tmp/data", 1);
    EXPECT_EQ(wizardSessionFolder(), "/var/tmp/data/brantlow/sessions");
    ::setenv("BRANTLOW_KEEP_SESSIONS", "0", 1);
    EXPECT_EQ(wizardSessionFolder(), "");
    ::unsetenv("BRANTLOW_KEEP_SESSIONS");
    if (old) ::setenv("XDG_DATA_HOME", saved.c_str(), 1); else ::unsetenv("XDG_DATA_HOME");

    const std::string a = defaultSessionPath("/s", "/dev/sdb", SessionKind::Listing, "volume=1");
    EXPECT_EQ(a.rfind("/s/sdb-listing-", 0), 0u) << a;
    EXPECT_EQ(a.substr(a.size() - 8), ".session");
    EXPECT_EQ(a, defaultSessionPath("/s", "/dev/sdb", SessionKind::Listing, "volume=1"));
    EXPECT_NE(a, defaultSessionPath("/s", "/dev/sdb", SessionKind::Listing, "volume=2"));
    EXPECT_NE(a, defaultSessionPath("/s", "/dev/sdc", SessionKind::Listing, "volume=1"));
    EXPECT_NE(a, defaultSessionPath("/s", "/dev/sdb", SessionKind::Carve, "volume=1"));
    // A name that could leave the folder or hide the file stays inside, visible.
    const std::string odd = defaultSessionPath("/s", "/img/../..", SessionKind::Carve, "j");
    EXPECT_EQ(odd.find('/', 3), std::string::npos) << odd;
    EXPECT_EQ(odd.rfind("/s/source", 0), 0u) << odd;
}

TEST(SessionFiles, WhatAReopenDoes) {
    SessionSummary s;
    s.kind = SessionKind::Listing;
    s.finished = true;
    EXPECT_EQ(reopenAction(s), ReopenAction::Show);
    s.finished = false;
    EXPECT_EQ(reopenAction(s), ReopenAction::Rescan);
    EXPECT_NE(sessionOfferText(s).find("scans the volume again"), std::string::npos);
    s.kind = SessionKind::Carve;
    s.rows = 12;
    EXPECT_EQ(reopenAction(s), ReopenAction::Resume);
    EXPECT_NE(sessionOfferText(s).find("12 files found"), std::string::npos) << sessionOfferText(s);
    s.sources = {{"/img/a.img", 1000, "x"}};
    EXPECT_TRUE(sessionMatchesSource(s, "/img/a.img", 1000));
    EXPECT_FALSE(sessionMatchesSource(s, "/img/a.img", 1001));
    EXPECT_FALSE(sessionMatchesSource(s, "/img/b.img", 1000));
}

TEST(SessionFiles, FilesThatAreNotSessionsAreRefusedAndNotOffered) {
    test::TempDir tmp;
    const std::string notes = tmp.path() + "/notes.session";
    std::ofstream(notes) << "not a session";
    SessionSummary s;
    Refusal r = Refusal::None;
    std::string why;
    EXPECT_FALSE(peekSession(notes, s, r, why));
    EXPECT_EQ(r, Refusal::NotASession);
    EXPECT_EQ(why, "is not a session file");
    EXPECT_TRUE(sessionsForPath(tmp.path(), "/img/a.img").empty());
    EXPECT_TRUE(sessionsForPath(tmp.path() + "/missing", "/img/a.img").empty());
    EXPECT_TRUE(removeSession(notes));
    EXPECT_TRUE(removeSession(notes));  // a missing file is fine
}
