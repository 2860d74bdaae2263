#include "app/ImagingPage.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/Pages.h"
#include "disk/mapped_reader.h"
#include "imaging/session.h"
#include "platform/files.h"
#include "scan/used_domain.h"
#include "ui/CurrentSource.h"

namespace brantlow::gui {

namespace {

QColor colorOf(BlockState s) {
    switch (s) {
        case BlockState::Finished: return QColor(0x4c, 0xaf, 0x50);
        case BlockState::NonTried: return QColor(0x60, 0x60, 0x60);
        case BlockState::NonTrimmed: return QColor(0xf2, 0xd0, 0x2a);
        case BlockState::NonScraped: return QColor(0x3a, 0x7b, 0xd5);
        case BlockState::BadSector: return QColor(0xd3, 0x2f, 0x2f);
    }
    return Qt::black;
}

// Worse states win a cell: bad over non-scraped over non-trimmed over non-tried over finished.
int rank(BlockState s) {
    switch (s) {
        case BlockState::Finished: return 0;
        case BlockState::NonTried: return 1;
        case BlockState::NonTrimmed: return 2;
        case BlockState::NonScraped: return 3;
        case BlockState::BadSector: return 4;
    }
    return 1;
}

}  // namespace

// ---- the map picture -------------------------------------------------------------

MapPicture::MapPicture(QWidget* parent) : QWidget(parent) {
    setObjectName("mapPicture");
    setMinimumSize(kColumns * 5, kRows * 5);
    cells_.assign(kColumns * kRows, BlockState::NonTried);
}

void MapPicture::setCells(std::vector<BlockState> cells) {
    cells_ = std::move(cells);
    update();
}

std::vector<BlockState> MapPicture::cellsOf(const RescueMap& map) {
    const uint64_t n = kColumns * kRows, extent = map.extent();
    std::vector<BlockState> out(n, extent ? BlockState::Finished : BlockState::NonTried);
    for (const MapBlock& b : map.blocks()) {
        const auto first = static_cast<uint64_t>(static_cast<unsigned __int128>(b.pos) * n / extent);
        const auto last = static_cast<uint64_t>(static_cast<unsigned __int128>(b.end() - 1) * n / extent);
        for (uint64_t c = first; c <= last && c < n; ++c)
            if (rank(b.state) > rank(out[c])) out[c] = b.state;
    }
    return out;
}

void MapPicture::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const double w = static_cast<double>(width()) / kColumns, h = static_cast<double>(height()) / kRows;
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kColumns; ++c) {
            const QRectF cell(c * w, r * h, w, h);
            p.fillRect(cell.adjusted(0, 0, -1, -1), colorOf(cells_[static_cast<size_t>(r * kColumns + c)]));
        }
}

// ---- the page --------------------------------------------------------------------

