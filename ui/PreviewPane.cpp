#include "ui/PreviewPane.h"

#include <QBuffer>
#include <QFileInfo>
#include <QFontDatabase>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QVBoxLayout>

namespace brantlow::gui {

namespace {

constexpr size_t kTextProbe = 4096;     // bytes looked at to tell text
constexpr size_t kTextBytes = 64 << 10; // bytes decoded for the first lines
constexpr int kTextLines = 40;
constexpr size_t kHexBytes = 512;

// The writer's bytes in memory, refused once cancelled or full.
class PreviewSink : public ContentSink {
public:
    PreviewSink(const std::atomic<uint64_t>& generation, uint64_t mine) : generation_(generation), mine_(mine) {}
    bool write(const void* data, size_t n) override {
        if (cancelled()) return false;
        const size_t keep = std::min(n, kPreviewCap - std::min(kPreviewCap, bytes.size()));
        const auto* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + keep);
        total_ += n;
        return bytes.size() < kPreviewCap;
    }
    bool writeZeros(uint64_t n) override {
        if (cancelled()) return false;
        const size_t keep =
            static_cast<size_t>(std::min<uint64_t>(n, kPreviewCap - std::min(kPreviewCap, bytes.size())));
        bytes.insert(bytes.end(), keep, 0);
        total_ += n;
        return bytes.size() < kPreviewCap;
    }
    uint64_t size() const override { return total_; }
    bool full() const override { return bytes.size() >= kPreviewCap || cancelled(); }
    bool cancelled() const { return generation_.load(std::memory_order_relaxed) != mine_; }

    std::vector<uint8_t> bytes;

private:
    const std::atomic<uint64_t>& generation_;
    uint64_t mine_;
    uint64_t total_ = 0;
};

bool validUtf8(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (!len) return false;
        if (i + len > n) return n - i < 4;  // a character cut by the end of the sample
        for (size_t k = 1; k < len; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

// Control bytes other than tab, line ends and form feed.
size_t controls(const uint8_t* p, size_t n) {
    size_t bad = 0;
    for (size_t i = 0; i < n; ++i)
        if ((p[i] < 0x20 && p[i] != '\t' && p[i] != '\n' && p[i] != '\r' && p[i] != '\f') || p[i] == 0x7F) ++bad;
    return bad;
}

// The encoding of text bytes, or empty when they do not look like text.
QString guessEncoding(const std::vector<uint8_t>& b, size_t& skip) {
    skip = 0;
    const size_t n = std::min(b.size(), kTextProbe);
    if (n == 0) return {};
    const uint8_t* p = b.data();
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        skip = 3;
        return "UTF-8";
    }
    if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
        skip = 2;
        return "UTF-16LE";
    }
    if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
        skip = 2;
        return "UTF-16BE";
    }
    // UTF-16 without a mark: one byte of each pair is nearly always zero.
    if (n >= 16) {
        size_t evenZero = 0, oddZero = 0;
        for (size_t i = 0; i + 1 < n; i += 2) {
            evenZero += p[i] == 0;
            oddZero += p[i + 1] == 0;
        }
        const size_t pairs = n / 2;
        if (oddZero * 10 >= pairs * 9 && evenZero * 10 < pairs) return "UTF-16LE";
        if (evenZero * 10 >= pairs * 9 && oddZero * 10 < pairs) return "UTF-16BE";
    }
    if (controls(p, n) * 50 > n) return {};  // more than 2% control bytes: binary
    return validUtf8(p, n) ? "UTF-8" : "Latin-1";
}

QString firstLines(const QString& s) {
    QString out;
    int lines = 0;
    for (const QChar c : s) {
        if (c == '\n' && ++lines >= kTextLines) break;
        out += c;
    }
    return out;
}

QString hexDump(const std::vector<uint8_t>& b) {
    QString out;
    const size_t n = std::min(b.size(), kHexBytes);
    for (size_t row = 0; row < n; row += 16) {
        QString hex, ascii;
        for (size_t i = row; i < row + 16; ++i) {
            if (i < n) {
                hex += QString::asprintf("%02x ", b[i]);
                ascii += b[i] >= 0x20 && b[i] < 0x7F ? QChar(b[i]) : QChar('.');
            } else {
                hex += "   ";
            }
            if (i == row + 7) hex += ' ';
        }
        out += QString::asprintf("%08zx  ", row) + hex + " |" + ascii + "|\n";
    }
    return out;
}

}  // namespace

Preview makePreview(const std::vector<uint8_t>& bytes, const QString& name, const ContentNamer& namer, int thumb) {
    (void)name;
    Preview p;
    if (bytes.empty()) return p;
    if (namer) p.detected = QString::fromStdString(namer(bytes.data(), bytes.size()));
    // Images: whatever format Qt's readers recognise in the content.
    QByteArray raw = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<qsizetype>(bytes.size()));
    QBuffer buf(&raw);
    buf.open(QIODevice::ReadOnly);
    if (!QImageReader::imageFormat(&buf).isEmpty()) {
        buf.seek(0);
        QImageReader reader(&buf);
        reader.setAutoTransform(true);
        QSize size = reader.size();
        if (size.isValid() && (size.width() > thumb || size.height() > thumb))
            reader.setScaledSize(size.scaled(thumb, thumb, Qt::KeepAspectRatio));
        QImage img = reader.read();
        if (!img.isNull()) {
            if (img.width() > thumb || img.height() > thumb)
                img = img.scaled(thumb, thumb, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            p.kind = Preview::Image;
            p.image = std::move(img);
            return p;
        }
    }
    size_t skip = 0;
    const QString enc = guessEncoding(bytes, skip);
    if (!enc.isEmpty()) {
        const size_t n = std::min(bytes.size() - skip, kTextBytes);
        const char* at = reinterpret_cast<const char*>(bytes.data() + skip);
        QString s;
        if (enc == "Latin-1") {
            s = QString::fromLatin1(at, static_cast<qsizetype>(n));
        } else {
            QStringDecoder dec(enc == "UTF-8"      ? QStringConverter::Utf8
                               : enc == "UTF-16LE" ? QStringConverter::Utf16LE
                                                   : QStringConverter::Utf16BE);
            s = dec.decode(QByteArrayView(at, static_cast<qsizetype>(n)));
        }
        p.kind = Preview::Text;
        p.encoding = enc;
        p.text = firstLines(s);
        return p;
    }
    p.kind = Preview::Hex;
    p.text = hexDump(bytes);
    return p;
}

