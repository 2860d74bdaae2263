// The preview pane and the recoverability column of the scan page: a JPEG
// shows its thumbnail, a text file its first lines, anything else hex; the
// highlight moving fast through a thousand files leaves no preview running
// for a file that is no longer highlighted.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QCheckBox>
#include <QTest>
#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QImageWriter>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QPlainTextEdit>
#include <QTableView>
#include <filesystem>
#include <iostream>

#include "fake_parser.h"
#include "gui_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"
#include "scan/type_guess.h"
#include "ui/PreviewPane.h"

using namespace brantlow;
using namespace brantlow::test;
using brantlow::controls::Item;
using brantlow::gui::Preview;
using brantlow::gui::VolumeScanDlg;
using brantlow::gui::WizardPage;

namespace {

std::string jpegBytes(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(30, 140, 220));
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPEG");
    return out.toStdString();
}

bool canJpeg() { return QImageWriter::supportedImageFormats().contains("jpeg"); }

// Deleted files say how much of them is left: p2.png partly, old.txt whole.
class EstimatingParser : public FakeParser {
public:
    RecoveryEstimate recoverability(EntryId id) const override {
        EntryInfo info;
        if (!readEntry(id, info) || info.state != EntryState::Deleted) return {};
        if (info.name == "p2.png") return RecoveryEstimate::fromCounts(4, 1);
        if (info.name == "old.txt") return RecoveryEstimate::fromCounts(1, 0);
        if (info.name == "gone.txt") return RecoveryEstimate::fromCounts(1, 1);
        return {};
    }
};

class PreviewPage : public ::testing::Test {
protected:
    ScriptedSink sink;
    std::shared_ptr<MemoryReader> reader = std::make_shared<MemoryReader>(std::vector<uint8_t>(64 * 512, 0));
    FakeParser* fake = nullptr;
    WizardPage* opener = nullptr;
    VolumeScanDlg* page = nullptr;

    void open(int writeDelayMs = 0) {
        opener = new WizardPage("Brantlow");
        VolumeScanDlg::Options o;
        o.reader = reader;
        o.choose = [this, writeDelayMs](const std::string&, ScanMode) {
            ParserChoice c;
            auto p = std::make_unique<EstimatingParser>();
            buildSampleTree(*p);
            std::string text;
            for (int i = 1; i <= 100; ++i) text += "line " + std::to_string(i) + " of the notes\n";
            for (auto& e : p->entries) {
                if (e.name == "p1.jpg") e.content = jpegBytes(640, 480);
                if (e.name == "notes.txt") e.content = text;
            }
            p->writeDelayMs = writeDelayMs;
            fake = p.get();
            c.parser = std::move(p);
            c.hasProcedure = true;
            return c;
        };
        o.pickFolder = [](QWidget*) { return QString(); };
        VolumeEntry v;
        v.fileSystem = "FAKE";
        v.volumeNumber = "1";
        v.sizeText = "1";
        v.sizeSectors = 64;
        page = new VolumeScanDlg(opener, v, ScanMode::Standard, o);
        page->resize(960, 720);
        page->show();
        ASSERT_TRUE(waitFor([&] { return page->statusText() == kScanDoneText && !page->running(); }));
    }
    void TearDown() override {
        delete page;
        delete opener;
    }
    controls::CheckListModel* list() { return page->list()->listModel(); }
    void showFolder(const char* name) {
        Item it = childNamed(page->tree(), page->rootItem(), name);
        page->labelClicked(it);
        QCoreApplication::processEvents();
    }
    int rowOf(const QString& name) {
        for (int r = 0; r < list()->rowCount(); ++r)
            if (list()->rowName(r) == name) return r;
        return -1;
    }
    void highlight(int row) { page->list()->setCurrentIndex(list()->index(row, 0)); }
    bool shows(const QString& name) {
        return waitFor([&] { return page->preview()->currentName() == name && !page->preview()->fetching(); });
    }
};

}  // namespace

