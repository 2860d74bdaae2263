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
#include <QKeyEvent>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

#include "disk/counting_reader.h"
#include "raw/gui/RawRecoveryDialog.h"
#include "scan/session/session_files.h"
#include "raw/gui/RawRecoveryPage.h"
#include "ui/QtMessageSink.h"
#include "raw/gui/RawSettingDlg.h"
#include "ui/CurrentSource.h"
#include "ui/WizardPage.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::raw;
using namespace brantlow::raw::gui;
using brantlow::controls::Item;

namespace {

class Recorder : public MessageSink {
public:
    std::vector<std::string> texts, questions;
    void info(const std::string& t) override { texts.push_back(t); }
    bool question(const std::string& t) override {
        questions.push_back(t);
        return false;  // No: the program goes on
    }
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

// The tree's top items ("RAW RECOVERY "), categories and finds.
std::vector<Item> tops(RawRecoveryDialog& d) { return d.tree->checkTree().children(controls::kNoItem); }
Item categoryItem(RawRecoveryDialog& d, Item top, const QString& prefix) {
    for (Item c : d.tree->checkTree().children(top))
        if (d.tree->GetItemText(c).startsWith(prefix)) return c;
    return controls::kNoItem;
}
int childCount(RawRecoveryDialog& d, Item item) { return static_cast<int>(d.tree->checkTree().children(item).size()); }
Item findItem(RawRecoveryDialog& d, Item category, const QString& text) {
    for (Item c : d.tree->checkTree().children(category))
        if (d.tree->GetItemText(c) == text) return c;
    return controls::kNoItem;
}
QString cell(RawRecoveryDialog& d, int row, int column) {
    return d.fileList->model()->index(row, column).data().toString();
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
    ASSERT_EQ(tops(d).size(), 1u);
    Item top = tops(d)[0];
    EXPECT_EQ(d.tree->GetItemText(top), "RAW RECOVERY ");
    Item photos = categoryItem(d, top, "Photos");
    ASSERT_NE(photos, controls::kNoItem);
    EXPECT_EQ(d.tree->GetItemText(photos), QString("Photos (%1)").arg(childCount(d, photos)));
    EXPECT_EQ(childCount(d, photos), 6);
    Item archives = categoryItem(d, top, "Archives");
    ASSERT_NE(archives, controls::kNoItem);
    EXPECT_EQ(d.tree->GetItemText(archives), "Archives (2)");

    // A click on a category lists its finds: the item text of the tree, the
    // type the find turned out to be, its size and status; on the top item,
    // nothing.
    d.showCategory(photos);
    EXPECT_EQ(d.fileList->model()->rowCount(), 6);
    EXPECT_EQ(d.fileList->model()->headerData(0, Qt::Horizontal).toString(), "FILES LIST ");
    EXPECT_EQ(cell(d, 0, 0), "1048576 .jpg");
    EXPECT_EQ(cell(d, 0, 1), "jpg");
    EXPECT_EQ(cell(d, 0, 2), "63.34 KB");
    EXPECT_EQ(cell(d, 0, 3), "complete");
    bool cutShown = false;
    for (int r = 0; r < d.fileList->model()->rowCount(); ++r)
        if (cell(d, r, 0) == "39845888 .jpg") cutShown = cell(d, r, 3) == "truncated" && cell(d, r, 2) == "31.67 KB";
    EXPECT_TRUE(cutShown);
    d.showCategory(archives);
    ASSERT_EQ(d.fileList->model()->rowCount(), 2);
    EXPECT_EQ(cell(d, 1, 0), "8154624 .zip");  // the tree keeps the type's text
    EXPECT_EQ(cell(d, 1, 1), "docx");
    d.showCategory(top);
    EXPECT_EQ(d.fileList->model()->rowCount(), 0);

    // Save with nothing ticked, then with the PNG, the first JPEG and the
    // DOCX ticked.
    d.save();
    EXPECT_EQ(g.rec.texts.back(), "Please Select item from tree to save");
    test::TempDir out;
    d.chooseOutputFolder = [&] { return QString::fromStdString(out.path()); };
    for (const char* t : {"1048576 .jpg", "4460032 .png"}) {
        Item it = findItem(d, photos, t);
        ASSERT_NE(it, controls::kNoItem) << t;
        d.tree->SetCheck(it, true);
    }
    d.tree->SetCheck(findItem(d, archives, "8154624 .zip"), true);
    EXPECT_EQ(d.tree->GetCheck(archives), false);  // partly ticked
    d.save();
    auto man = test::fixtureManifest("carve");
    ASSERT_TRUE(man);
    std::map<uint64_t, std::string> sha;
    for (const auto& f : (*man)["carved_files"]) sha[f["offset"].get<uint64_t>()] = f["sha256"];
    EXPECT_EQ(test::sha256File(out.path() + "/Photos/1048576.jpg"), sha[1048576]);
    EXPECT_EQ(test::sha256File(out.path() + "/Photos/4460032.png"), sha[4460032]);
    EXPECT_EQ(test::sha256File(out.path() + "/Archives/8154624.docx"), sha[8154624]);
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
    EXPECT_EQ(tops(d).size(), 1u);
    d.save();
    EXPECT_EQ(g.rec.texts.back(), "Please wait for other process to complete");
    d.stop();
    EXPECT_EQ(d.status->text(), "Stop button pressed.Please wait for the process to stop");
    release.set_value();
    finish(d);
    EXPECT_FALSE(d.running());
    EXPECT_TRUE(d.backButton->isEnabled());
}

// A second Parse (the button again, or Enter on it) replaces the first
// one's tree: every find is listed, and saved, once.
TEST(RawRecoveryPage, ASecondParseReplacesTheFirst) {
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
    d.showCategory(categoryItem(d, tops(d)[0], "Photos"));
    EXPECT_EQ(d.fileList->model()->rowCount(), 1);
    d.pathEdit->setEnabled(true);
    d.pathEdit->setText(writeTypes("bmp.types", bmp));
    d.parse();
    finish(d);
    ASSERT_EQ(tops(d).size(), 1u);
    EXPECT_EQ(d.fileList->model()->rowCount(), 0);  // the old list went with its tree
    Item photos = categoryItem(d, tops(d)[0], "Photos");
    ASSERT_NE(photos, controls::kNoItem);
    ASSERT_EQ(childCount(d, photos), 1);
    Item found = d.tree->GetChildItem(photos);
    EXPECT_EQ(d.tree->GetItemText(found), "5541888 .bmp");
    d.tree->SetCheck(tops(d)[0], true);
    // The close question would say that the finds are not saved yet.
    EXPECT_NE(d.unsavedNote().find("have not been saved"), std::string::npos);
    test::TempDir out;
    d.chooseOutputFolder = [&] { return QString::fromStdString(out.path()); };
    d.save();
    EXPECT_EQ(d.unsavedNote(), "");
    auto man = test::fixtureManifest("carve");
    std::string want;
    for (const auto& f : (*man)["carved_files"])
        if (f["offset"] == 5541888) want = f["sha256"];
    EXPECT_EQ(test::sha256File(out.path() + "/Photos/5541888.bmp"), want);
    EXPECT_EQ(d.status->text(), QString::fromStdString("1 file written to " + out.path()));
    size_t files = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(out.path())) files += e.is_regular_file();
    EXPECT_EQ(files, 2u);  // the find and carve-summary.txt

