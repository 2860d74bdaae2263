// Sessions on the scan page: the scan keeps its listing in the session
// folder, Save Scan and Open Scan, a listing reopened without reading the
// volume (only the 2 MiB that identify the source) saving what a fresh
// scan saves, the keep-session question, and refused files left as they are.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "disk/counting_reader.h"
#include "fake_parser.h"
#include "gui_support.h"
#include "scan/session/session_files.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::test;
using brantlow::gui::VolumeScanDlg;
using brantlow::gui::WizardPage;
namespace fs = std::filesystem;

namespace {

// Save with nothing ticked and ROOT highlighted: the whole volume.
bool saveAll(VolumeScanDlg* page, ScriptedSink& sink, const std::string& out) {
    fs::create_directories(out);
    page->setOutputFolder(QString::fromStdString(out));
    page->tree()->SelectItem(page->rootItem());
    const int before = sink.count("work done");
    page->save();
    return waitFor([&] { return sink.count("work done") > before && !page->running(); }, 120000);
}

bool scanDone(VolumeScanDlg* page) {
    return waitFor([&] { return page->statusText() == kScanDoneText && !page->running(); }, 120000);
}

}  // namespace

class ScanPageSession : public ::testing::TestWithParam<const char*> {};

TEST_P(ScanPageSession, ReopenedListingReadsNothingButTheIdentityAndSavesTheSameFiles) {
    if (!selectParser("NTFS", ScanMode::Standard).parser) GTEST_SKIP() << "the NTFS parser is not in this build";
    BRANTLOW_REQUIRE_IMAGE(img, GetParam());
    TempDir tmp;
    ScriptedSink sink;
    auto file = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(file->Open(img));
    const std::string kept = tmp.path() + "/kept.session", notSession = tmp.path() + "/notes.session";
    QString pick = QString::fromStdString(tmp.path() + "/kept");  // the suffix is added
    auto* opener = new WizardPage("Brantlow");
    VolumeScanDlg::Options o;
    o.reader = file;
    o.sourcePath = img;
    o.sessionFolder = tmp.path() + "/sessions";
    o.pickSessionFile = [&pick](QWidget*, bool) { return pick; };
    VolumeEntry v;
    v.fileSystem = "NTFS";
    v.volumeNumber = "1";
    v.sizeSectors = file->sizeBytes() / 512;
    auto* page = new VolumeScanDlg(opener, v, ScanMode::Standard, o);
    page->show();
    ASSERT_TRUE(scanDone(page));

    // The scan kept its listing in the session folder, finished, offered
    // for this source (same path and size) and no other.
    session::SessionSummary s;
    session::Refusal refusal;
    std::string why;
    ASSERT_TRUE(session::peekSession(page->sessionPath().toStdString(), s, refusal, why)) << why;
    EXPECT_EQ(s.kind, session::SessionKind::Listing);
    EXPECT_TRUE(s.finished);
    EXPECT_GT(s.rows, 10u);
    const uint64_t rows = s.rows;
    EXPECT_EQ(session::reopenAction(s), session::ReopenAction::Show);
    EXPECT_EQ(session::sessionsForSource(o.sessionFolder, img, file->sizeBytes()).size(), 1u);
    EXPECT_TRUE(session::sessionsForSource(o.sessionFolder, img, file->sizeBytes() + 512).empty());
    EXPECT_TRUE(session::sessionsForSource(o.sessionFolder, img + ".other", file->sizeBytes()).empty());

    ASSERT_TRUE(saveAll(page, sink, tmp.path() + "/fresh"));
    page->saveScan();
    ASSERT_TRUE(fs::exists(kept));

    // Reopened: the tree from the file; of the source only its first and
    // last MiB; the file is only read.
    const auto keptHash = sha256File(kept);
    auto counted = std::make_shared<CountingReader>(file);
    auto* again = VolumeScanDlg::openSession(opener, kept, counted, img, nullptr, o, why);
    ASSERT_NE(again, nullptr) << why;
    again->show();
    ASSERT_TRUE(scanDone(again));
    EXPECT_TRUE(again->reopened());
    EXPECT_EQ(childTexts(again->tree(), again->rootItem()), childTexts(page->tree(), page->rootItem()));
    EXPECT_EQ(counted->bytesRead(), std::min<uint64_t>(file->sizeBytes(), 2u << 20));
    ASSERT_TRUE(saveAll(again, sink, tmp.path() + "/again"));
    // Kept again from the reopened page: a copy that opens with the same tree.
    pick = QString::fromStdString(tmp.path() + "/copy.session");
    again->saveScan();
    ASSERT_TRUE(session::peekSession(tmp.path() + "/copy.session", s, refusal, why)) << why;
    EXPECT_TRUE(s.finished);
    EXPECT_EQ(s.rows, rows);
    const auto fresh = savedTree(tmp.path() + "/fresh");
    EXPECT_GT(fresh.size(), 10u);
    EXPECT_EQ(fresh, savedTree(tmp.path() + "/again"));

    // Refused, with the reason, and left byte for byte: a session of another
    // source, and a file that is not a session (through Open Scan…).
    EXPECT_EQ(sha256File(kept), keptHash);
    auto other = std::make_shared<MemoryReader>(std::vector<uint8_t>(1 << 20, 0));
    EXPECT_EQ(VolumeScanDlg::openSession(opener, kept, other, img, nullptr, o, why), nullptr);
    EXPECT_NE(why.find("was made from a source of"), std::string::npos) << why;
    EXPECT_EQ(sha256File(kept), keptHash);
    std::ofstream(notSession) << "these are my notes, not a scan\n";
    const auto notesHash = sha256File(notSession);
    pick = QString::fromStdString(notSession);
    page->openScan();
    ASSERT_FALSE(sink.infos().empty());
    EXPECT_EQ(sink.infos().back(), "The session " + notSession + " is not a session file; it is left as it is.");
    EXPECT_EQ(sha256File(notSession), notesHash);
    EXPECT_TRUE(page->isVisible());
    delete again;
    delete page;
    delete opener;
}