TEST_F(PreviewPage, JpegThumbnailTextLinesAndHex) {
    if (!canJpeg()) GTEST_SKIP() << "this Qt has no JPEG writer";
    open();
    showFolder("pics");
    highlight(rowOf("p1.jpg"));
    ASSERT_TRUE(shows("p1.jpg"));
    const Preview& p = page->preview()->current();
    EXPECT_EQ(p.kind, Preview::Image);
    // A thumbnail: the 640 x 480 picture within 256 x 256, its shape kept.
    EXPECT_EQ(p.image.width(), 256);
    EXPECT_EQ(p.image.height(), 192);
    EXPECT_EQ(p.detected, "jpg");
    EXPECT_FALSE(page->preview()->imageLabel()->pixmap().isNull());
    EXPECT_TRUE(page->preview()->typeLabel()->text().contains("content: jpg, extension: jpg"));

    highlight(rowOf("notes.txt"));
    ASSERT_TRUE(shows("notes.txt"));
    EXPECT_EQ(page->preview()->current().kind, Preview::Text);
    const QString shown = page->preview()->textView()->toPlainText();
    EXPECT_TRUE(shown.startsWith("line 1 of the notes\nline 2 of the notes\n"));
    EXPECT_TRUE(shown.contains("line 40 of the notes"));
    EXPECT_FALSE(shown.contains("line 41 "));  // the first lines only

    // From the tree as well: a binary file as hex.
    Item top = childNamed(page->tree(), page->rootItem(), "top.bin");
    page->tree()->setCurrentIndex(page->tree()->treeModel()->indexOf(top));
    ASSERT_TRUE(shows("top.bin"));
    EXPECT_EQ(page->preview()->current().kind, Preview::Hex);
    EXPECT_TRUE(page->preview()->textView()->toPlainText().startsWith(
        "00000000  01 01 01 01 01 01 01 01  01 01 01 01 01 01 01 01  |................|"));
    // A folder clears the pane.
    Item docs = childNamed(page->tree(), page->rootItem(), "docs");
    page->tree()->setCurrentIndex(page->tree()->treeModel()->indexOf(docs));
    EXPECT_EQ(page->preview()->currentName(), "");
}

TEST_F(PreviewPage, MovingFastThroughAThousandFilesLeavesNoStalePreview) {
    open(20);  // each file takes 20 ms to read
    showFolder("big");
    ASSERT_EQ(list()->rowCount(), 1000);
    QElapsedTimer t;
    t.start();
    for (int r = 0; r < 1000; ++r) {
        highlight(r);
        QCoreApplication::processEvents();
    }
    const qint64 moving = t.elapsed();
    // A read that was under way when the highlight moved on is cancelled:
    // it ends at its next write (the fake's reads take 20 ms), and nothing
    // but the highlighted file is read after it.
    EXPECT_TRUE(waitFor([&] {
        const QString running = page->preview()->fetchingName();
        return running.isEmpty() || running == "f1999.dat";
    }, 200));
    // The page kept up: a preview per file would take 20 s.
    std::cout << "1000 moves in " << moving << " ms, " << page->preview()->fetchesStarted() << " reads started\n";
    EXPECT_LT(moving, 8000);
    EXPECT_LT(page->preview()->fetchesStarted(), 900);
    ASSERT_TRUE(shows(list()->rowName(999)));
    EXPECT_EQ(page->preview()->currentName(), "f1999.dat");
    EXPECT_FALSE(page->preview()->fetching());
}

TEST_F(PreviewPage, RecoverabilityColumnTintAndFilter) {
    open();
    EXPECT_EQ(list()->headerData(6, Qt::Horizontal).toString(), "Recoverability");
    showFolder("pics");
    EXPECT_EQ(list()->data(list()->index(rowOf("p2.png"), 6)).toString(), "partly overwritten (25%)");
    EXPECT_EQ(list()->data(list()->index(rowOf("p1.jpg"), 6)).toString(), "");  // live
    showFolder("docs");
    EXPECT_EQ(list()->data(list()->index(rowOf("old.txt"), 6)).toString(), "intact");
    // The tree tints deleted files and says why in the tip.
    auto* m = page->tree()->treeModel();
    Item gone = childNamed(page->tree(), page->rootItem(), "gone.txt");
    Item top = childNamed(page->tree(), page->rootItem(), "top.bin");
    EXPECT_EQ(m->data(m->indexOf(gone), Qt::BackgroundRole).value<QColor>(), QColor(0xE0, 0xE0, 0xE0));
    EXPECT_EQ(m->data(m->indexOf(gone), Qt::ToolTipRole).toString(), "overwritten");
    EXPECT_FALSE(m->data(m->indexOf(top), Qt::BackgroundRole).isValid());
    // Deleted entries stay red.
    EXPECT_EQ(m->data(m->indexOf(gone), Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));

    // The filter: deleted files that are whole.
    page->filterBox()->setChecked(true);
    page->recoverableCombo()->setCurrentIndex(1);  // intact
    page->patternEdit()->setText("");
    EXPECT_EQ(page->searchFilter().recoverable, std::vector<Recoverability>{Recoverability::Intact});
    page->searchButton()->click();
    ASSERT_TRUE(waitFor([&] { return !page->searching() && page->statusText() == kSearchFinishedText; }));
    ASSERT_EQ(list()->rowCount(), 1);
    EXPECT_TRUE(list()->rowName(0).endsWith("old.txt"));
}