    // Parse by Enter on the focused button, in the wizard page: still one tree.
    g_deviceReader = reader;
    brantlow::gui::RawRecoveryPage page(nullptr, wholeImage(reader->sizeBytes()));
    page.show();
    RawRecoveryDialog* pd = page.dialog();
    pd->loadDefaultCheck->setChecked(false);
    pd->pathEdit->setText(writeTypes("png2.types", png));
    for (int k = 0; k < 2; ++k) {
        pd->parseButton->setFocus();
        QTest::keyClick(pd->parseButton, Qt::Key_Return);
        finish(*pd);
        pd->pathEdit->setEnabled(true);
    }
    EXPECT_EQ(tops(*pd).size(), 1u);
    EXPECT_EQ(childCount(*pd, categoryItem(*pd, tops(*pd)[0], "Photos")), 1);
    g_deviceReader.reset();
}

// The last part of a volume that is not a whole MiB is carved too: a PNG
// at 3 MiB in an image of 3.25 MiB is found, as brantlow-cli carve finds it.
// A volume with nothing in it says so instead of asking to save.
TEST(RawRecoveryPage, CarvesToTheLastSectorAndSaysWhenNothingIsFound) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    Guard g;
    std::vector<uint8_t> carve;
    {
        std::ifstream f(img, std::ios::binary);
        carve.assign(std::istreambuf_iterator<char>(f), {});
    }
    // The PNG of the carving image, at 3 MiB of a 3.25 MiB disk.
    std::vector<uint8_t> disk((3 << 20) + (256 << 10), 0);
    const size_t pngAt = 4460032, pngLen = 177033;
    ASSERT_GE(carve.size(), pngAt + pngLen);
    std::copy_n(carve.begin() + pngAt, pngLen, disk.begin() + (3 << 20));
    auto reader = std::make_shared<test::MemoryReader>(disk);
    RawRecoveryDialog d(reader, wholeImage(disk.size()));
    d.pathEdit->setText(QString::fromStdString(defaultTypes()));
    d.loadDefaultCheck->setChecked(false);
    d.parse();
    finish(d);
    EXPECT_EQ(g.rec.texts.back(), kCarveDoneText);
    Item photos = categoryItem(d, tops(d)[0], "Photos");
    ASSERT_NE(photos, controls::kNoItem);
    EXPECT_NE(findItem(d, photos, "3145728 .png"), controls::kNoItem);
    // A volume of 4 KiB (under 1 MiB) is carved as well; with nothing in it.
    auto small = std::make_shared<test::MemoryReader>(std::vector<uint8_t>(4096));
    RawRecoveryDialog e(small, wholeImage(4096));
    e.pathEdit->setText(QString::fromStdString(defaultTypes()));
    e.loadDefaultCheck->setChecked(false);
    e.parse();
    finish(e);
    EXPECT_EQ(g.rec.texts.back(), kCarveNothingText);
    // What the page carves of a volume: to its last sector, within its source.
    VolumeEntry v = wholeImage(3072);  // 6 sectors
    EXPECT_EQ(carveBytes(v, 0), 3072u);
    v.startSector = 2;
    EXPECT_EQ(carveBytes(v, 4096), 3072u);
    EXPECT_EQ(carveBytes(v, 2048), 1024u);
    EXPECT_EQ(carveBytes(v, 1024), 0u);
}

