// The advanced-input page: the candidate search of the chosen file system on
// a worker (progress, Pause, Resume, Stop), the candidate lists and cluster
// sizes, and the scan page in Advanced mode with the operator's choice.
#pragma once

#include <QString>
#include <atomic>
#include <memory>
#include <thread>

#include "base/sinks.h"
#include "disk/partition.h"
#include "fs/advanced_search.h"
#include "fs/candidate_search.h"
#include "fs/api/parser.h"
#include "scan/recovery_model.h"
#include "ui/RateLabel.h"
#include "ui/WizardPage.h"

class QComboBox;
class QTreeWidget;
class QLabel;
class QProgressBar;
class QPushButton;

namespace brantlow::gui {

class QtProgressBridge;

class advanceOptions : public WizardPage {
    Q_OBJECT
public:
    // maxCandidates: the recovery-mode page's value (below 1 means 3); base:
    // its choices ("Is Drive Formated..?").
    advanceOptions(const VolumeEntry& volume, int maxCandidates, const ScanOptions& base, WizardPage* opener);
    ~advanceOptions() override;

    void stopWork() override;

    const VolumeEntry& volume() const { return volume_; }
    int maxCandidates() const { return maxCandidates_; }
    bool searching() const { return worker_.joinable() && !done_; }
    const AdvancedSearch& result() const { return result_; }
    // The options the scan page gets for the current selections.
    ScanOptions chosenOptions() const;

    QLabel* candidateLabel() const { return listLabel_; }
    // Beside the list: where the chosen candidate lies, what it is, whether
    // it is the best; and the table of every candidate found.
    QLabel* candidateDetail() const { return detail_; }
    QTreeWidget* candidateTable() const { return table_; }
    // The file systems the volume holds traces of besides its own, best
    // first; a row chosen there is what Next opens.
    QTreeWidget* earlierTable() const { return earlier_; }
    const std::vector<FileSystemCandidate>& earlierFound() const { return earlierFound_; }
    QLabel* heapDetail() const { return heapDetail_; }
    QComboBox* candidates() const { return candidates_; }
    QComboBox* sectorsPerCluster() const { return clusters_; }
    QComboBox* heapOffsets() const { return heaps_; }
    QLabel* statusLine() const { return status_; }
    QProgressBar* progress() const { return progress_; }
    // Beside the progress: the search's rate and time left.
    RateLabel* rateLine() const { return rate_; }
    QPushButton* pauseButton() const { return pause_; }
    QPushButton* resumeButton() const { return resume_; }
    QPushButton* stopButton() const { return stop_; }

protected:
    void goBack() override;

private:
    void start();
    void onSearchDone(AdvancedSearch result, std::vector<FileSystemCandidate> earlier);
    void onNext();
    void joinWorker();
    void showDetails();
    // The selections of the three lists.
    AdvancedChoice choice() const;

    VolumeEntry volume_;
    int maxCandidates_;
    ScanOptions base_;
    QString fileSystem_;
    AdvancedSearch result_;
    std::vector<FileSystemCandidate> earlierFound_;
    bool heapsOffered_ = false;  // the file system has a heap list (from its row)
    bool done_ = false;
    std::thread worker_;
    std::atomic<bool> stopRequested_{false};
    PauseGate gate_;
    std::unique_ptr<QtProgressBridge> bridge_;
    std::unique_ptr<ThrottledProgress> throttled_;

    QLabel* listLabel_;
    QComboBox* candidates_;
    QLabel* detail_;
    QTreeWidget* table_;
    QTreeWidget* earlier_;
    QLabel* heapDetail_;
    QLabel* clusterLabel_;
    QComboBox* clusters_;
    QLabel* heapLabel_;
    QComboBox* heaps_;
    QProgressBar* progress_;
    RateLabel* rate_;
    QLabel* status_;
    QPushButton* pause_;
    QPushButton* resume_;
    QPushButton* stop_;
};

}  // namespace brantlow::gui