// Encodings the pane tells apart, and what it shows of each.
TEST(PreviewBytes, EncodingsAndBinary) {
    auto bytesOf = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    Preview u8 = gui::makePreview(bytesOf("caf\xC3\xA9 cr\xC3\xA8me\n"), "a.txt", guessExtensionFromBytes);
    EXPECT_EQ(u8.kind, Preview::Text);
    EXPECT_EQ(u8.encoding, "UTF-8");
    EXPECT_EQ(u8.text, QString::fromUtf8("café crème\n"));
    Preview l1 = gui::makePreview(bytesOf("caf\xE9 cr\xE8me\n"), "a.txt", guessExtensionFromBytes);
    EXPECT_EQ(l1.encoding, "Latin-1");
    EXPECT_EQ(l1.text, QString::fromUtf8("café crème\n"));
    std::string u16 = "\xFF\xFE";
    for (char c : std::string("hello world, in UTF-16\n")) u16 += std::string{c, '\0'};
    Preview w = gui::makePreview(bytesOf(u16), "w.txt", guessExtensionFromBytes);
    EXPECT_EQ(w.encoding, "UTF-16LE");
    EXPECT_EQ(w.text, "hello world, in UTF-16\n");
    // PDF signature: text-like, but the carver's table names its type.
    Preview pdf = gui::makePreview(bytesOf("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n"), "x.bin", guessExtensionFromBytes);
    EXPECT_EQ(pdf.detected, "pdf");
    std::vector<uint8_t> bin(300);
    for (size_t i = 0; i < bin.size(); ++i) bin[i] = static_cast<uint8_t>(i);
    Preview h = gui::makePreview(bin, "b.dat", guessExtensionFromBytes);
    EXPECT_EQ(h.kind, Preview::Hex);
    EXPECT_TRUE(h.text.startsWith("00000000  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f  |................|"));
    EXPECT_EQ(gui::makePreview({}, "empty", guessExtensionFromBytes).kind, Preview::None);
}

// "Include overwritten files": unticked, a deleted file whose clusters
// other files hold is not written; ticked, it is written as NAME.partial
// and named as partial with its reason.
TEST_F(PreviewPage, IncludeOverwrittenFilesCheckBox) {
    open();
    auto* box = page->findChild<QCheckBox*>("includeOverwritten");
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text(), "Include overwritten files");
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(box->isChecked());
    Item gone = childNamed(page->tree(), page->rootItem(), "gone.txt");
    for (bool tick : {false, true}) {
        TempDir out;
        page->setOutputFolder(QString::fromStdString(out.path()));
        if (tick) QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        EXPECT_EQ(box->isChecked(), tick);
        page->itemDoubleClicked(gone);  // the quick save of one file
        const QString said = tick ? "File saved" : "File not saved";
        ASSERT_TRUE(waitFor([&] { return !page->running() && page->statusText().startsWith(said); }))
            << page->statusText().toStdString();
        EXPECT_FALSE(std::filesystem::exists(out.path() + "/gone.txt"));
        EXPECT_EQ(std::filesystem::exists(out.path() + "/gone.txt.partial"), tick);
        if (tick) {
            EXPECT_EQ(page->statusText(), QString::fromStdString("File saved to " + out.path() + "/gone.txt.partial"));
            ASSERT_EQ(page->saveProblems().size(), 1u);
            EXPECT_EQ(page->saveProblems()[0].status, WriteStatus::Partial);
            EXPECT_NE(page->saveProblems()[0].reason.find("written on request"), std::string::npos)
                << page->saveProblems()[0].reason;
        }
    }
}
