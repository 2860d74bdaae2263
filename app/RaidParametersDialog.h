// The box that finds how drives without RAID metadata fit together: the
// search runs on a worker (progress, Stop), its candidates are listed best
// first, and the parameters of the one chosen (or typed by the operator)
// put the set together.
#pragma once

#include <QDialog>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scan/volumes.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace brantlow::gui {

class RaidParametersDialog : public QDialog {
    Q_OBJECT
public:
    RaidParametersDialog(std::vector<std::shared_ptr<readWriteInterface>> members, std::vector<std::string> names,
                         QWidget* parent);
    ~RaidParametersDialog() override;  // stops and joins the search

    // Starts the search (the dialog shows its progress, then the list).
    void startSearch();
    bool searching() const { return worker_.joinable() && !finished_; }

    QTreeWidget* candidates() const { return list_; }
    QLineEdit* parameters() const { return params_; }
    QLabel* problem() const { return problem_; }
    QPushButton* assembleButton() const { return assemble_; }
    QPushButton* stopButton() const { return stop_; }
    // The set put together (after Assemble succeeded).
    const AssembledDisk& assembled() const { return result_; }

private:
    void onFinished(const SetSearchResult& r);
    void onAssemble();

    std::vector<std::shared_ptr<readWriteInterface>> members_;
    std::vector<std::string> names_;
    std::thread worker_;
    std::atomic<bool> stopFlag_{false};
    bool finished_ = false;
    AssembledDisk result_;
    QLabel* status_;
    QProgressBar* progress_;
    QPushButton* stop_;
    QTreeWidget* list_;
    QLineEdit* params_;
    QLabel* problem_;
    QPushButton* assemble_;
};

}  // namespace brantlow::gui
