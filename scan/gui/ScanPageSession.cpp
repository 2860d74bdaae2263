// The scan page's session: the listing kept in a session file as the scan
// ends (in the wizard's session folder, one file per source and job), "Save
// Scan…" to a file the operator names, "Open Scan…" and the page of a
// reopened listing.
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <mutex>

#include "scan/gui/VolumeScanDlg.h"
#include "scan/volumes.h"

namespace brantlow::gui {

namespace {
QString q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

std::string VolumeScanDlg::listingJob() const {
    const ScanOptions& o = options_.scan;
    return "wizard volume=" + volume_.volumeNumber + " start=" + std::to_string(volume_.startSector) +
           " sectors=" + std::to_string(volume_.sizeSectors) + " fs=" + volume_.fileSystem +
           " mode=" + std::to_string(static_cast<int>(mode_)) + " formatted=" + (o.driveFormatted ? "1" : "0") +
           " candidate=" + std::to_string(o.advancedCandidate) + " heap=" + std::to_string(o.advancedHeap) +
           " cluster=" + std::to_string(o.advancedClusterShift);
}

std::vector<session::SourceIdentity> VolumeScanDlg::sourceIdentity() const {
    if (!sourceReader_) return {};
    return {session::identifySource(options_.sourcePath, *sourceReader_)};
}

// On a thread of its own while the scan runs (the source's identity and
// the file's making take a moment); the scan's end waits for it.
void VolumeScanDlg::openAutoSession(const VolumeView& view) {
    if (options_.sessionFolder.empty() || options_.sourcePath.empty() || !sourceReader_) return;
    const std::string job = listingJob(), folder = options_.sessionFolder;
    const std::string path =
        session::defaultSessionPath(folder, options_.sourcePath, session::SessionKind::Listing, job);
    sessionThread_ = std::thread([this, view, job, folder, path] {
        std::string failure;
        // A scan started here replaces an earlier session of the same job.
        session::Opening o;
        if (session::makeSessionFolder(folder, failure))
            o = session::SessionFile::open(path, session::SessionKind::Listing, job, sourceIdentity(), true);
        if (failure.empty() && !o.file) failure = path + " " + o.reason;
        if (o.file && (!o.file->begin() || !session::recordVolume(*o.file, volume_, view, volume_.reader != nullptr) ||
                       !session::recordMode(*o.file, mode_) || !o.file->commit())) {
            failure = path + " cannot be written (" + o.file->stopReason() + ")";
            o.file.reset();
            session::removeSession(path);
        }
        if (!failure.empty()) {
            QMetaObject::invokeMethod(this, [this, failure] {
                if (!closing_.load()) status2_->setText("This scan keeps no session: " + q(failure));
            }, Qt::QueuedConnection);
            return;
        }
        session_ = std::move(o.file);
        sessionPath_ = path;
        sessionOpen_.store(true);
    });
}

void VolumeScanDlg::keepListing() {
    status2_->setText("Keeping the result in its session...");
    sessionThread_ = std::thread([this] {
        if (session_->begin()) session::writeListing(*session_, *parser_, &closing_);
        sessionFinished_.store(session_->writable() && session_->finished());
        work_.finish(WorkState::Job::Scan);
        QMetaObject::invokeMethod(this, [this] {
            if (sessionThread_.joinable()) sessionThread_.join();
            if (closing_.load()) return;
            // The save line may have news of its own by now.
            if (status2_->text() == "Keeping the result in its session...")
                status2_->setText(sessionFinished_.load() ? "The result is kept in its session: " + q(sessionPath_)
                                                          : "The result could not be kept in its session " +
                                                                q(sessionPath_) + " (" + q(session_->stopReason()) + ")");
        }, Qt::QueuedConnection);
    });
}

QString VolumeScanDlg::sessionInProgress() const {
    return sessionOpen_.load() && !sessionFinished_.load() && work_.running() == WorkState::Job::Scan ? q(sessionPath_)
                                                                                                   : QString();
}

void VolumeScanDlg::dropSession() { dropSession_.store(true); }

QString VolumeScanDlg::pickSessionFile(bool forSaving) {
    if (options_.pickSessionFile) return options_.pickSessionFile(this, forSaving);
    QFileDialog d(this, forSaving ? "Save Scan" : "Open Scan", q(options_.sessionFolder));
    d.setNameFilters({"Sessions (*.session)", "All files (*)"});
    d.setDefaultSuffix("session");
    d.setAcceptMode(forSaving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    d.setFileMode(forSaving ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return {};
    return d.selectedFiles().first();
}

void VolumeScanDlg::saveScan() {
    if (running()) {
        messages().info("Please wait for other process to complete");
        return;
    }
    if (!parser_ || (!results_ && !options_.reopened)) {
        messages().info("There is no scan result to keep yet.");
        return;
    }
    if (scanStopped_) {
        messages().info("This scan was stopped before its end: scan the volume again to keep its result.");
        return;
    }
    QString path = pickSessionFile(true);
    if (path.isEmpty()) return;
    if (QFileInfo(path).suffix().isEmpty()) path += session::kSessionSuffix;
    const std::string file = path.toStdString();
    if (file == sessionPath_) {
        messages().info("This scan's session is kept in that file already.");
        return;
    }
    std::string why;
    bool ok;
    if (session_ && sessionFinished_.load()) {
        ok = session::copySession(*session_, file, why);
    } else if (options_.reopened) {
        // A copy of the session it came from (written again, files the
        // session keeps no plan for would need the volume's metadata).
        session::SessionSummary from;
        session::Refusal refusal;
        ok = session::peekSession(options_.reopened->path, from, refusal, why);
        if (ok) {
            session::Opening o = session::SessionFile::open(options_.reopened->path, session::SessionKind::Listing,
                                                            from.job, sourceIdentity(), false);
            ok = o.file && session::copySession(*o.file, file, why);
            if (!o.file) why = o.reason;
        }
    } else {
        const VolumeView view = options_.reopened ? options_.reopened->view : volumeView(volume_, reader_);
        ok = session::saveListingSession(file, sourceIdentity(), listingJob(), volume_, view, volume_.reader != nullptr,
                                         mode_, *parser_, why);
    }
    if (!ok) {
        messages().info("The session " + file + " " + why);
        return;
    }
    setStatus("The scan was kept in " + path);
}

void VolumeScanDlg::openScan() {
    if (running()) {
        messages().info("Please wait for other process to complete");
        return;
    }
    const QString path = pickSessionFile(false);
    if (path.isEmpty()) return;
    Options o = options_;
    o.reopened.reset();
    o.adopted = nullptr;
    o.reader = sourceReader_;
    std::string why;
    VolumeScanDlg* page = openSession(opener(), path.toStdString(), sourceReader_, options_.sourcePath,
                                      volume_.reader ? &volume_ : nullptr, std::move(o), why);
    if (!page) {
        messages().info("The session " + path.toStdString() + " " + why + "; it is left as it is.");
        return;
    }
    // The reopened result takes this page's place; Back leads where this
    // page's Back led.
    openNext(page);
    stopWork();
    deleteLater();
}

VolumeScanDlg* VolumeScanDlg::openSession(WizardPage* opener, const std::string& path,
                                          std::shared_ptr<readWriteInterface> reader, const std::string& sourcePath,
                                          const VolumeEntry* layered, Options options, std::string& why) {
    session::SessionSummary summary;
    session::Refusal refusal;
    if (!session::peekSession(path, summary, refusal, why)) return nullptr;
    if (summary.kind != session::SessionKind::Listing) {
        why = std::string("holds a ") + session::kindName(summary.kind) + ", not a listing";
        return nullptr;
    }
    if (!reader) {
        why = "cannot be checked: no source is open";
        return nullptr;
    }
    // The source's first and last MiB: the only bytes read.
    session::Opening o = session::SessionFile::open(path, session::SessionKind::Listing, summary.job,
                                                    {session::identifySource(sourcePath, *reader)}, false);
    if (!o.file) {
        why = o.reason;
        return nullptr;
    }
    options.reader = reader;
    options.sourcePath = sourcePath;
    const ScanMode mode = session::recordedMode(*o.file);
    if (!o.file->finished()) {
        // Cut short while it was written: the recorded volume is scanned again.
        VolumeEntry volume;
        uint64_t startByte = 0, sizeBytes = 0;
        bool inLayer = false;
        if (!session::recordedVolume(*o.file, volume, startByte, sizeBytes, inLayer)) {
            why = "is damaged (no volume recorded)";
            return nullptr;
        }
        if (inLayer) {
            if (!layered || layered->volumeNumber != volume.volumeNumber) {
                why = "holds volume " + volume.volumeNumber +
                      ", which lies inside an encrypted or logical volume: open that volume on the volume list first";
                return nullptr;
            }
            volume = *layered;
        }
        o.file.reset();
        return new VolumeScanDlg(opener, volume, mode, std::move(options));
    }
    // Files the session keeps no plan for are written by the parser: the
    // volume is scanned again the first time one is asked for.
    struct Rescan {
        std::mutex m;
        bool tried = false;
        VolumeEntry volume;
        std::unique_ptr<VolumeParser> parser;
    };
    auto rescan = std::make_shared<Rescan>();
    auto reopened = session::reopenListing(
        std::move(o.file), reader, layered,
        [rescan, reader, mode]() -> VolumeParser* {
            std::lock_guard<std::mutex> lk(rescan->m);
            if (!rescan->tried) {
                rescan->tried = true;
                ParserChoice c = selectParser(rescan->volume.fileSystem, mode);
                ScanContext ctx;
                ctx.volume = volumeView(rescan->volume, rescan->volume.reader ? rescan->volume.reader : reader);
                ctx.mode = mode;
                if (c.parser && c.parser->scan(ctx) != ScanOutcome::Rejected) rescan->parser = std::move(c.parser);
            }
            return rescan->parser.get();
        },
        why);
    if (!reopened) return nullptr;
    rescan->volume = reopened->volume;
    const VolumeEntry volume = reopened->volume;
    options.reopened = std::make_shared<session::ReopenedListing>(std::move(*reopened));
    return new VolumeScanDlg(opener, volume, mode, std::move(options));
}

}  // namespace brantlow::gui