PreviewPane::PreviewPane(ContentNamer namer, QWidget* parent) : QWidget(parent), namer_(std::move(namer)) {
    setObjectName("previewPane");
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    type_ = new QLabel;
    type_->setObjectName("previewType");
    type_->setWordWrap(true);
    box->addWidget(type_);
    note_ = new QLabel;
    note_->setObjectName("previewNote");
    note_->setWordWrap(true);
    note_->hide();
    box->addWidget(note_);
    stack_ = new QStackedWidget;
    empty_ = new QLabel;
    image_ = new QLabel;
    image_->setObjectName("previewImage");
    image_->setAlignment(Qt::AlignCenter);
    text_ = new QPlainTextEdit;
    text_->setObjectName("previewText");
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    stack_->addWidget(empty_);
    stack_->addWidget(image_);
    stack_->addWidget(text_);
    box->addWidget(stack_, 1);
    worker_ = std::thread([this] { run(); });
}

PreviewPane::~PreviewPane() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        quit_ = true;
        generation_.fetch_add(1);
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void PreviewPane::showFile(const QString& name, Fetch fetch, const QString& note) {
    note_->setText(note);
    note_->setVisible(!note.isEmpty());
    {
        std::lock_guard<std::mutex> lk(mutex_);
        queued_ = generation_.fetch_add(1) + 1;
        queuedName_ = name;
        queuedFetch_ = std::move(fetch);
    }
    wake_.notify_all();
    type_->setText(name);
}

void PreviewPane::clear() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        generation_.fetch_add(1);
        queued_ = 0;
        queuedFetch_ = nullptr;
    }
    shown_ = Preview();
    shownName_.clear();
    type_->clear();
    note_->clear();
    note_->hide();
    stack_->setCurrentWidget(empty_);
}

void PreviewPane::cancelAndWait() {
    std::unique_lock<std::mutex> lk(mutex_);
    generation_.fetch_add(1);
    queued_ = 0;
    queuedFetch_ = nullptr;
    idle_.wait(lk, [this] { return !busy_.load(); });
}

QString PreviewPane::fetchingName() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return busy_.load() ? runningName_ : QString();
}

void PreviewPane::run() {
    for (;;) {
        uint64_t gen;
        QString name;
        Fetch fetch;
        {
            std::unique_lock<std::mutex> lk(mutex_);
            wake_.wait(lk, [this] { return quit_ || queued_ != 0; });
            if (quit_) return;
            gen = queued_;
            queued_ = 0;
            name = queuedName_;
            fetch = std::move(queuedFetch_);
            queuedFetch_ = nullptr;
            // A newer request came in between: take that one next time.
            if (gen != generation_.load()) continue;
            busy_.store(true);
            runningName_ = name;
        }
        started_.fetch_add(1);
        PreviewSink sink(generation_, gen);
        if (fetch) fetch(sink);
        Preview p;
        const bool cancelled = sink.cancelled();
        if (!cancelled) p = makePreview(sink.bytes, name, namer_);
        {
            std::lock_guard<std::mutex> lk(mutex_);
            busy_.store(false);
            runningName_.clear();
        }
        idle_.notify_all();
        if (!cancelled)
            QMetaObject::invokeMethod(
                this, [this, gen, name, p = std::move(p)]() mutable { present(gen, name, std::move(p)); },
                Qt::QueuedConnection);
    }
}

void PreviewPane::present(uint64_t generation, const QString& name, Preview p) {
    if (generation != generation_.load()) return;  // the highlight has moved on
    shown_ = std::move(p);
    shownName_ = name;
    const QString ext = QFileInfo(name).suffix().toLower();
    QString type = name;
    if (!shown_.detected.isEmpty() || !ext.isEmpty())
        type += "  (content: " + (shown_.detected.isEmpty() ? QString("unknown") : shown_.detected) +
                ", extension: " + (ext.isEmpty() ? QString("none") : ext) + ")";
    if (shown_.kind == Preview::Text) type += "  " + shown_.encoding;
    type_->setText(type);
    switch (shown_.kind) {
        case Preview::Image:
            image_->setPixmap(QPixmap::fromImage(shown_.image));
            stack_->setCurrentWidget(image_);
            break;
        case Preview::Text:
        case Preview::Hex:
            text_->setPlainText(shown_.text);
            stack_->setCurrentWidget(text_);
            break;
        case Preview::None:
            stack_->setCurrentWidget(empty_);
            break;
    }
    emit previewShown();
}

}  // namespace brantlow::gui