INSTANTIATE_TEST_SUITE_P(Ntfs, ScanPageSession, ::testing::Values("ntfs_small", "ntfs"));

namespace {

// A scan page over the fake parser, slowed so its scan runs while the test
// acts, keeping its session in a folder of its own.
struct RunningScan {
    ScriptedSink sink;
    TempDir tmp;
    std::shared_ptr<MemoryReader> reader = std::make_shared<MemoryReader>(std::vector<uint8_t>(64 * 512, 7));
    FakeParser* fake = nullptr;
    WizardPage* opener = new WizardPage("Brantlow");
    VolumeScanDlg* page = nullptr;
    std::string path;

    RunningScan() {
        VolumeScanDlg::Options o;
        o.reader = reader;
        o.sourcePath = "/dev/fake";
        o.sessionFolder = tmp.path();
        o.choose = [this](const std::string&, ScanMode) {
            ParserChoice c;
            auto p = std::make_unique<FakeParser>();
            buildSampleTree(*p);
            p->stepDelayUs = 3000;
            fake = p.get();
            c.parser = std::move(p);
            c.hasProcedure = true;
            return c;
        };
        VolumeEntry v;
        v.fileSystem = "FAKE";
        v.volumeNumber = "1";
        v.sizeSectors = 64;
        page = new VolumeScanDlg(opener, v, ScanMode::Standard, o);
        page->show();
        EXPECT_TRUE(waitFor([&] { return fake && fake->steps.load() > 5 && !page->sessionPath().isEmpty(); }));
        path = page->sessionPath().toStdString();
    }
    ~RunningScan() {
        delete page;
        delete opener;
    }
};

}  // namespace

TEST(ScanPageSession, ClosingOrStoppingARunningScanAsksWhetherToKeepItsSession) {
    for (bool keep : {false, true}) {
        RunningScan r;
        ASSERT_FALSE(r.path.empty());
        ASSERT_TRUE(fs::exists(r.path));
        EXPECT_EQ(r.page->sessionInProgress().toStdString(), r.path);
        r.sink.answer(true);  // close the program
        r.sink.answer(keep);
        static_cast<QDialog*>(r.page)->reject();
        EXPECT_EQ(r.sink.questions(),
                  (std::vector<std::string>{"Do you want to Close Application ?", gui::kKeepSessionQuestion}));
        EXPECT_EQ(fs::exists(r.path), keep);
        EXPECT_FALSE(fs::exists(r.path + "-wal"));
        if (!keep) continue;
        // Kept, cut short: a later open scans the volume again.
        session::SessionSummary s;
        session::Refusal refusal;
        std::string why;
        ASSERT_TRUE(session::peekSession(r.path, s, refusal, why)) << why;
        EXPECT_FALSE(s.finished);
        EXPECT_EQ(session::reopenAction(s), session::ReopenAction::Rescan);
        EXPECT_EQ(session::sessionsForSource(r.tmp.path(), "/dev/fake", 64 * 512).size(), 1u);
    }
    // Stop asks the same; No removes the session.
    RunningScan r;
    r.sink.answer(false);
    r.page->stop();
    ASSERT_TRUE(waitFor([&] { return !r.page->running() && !r.sink.questions().empty(); }));
    EXPECT_EQ(r.sink.questions(), (std::vector<std::string>{gui::kKeepSessionQuestion}));
    EXPECT_FALSE(fs::exists(r.path));
}
