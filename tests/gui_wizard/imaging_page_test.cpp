// "Image the disk first" offscreen: from the drive page to the imaging
// page, a run to the end with its map picture, Next with the image read
// through its map; the picture of a map with failed areas; Open Disk
// Image's map beside the image.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <fstream>

#include "app/ImagingPage.h"
#include "app/Pages.h"
#include "app/Startup.h"
#include "disk/mapped_reader.h"
#include "ui/CurrentSource.h"
#include "ui/PageFactory.h"
#include "tests/support/fixtures.h"
#include "tests/support/wizard_pages.h"

using namespace brantlow;
using namespace brantlow::gui;

namespace {

class ImagingBoxes : public BoxPresenter {
public:
    void info(QWidget*, const QString& text) override { infos.push_back(text.toStdString()); }
    bool question(QWidget*, const QString& text) override {
        questions.push_back(text.toStdString());
        return answer;
    }
    std::vector<std::string> infos, questions;
    bool answer = true;
};

class ImagingPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = setBoxPresenter(&boxes);
        setScanPageFactory({});
        setRawPageFactory({});
    }
    void TearDown() override {
        delete first;
        flushDeletes();
        closeCurrentSource();
        setBoxPresenter(previous_);
    }
    ImagingBoxes boxes;
    Physical_DriveDialog* first = nullptr;
    BoxPresenter* previous_ = nullptr;
};

}  // namespace

TEST_F(ImagingPageTest, ImagesTheSelectedDriveAndGoesOnWithTheImage) {
    BRANTLOW_REQUIRE_IMAGE(img, "fat16");
    test::TempDir dir;
    first = createFirstPage(DriveSources{}, {QString::fromStdString(img)});
    first->show();
    ASSERT_TRUE(first->imageFirstButton()->isVisible());
    first->imageFirstButton()->click();
    auto* page = nextPage<ImagingPage>(first);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->windowTitle(), "Brantlow v1.0");
    const QString out = QString::fromStdString(dir.path() + "/disk.img");
    page->imageEdit()->setText(out);
    emit page->imageEdit()->textEdited(out);  // an edit fills in the map's name
    EXPECT_EQ(page->mapEdit()->text(), out + ".map");
    page->startButton()->click();
    EXPECT_FALSE(page->startButton()->isEnabled());
    for (int i = 0; i < 500 && !page->startButton()->isEnabled(); ++i) QTest::qWait(20);
    ASSERT_TRUE(page->startButton()->isEnabled()) << "the run did not end";
    EXPECT_EQ(page->lastResult().end, imaging::RescueEnd::Finished);
    EXPECT_EQ(page->endLine()->text(), "finished: every byte rescued");
    EXPECT_TRUE(page->statusLine()->text().startsWith("rescued 32.00 MiB of 32.00 MiB (100.0%)"))
        << page->statusLine()->text().toStdString();
    for (BlockState s : page->picture()->cells()) ASSERT_EQ(s, BlockState::Finished);
    EXPECT_EQ(test::sha256File(out.toStdString()), test::sha256File(img));
    screenshot(page, "imaging-page");

    // Next: the image, read through its map.
    page->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(page);
    ASSERT_TRUE(modes);
    EXPECT_EQ(modes->drivePath(), out);
    ASSERT_TRUE(g_deviceReader);
    EXPECT_TRUE(mappedReaderOf(g_deviceReader.get()));
    EXPECT_TRUE(boxes.infos.empty());
}

TEST_F(ImagingPageTest, PictureShowsEachStateWhereItIs) {
    RescueMap m(1536 * 1024);
    m.set(0, 768 * 1024, BlockState::Finished);
    m.set(1024 * 1024, 1024, BlockState::NonTrimmed);
    m.set(1200 * 1024, 512, BlockState::BadSector);
    m.set(1201 * 1024, 4096, BlockState::NonScraped);  // shares its cell with the bad sector
    const auto cells = MapPicture::cellsOf(m);
    ASSERT_EQ(cells.size(), 1536u);
    EXPECT_EQ(cells[0], BlockState::Finished);
    EXPECT_EQ(cells[767], BlockState::Finished);
    EXPECT_EQ(cells[768], BlockState::NonTried);
    EXPECT_EQ(cells[1024], BlockState::NonTrimmed);
    EXPECT_EQ(cells[1200], BlockState::BadSector);  // the worst state of a cell wins
    EXPECT_EQ(cells[1201], BlockState::NonScraped);
    EXPECT_EQ(cells[1535], BlockState::NonTried);
}

TEST_F(ImagingPageTest, OpenDiskImageFindsTheMapBesideTheImage) {
    BRANTLOW_REQUIRE_IMAGE(img, "fat16");
    test::TempDir dir;
    const std::string copy = dir.path() + "/card.img";
    {
        std::ifstream in(img, std::ios::binary);
        std::ofstream(copy, std::ios::binary) << in.rdbuf();
    }
    EXPECT_TRUE(mapBesideImage(QString::fromStdString(copy)).isEmpty());
    std::ofstream(dir.path() + "/card.log") << "not a map at all\n";
    EXPECT_TRUE(mapBesideImage(QString::fromStdString(copy)).isEmpty());
    std::ofstream(dir.path() + "/card.map") << "0 + 1\n0 0x100000 +\n0x100000 0x1F00000 ?\n";
    const QString map = mapBesideImage(QString::fromStdString(copy));
    EXPECT_EQ(map, QString::fromStdString(dir.path() + "/card.map"));
    EXPECT_TRUE(mapQuestion(map).contains("card.map"));

    first = createFirstPage(DriveSources{}, {});
    first->show();
    first->addImage(QString::fromStdString(copy), map);
    EXPECT_TRUE(first->drivesRoot()->child(0)->toolTip(0).contains("card.map"));
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    const MappedReader* mapped = mappedReaderOf(g_deviceReader.get());
    ASSERT_TRUE(mapped);
    EXPECT_EQ(mapped->map().bytesIn(BlockState::Finished), 0x100000u);
    // Unfinished sectors read as unreadable.
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(g_deviceReader->readAbsolute(0x100000, buf.data(), buf.size()), -1);
    setSourceMap(copy, {});
}
