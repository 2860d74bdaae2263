// A preview of the highlighted file on a result page: a thumbnail for
// images (Qt's image readers), the first lines of a text file (its
// encoding guessed), a hex dump of anything else, and the type its first
// bytes show beside its extension (named by the page that owns the pane,
// which knows the signatures). The bytes come from the file's own
// writer into memory (at most kPreviewCap bytes), on one worker thread;
// nothing is written to disk. A new highlight cancels the preview under
// way: only the newest request is ever read.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/content_sink.h"

class QLabel;
class QPlainTextEdit;
class QStackedWidget;

namespace brantlow::gui {

inline constexpr size_t kPreviewCap = 4u << 20;

// What a preview shows, made from the first bytes of a file.
struct Preview {
    enum Kind { None, Image, Text, Hex };
    Kind kind = None;
    QImage image;       // Image: the thumbnail
    QString text;       // Text: the first lines; Hex: the dump
    QString encoding;   // Text: "UTF-8", "UTF-16LE", "UTF-16BE", "Latin-1"
    QString detected;   // the type the content shows ("jpg"), or empty
};

// The type a file's first bytes show ("jpg"), or empty.
using ContentNamer = std::function<std::string(const uint8_t* head, size_t n)>;

// Builds the preview of a file's first bytes (name: for its extension).
// Thumbnails fit in thumb x thumb pixels.
Preview makePreview(const std::vector<uint8_t>& bytes, const QString& name, const ContentNamer& namer,
                    int thumb = 256);

class PreviewPane : public QWidget {
    Q_OBJECT
public:
    // Hands the file's content to the sink; the sink refuses more (and the
    // writer stops) once it is cancelled or holds kPreviewCap bytes.
    using Fetch = std::function<void(ContentSink& sink)>;

    explicit PreviewPane(ContentNamer namer, QWidget* parent = nullptr);
    ~PreviewPane() override;

    // Previews a file: cancels the one under way and queues this one. note
    // (may be empty) is said below the file's name (what is known of it).
    void showFile(const QString& name, Fetch fetch, const QString& note = {});
    // Nothing highlighted (cancels the one under way).
    void clear();
    // Cancels and waits until no fetch runs (before a worker of the page
    // uses the same parser).
    void cancelAndWait();

    // Inspection (tests).
    const Preview& current() const { return shown_; }
    QString currentName() const { return shownName_; }
    QLabel* imageLabel() const { return image_; }
    QPlainTextEdit* textView() const { return text_; }
    QLabel* typeLabel() const { return type_; }
    QLabel* noteLabel() const { return note_; }
    // Fetches started, and the one running now (empty when none).
    int fetchesStarted() const { return started_.load(); }
    bool fetching() const { return busy_.load(); }
    QString fetchingName() const;

signals:
    // A preview is on screen (the newest request).
    void previewShown();

private:
    void run();
    void present(uint64_t generation, const QString& name, Preview p);

    ContentNamer namer_;
    QLabel* type_ = nullptr;
    QLabel* note_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QLabel* image_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    QLabel* empty_ = nullptr;
    Preview shown_;
    QString shownName_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::atomic<uint64_t> generation_{0};
    uint64_t queued_ = 0;  // generation of the request waiting, 0: none
    QString queuedName_, runningName_;
    Fetch queuedFetch_;
    bool quit_ = false;
    std::atomic<bool> busy_{false};
    std::atomic<int> started_{0};
    std::thread worker_;
};

}  // namespace brantlow::gui
