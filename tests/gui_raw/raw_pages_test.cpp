// The raw recovery page and the signature editor, offscreen: Parse on the
// carving fixture, category counts and lists, ticking and saving, the
// refusal of a second Parse, Stop while paused, and the editor's records.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QListView>
#include <QPushButton>
#include <QTreeWidget>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>

#include "raw/gui/RawRecoveryDialog.h"
#include "raw/gui/RawSettingDlg.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::raw;
using namespace brantlow::raw::gui;

namespace {

class Recorder : public MessageSink {
public:
    std::vector<std::string> texts;
    void info(const std::string& t) override { texts.push_back(t); }
};

struct Guard {
    Recorder rec;
    MessageSink* prev;
    Guard() : prev(setMessageSink(&rec)) {}
    ~Guard() { setMessageSink(prev); }
};

std::string defaultTypes() { return std::string(BRANTLOW_TEST_DATA) + "/../../raw/FileSetting.txt"; }

// Waits for the worker and the queued end of the scan.
void finish(RawRecoveryDialog& d) {
    bool ended = false;
    auto c = QObject::connect(&d, &RawRecoveryDialog::scanFinished, [&] { ended = true; });
    QElapsedTimer t;
    t.start();
    while (!ended && t.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QObject::disconnect(c);
    EXPECT_TRUE(ended);
}

QTreeWidgetItem* categoryItem(QTreeWidgetItem* top, const QString& prefix) {
    for (int i = 0; i < top->childCount(); ++i)
        if (top->child(i)->text(0).startsWith(prefix)) return top->child(i);
    return nullptr;
}

std::shared_ptr<FileReadSeek> openImage(const std::string& path) {
    auto r = std::make_shared<FileReadSeek>();
    EXPECT_TRUE(r->Open(path));
    return r;
}

VolumeEntry wholeImage(uint64_t bytes) {
    VolumeEntry v;
    v.fileSystem = "RAW";
    v.sizeSectors = bytes / 512;
    return v;
}

// A reader that holds every read until released.
class HeldReader : public test::MemoryReader {
public:
    using MemoryReader::MemoryReader;
    std::shared_future<void> gate;
    long long readAbsolute(uint64_t off, void* buf, size_t n) override {
        gate.wait();
        return MemoryReader::readAbsolute(off, buf, n);
    }
};

}  // namespace

TEST(RawRecoveryPage, ParseListsCategoriesFindsAndSavesTickedOnes) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    Guard g;
    auto reader = openImage(img);
    RawRecoveryDialog d(reader, wholeImage(reader->sizeBytes()));
    d.pathEdit->setText(QString::fromStdString(defaultTypes()));
    d.loadDefaultCheck->setChecked(false);
    d.parse();
    EXPECT_FALSE(d.backButton->isEnabled());
    finish(d);
    EXPECT_TRUE(d.backButton->isEnabled());
    EXPECT_EQ(d.status->text(), "Processing done");
    ASSERT_FALSE(g.rec.texts.empty());
    EXPECT_EQ(g.rec.texts.back(), "Scanning processing done.Select save button to save the data..");
    ASSERT_EQ(d.tree->topLevelItemCount(), 1);
    QTreeWidgetItem* top = d.tree->topLevelItem(0);
    EXPECT_EQ(top->text(0), "RAW RECOVERY ");
    QTreeWidgetItem* photos = categoryItem(top, "Photos");
    ASSERT_TRUE(photos);
    EXPECT_EQ(photos->text(0), QString("Photos (%1)").arg(photos->childCount()));
    EXPECT_EQ(photos->childCount(), 6);
    QTreeWidgetItem* archives = categoryItem(top, "Archives");
    ASSERT_TRUE(archives);
    EXPECT_EQ(archives->text(0), "Archives (2)");

    // A click on a category lists its finds; on the top item, nothing.
    d.showCategory(photos);
    EXPECT_EQ(d.fileList->model()->rowCount(), 6);
    EXPECT_EQ(d.fileList->model()->index(0, 0).data().toString(), "1048576 .jpg");
    d.showCategory(top);
    EXPECT_EQ(d.fileList->model()->rowCount(), 0);