ImagingPage::ImagingPage(const QString& sourcePath, WizardPage* opener)
    : WizardPage(kImageTheDiskFirst, opener), source_(sourcePath) {
    setObjectName("ImagingPage");
    auto* outer = new QVBoxLayout(content());
    outer->setContentsMargins(18, 8, 18, 4);
    auto* grid = new QGridLayout;
    outer->addLayout(grid);
    grid->addWidget(new QLabel("Disk:", content()), 0, 0);
    auto* src = new QLabel(source_, content());
    src->setObjectName("imagingSource");
    QFont bold = src->font();
    bold.setBold(true);
    src->setFont(bold);
    grid->addWidget(src, 0, 1, 1, 2);
    grid->addWidget(new QLabel("Image file:", content()), 1, 0);
    image_ = new QLineEdit(content());
    image_->setObjectName("imagePath");
    grid->addWidget(image_, 1, 1);
    auto* browse = new QPushButton(QString::fromUtf8("Browse\u2026"), content());
    browse->setAutoDefault(false);
    grid->addWidget(browse, 1, 2);
    grid->addWidget(new QLabel("Map file:", content()), 2, 0);
    map_ = new QLineEdit(content());
    map_->setObjectName("mapPath");
    map_->setToolTip("GNU ddrescue's map format: either program can go on with what the other began.");
    grid->addWidget(map_, 2, 1, 1, 2);

    auto* opts = new QHBoxLayout;
    opts->addWidget(new QLabel("Retries:", content()));
    retries_ = new QSpinBox(content());
    retries_->setRange(0, 100);
    opts->addWidget(retries_);
    opts->addWidget(new QLabel("Read timeout (s, 0: none):", content()));
    timeout_ = new QSpinBox(content());
    timeout_->setRange(0, 3600);
    opts->addWidget(timeout_);
    reverse_ = new QCheckBox("Backwards", content());
    opts->addWidget(reverse_);
    used_ = new QCheckBox("Used space only (metadata, then files)", content());
    used_->setToolTip("First the file systems' metadata, then the live files; free space is left for a later run.");
    opts->addWidget(used_);
    opts->addStretch(1);
    outer->addLayout(opts);

    picture_ = new MapPicture(content());
    outer->addWidget(picture_, 1);
    auto* legend = new QLabel(
        "<span style='color:#4caf50'>&#9632;</span> finished &nbsp; <span style='color:#606060'>&#9632;</span> "
        "non-tried &nbsp; <span style='color:#f2d02a'>&#9632;</span> non-trimmed &nbsp; "
        "<span style='color:#3a7bd5'>&#9632;</span> non-scraped &nbsp; <span style='color:#d32f2f'>&#9632;</span> "
        "bad sector",
        content());
    outer->addWidget(legend);
    progress_ = new QProgressBar(content());
    progress_->setRange(0, 1000);
    progress_->setValue(0);
    rate_ = new RateLabel(content());
    auto* bar = new QHBoxLayout;
    bar->addWidget(progress_, 1);
    bar->addWidget(rate_);
    outer->addLayout(bar);
    status_ = new QLabel(content());
    status_->setObjectName("imagingStatus");
    status_->setTextFormat(Qt::PlainText);
    outer->addWidget(status_);
    end_ = new QLabel(content());
    end_->setObjectName("imagingEnd");
    end_->setTextFormat(Qt::PlainText);
    end_->setWordWrap(true);
    outer->addWidget(end_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    start_ = new QPushButton("Start", content());
    start_->setAutoDefault(false);
    stop_ = new QPushButton("Stop", content());
    stop_->setAutoDefault(false);
    stop_->setEnabled(false);
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    outer->addLayout(buttons);

    connect(browse, &QPushButton::clicked, this, &ImagingPage::onBrowse);
    connect(image_, &QLineEdit::textEdited, this, [this](const QString& t) {
        if (!t.isEmpty()) map_->setText(t + ".map");
    });
    connect(start_, &QPushButton::clicked, this, &ImagingPage::onStart);
    connect(stop_, &QPushButton::clicked, this, [this] { stopFlag_ = true; });
    connect(this, &WizardPage::nextRequested, this, &ImagingPage::onNext);
}

ImagingPage::~ImagingPage() { stopWork(); }

void ImagingPage::stopWork() {
    stopFlag_ = true;
    if (worker_.joinable()) worker_.join();
}

void ImagingPage::onBrowse() {
    const QString path = QFileDialog::getSaveFileName(this, "Image file", image_->text(), "Disk images (*.img);;All files (*)",
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty()) return;
    image_->setText(path);
    map_->setText(path + ".map");
}

void ImagingPage::onStart() {
    if (worker_.joinable()) {
        if (!finished_) return;
        worker_.join();
    }
    imaging::ImagingRequest req;
    req.source = source_.toStdString();
    req.image = image_->text().trimmed().toStdString();
    req.map = map_->text().trimmed().toStdString();
    req.commandLine = "brantlow (" + std::string(kImageTheDiskFirst) + ") " + req.source + " " + req.image;
    req.options.retries = retries_->value();
    req.options.reverse = reverse_->isChecked();
    req.options.readTimeout = timeout_->value();
    auto session = std::make_shared<imaging::ImagingSession>();
    std::string why;
    imaging::ImagingRefusal kind;
    if (!session->open(req, &why, &kind)) {
        messages().info(why);
        return;
    }
    stopFlag_ = false;
    finished_ = false;
    start_->setEnabled(false);
    stop_->setEnabled(true);
    nextButton()->setEnabled(false);
    end_->clear();
    rate_->start();
    const bool used = used_->isChecked();
    // Runs on the worker: the status text and the picture's cells, taken
    // while the map holds still, handed to the page.
    imaging::ImagingSession* sp = session.get();  // the worker keeps it alive
    session->rescuer().setStatusCallback([this, sp](const imaging::RescueStatus& s) {
        const QString text = QString::fromStdString(imaging::statusText(s));
        auto cells = MapPicture::cellsOf(*sp->map());
        const int permille = s.domainBytes ? static_cast<int>(s.rescued * 1000 / s.domainBytes) : 1000;
        const uint64_t rescued = s.rescued, domain = s.domainBytes;
        QMetaObject::invokeMethod(this, [this, text, cells = std::move(cells), permille, rescued, domain]() mutable {
            status_->setText(text);
            picture_->setCells(std::move(cells));
            progress_->setValue(permille);
            rate_->setWholeBytes(domain);
            rate_->progress(static_cast<int64_t>(rescued), static_cast<int64_t>(domain));
        }, Qt::QueuedConnection);
    });
    worker_ = std::thread([this, session, used] {
        imaging::RescueResult r;
        if (used)
            r = imageUsedDomain(*session, &stopFlag_, [this](const std::string& line) {
                    const QString t = QString::fromStdString(line);
                    QMetaObject::invokeMethod(this, [this, t] { end_->setText(t); }, Qt::QueuedConnection);
                }).rescue;
        else
            r = session->rescuer().run(&stopFlag_);
        const QString endText = QString::fromStdString(session->endText(r));
        const QString text = QString::fromStdString(imaging::statusText(session->rescuer().status()));
        auto cells = MapPicture::cellsOf(*session->map());
        QMetaObject::invokeMethod(this, [this, r, endText, text, cells = std::move(cells)]() mutable {
            result_ = r;
            status_->setText(text);
            picture_->setCells(std::move(cells));
            end_->setText(endText);
            finish();
        }, Qt::QueuedConnection);
        finished_ = true;
    });
}

void ImagingPage::finish() {
    if (worker_.joinable()) worker_.join();
    rate_->stop();
    start_->setEnabled(true);
    stop_->setEnabled(false);
    nextButton()->setEnabled(true);
}

void ImagingPage::onNext() {
    if (running()) return;
    const QString image = image_->text().trimmed(), map = map_->text().trimmed();
    if (image.isEmpty() || !platform::pathExists(image.toStdString())) {
        messages().info("Start the imaging first: Next goes on with the image.");
        return;
    }
    setSourceMap(image.toStdString(), map.toStdString());
    openNext(new DriveParsingModes(image, this));
}

QString mapBesideImage(const QString& imagePath) {
    const QFileInfo fi(imagePath);
    const QString stem = fi.path() + "/" + fi.completeBaseName();
    for (const QString& c : {imagePath + ".map", stem + ".map", stem + ".mapfile", stem + ".log", imagePath + ".log"}) {
        if (!QFileInfo(c).isFile()) continue;
        auto image = std::make_shared<FileReadSeek>();
        if (!image->Open(imagePath.toStdString())) return {};
        std::string why;
        if (openMappedImage(image, c.toStdString(), &why)) return c;
    }
    return {};
}

}  // namespace brantlow::gui
