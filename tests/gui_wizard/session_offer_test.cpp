// The first page offers the scans kept of the chosen image (same path and
// size) and reopens one as the scan page's result, without scanning.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>
#include <QThread>

#include "app/Pages.h"
#include "app/Startup.h"
#include "scan/gui/VolumeScanDlg.h"
#include "scan/scan_job.h"
#include "scan/session/session_files.h"
#include "ui/CurrentSource.h"
#include "ui/PageFactory.h"
#include "tests/support/fixtures.h"
#include "tests/support/wizard_pages.h"

using namespace brantlow;
using namespace brantlow::gui;

namespace {
class Quiet : public BoxPresenter {
public:
    void info(QWidget*, const QString& text) override { infos.push_back(text.toStdString()); }
    bool question(QWidget*, const QString&) override { return true; }
    std::vector<std::string> infos;
};
}  // namespace

TEST(FirstPageSessions, OffersTheKeptScansOfTheChosenImageAndReopensOne) {
    if (!selectParser("NTFS", ScanMode::Standard).parser) GTEST_SKIP() << "the NTFS parser is not in this build";
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs_small");
    test::TempDir tmp;
    Quiet boxes;
    BoxPresenter* previous = setBoxPresenter(&boxes);
    registerScanPage();

    // A listing of the image kept in the folder, as a scan in the wizard keeps it.
    auto reader = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(reader->Open(img));
    VolumeEntry v;
    v.fileSystem = "NTFS";
    v.volumeNumber = "1";
    v.sizeSectors = reader->sizeBytes() / 512;
    ParserChoice c = selectParser("NTFS", ScanMode::Standard);
    ScanContext ctx;
    ctx.volume = volumeView(v, reader);
    ASSERT_EQ(c.parser->scan(ctx), ScanOutcome::Done);
    std::string why;
    const std::string path = session::defaultSessionPath(tmp.path(), img, session::SessionKind::Listing, "test");
    ASSERT_TRUE(session::saveListingSession(path, {session::identifySource(img, *reader)}, "test", v, ctx.volume, false,
                                            ScanMode::Standard, *c.parser, why))
        << why;

    Physical_DriveDialog* first = createFirstPage(DriveSources{}, {QString::fromStdString(img)});
    first->show();
    EXPECT_EQ(first->sessionList()->count(), 0);  // the wizard's own folder holds none
    first->setSessionFolder(QString::fromStdString(tmp.path()));
    ASSERT_EQ(first->sessionList()->count(), 1);
    EXPECT_TRUE(first->sessionList()->isVisible());
    EXPECT_TRUE(first->sessionList()->item(0)->text().startsWith("Listing of volume 1 (NTFS), finished: "))
        << first->sessionList()->item(0)->text().toStdString();

    first->reopenButton()->click();
    auto* page = nextPage<VolumeScanDlg>(first);
    ASSERT_NE(page, nullptr) << (boxes.infos.empty() ? "" : boxes.infos.back());
    EXPECT_TRUE(page->reopened());
    QElapsedTimer t;
    t.start();
    while (page->statusText() != kScanDoneText && t.elapsed() < 20000) QApplication::processEvents();
    EXPECT_EQ(page->statusText(), kScanDoneText);
    EXPECT_FALSE(page->tree()->checkTree().children(page->rootItem()).empty());
    delete first;
    flushDeletes();
    closeCurrentSource();
    setScanPageFactory({});
    setBoxPresenter(previous);
}