    // Save with nothing ticked, then with the PNG and the first JPEG ticked.
    d.save();
    EXPECT_EQ(g.rec.texts.back(), "Please Select item from tree to save");
    test::TempDir out;
    d.chooseOutputFolder = [&] { return QString::fromStdString(out.path()); };
    int ticked = 0;
    for (int i = 0; i < photos->childCount(); ++i) {
        QString t = photos->child(i)->text(0);
        if (t == "1048576 .jpg" || t == "4460032 .png") {
            photos->child(i)->setCheckState(0, Qt::Checked);
            ++ticked;
        }
    }
    ASSERT_EQ(ticked, 2);
    d.save();
    auto man = test::fixtureManifest("carve");
    ASSERT_TRUE(man);
    std::map<uint64_t, std::string> sha;
    for (const auto& f : (*man)["carved_files"]) sha[f["offset"].get<uint64_t>()] = f["sha256"];
    EXPECT_EQ(test::sha256File(out.path() + "/Photos/1048576.jpg"), sha[1048576]);
    EXPECT_EQ(test::sha256File(out.path() + "/Photos/4460032.png"), sha[4460032]);
    EXPECT_FALSE(test::sha256File(out.path() + "/Photos/2520064.jpg"));
}

TEST(RawRecoveryPage, SecondParseRefusedAndStopEndsAPausedWorker) {
    Guard g;
    std::vector<uint8_t> bytes(8 << 20, 0);
    auto reader = std::make_shared<HeldReader>(bytes);
    std::promise<void> release;
    reader->gate = release.get_future().share();
    RawRecoveryDialog d(reader, wholeImage(bytes.size()));
    d.pathEdit->setText(QString::fromStdString(defaultTypes()));
    d.loadDefaultCheck->setChecked(false);
    d.parse();
    ASSERT_TRUE(d.running());
    d.pause();
    EXPECT_EQ(d.status->text(), "Pause button pressed");
    d.parse();
    EXPECT_EQ(g.rec.texts.back(), "Please wait for other process to complete");
    EXPECT_EQ(d.tree->topLevelItemCount(), 1);
    d.save();
    EXPECT_EQ(g.rec.texts.back(), "Please wait for other process to complete");
    d.stop();
    EXPECT_EQ(d.status->text(), "Stop button pressed.Please wait for the process to stop");
    release.set_value();
    finish(d);
    EXPECT_FALSE(d.running());
    EXPECT_TRUE(d.backButton->isEnabled());
}

TEST(RawRecoveryPage, ItemsOfAnEarlierParseSaveTheirOwnBytes) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    Guard g;
    test::TempDir dir;
    // First Parse: a PNG-only file; second: a BMP-only file.
    auto writeTypes = [&](const std::string& name, const EditorFields& f) {
        std::string p = dir.path() + "/" + name;
        EXPECT_TRUE(appendRecord(p, f).ok);
        return QString::fromStdString(p);
    };
    EditorFields png;
    png.extension = "png";
    png.startSignature = "89,50,4E,47,0D,0A,1A,0A";
    png.endSignature = "49,45,4E,44,AE,42,60,82";
    png.approximateSize = "10000000";
    png.category = "Photos";
    EditorFields bmp = png;
    bmp.extension = "bmp";
    bmp.startSignature = "42,4D,2A,2A,2A,2A,00,00,00,00";
    bmp.endSignature = "";
    bmp.sizeOffset = "2";
    bmp.sizeLength = "4";
    bmp.sizeIncludesHeader = true;
    auto reader = openImage(img);
    RawRecoveryDialog d(reader, wholeImage(reader->sizeBytes()));
    d.loadDefaultCheck->setChecked(false);
    d.pathEdit->setText(writeTypes("png.types", png));
    d.parse();
    finish(d);
    d.pathEdit->setEnabled(true);
    d.pathEdit->setText(writeTypes("bmp.types", bmp));
    d.parse();
    finish(d);
    ASSERT_EQ(d.tree->topLevelItemCount(), 2);
    QTreeWidgetItem* first = categoryItem(d.tree->topLevelItem(0), "Photos");
    ASSERT_TRUE(first);
    ASSERT_EQ(first->childCount(), 1);
    EXPECT_EQ(first->child(0)->text(0), "4460032 .png");
    first->child(0)->setCheckState(0, Qt::Checked);
    test::TempDir out;
    d.chooseOutputFolder = [&] { return QString::fromStdString(out.path()); };
    d.save();
    auto man = test::fixtureManifest("carve");
    std::string want;
    for (const auto& f : (*man)["carved_files"])
        if (f["offset"] == 4460032) want = f["sha256"];
    EXPECT_EQ(test::sha256File(out.path() + "/Photos/4460032.png"), want);
}

