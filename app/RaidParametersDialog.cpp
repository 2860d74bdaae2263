#include "app/RaidParametersDialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "base/sinks.h"
#include "ui/WizardPage.h"

namespace brantlow::gui {

namespace {

// The search's progress, handed to the GUI thread (a queued call to a
// bar that is gone is dropped; the dialog joins the search before its bar
// goes).
class Bridge : public ProgressSink {
public:
    explicit Bridge(QProgressBar* bar) : bar_(bar) {}
    void range(int64_t hi) override {
        QProgressBar* b = bar_;
        QMetaObject::invokeMethod(b, [b, hi] { b->setRange(0, static_cast<int>(hi)); }, Qt::QueuedConnection);
    }
    void position(int64_t p) override {
        QProgressBar* b = bar_;
        QMetaObject::invokeMethod(b, [b, p] { b->setValue(static_cast<int>(p)); }, Qt::QueuedConnection);
    }

private:
    QProgressBar* bar_;
};

}  // namespace

RaidParametersDialog::RaidParametersDialog(std::vector<std::shared_ptr<readWriteInterface>> members,
                                           std::vector<std::string> names, QWidget* parent)
    : QDialog(parent), members_(std::move(members)), names_(std::move(names)) {
    setObjectName("RaidParametersDialog");
    setWindowTitle(kCaption);
    auto* lay = new QVBoxLayout(this);
    status_ = new QLabel("Looking for the way the drives fit together...", this);
    lay->addWidget(status_);
    auto* row = new QHBoxLayout;
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 1000);
    row->addWidget(progress_, 1);
    stop_ = new QPushButton("Stop", this);
    stop_->setObjectName("raidSearchStop");
    stop_->setAutoDefault(false);
    row->addWidget(stop_);
    lay->addLayout(row);
    list_ = new QTreeWidget(this);
    list_->setObjectName("raidCandidates");
    list_->setColumnCount(2);
    list_->setHeaderLabels({"Parameters", "Why"});
    list_->setRootIsDecorated(false);
    lay->addWidget(list_, 1);
    auto* typed = new QHBoxLayout;
    typed->addWidget(new QLabel("Parameters:", this));
    params_ = new QLineEdit(this);
    params_->setObjectName("raidParameters");
    params_->setPlaceholderText("level=5,chunk=64K,layout=left-symmetric,order=0:1:2,start=1M");
    params_->setToolTip("level 0, 1, 4, 5, 6 or 10; chunk size; parity layout; order: which drive (counted from 0 "
                        "as ticked) holds each role, \"-\" for a missing one; start: where the data begins on each "
                        "drive");
    typed->addWidget(params_, 1);
    lay->addLayout(typed);
    problem_ = new QLabel(this);
    problem_->setObjectName("raidProblem");
    problem_->setWordWrap(true);
    problem_->hide();
    lay->addWidget(problem_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    assemble_ = new QPushButton("Assemble", this);
    assemble_->setObjectName("raidAssemble");
    auto* cancel = new QPushButton("Cancel", this);
    buttons->addWidget(assemble_);
    buttons->addWidget(cancel);
    lay->addLayout(buttons);
    resize(760, 420);

    connect(stop_, &QPushButton::clicked, this, [this] { stopFlag_.store(true); });
    connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* it) {
        if (it) params_->setText(it->text(0));
    });
    connect(assemble_, &QPushButton::clicked, this, &RaidParametersDialog::onAssemble);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

RaidParametersDialog::~RaidParametersDialog() {
    stopFlag_.store(true);
    if (worker_.joinable()) worker_.join();
}

void RaidParametersDialog::startSearch() {
    if (worker_.joinable()) return;
    finished_ = false;
    QPointer<RaidParametersDialog> self(this);
    auto bridge = std::make_shared<Bridge>(progress_);
    worker_ = std::thread([this, self, bridge] {
        SetSearchResult r = searchSetParameters(members_, &stopFlag_, bridge.get());
        QMetaObject::invokeMethod(this, [self, r] { if (self) self->onFinished(r); }, Qt::QueuedConnection);
    });
}

void RaidParametersDialog::onFinished(const SetSearchResult& r) {
    if (worker_.joinable()) worker_.join();
    finished_ = true;
    progress_->hide();
    stop_->hide();
    for (const SetCandidate& c : r.candidates)
        new QTreeWidgetItem(list_, {QString::fromStdString(setParametersText(c.parameters)),
                                    QString::fromStdString(c.description)});
    list_->header()->resizeSections(QHeaderView::ResizeToContents);
    if (list_->topLevelItemCount() > 0) {
        status_->setText("Ways the drives fit together, best first. Choose one, or type the parameters:");
        list_->setCurrentItem(list_->topLevelItem(0));
    } else {
        status_->setText(QString::fromStdString("No way was found (" + r.error + "). Type the parameters:"));
    }
}

void RaidParametersDialog::onAssemble() {
    std::string error;
    AssembledDisk d = assembleWithParameters(members_, names_, params_->text().toStdString(), error);
    if (!d.reader) {
        problem_->setText(QString::fromStdString(error));
        problem_->show();
        return;
    }
    result_ = std::move(d);
    stopFlag_.store(true);
    accept();
}

}  // namespace brantlow::gui