TEST(RawRecoveryPage, ZeroSizeVolumeAndMissingReader) {
    Guard g;
    {
        auto reader = std::make_shared<test::MemoryReader>(std::vector<uint8_t>(4096));
        VolumeEntry beyond = wholeImage(4096);
        beyond.startSector = 8;  // nothing of it lies on the disk
        RawRecoveryDialog d(reader, beyond);
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
    // The editor says which types are delimited by their structure.
    dlg.extensionEdit->setText("jpg");
    EXPECT_TRUE(dlg.finderLabel->text().contains("JPEG")) << dlg.finderLabel->text().toStdString();
    dlg.extensionEdit->setText("xyz");
    EXPECT_TRUE(dlg.finderLabel->text().startsWith("No structure check"));
    dlg.extensionEdit->setText("zip");
    EXPECT_TRUE(dlg.finderLabel->text().contains("ZIP family"));
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

TEST(RawRecoveryPage, FindsThatFailTheirFormatCheckAreMarkedAndCanBeHidden) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    Guard g;
    test::TempDir dir;
    // A "png" type whose start signature is JPEG's: the PNG check fails on
    // every JPEG; the finds are listed (approximate size) but marked.
    EditorFields odd;
    odd.extension = "png";
    odd.startSignature = "FF,D8,FF";
    odd.approximateSize = "1000";
    odd.category = "Odd";
    const std::string types = dir.path() + "/odd.types";
    ASSERT_TRUE(appendRecord(types, odd).ok);
    auto reader = openImage(img);
    RawRecoveryDialog d(reader, wholeImage(reader->sizeBytes()));
    d.loadDefaultCheck->setChecked(false);
    d.pathEdit->setText(QString::fromStdString(types));
    d.parse();
    finish(d);
    Item cat = categoryItem(d, tops(d)[0], "Odd");
    ASSERT_NE(cat, controls::kNoItem);
    ASSERT_EQ(childCount(d, cat), 4);
    d.showCategory(cat);
    ASSERT_EQ(d.fileList->model()->rowCount(), 4);
    EXPECT_EQ(cell(d, 0, 3), "invalid");
    EXPECT_EQ(cell(d, 0, 2), "1000 Bytes");
    // Hidden: out of the list and the tree, and not saved when ticked.
    d.hideMarkedCheck->setChecked(true);
    EXPECT_EQ(d.fileList->model()->rowCount(), 0);
    EXPECT_TRUE(d.tree->isRowHidden(0, d.tree->treeModel()->indexOf(cat)));
    d.tree->SetCheck(cat, true);
    test::TempDir out;
    d.chooseOutputFolder = [&] { return QString::fromStdString(out.path()); };
    d.save();
    EXPECT_EQ(g.rec.texts.back(), "Please Select item from tree to save");
    d.hideMarkedCheck->setChecked(false);
    EXPECT_EQ(d.fileList->model()->rowCount(), 4);
    d.save();
    EXPECT_EQ(test::sha256File(out.path() + "/Odd/1048576.png").has_value(), true);
}

// The page frame's boxes: recorded and answered No.
struct Declining : brantlow::gui::BoxPresenter {
    std::vector<QString> questions;
    void info(QWidget*, const QString&) override {}
    bool question(QWidget*, const QString& text) override {
        questions.push_back(text);
        return false;
    }
};

TEST(RawRecoveryPage, EscapeAsksTheCloseQuestionAndKeepsTheResults) {
    Guard g;
    Declining boxes;
    auto* previous = brantlow::gui::setBoxPresenter(&boxes);
    std::vector<uint8_t> bytes(2 << 20, 0);
    g_deviceReader = std::make_shared<test::MemoryReader>(bytes);
    brantlow::gui::RawRecoveryPage page(nullptr, wholeImage(bytes.size()));
    page.show();
    auto* banner = page.findChild<QLabel*>("banner");
    ASSERT_TRUE(banner);
    EXPECT_EQ(banner->text(), "Raw Recovery Dialog");
    RawRecoveryDialog* d = page.dialog();
    d->pathEdit->setText(QString::fromStdString(defaultTypes()));
    d->loadDefaultCheck->setChecked(false);
    d->parse();
    finish(*d);
    ASSERT_EQ(tops(*d).size(), 1u);
    // Escape in the tree and in the list: the page's question, answered No;
    // the page and its results stay.
    for (QWidget* w : {static_cast<QWidget*>(d->tree), static_cast<QWidget*>(d->fileList)}) {
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(w, &esc);
    }
    brantlow::gui::setBoxPresenter(previous);
    ASSERT_EQ(boxes.questions.size(), 2u);
    EXPECT_EQ(boxes.questions[0], "Do you want to Close Application ?");
    EXPECT_TRUE(page.isVisible());
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(tops(*d).size(), 1u);
    g_deviceReader.reset();
}

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The highlighted find is previewed from its own bytes: the first JPEG of
// the carving image as a thumbnail, its type from the content.
TEST(RawRecoveryPage, PreviewOfTheHighlightedFind) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    Guard g;
    auto reader = openImage(img);
    RawRecoveryDialog d(reader, wholeImage(reader->sizeBytes()));
    d.pathEdit->setText(QString::fromStdString(defaultTypes()));
    d.loadDefaultCheck->setChecked(false);
    d.parse();
    finish(d);
    Item photos = categoryItem(d, tops(d)[0], "Photos");
    ASSERT_NE(photos, controls::kNoItem);
    d.showCategory(photos);
    ASSERT_EQ(cell(d, 0, 0), "1048576 .jpg");
    d.fileList->setCurrentIndex(d.fileList->model()->index(0, 0));
    QElapsedTimer t;
    t.start();
    while ((d.preview->currentName().isEmpty() || d.preview->fetching()) && t.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(d.preview->currentName(), "1048576.jpg");
    EXPECT_EQ(d.preview->current().kind, ::brantlow::gui::Preview::Image);
    EXPECT_EQ(d.preview->current().detected, "jpg");
    EXPECT_FALSE(d.preview->current().image.isNull());
}

// A carve keeps its finds in its session as it goes; Save Scan copies it;
// Open Scan shows them again without carving (only the source's first and
// last MiB are read); Stop asks whether to keep the session.
TEST(RawRecoveryPage, CarveSessionKeptSavedAndReopened) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    Guard g;
    test::TempDir tmp;
    auto reader = openImage(img);
    const std::string kept = tmp.path() + "/kept.session";
    auto findsOf = [](RawRecoveryDialog& d) {
        int n = 0;
        for (Item top : tops(d))
            for (Item c : d.tree->checkTree().children(top)) n += childCount(d, c);
        return n;
    };
    int finds = 0;
    {
        RawRecoveryDialog d(reader, wholeImage(reader->sizeBytes()));
        d.setSessions(tmp.path() + "/sessions", img);
        d.pathEdit->setText(QString::fromStdString(defaultTypes()));
        d.loadDefaultCheck->setChecked(false);
        d.parse();
        finish(d);
        finds = findsOf(d);
        ASSERT_GT(finds, 5);
        session::SessionSummary s;
        session::Refusal refusal;
        std::string why;
        ASSERT_TRUE(session::peekSession(d.sessionPath().toStdString(), s, refusal, why)) << why;
        EXPECT_EQ(s.kind, session::SessionKind::Carve);
        EXPECT_TRUE(s.finished);
        EXPECT_EQ(s.rows, static_cast<uint64_t>(finds));
        d.chooseSessionFile = [&](bool) { return QString::fromStdString(tmp.path() + "/kept"); };
        d.saveScan();
        ASSERT_TRUE(std::filesystem::exists(kept));
    }
    // Opened, then refused: the file is only read.
    const auto before = test::sha256File(kept);
    auto counted = std::make_shared<CountingReader>(reader);
    RawRecoveryDialog d(counted, wholeImage(reader->sizeBytes()));
    d.setSessions({}, img);
    d.pathEdit->setText(QString::fromStdString(defaultTypes()));
    d.loadDefaultCheck->setChecked(false);
    d.openSession(QString::fromStdString(kept));
    finish(d);
    EXPECT_EQ(findsOf(d), finds);
    EXPECT_EQ(d.tree->GetItemText(categoryItem(d, tops(d)[0], "Archives")), "Archives (2)");
    EXPECT_LE(counted->bytesRead(), reader->sizeBytes() / 8) << "the volume was carved again";

    // A session of other settings is refused with the reason.
    d.freeOnlyCheck->setChecked(true);
    d.openSession(QString::fromStdString(kept));
    EXPECT_FALSE(d.running());
    EXPECT_EQ(findsOf(d), finds);
    EXPECT_NE(g.rec.texts.back().find("holds another carve"), std::string::npos) << g.rec.texts.back();
    EXPECT_EQ(test::sha256File(kept), before);
}

// Stop asks whether to keep the session of the carve; No removes it.
TEST(RawRecoveryPage, StopAsksWhetherToKeepTheCarveSession) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    Guard g;  // answers No
    test::TempDir tmp;
    auto reader = openImage(img);
    RawRecoveryDialog d(reader, wholeImage(reader->sizeBytes()));
    d.setSessions(tmp.path(), img);
    d.pathEdit->setText(QString::fromStdString(defaultTypes()));
    d.loadDefaultCheck->setChecked(false);
    d.parse();
    d.pause();
    QElapsedTimer t;
    t.start();
    while (d.sessionInProgress().isEmpty() && t.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const std::string path = d.sessionInProgress().toStdString();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(std::filesystem::exists(path));
    d.stop();
    finish(d);
    EXPECT_EQ(g.rec.questions, std::vector<std::string>{brantlow::gui::kKeepSessionQuestion});
    EXPECT_FALSE(std::filesystem::exists(path));
}