TEST(RawRecoveryPage, ZeroSizeVolumeAndMissingReader) {
    Guard g;
    {
        auto reader = std::make_shared<test::MemoryReader>(std::vector<uint8_t>(4096));
        RawRecoveryDialog d(reader, wholeImage(4096));  // under 1 MiB: zero MiB
        d.pathEdit->setText(QString::fromStdString(defaultTypes()));
        d.parse();
        EXPECT_EQ(g.rec.texts.back(), "zero size volume..");
        EXPECT_FALSE(d.running());
    }
    {
        RawRecoveryDialog d(std::make_shared<FileReadSeek>(), wholeImage(8 << 20));
        d.pathEdit->setText(QString::fromStdString(defaultTypes()));
        d.parse();
        EXPECT_EQ(g.rec.texts.back(), "Please Restart the program to re begin necessary initialization...");
    }
}

TEST(RawSettingEditor, SavesRecordsAndShowsItsMessages) {
    Guard g;
    test::TempDir dir;
    std::string path = dir.path() + "/mine.types";
    { std::ofstream(path) << "old contents"; }
    RawSettingDlg dlg;
    dlg.saveRecord();  // no file chosen yet: nothing happens
    EXPECT_TRUE(g.rec.texts.empty());
    dlg.chooseFile = [&] { return QString::fromStdString(path); };
    dlg.browse();
    EXPECT_EQ(dlg.pathEdit->text().toStdString(), path);
    EXPECT_EQ(std::ifstream(path, std::ios::ate).tellg(), 0);  // emptied
    dlg.saveRecord();
    EXPECT_EQ(g.rec.texts.back(), "extention length is zero..");
    dlg.extensionEdit->setText("zip");
    dlg.saveRecord();
    EXPECT_EQ(g.rec.texts.back(), "signature length is zero..");
    dlg.startEdit->setText("0x50,0x4B,03,04");
    dlg.endEdit->setText("50,4B,05,06");
    dlg.bytesAfterEndEdit->setText("18");
    dlg.startRepeatsCheck->setChecked(true);
    dlg.approxEdit->setText("5000000000");
    dlg.categoryEdit->setText("Archives");
    dlg.saveRecord();
    EXPECT_EQ(g.rec.texts.back(), "everything initialized well.....");
    dlg.saveRecord();
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), {});
    ASSERT_EQ(b.size(), 342u);
    SettingsRecord r0 = decodeRecord(b.data()), r1 = decodeRecord(b.data() + 171);
    EXPECT_EQ(r0.index, 0);
    EXPECT_EQ(r1.index, 1);
    EXPECT_EQ(r0.bytesAfterEnd, 18u);
    EXPECT_EQ(r0.flags, kFlagStartRepeats);
    EXPECT_EQ(r0.approximateSize, 5000000000ll);
    EXPECT_EQ(r0.startLength, 4);
    EXPECT_EQ(r0.category, u"Archives");

    // The extension help changes its tool tip once clicked.
    QString before = dlg.extensionHelp->toolTip();
    dlg.extensionHelp->click();
    EXPECT_NE(dlg.extensionHelp->toolTip(), before);
    EXPECT_TRUE(dlg.extensionHelp->toolTip().startsWith("here enter the file extentiom ."));
}

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
