// Helpers of the scan page tests: a message sink that answers from a
// script, waiting while the event loop runs, and finding items by text.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "base/sinks.h"
#include "ui/QtMessageSink.h"
#include "tests/support/fixtures.h"
#include "scan/gui/VolumeScanDlg.h"

namespace brantlow::test {

// Answers the pages' message boxes from a script (Yes when it runs out)
// and records each box with its parent.
class ScriptedSink : public gui::BoxPresenter {
public:
    ScriptedSink() { previous_ = gui::setBoxPresenter(this); }
    ~ScriptedSink() override { gui::setBoxPresenter(previous_); }
    void info(QWidget* parent, const QString& text) override {
        if (onInfo) onInfo(text.toStdString());
        std::lock_guard<std::mutex> lk(m_);
        infos_.push_back(text.toStdString());
        parents_.push_back(parent);
    }
    void warning(QWidget* parent, const QString& text) override {
        {
            std::lock_guard<std::mutex> lk(m_);
            warnings_.push_back(text.toStdString());
        }
        info(parent, text);
    }
    bool closeQuestion(QWidget* parent, const QString& text, const QString& note) override {
        {
            std::lock_guard<std::mutex> lk(m_);
            closeNotes_.push_back(note.toStdString());
        }
        return question(parent, text);
    }
    bool question(QWidget* parent, const QString& text) override {
        if (onQuestion) onQuestion(text.toStdString());
        std::lock_guard<std::mutex> lk(m_);
        questions_.push_back(text.toStdString());
        parents_.push_back(parent);
        if (answers_.empty()) return true;
        bool a = answers_.front();
        answers_.pop_front();
        return a;
    }
    void answer(bool yes) {
        std::lock_guard<std::mutex> lk(m_);
        answers_.push_back(yes);
    }
    std::vector<std::string> infos() const {
        std::lock_guard<std::mutex> lk(m_);
        return infos_;
    }
    std::vector<std::string> questions() const {
        std::lock_guard<std::mutex> lk(m_);
        return questions_;
    }
    // Warning boxes (also recorded as boxes), and the notes of the close questions.
    std::vector<std::string> warnings() const {
        std::lock_guard<std::mutex> lk(m_);
        return warnings_;
    }
    std::vector<std::string> closeNotes() const {
        std::lock_guard<std::mutex> lk(m_);
        return closeNotes_;
    }
    // The parent of every box, in order.
    std::vector<QWidget*> parents() const {
        std::lock_guard<std::mutex> lk(m_);
        return parents_;
    }
    bool saw(const std::string& text) const {
        for (const auto& s : infos())
            if (s == text) return true;
        return false;
    }
    int count(const std::string& text) const {
        int n = 0;
        for (const auto& s : infos()) n += s == text;
        return n;
    }
    // Called as a box appears, before it is answered.
    std::function<void(const std::string&)> onInfo, onQuestion;

private:
    mutable std::mutex m_;
    std::vector<std::string> infos_, questions_, warnings_, closeNotes_;
    std::vector<QWidget*> parents_;
    std::deque<bool> answers_;
    gui::BoxPresenter* previous_ = nullptr;
};

// A scan page over a whole image read as one volume of file system fs,
// opened by a page of its own; both go with it.
struct ImagePage {
    ImagePage(const std::string& image, const std::string& fs) {
        auto reader = std::make_shared<FileReadSeek>();
        EXPECT_TRUE(reader->Open(image));
        opener = new gui::WizardPage("Brantlow");
        gui::VolumeScanDlg::Options o;
        o.reader = reader;
        VolumeEntry v;
        v.fileSystem = fs;
        v.volumeNumber = "1";
        v.sizeSectors = reader->sizeBytes() / 512;
        page = new gui::VolumeScanDlg(opener, v, ScanMode::Standard, o);
    }
    ~ImagePage() {
        delete page;
        delete opener;
    }
    gui::WizardPage* opener = nullptr;
    gui::VolumeScanDlg* page = nullptr;
};

// Runs the event loop until cond holds or ms pass.
inline bool waitFor(const std::function<bool()>& cond, int ms = 20000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

// The child of parent with this text, or kNoItem.
inline controls::Item childNamed(controls::CXHtmlTree* tree, controls::Item parent, const QString& text) {
    for (controls::Item c : tree->checkTree().children(parent))
        if (tree->GetItemText(c) == text) return c;
    return controls::kNoItem;
}

inline QStringList childTexts(controls::CXHtmlTree* tree, controls::Item parent) {
    QStringList out;
    for (controls::Item c : tree->checkTree().children(parent)) out << tree->GetItemText(c);
    return out;
}

// Checks every live file of a manifest volume's entries that the save wrote
// under outDir: content by sha256, modification time (and access time when
// the file system keeps one with a time of day). Returns how many were checked.
inline int compareSavedLiveFiles(const nlohmann::json& entries, const std::string& outDir, bool checkAccessTime) {
    int compared = 0;
    for (const auto& e : entries) {
        if (e["type"] != "file" || e["state"] != "live" || !e.contains("sha256")) continue;
        std::string path = outDir + "/" + listedPath(entries, e["path"].get<std::string>());
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mtime, isoToUnix(e["times"]["mtime"].get<std::string>())) << path;
        if (checkAccessTime) {
            EXPECT_EQ(st.st_atime, isoToUnix(e["times"]["atime"].get<std::string>())) << path;
        }
        EXPECT_EQ(sha256File(path).value_or(""), e["sha256"].get<std::string>()) << path;
        ++compared;
    }
    return compared;
}

}  // namespace brantlow::test
